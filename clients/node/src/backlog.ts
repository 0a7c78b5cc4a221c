// The frames that arrived and were not yet taken: a bounded queue between the reader,
// which never stops reading the helper's output, and a consumer that may be slow.
// When the consumer falls behind by more than the bound, the oldest frames go and are
// counted, so the helper never blocks on a full pipe and memory stays bounded. A read
// that is aborted leaves the queue as it was: the next frame goes to the next read.
import { AbortError } from './errors';

interface Waiter<T> {
  resolve: (result: IteratorResult<T>) => void;
  reject: (error: Error) => void;
}

export class FrameBacklog<T = Int16Array> implements AsyncIterator<T> {
  private items: T[] = [];
  private head = 0;
  private waiters: Waiter<T>[] = [];
  private ended = false;
  private failure: Error | null = null;
  /** Frames dropped because the consumer fell behind. */
  dropped = 0;

  /** `onDrop` is called with each frame dropped. */
  constructor(readonly limit: number, private readonly onDrop?: (item: T) => void) {
    if (!Number.isInteger(limit) || limit < 1) {
      throw Object.assign(new RangeError(`backlog limit must be a positive integer, not ${limit}`), { code: 'ERR_OUT_OF_RANGE' });
    }
  }

  get length(): number {
    return this.items.length - this.head;
  }

  /** Whether nothing is left to report: ended, empty, its error (if any) delivered. */
  get finished(): boolean {
    return this.ended && this.length === 0 && this.failure === null;
  }

  push(item: T): void {
    if (this.ended) return;
    const waiter = this.waiters.shift();
    if (waiter) {
      waiter.resolve({ value: item, done: false });
      return;
    }
    this.items.push(item);
    if (this.length > this.limit) {
      const oldest = this.items[this.head] as T;
      this.head++;
      this.dropped++;
      this.onDrop?.(oldest);
    }
    // Compact now and then rather than shifting on every frame.
    if (this.head > 64 && this.head * 2 > this.items.length) {
      this.items = this.items.slice(this.head);
      this.head = 0;
    }
  }

  /** No more frames will come; with `error`, the consumer gets it after the last frame. */
  end(error: Error | null = null): void {
    if (this.ended) return;
    this.ended = true;
    this.failure = error;
    for (const waiter of this.waiters.splice(0)) this.settleEnded(waiter);
  }

  /** The next frame; with an aborted `signal`, rejects with an AbortError and takes nothing. */
  next(signal?: AbortSignal): Promise<IteratorResult<T>> {
    return new Promise((resolve, reject) => {
      if (signal?.aborted) {
        reject(new AbortError(undefined, { cause: signal.reason }));
      } else if (this.length) {
        const item = this.items[this.head++] as T;
        resolve({ value: item, done: false });
      } else if (this.ended) {
        this.settleEnded({ resolve, reject });
      } else {
        const waiter: Waiter<T> = { resolve, reject };
        this.waiters.push(waiter);
        if (!signal) return;
        const onAbort = () => {
          const at = this.waiters.indexOf(waiter);
          if (at === -1) return;
          this.waiters.splice(at, 1);
          reject(new AbortError(undefined, { cause: signal.reason }));
        };
        signal.addEventListener('abort', onAbort, { once: true });
        const forget = () => signal.removeEventListener('abort', onAbort);
        waiter.resolve = (result) => { forget(); resolve(result); };
        waiter.reject = (error) => { forget(); reject(error); };
      }
    });
  }

  /** Called when a for-await loop is left early: frames go on arriving for a later loop. */
  return(): Promise<IteratorResult<T>> {
    return Promise.resolve({ value: undefined, done: true });
  }

  [Symbol.asyncIterator](): AsyncIterator<T> {
    return this;
  }

  private settleEnded(waiter: Waiter<T>): void {
    const failure = this.failure;
    this.failure = null; // reported once; afterwards the iterator is simply done
    if (failure) waiter.reject(failure);
    else waiter.resolve({ value: undefined, done: true });
  }
}
