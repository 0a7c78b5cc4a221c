'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { LineSplitter } = require('../lines');

function splitInPieces(text, size) {
  const bytes = Buffer.from(text, 'utf8');
  const splitter = new LineSplitter();
  const lines = [];
  for (let at = 0; at < bytes.length; at += size) lines.push(...splitter.push(bytes.subarray(at, at + size)));
  const last = splitter.end();
  if (last !== null) lines.push(last);
  return lines;
}

test('lines split across chunks come out whole', () => {
  const cases = [
    ['{"event":"ready"}\n{"event":"stopped"}\n', ['{"event":"ready"}', '{"event":"stopped"}']],
    ['a\n\nb\n', ['a', '', 'b']],
    ['no line feed at the end', ['no line feed at the end']],
    ['\n', ['']],
    ['', []],
    // A label with characters of three and four bytes, cut at every byte.
    ['{"label":"⌘ + A 🌐"}\nnext\n', ['{"label":"⌘ + A 🌐"}', 'next']],
  ];
  for (const [text, expected] of cases) {
    for (const size of [1, 2, 3, 5, 1000]) {
      assert.deepStrictEqual(splitInPieces(text, size), expected, `${JSON.stringify(text)} in pieces of ${size}`);
    }
  }
});

test('end() forgets what it returned', () => {
  const splitter = new LineSplitter();
  splitter.push(Buffer.from('partial'));
  assert.strictEqual(splitter.end(), 'partial');
  assert.strictEqual(splitter.end(), null);
});
