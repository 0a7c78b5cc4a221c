// WAV files of 16-bit mono PCM, the form of the audio tap's frames. The header's two
// sizes are known only at the end, so a streaming writer puts a header with sizes of
// zero first and rewrites it on close. Frames of a capture say where they belong: a
// gap between them (frames dropped for a slow consumer) is written as silence, so the
// file keeps the capture's timeline.
import { promises as fs } from 'fs';
import { endianness } from 'os';
import type { Frame } from './audio-tap';

export const WAV_HEADER_BYTES = 44;
// The header's size fields are 32-bit: past 4 GiB (about 24 hours at 24000 Hz) they
// stay at their largest value rather than wrap around.
const MAX_RIFF_BYTES = 0xffffffff;

export interface WavFormat {
  sampleRate: number;
  channels?: number | undefined;
}

/** The canonical 44-byte RIFF/WAVE header of 16-bit integer PCM. */
export function wavHeader({ sampleRate, channels = 1 }: WavFormat, dataBytes: number): Buffer {
  if (!Number.isInteger(sampleRate) || sampleRate <= 0) {
    throw Object.assign(new RangeError(`bad sample rate ${sampleRate}`), { code: 'ERR_OUT_OF_RANGE' });
  }
  const blockAlign = channels * 2;
  const header = Buffer.alloc(WAV_HEADER_BYTES);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(Math.min(36 + dataBytes, MAX_RIFF_BYTES), 4);
  header.write('WAVE', 8, 'ascii');
  header.write('fmt ', 12, 'ascii');
  header.writeUInt32LE(16, 16); // size of the fmt chunk
  header.writeUInt16LE(1, 20); // integer PCM
  header.writeUInt16LE(channels, 22);
  header.writeUInt32LE(sampleRate, 24);
  header.writeUInt32LE(sampleRate * blockAlign, 28); // bytes per second
  header.writeUInt16LE(blockAlign, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(Math.min(dataBytes, MAX_RIFF_BYTES - 36), 40);
  return header;
}

/** The little-endian bytes of some samples. */
function bytesOf(samples: Int16Array): Buffer {
  const view = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
  return endianness() === 'LE' ? view : Buffer.from(view).swap16();
}

/** Writes samples as they come; the file is a complete WAV file once closed. */
/** Silence is written in pieces of at most this many samples. */
const SILENCE_CHUNK = 24000;

export class WavWriter {
  private dataBytes = 0;
  private closed = false;
  /** Where the next frame of the current capture should start, in its samples. */
  private nextStart: number | null = null;
  /** Samples of silence written for dropped frames. */
  silentSamples = 0;

  private constructor(private readonly file: fs.FileHandle, private readonly format: WavFormat) {}

  static async create(path: string, format: WavFormat = { sampleRate: 24000 }): Promise<WavWriter> {
    const header = wavHeader(format, 0);
    const file = await fs.open(path, 'w');
    try {
      await file.write(header, 0, header.length, 0);
    } catch (error) {
      await file.close();
      throw error;
    }
    return new WavWriter(file, format);
  }

  /** Samples written so far. */
  get samples(): number {
    return this.dataBytes / 2;
  }

  /** Seconds written so far. */
  get seconds(): number {
    return this.samples / ((this.format.channels ?? 1) * this.format.sampleRate);
  }

  /**
   * Appends samples. Given a frame of `frames()`, silence first fills the samples of
   * frames dropped since the frame before it; a frame that starts a capture (or one
   * written out of order) is simply appended.
   */
  async write(frame: Int16Array | Frame): Promise<void> {
    if (this.closed) throw Object.assign(new Error('WAV file already closed'), { code: 'ERR_STREAM_WRITE_AFTER_END' });
    if (frame instanceof Int16Array) {
      this.nextStart = null;
      return this.append(frame);
    }
    if (this.nextStart !== null && frame.sequence > 0) {
      for (let gap = frame.startSample - this.nextStart; gap > 0; gap -= SILENCE_CHUNK) {
        const silence = new Int16Array(Math.min(gap, SILENCE_CHUNK));
        await this.append(silence);
        this.silentSamples += silence.length;
      }
    }
    this.nextStart = frame.startSample + frame.samples.length;
    await this.append(frame.samples);
  }

  private async append(samples: Int16Array): Promise<void> {
    const bytes = bytesOf(samples);
    await this.file.write(bytes, 0, bytes.length, WAV_HEADER_BYTES + this.dataBytes);
    this.dataBytes += bytes.length;
  }

  /** Completes the header and closes the file; closing twice does nothing. */
  async close(): Promise<void> {
    if (this.closed) return;
    this.closed = true;
    try {
      await this.file.write(wavHeader(this.format, this.dataBytes), 0, WAV_HEADER_BYTES, 0);
    } finally {
      await this.file.close();
    }
  }
}

/**
 * Writes every frame of `frames` (an array, or an async iterable such as
 * `tap.frames()`, which ends with its capture) to a WAV file, dropped frames as
 * silence; resolves with the number of samples written. The file is complete even when
 * the frames end in an error.
 */
export async function writeWav(
  path: string,
  frames: Iterable<Int16Array | Frame> | AsyncIterable<Int16Array | Frame>,
  sampleRate = 24000,
): Promise<number> {
  const wav = await WavWriter.create(path, { sampleRate });
  try {
    for await (const frame of frames) await wav.write(frame);
  } finally {
    await wav.close();
  }
  return wav.samples;
}
