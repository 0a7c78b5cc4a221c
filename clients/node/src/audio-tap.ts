// vesk-audio-tap as a host drives it: plain-word commands on its standard input,
// JSON event lines on its standard error, length-prefixed PCM frames on its standard
// output. Commands that expect an answer go one at a time, each sent once the one
// before it was answered, so every answer is matched to its command without guessing:
// "start" while capturing and "stop" while idle, which the helper does not answer,
// settle at once instead of being sent.
import { FrameBacklog } from './backlog';
import { FrameError, HelperExitedError, TapError } from './errors';
import { FrameSplitter } from './frames';
import { DEFAULT_END_TIMEOUT_MS, Deferred, HelperExit, HelperProcess, describeExit } from './helper-process';

export interface AudioTapOptions {
  /** The executable; by default vesk-audio-tap next to this package or on PATH. */
  binary?: string;
  /** Processes whose audio is left out of the capture and of microphone reports. */
  excludePids?: number[];
  /** Leave out every descendant of the host and of the excluded processes too (--exclude-descendants). */
  excludeDescendants?: boolean;
  /** Ask the helper for "debug" events (seen through `on("event")`). */
  debug?: boolean;
  /** The helper's environment; by default this process's. */
  env?: NodeJS.ProcessEnv;
  /** Frames kept for a consumer that falls behind (default 100, 20 s); older ones are dropped. */
  maxBacklogFrames?: number;
}

/** The fields of the "ready" event. */
export interface TapReady {
  sampleRate: number;
  deviceRate: number;
  channels: number;
}

export interface InputProcess {
  pid: number;
  bundleId: string;
}

/** The fields of an "inputActivity" event. */
export interface InputActivity {
  running: boolean;
  processes: InputProcess[];
}


type Answer = 'ready' | 'stopped' | 'permission';

interface InFlight {
  answer: Answer;
  deferred: Deferred<unknown>;
}

const DEFAULT_BACKLOG_FRAMES = 100;
const INT32_MIN = -2147483648;
const INT32_MAX = 2147483647;

function argumentsFor(options: AudioTapOptions): string[] {
  const args: string[] = [];
  for (const pid of options.excludePids ?? []) {
    if (!Number.isInteger(pid) || pid < INT32_MIN || pid > INT32_MAX) {
      throw new TypeError(`excludePids: ${pid} is not a process id`);
    }
    args.push('--exclude-pid', String(pid));
  }
  if (options.excludeDescendants) args.push('--exclude-descendants');
  if (options.debug) args.push('--debug');
  return args;
}

export interface AudioTap {
  on(event: 'event', listener: (event: Record<string, unknown>) => void): this;
  on(event: 'inputActivity', listener: (activity: InputActivity) => void): this;
  on(event: 'exit', listener: (exit: HelperExit) => void): this;
  on(event: 'text', listener: (line: string) => void): this;
  once(event: 'event', listener: (event: Record<string, unknown>) => void): this;
  once(event: 'inputActivity', listener: (activity: InputActivity) => void): this;
  once(event: 'exit', listener: (exit: HelperExit) => void): this;
  once(event: 'text', listener: (line: string) => void): this;
}

export class AudioTap extends HelperProcess {
  private readonly backlog: FrameBacklog;
  private readonly splitter = new FrameSplitter();
  private framingFailed = false;
  private capture: TapReady | null = null;
  private inFlight: InFlight | null = null;
  private queue: Promise<unknown> = Promise.resolve();

  constructor(options: AudioTapOptions = {}) {
    const args = argumentsFor(options);
    const backlog = new FrameBacklog(options.maxBacklogFrames ?? DEFAULT_BACKLOG_FRAMES);
    super({ name: 'vesk-audio-tap', binary: options.binary, args, env: options.env, eventStream: 'stderr', kindKey: 'event' });
    this.backlog = backlog;
  }

  /** Whether capture is running, as far as the helper has said. */
  get capturing(): boolean {
    return this.capture !== null;
  }

  /** Frames dropped because the consumer of `frames()` fell behind. */
  get droppedFrames(): number {
    return this.backlog.dropped;
  }

