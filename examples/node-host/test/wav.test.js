'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { WavWriter, wavHeader, HEADER_BYTES } = require('../wav');

function fields(header) {
  return {
    riff: header.toString('ascii', 0, 4),
    riffSize: header.readUInt32LE(4),
    wave: header.toString('ascii', 8, 12),
    fmt: header.toString('ascii', 12, 16),
    fmtSize: header.readUInt32LE(16),
    format: header.readUInt16LE(20),
    channels: header.readUInt16LE(22),
    rate: header.readUInt32LE(24),
    byteRate: header.readUInt32LE(28),
    blockAlign: header.readUInt16LE(32),
    bits: header.readUInt16LE(34),
    data: header.toString('ascii', 36, 40),
    dataSize: header.readUInt32LE(40),
  };
}

test('the header of 16-bit PCM', () => {
  const cases = [
    [{ sampleRate: 24000, channels: 1, bitsPerSample: 16, dataBytes: 9600 }, { byteRate: 48000, blockAlign: 2 }],
    [{ sampleRate: 48000, channels: 2, bitsPerSample: 16, dataBytes: 0 }, { byteRate: 192000, blockAlign: 4 }],
  ];
  for (const [format, derived] of cases) {
    const header = wavHeader(format);
    assert.strictEqual(header.length, HEADER_BYTES);
    assert.deepStrictEqual(fields(header), {
      riff: 'RIFF', riffSize: 36 + format.dataBytes, wave: 'WAVE', fmt: 'fmt ', fmtSize: 16, format: 1,
      channels: format.channels, rate: format.sampleRate, byteRate: derived.byteRate,
      blockAlign: derived.blockAlign, bits: 16, data: 'data', dataSize: format.dataBytes,
    });
  }
});

test('the writer fills in the sizes when it closes', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'wav-test-'));
  try {
    const file = path.join(dir, 'out.wav');
    const writer = new WavWriter(file);
    writer.write(Buffer.from([1, 0, 2, 0]));
    writer.write(Buffer.alloc(9600));
    assert.strictEqual(writer.seconds(), 9604 / 48000);
    writer.close();
    writer.close(); // a second close changes nothing
    const bytes = fs.readFileSync(file);
    assert.strictEqual(bytes.length, HEADER_BYTES + 9604);
    const header = fields(bytes.subarray(0, HEADER_BYTES));
    assert.strictEqual(header.dataSize, 9604);
    assert.strictEqual(header.riffSize, 36 + 9604);
    assert.strictEqual(header.rate, 24000);
    assert.deepStrictEqual([...bytes.subarray(HEADER_BYTES, HEADER_BYTES + 4)], [1, 0, 2, 0]);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
