// One helper executable run as a child process and driven over its standard streams:
// the part both helpers share. Both pipes the helper writes are read for as long as it
// lives, so it never blocks on a full pipe; event lines are parsed and handed to the
// subclass; the end of the process is reported once ("exit"), after every byte it wrote
// was delivered, and at that moment every promise still waiting for an answer is
// rejected. Nothing here throws or rejects where the host cannot catch it.
import { ChildProcess, spawn } from 'child_process';
import { EventEmitter } from 'events';
import { Readable } from 'stream';
import { findHelper, type HelperLookupOptions } from './binary';
import { abortable } from './abort';
import { HelperExitedError } from './errors';
import type { EventMap, HelperEvents, TypedEmitter } from './events';
import { LineSplitter, parseEvent } from './lines';

/** How a helper ended: its exit status or signal, or why it could not run or was ended. */
export interface HelperExit {
  code: number | null;
  signal: NodeJS.Signals | null;
  /** Set when the helper could not be started, or was killed for writing garbage. */
  error?: Error;
}


export function describeExit({ code, signal, error }: HelperExit): string {
  if (error) return `ended: ${error.message}`;
  if (signal) return `was killed by ${signal}`;
  return `exited with status ${code}`;
}

/** What a pending answer waits for, and what it becomes when the host ended the helper first. */
interface Expectation {
  waitingFor: string;
  /** Present: the promise resolves with this when the end was asked for (quit, close, kill). */
  onRequestedEnd?: { value: unknown };
}

export interface Deferred<T> {
  promise: Promise<T>;
  resolve: (value: T) => void;
  reject: (error: Error) => void;
}

/** How long a helper that was told to end gets before it is killed. */
export const DEFAULT_END_TIMEOUT_MS = 5000;

/** The options of quit() and close(); a number is `timeoutMs`. */
export interface EndOptions {
  /** How long the helper gets before it is killed (default 5000). */
  timeoutMs?: number | undefined;
  /** Aborting it stops the waiting (an AbortError); the helper ends all the same. */
  signal?: AbortSignal | undefined;
}

export interface HelperSpawn extends HelperLookupOptions {
  name: string;
  args: string[];
  env?: NodeJS.ProcessEnv | undefined;
  /** The stream that carries event lines; the other one goes to `onOtherOutput`. */
  eventStream: 'stdout' | 'stderr';
  kindKey: 'event' | 'type';
}

type TypedEventEmitter<E extends EventMap<E>> = Omit<EventEmitter, keyof TypedEmitter<E>> & TypedEmitter<E>;
const Emitter = EventEmitter as unknown as new <E extends EventMap<E>>() => TypedEventEmitter<E>;

export abstract class HelperProcess<E extends EventMap<E> & HelperEvents> extends Emitter<E> {
  /** The helper's process id; undefined when it could not be started. */
  readonly pid: number | undefined;
  protected readonly name: string;
  private readonly child: ChildProcess | null = null;
  private exitInfo: HelperExit | null = null;
  private readonly exited: Deferred<HelperExit>;
  private readonly pending = new Map<Deferred<unknown>, Expectation>();
  private killTimer: NodeJS.Timeout | null = null;
  private killReason: Error | null = null;
  /** The host asked the helper to end (or it was killed): its end is expected. */
  protected ending = false;
  /** Settles once the process runs; rejects with the reason it could not be started. */
  protected readonly started: Promise<void>;

  constructor(spec: HelperSpawn) {
    super();
    this.name = spec.name;
    this.exited = makeDeferred<HelperExit>();
    const started = makeDeferred<void>();
    this.started = started.promise;
    // A host that never awaits it must not see an unhandled rejection.
    this.started.catch(() => {});
    this.exited.promise.then((exit) => started.reject(this.exitError(exit, 'it started')));
    const env = spec.env ?? process.env;
    let file: string;
    try {
      file = findHelper(spec.name, spec.binary, env, spec);
    } catch (error) {
      // Reported like any other end, once the host has had a chance to listen.
      setImmediate(() => this.finish({ code: null, signal: null, error: error as Error }));
      return;
    }
    const notStarted = (cause?: Error) => new HelperExitedError(spec.name, null,
      `${spec.name} could not be started (${file})${cause ? `: ${cause.message}` : ''}`, { cause });
    // In a process group of its own, so that a terminal's Ctrl-C reaches the host only and
    // the host can end the helper in order; it still ends with the host, whose end closes
    // its standard input (and the audio tap watches its parent too).
    const child = spawn(file, spec.args, { stdio: ['pipe', 'pipe', 'pipe'], env, detached: true });
    this.child = child;
    this.pid = child.pid;
    child.once('spawn', () => started.resolve());
    // A helper that is gone makes writes fail with EPIPE; "exit" reports its end instead.
    child.stdin!.on('error', () => {});
    child.on('error', (error) => {
      if (this.pid === undefined) {
        this.finish({ code: null, signal: null, error: notStarted(error) });
      }
    });
    child.on('close', (code, signal) => {
      const error = this.killReason ?? (this.pid === undefined ? notStarted() : undefined);
      this.finish(error ? { code, signal, error } : { code, signal });
    });
    const events = child[spec.eventStream]!;
    const other = child[spec.eventStream === 'stdout' ? 'stderr' : 'stdout']!;
    this.readLines(events, spec.kindKey);
    other.on('error', () => {});
    other.on('data', (chunk: Buffer) => this.onOtherOutput(chunk));
    other.on('end', () => this.onOtherOutputEnd());
  }