  /**
   * The frames, whole and in order, as Int16Array (mono, 24000 Hz). Ends when the
   * helper ends; throws after the last frame if the helper died or wrote garbage.
   * Meant for one consumer at a time.
   */
  frames(): AsyncIterableIterator<Int16Array> {
    const backlog = this.backlog;
    return {
      next: () => backlog.next(),
      return: () => backlog.return(),
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }

  /** Starts capture; resolves with the "ready" fields, rejects with the helper's "error" text. */
  start(): Promise<TapReady> {
    return this.command('start', 'ready', () => this.capture);
  }

  /**
   * Stops capture; resolves on "stopped", at once when not capturing. By then the
   * capture's last, shorter frame is in `frames()`.
   */
  async stop(): Promise<void> {
    await this.command('stop', 'stopped', () => (this.capture ? null : true), { value: true });
  }

  /** Whether the system audio can be captured. */
  checkPermission(): Promise<boolean> {
    return this.command<boolean>('checkPermission', 'permission', () => null);
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
  quit(timeoutMs = DEFAULT_END_TIMEOUT_MS): Promise<number | null> {
    return this.end(() => {
      this.send('quit');
      this.closeInput();
    }, timeoutMs);
  }

  /** The same as `quit()`. */
  close(timeoutMs = DEFAULT_END_TIMEOUT_MS): Promise<number | null> {
    return this.quit(timeoutMs);
  }

  private sendUnlessEnding(line: string): void {
    if (!this.ending) this.send(line);
  }

  /**
   * Queues a command that expects `answer`. `settled` says whether the current state
   * makes it unnecessary: then it is not sent, and its promise resolves with that value.
   * With `onRequestedEnd` the command is one the end of the helper fulfils (stop): once
   * the host asked the helper to end, or it has ended, it resolves with that value
   * instead of being refused.
   */
  private command<T>(line: string, answer: Answer, settled: () => T | null, onRequestedEnd?: { value: T }): Promise<T> {
    const run = (): Promise<T> => {
      const waitingFor = `answering "${line}"`;
      if (this.hasExited) return onRequestedEnd ? Promise.resolve(onRequestedEnd.value) : this.expect<T>(waitingFor).promise;
      const already = settled();
      if (already !== null) return Promise.resolve(already);
      const deferred = this.expect<T>(waitingFor, onRequestedEnd);
      if (this.ending) {
        // The end stops capture too: its "stopped", or the exit, settles a stop.
        if (onRequestedEnd) this.inFlight = { answer, deferred: deferred as Deferred<unknown> };
        else deferred.reject(new HelperExitedError(this.name, null, `${this.name} is quitting; "${line}" was not sent`));
      } else if (this.send(line)) {
        this.inFlight = { answer, deferred: deferred as Deferred<unknown> };
      }
      return deferred.promise;
    };
    const result = this.queue.then(run, run);
    this.queue = result.catch(() => {});
    return result;
  }

  /** Settles the command in flight if `answer` is what it waits for. */
  private answer(answer: Answer, settle: (deferred: Deferred<unknown>) => void): void {
    const inFlight = this.inFlight;
    if (!inFlight || inFlight.answer !== answer) return;
    this.inFlight = null;
    settle(inFlight.deferred);
  }

  protected onEvent(event: Record<string, unknown>): void {
    switch (event.event) {
      case 'ready': {
        const ready: TapReady = {
          sampleRate: Number(event.sampleRate),
          deviceRate: Number(event.deviceRate),
          channels: Number(event.channels),
        };
        this.capture = ready;
        this.answer('ready', (d) => d.resolve(ready));
        break;
      }
      case 'error':
        this.answer('ready', (d) => d.reject(new TapError(String(event.message))));
        break;
      case 'stopped':
        this.capture = null;
        // The helper writes the last frame before "stopped", but on another pipe: one
        // turn of the event loop later that pipe has been read too, so the frame is in
        // the backlog when stop() resolves. Resolving with a promise settles it for good.
        this.answer('stopped', (d) => d.resolve(new Promise((resolve) => setImmediate(() => resolve(true)))));
        break;
      case 'permission':
        this.answer('permission', (d) => d.resolve(event.granted === true));
        break;
    }
    this.emit('event', event);
    if (event.event === 'inputActivity') {
      const processes = Array.isArray(event.processes) ? event.processes : [];
      this.emit('inputActivity', {
        running: event.running === true,
        processes: processes
          .filter((p): p is Record<string, unknown> => typeof p === 'object' && p !== null)
          .map((p) => ({ pid: Number(p.pid), bundleId: typeof p.bundleId === 'string' ? p.bundleId : '' })),
      });
    }
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
    for (const frame of frames) this.backlog.push(frame);
  }

  protected onOtherOutputEnd(): void {
    const pending = this.splitter.pendingBytes();
    if (pending && !this.framingFailed && !this.ending) {
      this.failFraming(new FrameError(`standard output ended inside a frame (${pending} bytes)`));
    }
  }

  protected onExit(exit: HelperExit): void {
    this.capture = null;
    if (exit.error || (!this.ending && (exit.signal !== null || exit.code !== 0))) {
      this.backlog.end(exit.error ?? new HelperExitedError(this.name, exit, `${this.name} ${describeExit(exit)}`));
    } else {
      this.backlog.end();
    }
  }

  private failFraming(error: Error): void {
    this.framingFailed = true;
    this.killForGarbage(error);
  }
}
