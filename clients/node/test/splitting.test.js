'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { FrameSplitter, FrameError, LineSplitter, parseEvent } = require('..');

function frameBytes(samples) {
  const b = Buffer.alloc(4 + samples.length * 2);
  b.writeUInt32LE(samples.length * 2, 0);
  samples.forEach((s, i) => b.writeInt16LE(s, 4 + i * 2));
  return b;
}

const FULL = Array.from({ length: 4800 }, (_, i) => ((i * 7919) % 65536) - 32768);
// Short frames, so that cutting at every byte stays quick; a full frame is cut below.
const FRAMES = [[1, -2, 32767], Array.from({ length: 40 }, (_, i) => i * 800 - 16000), [-32768]];
const STREAM = Buffer.concat(FRAMES.map(frameBytes));

function split(cuts, stream = STREAM) {
  const splitter = new FrameSplitter();
  const got = [];
  let start = 0;
  for (const cut of [...cuts, stream.length]) {
    got.push(...splitter.push(stream.subarray(start, cut)));
    start = cut;
  }
  return { frames: got.map((f) => Array.from(f)), pending: splitter.pendingBytes() };
}

test('frames come out whole and in order wherever the stream is cut', () => {
  for (let cut = 0; cut <= STREAM.length; cut++) {
    const { frames, pending } = split([cut]);
    assert.deepStrictEqual(frames, FRAMES, `cut at ${cut}`);
    assert.strictEqual(pending, 0);
  }
  // Every boundary at once: one byte per chunk.
  assert.deepStrictEqual(split(Array.from({ length: STREAM.length }, (_, i) => i)).frames, FRAMES);
  // A full frame (9604 bytes) in pipe-sized and odd-sized pieces, between short ones.
  const full = Buffer.concat([frameBytes([7]), frameBytes(FULL), frameBytes([8])]);
  for (const step of [1, 3, 4096, 65536]) {
    const cuts = [];
    for (let at = step; at < full.length; at += step) cuts.push(at);
    assert.deepStrictEqual(split(cuts, full).frames, [[7], FULL, [8]], `pieces of ${step}`);
  }
});

test('samples are copies, not views of the chunk they came in', () => {
  const chunk = frameBytes([5, 6]);
  const [frame] = new FrameSplitter().push(chunk);
  chunk.fill(0);
  assert.deepStrictEqual(Array.from(frame), [5, 6]);
  assert.ok(frame instanceof Int16Array);
});

test('a length no frame has is an error, and a cut-off frame is pending', () => {
  for (const length of [0, 3, 9602, 0x41414141]) {
    const b = Buffer.alloc(8);
    b.writeUInt32LE(length, 0);
    assert.throws(() => new FrameSplitter().push(b), FrameError, `length ${length}`);
  }
  const splitter = new FrameSplitter();
  assert.deepStrictEqual(splitter.push(frameBytes([1, 2, 3]).subarray(0, 7)), []);
  assert.strictEqual(splitter.pendingBytes(), 7);
});

test('lines come out whole wherever the stream is cut, even inside a character', () => {
  const text = Buffer.from('{"type":"recorded","label":"⌃ + Space"}\n\n{"event":"stopped"}\nlast');
  for (let cut = 0; cut <= text.length; cut++) {
    const splitter = new LineSplitter();
    const lines = [...splitter.push(text.subarray(0, cut)), ...splitter.push(text.subarray(cut))];
    assert.deepStrictEqual(lines, ['{"type":"recorded","label":"⌃ + Space"}', '', '{"event":"stopped"}'], `cut at ${cut}`);
    assert.strictEqual(splitter.end(), 'last');
    assert.strictEqual(splitter.end(), null);
  }
});

test('an endless line is dropped up to its line feed', () => {
  const splitter = new LineSplitter();
  const junk = Buffer.alloc(1 << 19, 0x41);
  for (let i = 0; i < 4; i++) assert.deepStrictEqual(splitter.push(junk), []);
  assert.deepStrictEqual(splitter.push(Buffer.from('AAA\n{"type":"up"}\n')), ['{"type":"up"}']);
});

test('event lines are JSON objects with a string kind', () => {
  const cases = [
    ['{"event":"ready","sampleRate":24000}', 'event', { event: 'ready', sampleRate: 24000 }],
    ['{"type":"down"}', 'type', { type: 'down' }],
    ['{"type":"down"}', 'event', null],
    ['{"event":5}', 'event', null],
    ['not json', 'event', null],
    ['[{"event":"ready"}]', 'event', null],
    ['"ready"', 'event', null],
    ['null', 'type', null],
    ['', 'type', null],
  ];
  for (const [line, key, expected] of cases) assert.deepStrictEqual(parseEvent(line, key), expected, line);
});
