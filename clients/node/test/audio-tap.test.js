'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { once } = require('node:events');
const { AudioTap, TapError, HelperNotFoundError, parseEvent } = require('..');
const { fakeHelper, outcome } = require('./fake-helper');

const unhandled = [];
process.on('unhandledRejection', (reason) => unhandled.push(reason));
test.after(() => assert.deepStrictEqual(unhandled, []));

const READY = { event: 'ready', sampleRate: 24000, deviceRate: 48000, channels: 1 };

// A fake that behaves like the helper: frames while capturing, "stopped" with a last
// short frame, "quit" ends it; it logs each command it got as a "got" event.
const WORKING = `
let capturing = false;
let timer = null;
const log = (l) => err({ event: 'got', command: l.trim() });
on('start', (l) => { log(l); if (capturing) return; capturing = true; err(${JSON.stringify(READY)});
  let n = 0; timer = setInterval(() => frame([n++, n, n]), 5); });
on('stop', (l) => { log(l); if (!capturing) return; capturing = false; clearInterval(timer); frame([-1]); err({ event: 'stopped' }); });
on('checkPermission', (l) => { log(l); err({ event: 'permission', granted: true }); });
on('watchInput', (l) => { log(l); err({ event: 'inputActivity', running: true, processes: [{ pid: 42, bundleId: 'rec' }] }); });
on('quit', (l) => { log(l); if (capturing) { clearInterval(timer); frame([-1]); err({ event: 'stopped' }); } process.exit(0); });
err({ event: 'hello', args: process.argv.slice(2) });
`;

function tap(body, options = {}) {
  const t = new AudioTap({ binary: fakeHelper(body), ...options });
  t.events = [];
  t.exits = [];
  t.on('event', (e) => t.events.push(e));
  // The fakes' own events ("got", "hello") are no events of the protocol: they come as text.
  t.on('text', (line) => { const e = parseEvent(line, 'event'); if (e) t.events.push(e); });
  t.on('exit', (e) => t.exits.push(e));
  return t;
}

test('commands, answers, frames and events of a working helper', async () => {
  const t = tap(WORKING, { excludePids: [7, -3], excludeDescendants: true, debug: true });
  const activity = new Promise((resolve) => t.once('inputActivity', resolve));
  assert.strictEqual(await t.stop(), undefined); // not capturing: at once, not sent
  assert.strictEqual(await t.checkPermission(), true);
  assert.deepStrictEqual(await t.start(), { sampleRate: 24000, deviceRate: 48000, channels: 1 });
  assert.deepStrictEqual(await t.start(), { sampleRate: 24000, deviceRate: 48000, channels: 1 }); // not sent again
  t.watchInput();
  assert.deepStrictEqual(await activity, { running: true, processes: [{ pid: 42, bundleId: 'rec' }] });
  const frames = t.frames();
  const first = (await frames.next()).value;
  assert.deepStrictEqual(first, { samples: Int16Array.of(0, 1, 1), sequence: 0, startSample: 0 });
  await t.stop();
  assert.strictEqual(t.capturing, false);
  // The last short frame, written before "stopped", is there once stop() resolves.
  const now = [];
  const soon = () => new Promise((resolve) => setImmediate(() => resolve({ done: true })));
  for (let r = await Promise.race([frames.next(), soon()]); !r.done; r = await Promise.race([frames.next(), soon()])) {
    now.push(r.value);
  }
  assert.deepStrictEqual(Array.from(now.at(-1).samples), [-1]);
  assert.strictEqual(await t.quit(), 0);
  const rest = [];
  for await (const f of frames) rest.push(f);
  assert.deepStrictEqual(rest, []);
  const got = t.events.filter((e) => e.event === 'got').map((e) => e.command);
  assert.deepStrictEqual(got, ['checkPermission', 'start', 'watchInput', 'stop', 'quit']);
  assert.deepStrictEqual(t.events[0], { event: 'hello', args: ['--exclude-pid', '7', '--exclude-pid', '-3', '--exclude-descendants', '--debug'] });
  assert.deepStrictEqual(t.exits, [{ code: 0, signal: null }]);
  assert.strictEqual(await t.quit(), 0); // again: the same answer
});

