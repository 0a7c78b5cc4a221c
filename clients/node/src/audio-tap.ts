// vesk-audio-tap as a host drives it: plain-word commands on its standard input,
// JSON event lines on its standard error, length-prefixed PCM frames on its standard
// output. Commands that expect an answer go one at a time, each sent once the one
// before it was answered, so every answer is matched to its command without guessing:
// "start" while capturing and "stop" while idle, which the helper does not answer,
// settle at once instead of being sent. Frames are kept per capture: a capture's
// frames go to its own iterator and never to one of the next capture.
import { Abortable, abortError, abortable } from './abort';
import { FrameBacklog } from './backlog';
import type { HelperLookupOptions } from './binary';
import { FrameError, HelperExitedError, TapError } from './errors';
import type {
  AudioTapEvents, CaptureSilence, InputActivity, ProcessInfo, TapEventLine, TapReady,
} from './events';
import { FrameSplitter } from './frames';
import { Deferred, EndOptions, HelperExit, HelperProcess, describeExit, makeDeferred } from './helper-process';

/** `binary`, `baseDir` and `searchPath` say where vesk-audio-tap is (by default where the package finds it). */
export interface AudioTapOptions extends HelperLookupOptions {
  /** Processes whose audio is left out of the capture and of microphone reports. */
  excludePids?: readonly number[] | undefined;
  /** Leave out every descendant of the host and of the excluded processes too (--exclude-descendants). */
  excludeDescendants?: boolean | undefined;
  /** Ask the helper for "debug" events (seen through `on("event")`), and its own "framesDropped" reports. */
  debug?: boolean | undefined;
  /** The helper's environment; by default this process's. */
  env?: NodeJS.ProcessEnv | undefined;
  /** Frames kept for a consumer that falls behind (default 100, 20 s); older ones are dropped. */
  maxBacklogFrames?: number | undefined;
}

/** One frame of a capture: `sequence` counts its frames from 0, `startSample` its samples from 0. */
export interface Frame {
  samples: Int16Array;
  sequence: number;
  startSample: number;
}

/** The options of `frames()`. */
export interface FramesOptions {
  /** Aborting it rejects the waiting `next()` with an AbortError; no frame is lost. */
  signal?: AbortSignal | undefined;
}

type Answer = 'ready' | 'stopped' | 'permission';

interface InFlight {
  answer: Answer;
  deferred: Deferred<unknown>;
  /** The caller stopped waiting; a capture it started is stopped again. */
  aborted: boolean;
}

const DEFAULT_BACKLOG_FRAMES = 100;
const FULL_FRAME_SAMPLES = 4800;
const INT32_MIN = -2147483648;
const INT32_MAX = 2147483647;

function argumentsFor(options: AudioTapOptions): string[] {
  const args: string[] = [];
  for (const pid of options.excludePids ?? []) {
    if (!Number.isInteger(pid) || pid < INT32_MIN || pid > INT32_MAX) {
      throw Object.assign(new TypeError(`excludePids: ${pid} is not a process id`), { code: 'ERR_INVALID_ARG_VALUE' });
    }
    args.push('--exclude-pid', String(pid));
  }
  if (options.excludeDescendants) args.push('--exclude-descendants');
  if (options.debug) args.push('--debug');
  return args;
}

/** The frames of one capture, from its start (or from when it was awaited) to its end. */
class Capture {
  readonly backlog: FrameBacklog<Frame>;
  private sequence = 0;
  private samples = 0;
  /** The iterator reading it. */
  reader: object | null = null;
  /** "start" was sent for it (else an iterator awaits it). */
  started = false;

  constructor(limit: number, onDrop: (frame: Frame) => void) {
    this.backlog = new FrameBacklog<Frame>(limit, onDrop);
  }

  add(samples: Int16Array): void {
    this.backlog.push({ samples, sequence: this.sequence++, startSample: this.samples });
    this.samples += samples.length;
  }
}

