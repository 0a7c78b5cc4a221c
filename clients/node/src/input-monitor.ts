// vesk-input-monitor as a host drives it: JSON command lines on its standard input,
// JSON event lines ({"type": ...}) on its standard output. Its first two lines are
// always "permission" and "ready", written before it reads any command, so commands
// may be sent at once and the first "permission" is never an answer to one of them.
import { Abortable, abortable } from './abort';
import type { HelperLookupOptions } from './binary';
import { AbortError, BindingError } from './errors';
import type { InputMonitorEvents, Modifier, MonitorEventLine, RecordedBinding } from './events';
import { Deferred, EndOptions, HelperProcess } from './helper-process';

/** `binary`, `baseDir` and `searchPath` say where vesk-input-monitor is (by default where the package finds it). */
export interface InputMonitorOptions extends HelperLookupOptions {
  /** The helper's environment; by default this process's (DISPLAY on X11). */
  env?: NodeJS.ProcessEnv | undefined;
}

/** The first two lines: whether keys can be watched, and whether the event tap exists. */
export interface MonitorReady {
  trusted: boolean;
  tapCreated: boolean;
}

/** The modifier names of the protocol, in the order labels show them. */
export const MODIFIERS: readonly Modifier[] = ['control', 'option', 'shift', 'command', 'fn'];

/**
 * A push-to-talk shortcut: a main key (a macOS virtual key code, see `KeyCode`) with
 * modifiers, a modifier key alone, or modifiers alone (no mainKey).
 */
export interface Binding {
  mainKey?: number | null | undefined;
  modifiers?: readonly Modifier[] | undefined;
}

const INT64_SAFE = Number.MAX_SAFE_INTEGER;

export class InputMonitor extends HelperProcess<InputMonitorEvents> {
  /** Resolves with the first two lines' answers; rejects if the helper ends first. */
  readonly ready: Promise<MonitorReady>;
  private readonly readyDeferred: Deferred<MonitorReady>;
  private startupTrusted: boolean | null = null;
  private isReady = false;
  private holding = false;
  private permissionAnswers: Deferred<boolean>[] = [];
  private recording: Deferred<RecordedBinding> | null = null;

  constructor(options: InputMonitorOptions = {}) {
    super({
      name: 'vesk-input-monitor',
      binary: options.binary,
      baseDir: options.baseDir,
      searchPath: options.searchPath,
      args: [],
      env: options.env,
      eventStream: 'stdout',
      kindKey: 'type',
    });
    this.readyDeferred = this.expect<MonitorReady>('"ready"');
    this.ready = this.readyDeferred.promise;
    // A host that never awaits `ready` must not see an unhandled rejection.
    this.ready.catch(() => {});
  }

  /** Sets the push-to-talk binding; throws a BindingError for one the helper cannot hold. */
  setBinding({ mainKey, modifiers = [] }: Binding): void {
    const key = mainKey ?? null;
    if (key !== null && (!Number.isInteger(key) || key < 0 || key > INT64_SAFE)) {
      throw new BindingError(`mainKey must be a key code (a non-negative integer), not ${String(key)}`);
    }
    const unknown = modifiers.filter((m) => !MODIFIERS.includes(m));
    if (unknown.length) throw new BindingError(`unknown modifier "${String(unknown[0])}" (one of ${MODIFIERS.join(', ')})`);
    if (key === null && modifiers.length === 0) throw new BindingError('a binding needs a main key or a modifier; clearBinding() removes it');
    const binding: { modifiers: Modifier[]; mainKey?: number } = { modifiers: [...modifiers] };
    if (key !== null) binding.mainKey = key;
    this.endHold();
    this.sendJson({ cmd: 'setBinding', binding });
  }

  /** No push-to-talk shortcut; a hold in progress ends with a synthetic "up". */
  clearBinding(): void {
    this.endHold();
    this.sendJson({ cmd: 'setBinding' });
  }

  /**
   * Records the next shortcut the user presses (on X11 the keyboard is grabbed until
   * then); resolves with it. A second call while recording shares the first's promise.
   * Aborting `signal` leaves record mode (as `cancelRecord()` does).
   */
  record(options: Abortable = {}): Promise<RecordedBinding> {
    const { signal } = options;
    if (this.recording) return abortable(this.recording.promise, signal);
    const deferred = this.expect<RecordedBinding>('"recorded"');
    if (!this.hasExited && !signal?.aborted) {
      this.recording = deferred;
      const forget = () => {
        if (this.recording === deferred) this.recording = null;
      };
      deferred.promise.then(forget, forget);
      this.endHold();
      this.sendJson({ cmd: 'setMode', mode: 'record' });
    }
    return abortable(deferred.promise, signal, () => {
      if (this.recording === deferred) this.cancelRecord();
    });
  }

