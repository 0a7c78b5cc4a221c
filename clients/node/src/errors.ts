// The errors the package throws and rejects with. Each has a `code` a host can branch
// on; HelperNotFoundError (ERR_VESK_HELPER_NOT_FOUND) lives with the lookup in binary.ts.
import type { HelperExit } from './helper-process';

export type VeskErrorCode =
  | 'ERR_VESK_HELPER_NOT_FOUND'
  | 'ERR_VESK_HELPER_EXITED'
  | 'ERR_VESK_TAP'
  | 'ERR_VESK_FRAME'
  | 'ERR_VESK_BINDING';

/**
 * The helper has ended, is ending, or never ran: whatever waited on it cannot happen.
 * `exit` says how it ended (null while it is still ending).
 */
export class HelperExitedError extends Error {
  readonly code = 'ERR_VESK_HELPER_EXITED' as const;
  constructor(readonly helper: string, readonly exit: HelperExit | null, message: string, options?: { cause?: unknown }) {
    super(message, options);
    this.name = 'HelperExitedError';
  }
}

/**
 * A failure the audio tap reported in an "error" event: a failed start, or a capture
 * that ended on its own. `status` is the platform status the text carries, such as -1 in
 * "The system audio tap could not be created (-1).", when it carries one.
 */
export class TapError extends Error {
  readonly code = 'ERR_VESK_TAP' as const;
  readonly status?: number;
  constructor(message: string) {
    super(message);
    this.name = 'TapError';
    const status = /\((-?\d+)\)\.?\s*$/.exec(message);
    if (status) this.status = Number(status[1]);
  }
}

/** The audio tap wrote what no frame can be: its output cannot be trusted any more. */
export class FrameError extends Error {
  readonly code = 'ERR_VESK_FRAME' as const;
  constructor(message: string) {
    super(message);
    this.name = 'FrameError';
  }
}

/** A push-to-talk binding the input monitor cannot hold (an unknown modifier, no key at all...). */
export class BindingError extends TypeError {
  readonly code = 'ERR_VESK_BINDING' as const;
  constructor(message: string) {
    super(message);
    this.name = 'BindingError';
  }
}

/** A call given an AbortSignal that was aborted; like Node's own AbortError. */
export class AbortError extends Error {
  readonly code = 'ABORT_ERR' as const;
  constructor(message = 'The operation was aborted', options?: { cause?: unknown }) {
    super(message, options);
    this.name = 'AbortError';
  }
}
