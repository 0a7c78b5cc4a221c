// AbortSignal support: a promise a host stops waiting for when its signal aborts.
import { AbortError } from './errors';

/** The options of a call a host may cancel. */
export interface Abortable {
  signal?: AbortSignal | undefined;
}

export function abortError(signal: AbortSignal): AbortError {
  return new AbortError(undefined, { cause: signal.reason });
}

/**
 * `promise`, or an AbortError once `signal` aborts; `onAbort` runs then. What `promise`
 * settles with afterwards is dropped.
 */
export function abortable<T>(promise: Promise<T>, signal: AbortSignal | undefined, onAbort?: () => void): Promise<T> {
  if (!signal) return promise;
  return new Promise<T>((resolve, reject) => {
    const abort = () => {
      onAbort?.();
      reject(abortError(signal));
    };
    if (signal.aborted) {
      promise.catch(() => {});
      abort();
      return;
    }
    signal.addEventListener('abort', abort, { once: true });
    const forget = () => signal.removeEventListener('abort', abort);
    promise.then((value) => { forget(); resolve(value); }, (error) => { forget(); reject(error); });
  });
}