  /** Leaves record mode; a pending `record()` rejects with an AbortError. */
  cancelRecord(): void {
    this.sendJson({ cmd: 'setMode', mode: 'listen' });
    this.recording?.reject(new AbortError('recording cancelled'));
  }

  /** Whether the process may watch the keyboard, without asking the user. */
  checkPermission(options: Abortable = {}): Promise<boolean> {
    return this.askPermission('checkPermission', options.signal);
  }

  /** The same, letting the platform ask the user (macOS shows its prompt). */
  requestPermission(options: Abortable = {}): Promise<boolean> {
    return this.askPermission('requestPermission', options.signal);
  }

  /** Closes the helper's input, which ends it; resolves with its exit status. */
  close(options: number | EndOptions = {}): Promise<number | null> {
    return this.end(() => this.closeInput(), options);
  }

  private askPermission(cmd: string, signal: AbortSignal | undefined): Promise<boolean> {
    const deferred = this.expect<boolean>(`answering "${cmd}"`);
    // Sent even when aborted later: its answer still has to be matched to it.
    if (!signal?.aborted && this.sendJson({ cmd })) this.permissionAnswers.push(deferred);
    return abortable(deferred.promise, signal);
  }

  private sendJson(command: object): boolean {
    return !this.ending && this.send(JSON.stringify(command));
  }

  /** A hold the helper drops without a word (a new binding, record mode, its end) ends here. */
  private endHold(): void {
    if (!this.holding) return;
    this.holding = false;
    this.emit('up', { synthetic: true });
  }

  protected onEvent(raw: Record<string, unknown>, text: string): void {
    const line = monitorEventLine(raw);
    if (!line) {
      this.emit('text', text);
      return;
    }
    switch (line.type) {
      case 'permission':
        if (!this.isReady && this.startupTrusted === null) this.startupTrusted = line.trusted;
        else this.permissionAnswers.shift()?.resolve(line.trusted);
        break;
      case 'ready':
        if (!this.isReady) {
          this.isReady = true;
          this.readyDeferred.resolve({ trusted: this.startupTrusted === true, tapCreated: line.tapCreated });
        }
        break;
      case 'recorded':
        this.recording?.resolve(line.binding);
        break;
    }
    this.emit('event', line);
    if (line.type === 'down') {
      this.holding = true;
      this.emit('down');
    } else if (line.type === 'up') {
      this.holding = false;
      this.emit('up', { synthetic: false });
    } else if (line.type === 'secureInput') {
      this.emit('secureInput', { enabled: line.enabled });
    }
  }

  protected onOtherOutput(): void {
    // Standard error is never written; it is read only so that it can never fill up.
  }

  protected onExit(): void {
    this.endHold();
  }
}

/** An event line of the protocol, its fields in their types; null for any other kind or a malformed "recorded". */
function monitorEventLine(raw: Record<string, unknown>): MonitorEventLine | null {
  switch (raw.type) {
    case 'permission':
      return { type: 'permission', trusted: raw.trusted === true };
    case 'ready':
      return { type: 'ready', tapCreated: raw.tapCreated === true };
    case 'down':
    case 'up':
      return { type: raw.type };
    case 'secureInput':
      return { type: 'secureInput', enabled: raw.enabled === true };
    case 'recorded': {
      const binding = recordedBinding(raw.binding);
      return binding ? { type: 'recorded', binding } : null;
    }
    default:
      return null;
  }
}

function recordedBinding(value: unknown): RecordedBinding | null {
  if (typeof value !== 'object' || value === null) return null;
  const b = value as Record<string, unknown>;
  const modifiers = Array.isArray(b.modifiers) ? b.modifiers.filter((m): m is Modifier => MODIFIERS.includes(m)) : [];
  return {
    mainKey: typeof b.mainKey === 'number' ? b.mainKey : null,
    modifiers,
    label: typeof b.label === 'string' ? b.label : '',
  };
}