test('a failed start rejects with the helper text, and start works again after', async () => {
  const t = tap(`let tries = 0;
    on('start', () => { if (++tries === 1) err({ event: 'error', message: 'The system audio tap could not be created (-1).' });
      else err(${JSON.stringify(READY)}); });`);
  const failed = await outcome(t.start());
  assert.deepStrictEqual(failed, { error: 'The system audio tap could not be created (-1).' });
  assert.strictEqual((await t.start()).sampleRate, 24000);
  t.kill();
  const other = tap(`on('start', () => err({ event: 'error', message: 'no' }))`);
  await assert.rejects(other.start(), TapError);
  other.kill();
});

// The helper ends at each step; every promise settles, "exit" comes once, frames end.
const DEATHS = [
  ['exits before answering start', `on('start', () => process.exit(3));`, (t) => t.start(), /exited with status 3 before answering "start"/],
  ['crashes before answering start', `on('start', () => process.kill(process.pid, 'SIGSEGV'));`, (t) => t.start(), /killed by SIGSEGV/],
  ['exits during stop', `on('start', () => err(${JSON.stringify(READY)})); on('stop', () => process.exit(0));`,
    async (t) => { await t.start(); return t.stop(); }, /before answering "stop"/],
  ['exits during checkPermission', `on('checkPermission', () => process.exit(1));`, (t) => t.checkPermission(), /status 1/],
  ['hangs on quit', `on('quit', () => {}); process.stdin.removeAllListeners(); setInterval(() => {}, 1000);`, (t) => t.quit(300), null],
  ['writes garbage frames', `on('start', () => { err(${JSON.stringify(READY)}); raw(process.stdout, [1, 0, 0, 0, 9]); });
    setInterval(() => {}, 1000);`, async (t) => { await t.start(); return t.checkPermission(); }, /malformed frame: payload length 1/],
];

for (const [name, body, act, expected] of DEATHS) {
  test(`a helper that ${name}`, async () => {
    const t = tap(body);
    const result = await outcome(act(t));
    if (expected) assert.match(result.error ?? '', expected, JSON.stringify(result));
    else assert.deepStrictEqual(result, { value: null }); // killed after the deadline
    // Whatever comes after the end settles at once.
    assert.ok((await outcome(t.start())).error);
    assert.ok((await outcome(t.checkPermission())).error);
    await outcome(drain(t.frames()));
    t.watchInput(); // nothing to write to: no throw
    await new Promise((resolve) => setImmediate(resolve));
    assert.strictEqual(t.exits.length, 1);
  });
}

async function drain(frames) {
  for await (const _ of frames); // eslint-disable-line no-unused-vars
}

test('garbage on the event stream is skipped; frames end in an error when the helper dies', async () => {
  const t = tap(`raw(process.stderr, [0xff, 0xfe, 10]); process.stderr.write('[1]\\n{"event":7}\\n');
    on('start', () => { err(${JSON.stringify(READY)}); frame([1, 2]); setTimeout(() => process.kill(process.pid, 'SIGKILL'), 50); });`);
  const texts = [];
  t.on('text', (line) => texts.push(line));
  await t.start();
  const got = [];
  const end = await outcome((async () => { for await (const f of t.frames()) got.push(Array.from(f.samples)); })());
  assert.deepStrictEqual(got, [[1, 2]]);
  assert.match(end.error, /killed by SIGKILL/);
  assert.strictEqual(texts.length, 3);
  assert.deepStrictEqual(t.events.map((e) => e.event), ['ready']);
});

test('a missing binary rejects with a clear error and ends once', async () => {
  const t = new AudioTap({ binary: '/nonexistent/vesk-audio-tap' });
  const exits = [];
  t.on('exit', (e) => exits.push(e));
  const result = await outcome(t.start());
  assert.match(result.error, /vesk-audio-tap not found: no executable at \/nonexistent\/vesk-audio-tap/);
  await assert.rejects(t.ready, HelperNotFoundError);
  await assert.rejects(t.frames().next(), HelperNotFoundError);
  assert.strictEqual(await t.quit(), null);
  assert.strictEqual(exits.length, 1);
  assert.ok(exits[0].error instanceof HelperNotFoundError);
  assert.throws(() => new AudioTap({ excludePids: [1.5] }), TypeError);
});