  /** Whether the helper has ended (or never started). */
  get hasExited(): boolean {
    return this.exitInfo !== null;
  }

  /** How the helper ended, once it has. */
  get exit(): HelperExit | null {
    return this.exitInfo;
  }

  /** Asks the helper to end; resolves with its exit status once it has (at once if it already has). */
  abstract close(): Promise<number | null>;

  /** `await using helper = ...`: the helper is closed when the scope is left. */
  async [Symbol.asyncDispose](): Promise<void> {
    await this.close();
  }

  /** Ends the helper at once with SIGKILL. */
  kill(): void {
    this.ending = true;
    if (this.child && !this.exitInfo) this.child.kill('SIGKILL');
  }

  /** An event line (`line`, parsed as `event`): a JSON object with its kind in the stream's kind key. */
  protected abstract onEvent(event: Record<string, unknown>, line: string): void;

  /** Bytes of the stream that does not carry events. */
  protected abstract onOtherOutput(chunk: Buffer): void;

  protected onOtherOutputEnd(): void {}

  /** Runs once the helper has ended, before pending promises are rejected and "exit" is emitted. */
  protected onExit(_exit: HelperExit): void {}

  /** Writes one line to the helper's standard input; false when it can no longer be written. */
  protected send(line: string): boolean {
    const stdin = this.child?.stdin;
    if (this.exitInfo || !stdin || !stdin.writable) return false;
    stdin.write(line + '\n');
    return true;
  }

  /**
   * A promise for an answer; rejected with a HelperExitedError should the helper end
   * first, unless `onRequestedEnd` is given: then an end the host asked for resolves it
   * with that value.
   */
  protected expect<T>(waitingFor: string, onRequestedEnd?: { value: T }): Deferred<T> {
    const deferred = makeDeferred<T>();
    const expectation: Expectation = onRequestedEnd ? { waitingFor, onRequestedEnd } : { waitingFor };
    if (this.exitInfo) {
      this.settleAtEnd(deferred as Deferred<unknown>, expectation, this.exitInfo);
      return deferred;
    }
    const entry = deferred as Deferred<unknown>;
    this.pending.set(entry, expectation);
    const forget = () => this.pending.delete(entry);
    deferred.promise.then(forget, forget);
    return deferred;
  }

  /**
   * Ends the helper: `request` asks it to (a command, closing its input), and after
   * `timeoutMs` it is killed. Resolves with its exit status (null when killed).
   */
  protected end(request: () => void, options: number | EndOptions): Promise<number | null> {
    const { timeoutMs = DEFAULT_END_TIMEOUT_MS, signal } = typeof options === 'number' ? { timeoutMs: options } : options;
    if (!this.exitInfo && !this.ending && !signal?.aborted) {
      this.ending = true;
      request();
      this.killTimer = setTimeout(() => this.child?.kill('SIGKILL'), timeoutMs);
    }
    return abortable(this.exited.promise.then((exit) => exit.code), signal);
  }

  protected closeInput(): void {
    const stdin = this.child?.stdin;
    if (stdin && !stdin.destroyed) stdin.end();
  }

  /** Kills a helper that wrote something no helper writes; its end carries `reason`. */
  protected killForGarbage(reason: Error): void {
    if (this.killReason || this.exitInfo) return;
    this.killReason = reason;
    this.kill();
  }

  /** What a promise waiting for `waitingFor` is rejected with once the helper has ended. */
  protected exitError(exit: HelperExit, waitingFor: string): Error {
    // A helper that never ran: the reason itself is the clearest message.
    if (exit.error && this.pid === undefined) return exit.error;
    return new HelperExitedError(this.name, exit, `${this.name} ${describeExit(exit)} before ${waitingFor}`, { cause: exit.error });
  }

  private settleAtEnd(deferred: Deferred<unknown>, { waitingFor, onRequestedEnd }: Expectation, exit: HelperExit): void {
    if (onRequestedEnd && this.ending) deferred.resolve(onRequestedEnd.value);
    else deferred.reject(this.exitError(exit, waitingFor));
  }

  private readLines(stream: Readable, kindKey: 'event' | 'type'): void {
    const splitter = new LineSplitter();
    const deliver = (line: string) => {
      const event = parseEvent(line, kindKey);
      if (event) this.onEvent(event, line);
      else if (line.trim()) (this as TypedEmitter<HelperEvents>).emit('text', line);
    };
    stream.on('error', () => {});
    stream.on('data', (chunk: Buffer) => splitter.push(chunk).forEach(deliver));
    stream.on('end', () => {
      const last = splitter.end();
      if (last !== null) deliver(last);
    });
  }

  private finish(exit: HelperExit): void {
    if (this.exitInfo) return;
    this.exitInfo = exit;
    if (this.killTimer) clearTimeout(this.killTimer);
    this.onExit(exit);
    for (const [deferred, expectation] of [...this.pending]) this.settleAtEnd(deferred, expectation, exit);
    this.pending.clear();
    this.exited.resolve(exit);
    (this as TypedEmitter<HelperEvents>).emit('exit', exit);
  }
}

export function makeDeferred<T>(): Deferred<T> {
  let resolve!: (value: T) => void;
  let reject!: (error: Error) => void;
  const promise = new Promise<T>((res, rej) => {
    resolve = res;
    reject = rej;
  });
  return { promise, resolve, reject };
}
