// vesk-helpers: drives vesk-audio-tap and vesk-input-monitor from Node.js and Electron.
export { AudioTap } from './audio-tap';
export type { AudioTapOptions, Frame, FramesOptions } from './audio-tap';
export { InputMonitor, MODIFIERS } from './input-monitor';
export type { InputMonitorOptions, MonitorReady, Binding } from './input-monitor';
export type {
  AudioTapEvents, CaptureSilence, CaptureStopped, FramesDropped, InputActivity, InputMonitorEvents, KeyUp, Modifier,
  MonitorEventLine, ProcessInfo, RecordedBinding, TapEventLine, TapReady, TypedEmitter,
} from './events';
export { KeyCode } from './keys';
export { AbortError, BindingError, FrameError, HelperExitedError, TapError } from './errors';
export type { VeskErrorCode } from './errors';
export type { Abortable } from './abort';
export type { EndOptions, HelperExit } from './helper-process';
export { HelperNotFoundError } from './binary';
export type { HelperLookupOptions } from './binary';
export { FrameSplitter, MAX_PAYLOAD_BYTES } from './frames';
export { LineSplitter, parseEvent } from './lines';
export { FrameBacklog } from './backlog';
export { WavWriter, writeWav, wavHeader, WAV_HEADER_BYTES } from './wav';
export type { WavFormat } from './wav';
