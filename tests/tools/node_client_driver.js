'use strict';
// Uses the vesk-helpers package the way a host does, for node_client_e2e_test.py,
// which runs it against the built helpers on private servers. It prints what it sees
// as JSON lines ({"step": ...}) and, for the keyboard, takes its cues ("record",
// "record-then-abort", "abort", "close") on standard input.
//   node node_client_driver.js capture BUILD_DIR WAV SECONDS [--descendants TONE_WAV] [PID...]
//     (--descendants: excludeDescendants, and the driver plays TONE_WAV itself, through
//     a child process)
//   node node_client_driver.js keys BUILD_DIR
//   node node_client_driver.js signals BUILD_DIR
//     (both helpers, capture running; SIGINT makes it quit them and print their statuses)
//   node node_client_driver.js lifecycle BUILD_DIR WAV
//     (stops at offsets across a frame, an aborted read, a reader that falls behind, then
//     a capture that ends when the test stops the sound server after "capturing")
const { spawn } = require('child_process');
const path = require('path');
const readline = require('readline');
const { AudioTap, InputMonitor, WavWriter } = require('../../clients/node');

const print = (step, fields = {}) => console.log(JSON.stringify({ step, ...fields }));

async function capture(build, wavPath, seconds, rest) {
  const descendants = rest[0] === '--descendants';
  const pids = descendants ? rest.slice(2) : rest;
  const tap = new AudioTap({
    binary: path.join(build, 'vesk-audio-tap'), excludePids: pids.map(Number), excludeDescendants: descendants,
    debug: true,
  });
  // What the helper says beside the frames, for a test that fails to show.
  const said = [];
  tap.on('event', (event) => said.length < 50 && said.push(event));
  if (descendants) {
    const player = spawn('paplay', ['--latency-msec=20', rest[1]], { stdio: 'ignore' });
    player.unref();
    process.on('exit', () => player.kill());
  }
  const exits = [];
  tap.on('exit', (exit) => exits.push(exit));
  print('permission', { granted: await tap.checkPermission() });
  print('ready', await tap.start());
  const wav = await WavWriter.create(wavPath, { sampleRate: 24000 });
  const frames = tap.frames();
  const sizes = [];
  // A loaded server may start a player's stream late: the seconds count from the first
  // sound (at most 30 s of frames in all).
  let heardFrom = null;
  for await (const frame of frames) {
    await wav.write(frame);
    sizes.push(frame.samples.length);
    if (heardFrom === null && frame.samples.some((s) => Math.abs(s) > 1000)) heardFrom = wav.samples - frame.samples.length;
    if (wav.samples - (heardFrom ?? wav.samples) >= seconds * 24000 || wav.samples >= 30 * 24000) break;
  }
  await wav.close();
  await tap.stop();
  print('stopped', { capturing: tap.capturing, sizes, heardFrom, said });
  await tap.stop(); // not capturing: settles at once
  print('started again', await tap.start());
  const code = await tap.quit();
  // The last capture's frames not yet read stay for a reader; after "quit" the iterator ends.
  let after = 0;
  for await (const frame of tap.frames()) after += frame.samples.length;
  print('quit', { code, after, dropped: tap.droppedFrames, exits, capturing: tap.capturing });
  const late = await Promise.allSettled([tap.start(), tap.checkPermission()]);
  print('after', { rejected: late.map((r) => r.status === 'rejected' && r.reason.message) });
}

async function keys(build) {
  const monitor = new InputMonitor({ binary: path.join(build, 'vesk-input-monitor') });
  monitor.on('down', () => print('down'));
  monitor.on('up', () => print('up'));
  monitor.on('exit', (exit) => print('exit', exit));
  print('ready', await monitor.ready);
  print('permission', { trusted: await monitor.checkPermission() });
  monitor.setBinding({ mainKey: 49, modifiers: ['control'] });
  print('bound');
  let aborting = () => {};
  for await (const cue of readline.createInterface({ input: process.stdin })) {
    if (cue === 'record-then-abort') {
      const controller = new AbortController();
      const recording = monitor.record({ signal: controller.signal });
      aborting = () => controller.abort();
      print('recording to abort');
      recording.catch((e) => print('record aborted', { code: e.code })); // the cue "abort" comes meanwhile
    } else if (cue === 'abort') {
      aborting();
    } else if (cue === 'record') {
      const recorded = monitor.record();
      print('recording');
      print('recorded', await recorded);
    } else if (cue === 'close') {
      print('closed', { code: await monitor.close() });
      process.stdin.destroy(); // the cues' reader would keep the driver alive
      return;
    }
  }
}

