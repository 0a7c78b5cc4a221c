// Event lines out of a byte stream. A pipe hands data over in chunks that end
// anywhere, even inside a UTF-8 character, so bytes wait until their line is complete
// and only then are decoded. A line longer than any event is garbage: it is dropped
// up to its line feed instead of growing the buffer without end.

/** Longest line kept; the helpers' events are a few hundred bytes. */
export const MAX_LINE_BYTES = 1 << 20;

export class LineSplitter {
  private rest: Buffer = Buffer.alloc(0);
  private skipping = false;

  /** The lines completed by `chunk`, without their line feeds. */
  push(chunk: Buffer): string[] {
    const data = this.rest.length ? Buffer.concat([this.rest, chunk]) : chunk;
    const lines: string[] = [];
    let start = 0;
    for (let feed = data.indexOf(0x0a); feed !== -1; feed = data.indexOf(0x0a, start)) {
      if (!this.skipping) lines.push(data.toString('utf8', start, feed));
      this.skipping = false;
      start = feed + 1;
    }
    if (data.length - start > MAX_LINE_BYTES) {
      this.skipping = true;
      start = data.length;
    }
    this.rest = Buffer.from(data.subarray(start));
    return lines;
  }

  /** At the end of the stream: a last line that had no line feed, if any. */
  end(): string | null {
    const last = this.rest.length && !this.skipping ? this.rest.toString('utf8') : null;
    this.rest = Buffer.alloc(0);
    this.skipping = false;
    return last;
  }
}

/** A JSON event whose kind is the string member `kindKey`; anything else is null. */
export function parseEvent(line: string, kindKey: 'event' | 'type'): Record<string, unknown> | null {
  let value: unknown;
  try {
    value = JSON.parse(line);
  } catch {
    return null;
  }
  if (typeof value !== 'object' || value === null || Array.isArray(value)) return null;
  const event = value as Record<string, unknown>;
  return typeof event[kindKey] === 'string' ? event : null;
}