export class AudioTap extends HelperProcess<AudioTapEvents> {
  /** Settles once the helper has started; rejects with the reason it could not be started. */
  readonly ready: Promise<void>;
  private readonly backlogLimit: number;
  private readonly splitter = new FrameSplitter();
  private framingFailed = false;
  private running: TapReady | null = null;
  /** The capture frames go to: running, being started, or awaited by an iterator. */
  private open: Capture | null = null;
  /** The capture that ended last, for the frames it still holds. */
  private last: Capture | null = null;
  /** Settles once a capture that stopped has taken its last frame. */
  private closing: Promise<void> = Promise.resolve();
  private inFlight: InFlight | null = null;
  private queue: Promise<unknown> = Promise.resolve();
  private dropped = 0;

  constructor(options: AudioTapOptions = {}) {
    const args = argumentsFor(options);
    const limit = options.maxBacklogFrames ?? DEFAULT_BACKLOG_FRAMES;
    if (!Number.isInteger(limit) || limit < 1) {
      throw Object.assign(new RangeError(`maxBacklogFrames must be a positive integer, not ${limit}`), { code: 'ERR_OUT_OF_RANGE' });
    }
    super({
      name: 'vesk-audio-tap',
      binary: options.binary,
      baseDir: options.baseDir,
      searchPath: options.searchPath,
      args,
      env: options.env,
      eventStream: 'stderr',
      kindKey: 'event',
    });
    this.backlogLimit = limit;
    this.ready = this.started;
  }

  /** Whether capture is running, as far as the helper has said. */
  get capturing(): boolean {
    return this.running !== null;
  }

  /** Frames this package dropped ("framesDropped" events with `where` "host"). */
  get droppedFrames(): number {
    return this.dropped;
  }

