#!/usr/bin/env node
'use strict';
// A host application in miniature, on top of the vesk-helpers package: starts both
// helpers, sets a push-to-talk binding and prints "down" and "up" as the shortcut is
// held and let go, records N seconds of what the machine plays to a WAV file, and
// prints the microphone activity reports. Run with --help for the options.
const path = require('path');
const { AudioTap, InputMonitor, WavWriter } = require('../../clients/node');

const MODIFIERS = ['control', 'option', 'shift', 'command', 'fn'];

const USAGE = `usage: node host.js [options]
  --build DIR          where vesk-input-monitor and vesk-audio-tap are (default: ../../build)
  --seconds N          seconds of audio to record (default: 5)
  --out FILE           the WAV file to write (default: recording.wav)
  --key CODE           push-to-talk main key, a macOS virtual key code, or "none" for a
                       binding of modifiers alone (default: 49, Space)
  --modifiers LIST     comma-separated modifiers of the binding: control, option, shift,
                       command, fn (default: control)
  --exclude-pid PID    leave this process out of the recording (repeatable)
Ctrl+C ends the recording early; the WAV file is complete either way.`;

function parseOptions(argv) {
  const options = {
    build: path.join(__dirname, '..', '..', 'build'),
    seconds: 5, out: 'recording.wav', key: 49, modifiers: ['control'], excludePids: [],
  };
  for (let i = 0; i < argv.length; i++) {
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${argv[i]} needs a value`);
      return argv[++i];
    };
    switch (argv[i]) {
      case '--build': options.build = value(); break;
      case '--seconds': options.seconds = Number(value()); break;
      case '--out': options.out = value(); break;
      case '--key': {
        const key = value();
        options.key = key === 'none' ? null : Number(key);
        break;
      }
      case '--modifiers': {
        const list = value();
        options.modifiers = list === '' ? [] : list.split(',');
        break;
      }
      case '--exclude-pid': {
        const pid = Number(value());
        if (!Number.isInteger(pid)) throw new Error('--exclude-pid must be an integer');
        options.excludePids.push(pid);
        break;
      }
      case '--help': case '-h': options.help = true; break;
      default: throw new Error(`unknown argument ${argv[i]}`);
    }
  }
  if (!(options.seconds > 0)) throw new Error('--seconds must be a positive number');
  if (options.key !== null && !Number.isInteger(options.key)) throw new Error('--key must be an integer or "none"');
  const unknown = options.modifiers.filter((m) => !MODIFIERS.includes(m));
  if (unknown.length) throw new Error(`unknown modifier ${unknown[0]} (one of ${MODIFIERS.join(', ')})`);
  return options;
}

function describeExit({ code, signal, error }) {
  if (error) return `could not run: ${error.message}`;
  return signal ? `killed by ${signal}` : `exited with status ${code}`;
}

async function run(options) {
  let ending = false;
  let failed = false;
  const fail = (message) => {
    console.error(`error: ${message}`);
    failed = true;
  };
  const wav = await WavWriter.create(options.out, { sampleRate: 24000 });
  const keys = new InputMonitor({ binary: path.join(options.build, 'vesk-input-monitor') });
  const audio = new AudioTap({ binary: path.join(options.build, 'vesk-audio-tap'), excludePids: options.excludePids });
  for (const [name, helper] of [['input monitor', keys], ['audio tap', audio]]) {
    if (helper.pid !== undefined) console.log(`${name}: pid ${helper.pid}`);
    helper.on('exit', (exit) => {
      if (!ending || exit.error || exit.code !== 0) fail(`${name} ${describeExit(exit)}`);
    });
  }
  keys.on('down', () => console.log('down'));
  keys.on('up', () => console.log('up'));
  audio.on('inputActivity', ({ running, processes }) => console.log(running
    ? `microphone: in use by ${processes.map((p) => `${p.pid}${p.bundleId ? ` (${p.bundleId})` : ''}`).join(', ') || 'an unknown process'}`
    : 'microphone: idle'));
  audio.on('event', (event) => event.event === 'stopped' && console.log('audio tap: stopped'));

  keys.ready.then(({ trusted, tapCreated }) => {
    console.log(`input monitor: permission trusted=${trusted}`);
    console.log(`input monitor: ready tapCreated=${tapCreated}`);
    keys.setBinding({ mainKey: options.key, modifiers: options.modifiers });
    console.log(`push-to-talk: ${[...options.modifiers, ...(options.key === null ? [] : [`key ${options.key}`])].join('+')}`);
  }, () => {}); // its end is reported by "exit"; recording goes on without push-to-talk

  // The recording ends when it is long enough, on Ctrl+C, when the audio tap ends or stalls.
  let interrupt;
  const interrupted = new Promise((resolve) => { interrupt = resolve; });
  process.once('SIGINT', interrupt);
  process.once('SIGTERM', interrupt);
  const deadline = setTimeout(() => { fail('not enough audio in time'); interrupt(); }, (options.seconds + 10) * 1000);
  const record = (async () => {
    audio.watchInput();
    const ready = await audio.start();
    console.log(`audio tap: ready ${ready.sampleRate} Hz, ${ready.channels} channel(s), device ${ready.deviceRate} Hz`);
    const wanted = Math.round(options.seconds * 24000);
    for await (const frame of audio.frames()) {
      await wav.write(frame.samples.subarray(0, wanted - wav.samples));
      if (wav.samples >= wanted) break;
    }
  })().catch((error) => {
    if (!audio.hasExited) fail(`audio tap: ${error.message}`); // a helper that ended is reported by "exit"
  });
  await Promise.race([record, interrupted]);

  // "quit" lets the audio tap write its last frame and "stopped"; end of input ends the monitor.
  ending = true;
  clearTimeout(deadline);
  await Promise.all([audio.quit(3000), keys.close(3000)]);
  await record;
  await wav.close();
  console.log(`recorded ${wav.seconds.toFixed(2)} s to ${options.out}`);
  return failed ? 1 : 0;
}

function main() {
  let options;
  try {
    options = parseOptions(process.argv.slice(2));
  } catch (error) {
    console.error(`${error.message}\n${USAGE}`);
    process.exit(2);
  }
  if (options.help) return console.log(USAGE);
  run(options).then((code) => { process.exitCode = code; }, (error) => {
    console.error(`error: ${error.message}`);
    process.exitCode = 1;
  });
}

if (require.main === module) main();

module.exports = { parseOptions };
