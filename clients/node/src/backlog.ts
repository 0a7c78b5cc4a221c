// The frames that arrived and were not yet taken: a bounded queue between the reader,
// which never stops reading the helper's output, and a consumer that may be slow.
// When the consumer falls behind by more than the bound, the oldest frames go and are
// counted, so the helper never blocks on a full pipe and memory stays bounded.

interface Waiter {
  resolve: (result: IteratorResult<Int16Array>) => void;
  reject: (error: Error) => void;
}

export class FrameBacklog implements AsyncIterator<Int16Array> {
  private frames: Int16Array[] = [];
  private head = 0;
  private waiters: Waiter[] = [];
  private ended = false;
  private failure: Error | null = null;
  /** Frames dropped because the consumer fell behind. */
  dropped = 0;

  constructor(readonly limit: number) {
    if (!Number.isInteger(limit) || limit < 1) throw new RangeError(`backlog limit must be a positive integer, not ${limit}`);
  }

  get length(): number {
    return this.frames.length - this.head;
  }

  push(frame: Int16Array): void {
    if (this.ended) return;
    const waiter = this.waiters.shift();
    if (waiter) {
      waiter.resolve({ value: frame, done: false });
      return;
    }
    this.frames.push(frame);
    if (this.length > this.limit) {
      this.head++;
      this.dropped++;
    }
    // Compact now and then rather than shifting on every frame.
    if (this.head > 64 && this.head * 2 > this.frames.length) {
      this.frames = this.frames.slice(this.head);
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

  next(): Promise<IteratorResult<Int16Array>> {
    return new Promise((resolve, reject) => {
      if (this.length) {
        const frame = this.frames[this.head++];
        resolve({ value: frame, done: false });
      } else if (this.ended) {
        this.settleEnded({ resolve, reject });
      } else {
        this.waiters.push({ resolve, reject });
      }
    });
  }

  /** Called when a for-await loop is left early: frames go on arriving for a later loop. */
  return(): Promise<IteratorResult<Int16Array>> {
    return Promise.resolve({ value: undefined, done: true });
  }

  [Symbol.asyncIterator](): AsyncIterator<Int16Array> {
    return this;
  }

  private settleEnded(waiter: Waiter): void {
    const failure = this.failure;
    this.failure = null; // reported once; afterwards the iterator is simply done
    if (failure) waiter.reject(failure);
    else waiter.resolve({ value: undefined, done: true });
  }
}
