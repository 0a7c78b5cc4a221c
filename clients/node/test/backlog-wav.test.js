'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { FrameBacklog, writeWav, WavWriter, wavHeader } = require('..');

const frame = (n) => Int16Array.of(n);
const values = (frames) => frames.map((f) => f[0]);

async function drain(iterator) {
  const got = [];
  for (;;) {
    const { value, done } = await iterator.next();
    if (done) return got;
    got.push(value);
  }
}

test('a backlog over its bound drops the oldest frames and counts them', async () => {
  const backlog = new FrameBacklog(3);
  for (let i = 1; i <= 200; i++) backlog.push(frame(i));
  assert.strictEqual(backlog.dropped, 197);
  assert.strictEqual(backlog.length, 3);
  backlog.end();
  assert.deepStrictEqual(values(await drain(backlog)), [198, 199, 200]);
});

test('a waiting consumer gets each frame as it comes; the end comes after the last frame', async () => {
  const backlog = new FrameBacklog(2);
  const first = backlog.next();
  backlog.push(frame(1));
  assert.deepStrictEqual(values([(await first).value]), [1]);
  backlog.push(frame(2));
  backlog.end(new Error('helper died'));
  backlog.push(frame(3)); // after the end: ignored
  assert.deepStrictEqual(values([(await backlog.next()).value]), [2]);
  await assert.rejects(backlog.next(), /helper died/);
  assert.deepStrictEqual(await backlog.next(), { value: undefined, done: true });
  assert.strictEqual(backlog.dropped, 0);
});

test('an aborted read takes no frame; dropped frames are reported', async () => {
  const dropped = [];
  const backlog = new FrameBacklog(1, (f) => dropped.push(f[0]));
  const controller = new AbortController();
  const aborted = backlog.next(controller.signal);
  controller.abort();
  await assert.rejects(aborted, { name: 'AbortError', code: 'ABORT_ERR' });
  backlog.push(frame(1));
  backlog.push(frame(2));
  assert.deepStrictEqual(values([(await backlog.next()).value]), [2]);
  assert.deepStrictEqual(dropped, [1]);
});

test('a WAV file keeps the timeline: dropped frames become silence', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vesk-wav-'));
  try {
    const file = path.join(dir, 'gaps.wav');
    const at = (sequence, startSample, ...samples) => ({ samples: Int16Array.from(samples), sequence, startSample });
    // Frames 1 and 2 of the first capture were dropped; then a second capture.
    const frames = [at(0, 0, 1, 1), at(3, 6, 2, 2), at(0, 0, 3), at(1, 1, 4)];
    assert.strictEqual(await writeWav(file, frames), 10);
    const data = fs.readFileSync(file);
    assert.deepStrictEqual(Array.from(new Int16Array(Uint8Array.from(data.subarray(44)).buffer)), [1, 1, 0, 0, 0, 0, 2, 2, 3, 4]);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('WAV files, whole or streamed, have a complete header', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vesk-wav-'));
  try {
    const whole = path.join(dir, 'whole.wav');
    async function* frames() {
      yield Int16Array.of(1, -1);
      yield Int16Array.of(32767);
    }
    assert.strictEqual(await writeWav(whole, frames(), 24000), 3);
    const streamed = path.join(dir, 'streamed.wav');
    const wav = await WavWriter.create(streamed, { sampleRate: 24000 });
    await wav.write(Int16Array.of(1, -1));
    await wav.write(Int16Array.of(32767));
    await wav.close();
    await wav.close();
    for (const file of [whole, streamed]) {
      const data = fs.readFileSync(file);
      assert.deepStrictEqual(data.subarray(0, 44), wavHeader({ sampleRate: 24000 }, 6));
      assert.deepStrictEqual(Array.from(new Int16Array(data.buffer.slice(data.byteOffset + 44, data.byteOffset + 50))), [1, -1, 32767]);
    }
    const header = wavHeader({ sampleRate: 24000 }, 6);
    assert.deepStrictEqual(
      [header.toString('ascii', 0, 4), header.readUInt32LE(4), header.toString('ascii', 8, 16), header.readUInt16LE(20),
        header.readUInt16LE(22), header.readUInt32LE(24), header.readUInt32LE(28), header.readUInt16LE(32),
        header.readUInt16LE(34), header.toString('ascii', 36, 40), header.readUInt32LE(40)],
      ['RIFF', 42, 'WAVEfmt ', 1, 1, 24000, 48000, 2, 16, 'data', 6]);
    // Past what 32 bits hold (a day of audio), the sizes stay at their largest.
    assert.strictEqual(wavHeader({ sampleRate: 24000 }, 2 ** 33).readUInt32LE(4), 0xffffffff);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
