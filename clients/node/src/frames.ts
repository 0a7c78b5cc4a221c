// Frames out of the audio tap's standard output: a 4-byte little-endian payload
// length, then the payload, mono signed 16-bit little-endian PCM. Chunks end anywhere,
// inside a length as well as inside a payload, so what is left over waits for the
// next chunk. A length no frame can have (zero, odd or over 9600 bytes) means the
// stream can no longer be trusted: nothing after it can be framed again.
import { endianness } from 'os';
import { FrameError } from './errors';

/**
 * A full frame is 9600 bytes (200 ms) and no frame is longer: a longer length is
 * garbage, caught at once rather than after waiting for bytes that never make a frame.
 */
export const MAX_PAYLOAD_BYTES = 9600;


const LITTLE_ENDIAN_HOST = endianness() === 'LE';

/** The samples of one payload, in memory of their own (not a view of the chunk). */
export function samplesOf(payload: Buffer): Int16Array {
  const samples = new Int16Array(payload.length / 2);
  const bytes = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
  payload.copy(bytes);
  if (!LITTLE_ENDIAN_HOST) bytes.swap16();
  return samples;
}

export class FrameSplitter {
  // Chunks of an unfinished frame are kept apart and joined only once the frame is
  // complete, so a frame that arrives in many small chunks costs no repeated copying.
  private chunks: Buffer[] = [];
  private buffered = 0;
  private needed = 4;

  /** The frames completed by `chunk`, in order. Throws a FrameError on a bad length. */
  push(chunk: Buffer): Int16Array[] {
    this.chunks.push(chunk);
    this.buffered += chunk.length;
    if (this.buffered < this.needed) return [];
    let data = this.chunks.length === 1 ? chunk : Buffer.concat(this.chunks, this.buffered);
    const frames: Int16Array[] = [];
    this.needed = 4;
    while (data.length >= 4) {
      const length = data.readUInt32LE(0);
      if (length === 0 || length % 2 !== 0 || length > MAX_PAYLOAD_BYTES) {
        this.chunks = [];
        this.buffered = 0;
        throw new FrameError(`malformed frame: payload length ${length}`);
      }
      if (data.length < 4 + length) {
        this.needed = 4 + length;
        break;
      }
      frames.push(samplesOf(data.subarray(4, 4 + length)));
      data = data.subarray(4 + length);
    }
    // A copy, so the rest does not pin the whole chunk it came in.
    this.chunks = data.length ? [Buffer.from(data)] : [];
    this.buffered = data.length;
    return frames;
  }

  /** Bytes of an unfinished frame; none once the stream ended cleanly. */
  pendingBytes(): number {
    return this.buffered;
  }
}
