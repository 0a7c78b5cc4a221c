// vesk-helpers: drives vesk-audio-tap and vesk-input-monitor from Node.js and Electron.
export { AudioTap, TapError } from './audio-tap';
export type { AudioTapOptions, TapReady, InputActivity, InputProcess } from './audio-tap';
export { InputMonitor } from './input-monitor';
export type { InputMonitorOptions, MonitorReady, Binding, RecordedBinding } from './input-monitor';
export { HelperExitedError } from './helper-process';
export type { HelperExit } from './helper-process';
export { HelperNotFoundError } from './binary';
export { FrameError, FrameSplitter, MAX_PAYLOAD_BYTES } from './frames';
export { LineSplitter, parseEvent } from './lines';
export { FrameBacklog } from './backlog';
export { WavWriter, writeWav, wavHeader, WAV_HEADER_BYTES } from './wav';
export type { WavFormat } from './wav';
