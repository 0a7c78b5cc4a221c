'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { InputMonitor, parseEvent } = require('..');
const { fakeHelper, outcome } = require('./fake-helper');

const unhandled = [];
process.on('unhandledRejection', (reason) => unhandled.push(reason));
test.after(() => assert.deepStrictEqual(unhandled, []));

// Behaves like the helper: two start-up lines, answers, a recording; echoes each
// command line back as a "got" event.
const WORKING = `
out({ type: 'permission', trusted: true });
out({ type: 'ready', tapCreated: false });
const echo = (l) => out({ type: 'got', line: JSON.parse(l) });
on('checkPermission', (l) => { echo(l); out({ type: 'permission', trusted: false }); });
on('requestPermission', (l) => { echo(l); out({ type: 'permission', trusted: true }); });
on('setBinding', (l) => { echo(l); out({ type: 'down' }); out({ type: 'up' }); });
on('setMode:record', (l) => { echo(l);
  out({ type: 'recorded', binding: { mainKey: 49, modifiers: ['control'], label: '⌃ + Space' } }); });
on('setMode:listen', echo);
`;

function monitor(body) {
  const m = new InputMonitor({ binary: fakeHelper(body) });
  m.events = [];
  m.exits = [];
  m.on('event', (e) => m.events.push(e));
  // The fakes' "got" events are no events of the protocol: they come as text.
  m.on('text', (line) => { const e = parseEvent(line, 'type'); if (e) m.events.push(e); });
  m.on('exit', (e) => m.exits.push(e));
  return m;
}

test('commands, answers and events of a working helper', async () => {
  const m = monitor(WORKING);
  const downUp = [];
  m.on('down', () => downUp.push('down'));
  m.on('up', () => downUp.push('up'));
  // Asked before "ready": the first "permission" is still the start-up one.
  const answers = Promise.all([m.checkPermission(), m.requestPermission()]);
  assert.deepStrictEqual(await m.ready, { trusted: true, tapCreated: false });
  assert.deepStrictEqual(await answers, [false, true]);
  m.setBinding({ mainKey: 49, modifiers: ['control', 'shift'] });
  m.setBinding({ modifiers: ['fn'] });
  m.clearBinding();
  const recorded = m.record();
  assert.strictEqual(m.record(), recorded);
  assert.deepStrictEqual(await recorded, { mainKey: 49, modifiers: ['control'], label: '⌃ + Space' });
  assert.strictEqual(await m.close(), 0);
  assert.deepStrictEqual(m.events.filter((e) => e.type === 'got').map((e) => e.line), [
    { cmd: 'checkPermission' }, { cmd: 'requestPermission' },
    { cmd: 'setBinding', binding: { modifiers: ['control', 'shift'], mainKey: 49 } },
    { cmd: 'setBinding', binding: { modifiers: ['fn'] } }, { cmd: 'setBinding' },
    { cmd: 'setMode', mode: 'record' },
  ]);
  assert.deepStrictEqual(downUp, ['down', 'up', 'down', 'up', 'down', 'up']);
  assert.strictEqual(m.exits.length, 1);
});

// The helper ends at each step: every promise settles with a clear error, "exit" once.
const DEATHS = [
  ['exits at once', 'process.exit(0);', (m) => m.ready, /exited with status 0 before "ready"/],
  ['crashes after "permission"', `out({ type: 'permission', trusted: true }); process.kill(process.pid, 'SIGABRT');`,
    (m) => m.ready, /killed by SIGABRT before "ready"/],
  ['writes only garbage, then exits', `process.stdout.write('{"type":"ready"\\nready\\n'); setTimeout(() => process.exit(2), 50);`,
    (m) => m.ready, /status 2/],
  ['exits while recording', `${WORKING.split('\n').slice(0, 3).join('\n')} on('setMode:record', () => process.exit(0));`,
    (m) => m.record(), /before "recorded"/],
  ['exits before answering checkPermission', `${WORKING.split('\n').slice(0, 3).join('\n')} on('checkPermission', () => process.exit(0));`,
    (m) => m.checkPermission(), /before answering "checkPermission"/],
  ['ignores the end of its input', `process.stdin.removeAllListeners(); setInterval(() => {}, 1000);`,
    (m) => m.close(300), null],
];

for (const [name, body, act, expected] of DEATHS) {
  test(`a helper that ${name}`, async () => {
    const m = monitor(body);
    const result = await outcome(act(m));
    if (expected) assert.match(result.error ?? '', expected, JSON.stringify(result));
    else assert.deepStrictEqual(result, { value: null });
    assert.ok((await outcome(m.record())).error);
    assert.ok((await outcome(m.requestPermission())).error);
    m.setBinding({ mainKey: 1 }); // nothing to write to: no throw
    await new Promise((resolve) => setImmediate(resolve));
    assert.strictEqual(m.exits.length, 1);
  });
}

test('a recording can be cancelled; a helper never awaited leaves no unhandled rejection', async () => {
  const m = monitor(`${WORKING.split('\n').slice(0, 3).join('\n')}`);
  const recorded = m.record();
  m.cancelRecord();
  assert.deepStrictEqual(await outcome(recorded), { error: 'recording cancelled' });
  await m.close();
  new InputMonitor({ binary: '/nonexistent/vesk-input-monitor' });
  await new Promise((resolve) => setTimeout(resolve, 50));
});

test('a hold the helper drops ends with a synthetic "up"; secureInput is an event', async () => {
  const m = monitor(`${WORKING.split('\n').slice(0, 3).join('\n')}
    on('checkPermission', () => { out({ type: 'down' }); out({ type: 'secureInput', enabled: true }); out({ type: 'permission', trusted: true }); });
    on('requestPermission', () => { out({ type: 'down' }); setTimeout(() => process.exit(0), 20); });`);
  const seen = [];
  for (const name of ['down', 'up', 'secureInput', 'exit']) m.on(name, (value) => seen.push(value === undefined ? name : [name, value]));
  await m.checkPermission();
  m.setBinding({ mainKey: 49, modifiers: ['control'] }); // the helper drops the hold without "up"
  await outcome(m.requestPermission()); // ... and ends during the next one
  assert.deepStrictEqual(seen, ['down', ['secureInput', { enabled: true }], ['up', { synthetic: true }],
    'down', ['up', { synthetic: true }], ['exit', { code: 0, signal: null }]]);
  assert.deepStrictEqual(m.events.filter((e) => e.type === 'up'), []); // "event" carries only what the helper said
});

test('an aborted record() leaves record mode; bindings the helper cannot hold are refused', async () => {
  const m = monitor(`${WORKING.split('\n').slice(0, 3).join('\n')}
    const echo = (l) => out({ type: 'got', line: JSON.parse(l) }); on('setMode:record', echo); on('setMode:listen', echo);`);
  const controller = new AbortController();
  const recording = m.record({ signal: controller.signal });
  controller.abort();
  await assert.rejects(recording, { name: 'AbortError', code: 'ABORT_ERR' });
  for (const binding of [{ modifiers: ['ctrl'] }, { mainKey: 1.5 }, { mainKey: -1 }, {}, { mainKey: null, modifiers: [] }]) {
    assert.throws(() => m.setBinding(binding), { name: 'BindingError', code: 'ERR_VESK_BINDING' }, JSON.stringify(binding));
  }
  await m.close();
  assert.deepStrictEqual(m.events.filter((e) => e.type === 'got').map((e) => e.line.mode), ['record', 'listen']);
});
