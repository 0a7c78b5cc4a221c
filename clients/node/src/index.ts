// vesk-helpers: drives vesk-audio-tap and vesk-input-monitor from Node.js and Electron.
export { AudioTap } from './audio-tap';
export { AbortError, BindingError, FrameError, HelperExitedError, TapError } from './errors';
export type { VeskErrorCode } from './errors';
export type { AudioTapOptions, TapReady, InputActivity, InputProcess } from './audio-tap';
export { InputMonitor } from './input-monitor';
export type { InputMonitorOptions, MonitorReady, Binding, RecordedBinding } from './input-monitor';
export type { HelperExit } from './helper-process';
export { HelperNotFoundError } from './binary';
export { FrameSplitter, MAX_PAYLOAD_BYTES } from './frames';
export { LineSplitter, parseEvent } from './lines';
export { FrameBacklog } from './backlog';
export { WavWriter, writeWav, wavHeader, WAV_HEADER_BYTES } from './wav';
export type { WavFormat } from './wav';