  /**
   * The frames of one capture, whole and in order (mono, 24000 Hz): of the capture that
   * runs (or is being started), else of the next one; once the helper has ended, of the
   * last one. Ends after that capture's last frame; rejects after it if the helper died
   * or wrote garbage. One consumer at a time: a second iterator over the same capture
   * throws. Aborting `signal` rejects the waiting `next()`; the frame it would have
   * had goes to the next `next()`.
   */
  frames(options: FramesOptions = {}): AsyncIterableIterator<Frame> {
    const capture = this.captureToRead();
    const busy = () => Object.assign(new Error('frames(): this capture already has a reader; one consumer at a time'), {
      code: 'ERR_INVALID_STATE',
    });
    if (capture.reader) throw busy();
    const { signal } = options;
    const iterator: AsyncIterableIterator<Frame> = {
      next: () => {
        // After return() the iterator may read again, unless another took its place.
        if (capture.reader !== iterator && capture.reader !== null) return Promise.reject(busy());
        capture.reader = iterator;
        const next = capture.backlog.next(signal);
        const release = () => {
          if (capture.reader === iterator) capture.reader = null;
        };
        next.then((result) => { if (result.done) release(); }, release);
        return next;
      },
      return: () => {
        if (capture.reader === iterator) capture.reader = null;
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() {
        return iterator;
      },
    };
    capture.reader = iterator;
    return iterator;
  }

  /** Starts capture; resolves with the "ready" fields, rejects with a TapError carrying the helper's text. */
  start(options: Abortable = {}): Promise<TapReady> {
    return this.command('start', 'ready', () => this.running, options.signal);
  }

  /**
   * Stops capture; resolves on "stopped", at once when not capturing, and when the
   * helper ends or has ended. By then the capture's last frames are in `frames()`.
   */
  async stop(options: Abortable = {}): Promise<void> {
    await this.command('stop', 'stopped', () => (this.running ? null : true), options.signal, { value: true });
  }

  /** Whether the system audio can be captured. */
  checkPermission(options: Abortable = {}): Promise<boolean> {
    return this.command<boolean>('checkPermission', 'permission', () => null, options.signal);
  }

  /** Starts microphone reports ("inputActivity" events), the first at once. */
  watchInput(): void {
    this.sendUnlessEnding('watchInput');
  }

  unwatchInput(): void {
    this.sendUnlessEnding('unwatchInput');
  }

  /**
   * Sends "quit" (capture stops, its last frame and "stopped" are written) and
   * resolves with the exit status once the helper has ended; it is killed after
   * `timeoutMs`. After that `frames()` yields what is left and ends.
   */
  quit(options: number | EndOptions = {}): Promise<number | null> {
    return this.end(() => {
      this.send('quit');
      this.closeInput();
    }, options);
  }

  /** The same as `quit()`. */
  close(options: number | EndOptions = {}): Promise<number | null> {
    return this.quit(options);
  }

  private sendUnlessEnding(line: string): void {
    if (!this.ending) this.send(line);
  }

  private captureToRead(): Capture {
    if (this.open) return this.open;
    if (this.hasExited) return this.last ?? this.endedCapture(null);
    this.open = this.newCapture();
    return this.open;
  }

  private newCapture(): Capture {
    return new Capture(this.backlogLimit, (frame) => {
      this.dropped++;
      this.emit('framesDropped', { frames: 1, samples: frame.samples.length, where: 'host' });
    });
  }

  private endedCapture(error: Error | null): Capture {
    const capture = this.newCapture();
    capture.backlog.end(error);
    return capture;
  }

  /**
   * Queues a command that expects `answer`. `settled` says whether the current state
   * makes it unnecessary: then it is not sent, and its promise resolves with that value.
   * With `onRequestedEnd` the command is one the end of the helper fulfils (stop): once
   * the host asked the helper to end, or it has ended, it resolves with that value
   * instead of being refused.
   */
  private command<T>(
    line: string, answer: Answer, settled: () => T | null, signal: AbortSignal | undefined, onRequestedEnd?: { value: T },
  ): Promise<T> {
    let inFlight: InFlight | null = null;
    const run = (): Promise<T> => {
      if (signal?.aborted) return Promise.reject(abortError(signal));
      const waitingFor = `answering "${line}"`;
      if (this.hasExited) return onRequestedEnd ? Promise.resolve(onRequestedEnd.value) : this.expect<T>(waitingFor).promise;
      const already = settled();
      if (already !== null) return Promise.resolve(already);
      const deferred = this.expect<T>(waitingFor, onRequestedEnd);
      inFlight = { answer, deferred: deferred as Deferred<unknown>, aborted: false };
      if (this.ending) {
        // The end stops capture too: its "stopped", or the exit, settles a stop.
        if (onRequestedEnd) this.inFlight = inFlight;
        else deferred.reject(new HelperExitedError(this.name, null, `${this.name} is quitting; "${line}" was not sent`));
      } else if (this.send(line)) {
        if (answer === 'ready') (this.open ??= this.newCapture()).started = true;
        this.inFlight = inFlight;
      }
      return deferred.promise;
    };
    // A start waits until the capture before it has taken its last frame.
    const next = () => this.closing.then(run);
    const result = this.queue.then(next, next);
    this.queue = result.catch(() => {});
    return abortable(result, signal, () => {
      if (inFlight) inFlight.aborted = true;
    });
  }

  /** Settles the command in flight if `answer` is what it waits for. */
  private answer(answer: Answer, settle: (inFlight: InFlight) => void): boolean {
    const inFlight = this.inFlight;
    if (!inFlight || inFlight.answer !== answer) return false;
    this.inFlight = null;
    settle(inFlight);
    return true;
  }

  protected onEvent(raw: Record<string, unknown>, text: string): void {
    const line = tapEventLine(raw);
    if (!line) {
      this.emit('text', text);
      return;
    }
    switch (line.event) {
      case 'ready': {
        const { event: _, ...ready } = line;
        this.running = ready;
        (this.open ??= this.newCapture()).started = true;
        this.answer('ready', ({ deferred, aborted }) => {
          deferred.resolve(ready);
          if (aborted) this.stop().catch(() => {});
        });
        break;
      }
      case 'error': {
        const error = new TapError(line.message);
        const answered = this.answer('ready', ({ deferred }) => deferred.reject(error));
        if (!answered && this.listenerCount('error') > 0) this.emit('error', error);
        break;
      }
      case 'stopped':
        this.captureStopped();
        break;
      case 'permission':
        this.answer('permission', ({ deferred }) => deferred.resolve(line.granted));
        break;
    }
    this.emit('event', line);
    if (line.event === 'inputActivity') this.emit('inputActivity', { running: line.running, processes: line.processes });
    if (line.event === 'captureSilence') {
      this.emit('captureSilence', line.playing ? { silent: line.silent, playing: line.playing } : { silent: line.silent });
    }
    if (line.event === 'debug' && line.step === 'framesDropped') {
      const samples = Number(line.samples) || 0;
      this.emit('framesDropped', { frames: Math.ceil(samples / FULL_FRAME_SAMPLES), samples, where: 'helper' });
    }
  }

  /**
   * "stopped": asked for, or the capture ended on its own. The helper writes the last
   * frame before "stopped", but on another pipe: one turn of the event loop later that
   * pipe has been read too, so the frame is in the capture when it closes, and only then
   * do stop() and the "stopped" listeners hear of it.
   */
  private captureStopped(): void {
    this.running = null;
    const inFlight = this.inFlight?.answer === 'stopped' ? this.inFlight : null;
    if (inFlight) this.inFlight = null;
    const requested = inFlight !== null || this.ending;
    const capture = this.open;
    const closed = makeDeferred<void>();
    this.closing = closed.promise;
    setImmediate(() => {
      if (capture && this.open === capture) {
        capture.backlog.end();
        this.last = capture;
        this.open = null;
      }
      closed.resolve();
      inFlight?.deferred.resolve(true);
      this.emit('stopped', { requested });
    });
  }

  protected onOtherOutput(chunk: Buffer): void {
    if (this.framingFailed) return; // keep reading, so the helper never blocks, but frame nothing
    let frames: Int16Array[];
    try {
      frames = this.splitter.push(chunk);
    } catch (error) {
      this.failFraming(error as Error);
      return;
    }
    for (const frame of frames) {
      if (this.open?.started) {
        this.open.add(frame);
      } else {
        // A frame of a capture that has closed, held up past its "stopped" (the helper
        // waits for frames only so long): it is no frame of the next capture.
        this.dropped++;
        this.emit('framesDropped', { frames: 1, samples: frame.length, where: 'host' });
      }
    }
  }

  protected onOtherOutputEnd(): void {
    const pending = this.splitter.pendingBytes();
    if (pending && !this.framingFailed && !this.ending) {
      this.failFraming(new FrameError(`standard output ended inside a frame (${pending} bytes)`));
    }
  }

  protected onExit(exit: HelperExit): void {
    this.running = null;
    const failed = exit.error !== undefined || (!this.ending && (exit.signal !== null || exit.code !== 0));
    const error = failed ? exit.error ?? new HelperExitedError(this.name, exit, `${this.name} ${describeExit(exit)}`) : null;
    if (this.open) {
      this.open.backlog.end(error);
      this.last = this.open;
      this.open = null;
    } else if (!this.last || this.last.backlog.finished) {
      this.last = this.endedCapture(error);
    }
  }

  private failFraming(error: Error): void {
    this.framingFailed = true;
    this.killForGarbage(error);
  }
}

const asNumber = (value: unknown): number => Number(value);

function processList(value: unknown): ProcessInfo[] {
  if (!Array.isArray(value)) return [];
  return value
    .filter((p): p is Record<string, unknown> => typeof p === 'object' && p !== null)
    .map((p) => ({ pid: Number(p.pid), bundleId: typeof p.bundleId === 'string' ? p.bundleId : '' }));
}

/** An event line of the protocol, its fields in their types; null for any other kind. */
function tapEventLine(raw: Record<string, unknown>): TapEventLine | null {
  switch (raw.event) {
    case 'ready':
      return { event: 'ready', sampleRate: asNumber(raw.sampleRate), deviceRate: asNumber(raw.deviceRate), channels: asNumber(raw.channels) };
    case 'stopped':
      return { event: 'stopped' };
    case 'permission':
      return { event: 'permission', granted: raw.granted === true };
    case 'error':
      return { event: 'error', message: String(raw.message) };
    case 'inputActivity': {
      const activity: InputActivity = { running: raw.running === true, processes: processList(raw.processes) };
      return { event: 'inputActivity', ...activity };
    }
    case 'captureSilence': {
      const silence: CaptureSilence = { silent: raw.silent === true };
      if (silence.silent) silence.playing = processList(raw.playing);
      return { event: 'captureSilence', ...silence };
    }
    case 'debug':
      return { ...raw, event: 'debug', step: String(raw.step) };
    default:
      return null;
  }
}
