'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { FrameParser } = require('../frames');

function frame(samples) {
  const payload = Buffer.alloc(samples.length * 2);
  samples.forEach((s, i) => payload.writeInt16LE(s, i * 2));
  const length = Buffer.alloc(4);
  length.writeUInt32LE(payload.length);
  return Buffer.concat([length, payload]);
}

// Feeds `stream` in pieces of the given sizes (cycled) and returns every payload.
function parseInPieces(stream, sizes) {
  const parser = new FrameParser();
  const payloads = [];
  for (let at = 0, i = 0; at < stream.length; i++) {
    const n = sizes[i % sizes.length];
    payloads.push(...parser.push(stream.subarray(at, at + n)));
    at += n;
  }
  return { payloads, pending: parser.pendingBytes() };
}

const FULL = Array.from({ length: 4800 }, (_, i) => (i * 7) % 65536 - 32768);
const STREAM = Buffer.concat([frame(FULL), frame([1, -1, 32767, -32768]), frame([]), frame(FULL.slice(0, 3))]);
const EXPECTED = [frame(FULL), frame([1, -1, 32767, -32768]), frame([]), frame(FULL.slice(0, 3))].map((f) => f.subarray(4));

test('frames come out whole however the pipe cuts the stream', () => {
  const cuts = {
    'one chunk': [STREAM.length],
    'byte by byte': [1],
    'inside every length': [2, 3, 4099],
    'pipe-sized chunks': [65536, 4096],
    'odd sizes': [7, 9605, 13],
  };
  for (const [name, sizes] of Object.entries(cuts)) {
    const { payloads, pending } = parseInPieces(STREAM, sizes);
    assert.deepStrictEqual(payloads, EXPECTED, name);
    assert.strictEqual(pending, 0, name);
  }
});

test('an unfinished frame waits for the rest', () => {
  const parser = new FrameParser();
  const whole = frame([5, 6]);
  assert.deepStrictEqual(parser.push(whole.subarray(0, 5)), []);
  assert.strictEqual(parser.pendingBytes(), 5);
  assert.deepStrictEqual(parser.push(whole.subarray(5)), [whole.subarray(4)]);
  assert.strictEqual(parser.pendingBytes(), 0);
});

test('lengths no frame has are refused', () => {
  for (const length of [3, 9601, 1 << 21, 0xffffffff]) {
    const bytes = Buffer.alloc(8);
    bytes.writeUInt32LE(length >>> 0);
    assert.throws(() => new FrameParser().push(bytes), /malformed frame/, String(length));
  }
});

test('a payload kept does not change when later chunks arrive', () => {
  const parser = new FrameParser();
  const chunk = Buffer.concat([frame([1, 2]), frame([3])]);
  const [first] = parser.push(chunk.subarray(0, 10));
  chunk.fill(0);
  assert.deepStrictEqual([...first], [1, 0, 2, 0]);
});