async function signals(build) {
  const tap = new AudioTap({ binary: path.join(build, 'vesk-audio-tap') });
  const monitor = new InputMonitor({ binary: path.join(build, 'vesk-input-monitor') });
  await Promise.all([tap.ready, monitor.ready]);
  await tap.start();
  let frames = 0;
  const reading = (async () => { for await (const _ of tap.frames()) frames++; })(); // eslint-disable-line no-unused-vars
  process.once('SIGINT', async () => {
    const codes = await Promise.all([tap.quit(), monitor.close()]);
    await reading;
    print('quit', { codes, frames });
  });
  print('running', { pids: [tap.pid, monitor.pid] });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function lifecycle(build, wavPath) {
  const tap = new AudioTap({ binary: path.join(build, 'vesk-audio-tap'), debug: true, maxBacklogFrames: 5 });
  const converted = []; // the helper's count of samples it made, after each capture
  tap.on('event', (e) => e.event === 'debug' && e.step === 'stopped' && converted.push(e.convertedFrames));
  // Stops at offsets across a frame, each capture first read by an iterator that is
  // aborted while it waits: every sample reaches frames() before stop() resolves, or is
  // reported dropped (a slow helper's stop lets more than the backlog's 5 frames wait).
  const stops = [];
  let dropped = 0;
  const countDrops = (d) => { dropped += d.samples; };
  tap.on('framesDropped', countDrops);
  for (let offset = 0; offset < 200; offset += 25) {
    dropped = 0;
    await tap.start();
    const controller = new AbortController();
    setTimeout(() => controller.abort(), 20);
    const sizes = [];
    // On a loaded machine the first frame can come before the abort: it is read, and
    // that iterator lets the capture go.
    const first = tap.frames({ signal: controller.signal });
    const aborted = await first.next().then((r) => sizes.push(r.value.samples.length) && 'read', (e) => e.code);
    if (aborted === 'read') await first.return();
    const frames = tap.frames();
    for (let r = await frames.next(); sizes.push(r.value.samples.length) < 2; r = await frames.next());
    await sleep(offset);
    await tap.stop();
    let late = false;
    for (;;) {
      const r = await Promise.race([frames.next(), new Promise((resolve) => setImmediate(() => resolve(null)))]);
      if (r === null) late = true;
      if (r === null || r.done) break;
      sizes.push(r.value.samples.length);
    }
    stops.push({ offset, aborted, sizes, late, dropped });
  }
  tap.off('framesDropped', countDrops);
  print('stops', { stops, converted });

  // A reader that falls 3 s behind: the backlog of 5 frames drops the oldest, and the
  // WAV file gets silence in their place.
  const drops = [];
  tap.on('framesDropped', (d) => drops.push(d));
  const droppedBefore = tap.droppedFrames; // by slow stops above, on a loaded machine
  await tap.start();
  const wav = await WavWriter.create(wavPath, { sampleRate: 24000 });
  let end = 0;
  let frames = 0;
  for await (const frame of tap.frames()) {
    await wav.write(frame);
    end = frame.startSample + frame.samples.length;
    if (++frames === 2) await sleep(3000);
    if (end >= 24000 * 5) break;
  }
  // Frames that come while stop() is on its way are dropped too, after the file's end.
  const read = drops.length;
  await tap.stop();
  await wav.close();
  print('overflow', { drops, read, end, samples: wav.samples, silent: wav.silentSamples, dropped: tap.droppedFrames - droppedBefore });

  // A capture that ends on its own: the test stops the sound server.
  const seen = [];
  tap.on('error', (e) => seen.push({ error: { code: e.code, status: e.status ?? null, message: e.message } }));
  tap.on('stopped', (s) => seen.push({ stopped: s }));
  await tap.start();
  print('capturing');
  let count = 0;
  for await (const _ of tap.frames()) count++; // eslint-disable-line no-unused-vars
  print('ended', { count, seen, capturing: tap.capturing, code: await tap.quit() });
}

const [scenario, build, ...args] = process.argv.slice(2);
const scenarios = { capture: () => capture(build, args[0], Number(args[1]), args.slice(2)), keys: () => keys(build), signals: () => signals(build),
  lifecycle: () => lifecycle(build, args[0]) };
const run = scenarios[scenario]();
run.catch((error) => {
  print('failed', { message: error.message });
  process.exitCode = 1;
});
