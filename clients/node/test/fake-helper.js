'use strict';
// Fake helpers for the unit tests: small Node scripts that read command lines and act
// as a test tells them, so every way a helper can answer, stall, die or misbehave can
// be played against the package.
const fs = require('fs');
const os = require('os');
const path = require('path');

// The fake's prelude: `on(command, action)`, `err(event)` (a line on standard error),
// `out(event)` (a line on standard output), `frame(samples)` (a frame on standard
// output), `raw(stream, bytes)`. End of input ends the fake with status 0.
const PRELUDE = `
const handlers = {};
const on = (command, action) => { handlers[command] = action; };
const line = (stream, event) => stream.write(JSON.stringify(event) + '\\n');
const err = (event) => line(process.stderr, event);
const out = (event) => line(process.stdout, event);
const frame = (samples) => {
  const b = Buffer.alloc(4 + samples.length * 2);
  b.writeUInt32LE(samples.length * 2, 0);
  samples.forEach((s, i) => b.writeInt16LE(s, 4 + i * 2));
  process.stdout.write(b);
};
const raw = (stream, bytes) => stream.write(Buffer.from(bytes));
require('readline').createInterface({ input: process.stdin }).on('line', (l) => {
  let command = l.trim();
  try { const parsed = JSON.parse(l); if (parsed && parsed.cmd) command = parsed.cmd + (parsed.mode ? ':' + parsed.mode : ''); } catch {}
  (handlers[command] || (() => {}))(l);
}).on('close', () => process.exit(0));
`;

let counter = 0;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vesk-helpers-test-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));

/** The path of an executable fake whose behaviour is `body` (JavaScript, after the prelude). */
function fakeHelper(body) {
  const file = path.join(dir, `fake-${++counter}`);
  fs.writeFileSync(file, `#!${process.execPath}\n'use strict';\n${PRELUDE}\n${body}\n`, { mode: 0o755 });
  return file;
}

/** Settles `promise` into {value} or {error}, so tests can compare outcomes in tables. */
function outcome(promise) {
  return promise.then((value) => ({ value }), (error) => ({ error: error.message }));
}

module.exports = { fakeHelper, outcome };
