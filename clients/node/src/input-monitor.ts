// vesk-input-monitor as a host drives it: JSON command lines on its standard input,
// JSON event lines ({"type": ...}) on its standard output. Its first two lines are
// always "permission" and "ready", written before it reads any command, so commands
// may be sent at once and the first "permission" is never an answer to one of them.
import {
  DEFAULT_END_TIMEOUT_MS, Deferred, HelperExit, HelperProcess,
} from './helper-process';

export interface InputMonitorOptions {
  /** The executable; by default vesk-input-monitor next to this package or on PATH. */
  binary?: string;
  /** The helper's environment; by default this process's (DISPLAY on X11). */
  env?: NodeJS.ProcessEnv;
}

/** The first two lines: whether keys can be watched, and whether the event tap exists. */
export interface MonitorReady {
  trusted: boolean;
  tapCreated: boolean;
}

/**
 * A push-to-talk shortcut: a main key (a macOS virtual key code; 49 is Space) with
 * modifiers ("control", "option", "shift", "command", "fn"), a modifier key alone, or
 * modifiers alone (no mainKey).
 */
export interface Binding {
  mainKey?: number | null;
  modifiers?: string[];
}

/** A shortcut the user pressed in record mode, with its display label (such as "⌃ + Space"). */
export interface RecordedBinding {
  mainKey: number | null;
  modifiers: string[];
  label: string;
}

export interface InputMonitor {
  on(event: 'down' | 'up', listener: () => void): this;
  on(event: 'event', listener: (event: Record<string, unknown>) => void): this;
  on(event: 'exit', listener: (exit: HelperExit) => void): this;
  on(event: 'text', listener: (line: string) => void): this;
  once(event: 'down' | 'up', listener: () => void): this;
  once(event: 'event', listener: (event: Record<string, unknown>) => void): this;
  once(event: 'exit', listener: (exit: HelperExit) => void): this;
  once(event: 'text', listener: (line: string) => void): this;
}

export class InputMonitor extends HelperProcess {
  /** Resolves with the first two lines' answers; rejects if the helper ends first. */
  readonly ready: Promise<MonitorReady>;
  private readonly readyDeferred: Deferred<MonitorReady>;
  private startupTrusted: boolean | null = null;
  private isReady = false;
  private permissionAnswers: Deferred<boolean>[] = [];
  private recording: Deferred<RecordedBinding> | null = null;

  constructor(options: InputMonitorOptions = {}) {
    super({ name: 'vesk-input-monitor', binary: options.binary, args: [], env: options.env, eventStream: 'stdout', kindKey: 'type' });
    this.readyDeferred = this.expect<MonitorReady>('"ready"');
    this.ready = this.readyDeferred.promise;
    // A host that never awaits `ready` must not see an unhandled rejection.
    this.ready.catch(() => {});
  }

  setBinding({ mainKey, modifiers = [] }: Binding): void {
    if (mainKey !== undefined && mainKey !== null && !Number.isInteger(mainKey)) {
      throw new TypeError(`mainKey must be an integer key code, not ${mainKey}`);
    }
    const binding: Binding = { modifiers: [...modifiers] };
    if (mainKey !== undefined && mainKey !== null) binding.mainKey = mainKey;
    this.sendJson({ cmd: 'setBinding', binding });
  }

  /** No push-to-talk shortcut; a hold in progress ends without "up". */
  clearBinding(): void {
    this.sendJson({ cmd: 'setBinding' });
  }

  /**
   * Records the next shortcut the user presses (on X11 the keyboard is grabbed until
   * then); resolves with it. A second call while recording shares the first's promise.
   */
  record(): Promise<RecordedBinding> {
    if (this.recording) return this.recording.promise;
    const deferred = this.expect<RecordedBinding>('"recorded"');
    if (!this.hasExited) {
      this.recording = deferred;
      const forget = () => {
        if (this.recording === deferred) this.recording = null;
      };
      deferred.promise.then(forget, forget);
      this.sendJson({ cmd: 'setMode', mode: 'record' });
    }
    return deferred.promise;
  }

  /** Leaves record mode; a pending `record()` rejects. */
  cancelRecord(): void {
    this.sendJson({ cmd: 'setMode', mode: 'listen' });
    this.recording?.reject(new Error('recording cancelled'));
  }

  /** Whether the process may watch the keyboard, without asking the user. */
  checkPermission(): Promise<boolean> {
    return this.askPermission('checkPermission');
  }

  /** The same, letting the platform ask the user (macOS shows its prompt). */
  requestPermission(): Promise<boolean> {
    return this.askPermission('requestPermission');
  }

  /** Closes the helper's input, which ends it; resolves with its exit status. */
  close(timeoutMs = DEFAULT_END_TIMEOUT_MS): Promise<number | null> {
    return this.end(() => this.closeInput(), timeoutMs);
  }

  private askPermission(cmd: string): Promise<boolean> {
    const deferred = this.expect<boolean>(`answering "${cmd}"`);
    if (this.sendJson({ cmd })) this.permissionAnswers.push(deferred);
    return deferred.promise;
  }

  private sendJson(command: object): boolean {
    return !this.ending && this.send(JSON.stringify(command));
  }

  protected onEvent(event: Record<string, unknown>): void {
    switch (event.type) {
      case 'permission':
        if (!this.isReady && this.startupTrusted === null) this.startupTrusted = event.trusted === true;
        else this.permissionAnswers.shift()?.resolve(event.trusted === true);
        break;
      case 'ready':
        if (!this.isReady) {
          this.isReady = true;
          this.readyDeferred.resolve({ trusted: this.startupTrusted === true, tapCreated: event.tapCreated === true });
        }
        break;
      case 'recorded': {
        const binding = recordedBinding(event.binding);
        if (binding) this.recording?.resolve(binding);
        break;
      }
    }
    this.emit('event', event);
    if (event.type === 'down' || event.type === 'up') this.emit(event.type);
  }

  protected onOtherOutput(): void {
    // Standard error is never written; it is read only so that it can never fill up.
  }
}

function recordedBinding(value: unknown): RecordedBinding | null {
  if (typeof value !== 'object' || value === null) return null;
  const b = value as Record<string, unknown>;
  const modifiers = Array.isArray(b.modifiers) ? b.modifiers.filter((m): m is string => typeof m === 'string') : [];
  return {
    mainKey: typeof b.mainKey === 'number' ? b.mainKey : null,
    modifiers,
    label: typeof b.label === 'string' ? b.label : '',
  };
}