test('clean-up calls never reject for ordering', async () => {
  // stop() overtaken by quit(): sent and unanswered, or queued behind a start.
  const cases = [
    ['stop sent, helper quits without answering', `on('start', () => err(${JSON.stringify(READY)})); on('quit', () => process.exit(0));`,
      async (t) => { await t.start(); return [t.stop(), t.quit()]; }],
    ['stop queued behind start, then quit', WORKING, async (t) => {
      const started = t.start();
      const result = [t.stop(), t.quit()];
      assert.strictEqual((await started.catch((e) => e)).code, 'ERR_VESK_HELPER_EXITED');
      return result;
    }],
    ['stop after quit was sent', WORKING, async (t) => { await t.start(); const q = t.quit(); return [t.stop(), q]; }],
    ['disposed', WORKING, async (t) => { await t.start(); return [t[Symbol.asyncDispose](), t.stop()]; }],
  ];
  for (const [name, body, act] of cases) {
    const t = tap(body);
    const results = await Promise.all((await act(t)).map(outcome));
    assert.ok(results.every((r) => !r.error), `${name}: ${JSON.stringify(results)}`);
    assert.deepStrictEqual(t.exits.map((e) => e.code), [0], name);
    // Already ended: each resolves at once.
    assert.deepStrictEqual(await Promise.all([t.stop(), t.quit(), t.close()]), [undefined, 0, 0], name);
  }
});

// Frames [capture, n]; "stop" writes a short last frame; "fail" ends capture on its own
// as a sound server that goes away does: "error", a last frame, "stopped".
const CAPTURES = `
let capture = 0, n = 0, timer = null;
const end = () => { clearInterval(timer); timer = null; frame([capture, -1]); err({ event: 'stopped' }); };
on('start', () => { if (timer) return; capture++; n = 0; err(${JSON.stringify(READY)});
  timer = setInterval(() => frame([capture, n++, 0]), 2); });
on('stop', () => { if (timer) end(); });
on('checkPermission', () => { err({ event: 'captureSilence', silent: true, playing: [{ pid: 9, bundleId: 'p' }] });
  err({ event: 'captureSilence', silent: false }); err({ event: 'permission', granted: false });
  setTimeout(() => { err({ event: 'error', message: 'Capture failed: the sound server went away (-3).' }); end(); }, 20); });
`;

test('a capture that ends on its own: typed events, and its frames end after the last one', async () => {
  const t = tap(CAPTURES);
  await t.ready;
  const seen = [];
  for (const name of ['error', 'stopped', 'captureSilence']) t.on(name, (value) => seen.push([name, value]));
  await t.start();
  const frames = [];
  const reading = (async () => { for await (const f of t.frames()) frames.push(f); })();
  await t.checkPermission(); // the fake then fails the capture
  await reading;
  assert.deepStrictEqual(Array.from(frames.at(-1).samples), [1, -1]);
  assert.ok(frames.every((f, i) => f.sequence === i && f.startSample === (i === 0 ? 0 : frames[i - 1].startSample + frames[i - 1].samples.length)));
  assert.deepStrictEqual(seen.map(([name]) => name), ['captureSilence', 'captureSilence', 'error', 'stopped']);
  assert.deepStrictEqual(seen[0][1], { silent: true, playing: [{ pid: 9, bundleId: 'p' }] });
  assert.deepStrictEqual(seen[1][1], { silent: false });
  const error = seen[2][1];
  assert.ok(error instanceof TapError);
  assert.deepStrictEqual([error.code, error.status], ['ERR_VESK_TAP', -3]);
  assert.deepStrictEqual(seen[3][1], { requested: false });
  assert.strictEqual(t.capturing, false);
  // Capture works again; stop() is an asked-for end.
  await t.start();
  const stopped = once(t, 'stopped');
  await t.stop();
  assert.deepStrictEqual(await stopped, [{ requested: true }]);
  await t.quit();
});

