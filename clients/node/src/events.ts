// The events both helpers' objects emit, as types: one map per class from event name to
// listener arguments, the event lines of each protocol as one discriminated union, and
// the emitter methods typed by the map, so that a misspelt event or a listener of the
// wrong shape does not compile.
import type { TapError } from './errors';
import type { HelperExit } from './helper-process';

/** The fields of the audio tap's "ready" event: the capture's format. */
export interface TapReady {
  sampleRate: number;
  deviceRate: number;
  channels: number;
}

/** A process named by the audio tap: its pid and bundle id (on Linux, its application id or binary name). */
export interface ProcessInfo {
  pid: number;
  bundleId: string;
}

/** The fields of an "inputActivity" event: whether the microphone runs, and for whom. */
export interface InputActivity {
  running: boolean;
  processes: ProcessInfo[];
}

/** The fields of a "captureSilence" event: `playing` is there when `silent` is true. */
export interface CaptureSilence {
  silent: boolean;
  playing?: ProcessInfo[];
}

/** A capture ended: `requested` is false when it ended on its own (after an "error"). */
export interface CaptureStopped {
  requested: boolean;
}

/**
 * Frames lost: `where` is "host" when this package dropped them (the oldest frames of a
 * consumer that fell behind, or a frame that came after its capture had closed),
 * "helper" when the helper did (reported with the `debug` option only).
 */
export interface FramesDropped {
  frames: number;
  samples: number;
  where: 'host' | 'helper';
}

/** The audio tap's event lines (standard error), as the catch-all "event" listener gets them. */
export type TapEventLine =
  | ({ event: 'ready' } & TapReady)
  | { event: 'stopped' }
  | { event: 'permission'; granted: boolean }
  | { event: 'error'; message: string }
  | ({ event: 'inputActivity' } & InputActivity)
  | ({ event: 'captureSilence' } & CaptureSilence)
  | { event: 'debug'; step: string; [key: string]: unknown };

/** AudioTap's events and their listeners' arguments. */
export interface AudioTapEvents {
  /** Every event line of the protocol. */
  event: [line: TapEventLine];
  /** A capture failed on its own (the sound server went away...); "stopped" follows. Emitted only while someone listens. */
  error: [error: TapError];
  stopped: [stopped: CaptureStopped];
  captureSilence: [silence: CaptureSilence];
  inputActivity: [activity: InputActivity];
  framesDropped: [dropped: FramesDropped];
  exit: [exit: HelperExit];
  /** A line on the event stream that is no event of the protocol. */
  text: [line: string];
}

/** A modifier name of the input monitor's protocol. */
export type Modifier = 'control' | 'option' | 'shift' | 'command' | 'fn';

/** A shortcut the user pressed in record mode, with its display label (such as "⌃ + Space"). */
export interface RecordedBinding {
  mainKey: number | null;
  modifiers: Modifier[];
  label: string;
}

/** The input monitor's event lines (standard output), as the catch-all "event" listener gets them. */
export type MonitorEventLine =
  | { type: 'permission'; trusted: boolean }
  | { type: 'ready'; tapCreated: boolean }
  | { type: 'down' }
  | { type: 'up' }
  | { type: 'recorded'; binding: RecordedBinding }
  | { type: 'secureInput'; enabled: boolean };

/** The argument of "up": `synthetic` when the helper ended (or the binding changed) during a hold. */
export interface KeyUp {
  synthetic: boolean;
}

/** InputMonitor's events and their listeners' arguments. */
export interface InputMonitorEvents {
  event: [line: MonitorEventLine];
  down: [];
  up: [up: KeyUp];
  /** macOS secure event input turned on (push-to-talk cannot work meanwhile) or off. */
  secureInput: [secure: { enabled: boolean }];
  exit: [exit: HelperExit];
  text: [line: string];
}

export type EventMap<E> = { [K in keyof E]: unknown[] };

/** EventEmitter's methods, typed by an event map. */
export interface TypedEmitter<E extends EventMap<E>> {
  on<K extends keyof E>(event: K, listener: (...args: E[K]) => void): this;
  addListener<K extends keyof E>(event: K, listener: (...args: E[K]) => void): this;
  prependListener<K extends keyof E>(event: K, listener: (...args: E[K]) => void): this;
  once<K extends keyof E>(event: K, listener: (...args: E[K]) => void): this;
  prependOnceListener<K extends keyof E>(event: K, listener: (...args: E[K]) => void): this;
  off<K extends keyof E>(event: K, listener: (...args: E[K]) => void): this;
  removeListener<K extends keyof E>(event: K, listener: (...args: E[K]) => void): this;
  removeAllListeners(event?: keyof E): this;
  emit<K extends keyof E>(event: K, ...args: E[K]): boolean;
  listenerCount(event: keyof E): number;
  listeners<K extends keyof E>(event: K): Array<(...args: E[K]) => void>;
}

/** The events every helper's object emits. */
export interface HelperEvents {
  exit: [exit: HelperExit];
  text: [line: string];
}