test('each capture has its own frames and one reader', async () => {
  const t = tap(CAPTURES);
  await t.start();
  const first = t.frames();
  assert.throws(() => t.frames(), { code: 'ERR_INVALID_STATE' });
  for await (const f of first) if (f.sequence === 2) break; // leaves frames unread
  await t.stop();
  const second = t.frames(); // before start: the next capture's
  await t.start();
  const { value } = await second.next();
  assert.deepStrictEqual([value.samples[0], value.sequence, value.startSample], [2, 0, 0]);
  second.return();
  await t.stop();
  await t.quit();
  // The frames the first loop left are still its capture's; the second's are at the end.
  const rest = [];
  for await (const f of t.frames()) rest.push(f.samples[0]);
  assert.ok(rest.length > 0 && rest.every((c) => c === 2), JSON.stringify(rest));
});

test('aborted calls reject with an AbortError and leave the helper in step', async () => {
  const t = tap(WORKING);
  const aborted = AbortSignal.abort();
  const codes = await Promise.all([t.start({ signal: aborted }), t.checkPermission({ signal: aborted })].map((p) => p.catch((e) => [e.name, e.code])));
  assert.deepStrictEqual(codes, [['AbortError', 'ABORT_ERR'], ['AbortError', 'ABORT_ERR']]);
  // Aborted while the helper is starting capture: capture is stopped again.
  const controller = new AbortController();
  t.on('text', (line) => line.includes('"start"') && controller.abort()); // sent, not yet answered
  const starting = t.start({ signal: controller.signal });
  await assert.rejects(starting, { code: 'ABORT_ERR' });
  await once(t, 'stopped');
  assert.strictEqual(await t.checkPermission(), true); // answers still matched to their commands
  await assert.rejects(t.quit({ signal: aborted }), { code: 'ABORT_ERR' }); // not even sent
  assert.strictEqual(await t.quit(), 0);
  const got = t.events.filter((e) => e.event === 'got').map((e) => e.command);
  assert.deepStrictEqual(got, ['start', 'stop', 'checkPermission', 'quit']);
});

test('every failure has a code; the helper\'s own drops are forwarded', async () => {
  const drops = [];
  const t = tap(`err({ event: 'debug', step: 'framesDropped', samples: 9600 });
    on('start', () => { err(${JSON.stringify(READY)}); raw(process.stdout, [1, 0, 0, 0, 9]); }); setInterval(() => {}, 1000);`);
  t.on('framesDropped', (d) => drops.push(d));
  await t.start();
  await assert.rejects(t.frames().next(), { name: 'FrameError', code: 'ERR_VESK_FRAME' });
  await assert.rejects(t.checkPermission(), { name: 'HelperExitedError', code: 'ERR_VESK_HELPER_EXITED' });
  assert.deepStrictEqual(drops, [{ frames: 2, samples: 9600, where: 'helper' }]);
  const statuses = [['The system audio tap could not be created (-1).', -1], ['The IO proc could not be created (1852797029).', 1852797029],
    ['Unknown command: x', undefined]];
  for (const [text, status] of statuses) assert.strictEqual(new TapError(text).status, status, text);
  assert.throws(() => new AudioTap({ excludePids: [1.5] }), { code: 'ERR_INVALID_ARG_VALUE' });
});

test('a frame held up past its capture\'s "stopped" is dropped, not handed to the next capture', async () => {
  const t = tap(`on('start', () => { err(${JSON.stringify(READY)}); frame([1]); });
    on('stop', () => { err({ event: 'stopped' }); setTimeout(() => frame([2]), 30); });`);
  const drops = [];
  t.on('framesDropped', (d) => drops.push(d));
  await t.start();
  await t.stop();
  const next = t.frames();
  await new Promise((resolve) => setTimeout(resolve, 100));
  await t.start();
  assert.deepStrictEqual(Array.from((await next.next()).value.samples), [1]);
  assert.deepStrictEqual(drops, [{ frames: 1, samples: 1, where: 'host' }]);
  t.kill();
});
