#!/usr/bin/env node
'use strict';
// A host application in miniature: starts both helpers, sets a push-to-talk binding
// and prints "down" and "up" as the shortcut is held and let go, records N seconds
// of what the machine plays to a WAV file from the audio tap's frames, and prints
// the microphone activity reports. Ends both helpers the way a host should: "quit"
// to the audio tap (it writes its last frame and "stopped"), end of input to the
// input monitor. Run with --help for the options.
const path = require('path');
const { Helper } = require('./helper');
const { WavWriter } = require('./wav');

const SAMPLE_RATE = 24000;
const BYTES_PER_SECOND = SAMPLE_RATE * 2;
const MODIFIERS = ['control', 'option', 'shift', 'command', 'fn'];
// How long a helper gets to end by itself before it is killed.
const EXIT_GRACE_MS = 3000;

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
    seconds: 5,
    out: 'recording.wav',
    key: 49,
    modifiers: ['control'],
    excludePids: [],
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
      case '--exclude-pid': options.excludePids.push(value()); break;
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

function describeProcesses(processes) {
  return processes.map((p) => `${p.pid}${p.bundleId ? ` (${p.bundleId})` : ''}`).join(', ');
}

function describeExit({ code, signal, error }) {
  if (error) return `could not run: ${error.message}`;
  return signal ? `killed by ${signal}` : `exited with status ${code}`;
}

class Session {
  constructor(options) {
    this.options = options;
    this.failed = false;
    this.ending = false;
    this.wantedBytes = Math.round(options.seconds * SAMPLE_RATE) * 2;
    this.wav = new WavWriter(options.out, { sampleRate: SAMPLE_RATE, channels: 1, bitsPerSample: 16 });
  }

  start() {
    const { build, excludePids } = this.options;
    this.keys = new Helper('input monitor', path.join(build, 'vesk-input-monitor'));
    this.audio = new Helper('audio tap', path.join(build, 'vesk-audio-tap'),
      excludePids.flatMap((pid) => ['--exclude-pid', String(pid)]), { eventStream: 'stderr', frames: true });
    for (const helper of [this.keys, this.audio]) {
      if (helper.pid !== undefined) console.log(`${helper.name}: pid ${helper.pid}`);
    }
    this.keys.on('event', (event) => this.onKeyEvent(event));
    this.audio.on('event', (event) => this.onAudioEvent(event));
    this.audio.on('frame', (payload) => this.onFrame(payload));
    for (const helper of [this.keys, this.audio]) {
      helper.on('text', (line) => console.log(`${helper.name} says: ${line}`));
      helper.on('malformed', (error) => this.fail(`${helper.name}: ${error.message}`));
      helper.on('exit', (exit) => this.onExit(helper, exit));
    }
    this.audio.send('watchInput');
    this.audio.send('start');
    // If the audio stalls, the recording still ends.
    this.deadline = setTimeout(() => this.fail('not enough audio in time'), (this.options.seconds + 10) * 1000);
  }

  onKeyEvent(event) {
    switch (event.type) {
      case 'permission':
        console.log(`input monitor: permission trusted=${event.trusted}`);
        break;
      case 'ready':
        console.log(`input monitor: ready tapCreated=${event.tapCreated}`);
        this.setBinding();
        break;
      case 'down':
      case 'up':
        console.log(event.type);
        break;
      default:
        console.log(`input monitor: ${JSON.stringify(event)}`);
    }
  }

  setBinding() {
    const { key, modifiers } = this.options;
    const binding = { modifiers };
    if (key !== null) binding.mainKey = key;
    this.keys.sendJson({ cmd: 'setBinding', binding });
    console.log(`push-to-talk: ${[...modifiers, ...(key === null ? [] : [`key ${key}`])].join('+')}`);
  }

  onAudioEvent(event) {
    switch (event.event) {
      case 'ready':
        console.log(`audio tap: ready ${event.sampleRate} Hz, ${event.channels} channel(s), device ${event.deviceRate} Hz`);
        break;
      case 'inputActivity':
        console.log(event.running
          ? `microphone: in use by ${describeProcesses(event.processes) || 'an unknown process'}`
          : 'microphone: idle');
        break;
      case 'stopped':
        console.log('audio tap: stopped');
        break;
      case 'error':
        this.fail(`audio tap: ${event.message}`);
        break;
      default:
        console.log(`audio tap: ${JSON.stringify(event)}`);
    }
  }

  onFrame(payload) {
    const room = this.wantedBytes - this.wav.dataBytes;
    if (room <= 0) return;
    this.wav.write(room < payload.length ? payload.subarray(0, room) : payload);
    if (this.wav.dataBytes >= this.wantedBytes) this.end();
  }

  onExit(helper, exit) {
    if (exit.expected && !exit.error && exit.code === 0) return;
    const message = `${helper.name} ${describeExit(exit)}`;
    if (helper === this.audio) {
      this.fail(message); // the recording cannot go on: keep what arrived
    } else {
      // Recording goes on without push-to-talk.
      console.error(`error: ${message}`);
      this.failed = true;
    }
  }

  fail(message) {
    console.error(`error: ${message}`);
    this.failed = true;
    this.end();
  }

  /// Ends both helpers, waits for them, then completes the WAV file. Runs once.
  async end() {
    if (this.ending) return this.done;
    this.ending = true;
    clearTimeout(this.deadline);
    this.done = (async () => {
      this.audio.expectExit();
      this.audio.send('quit');
      this.keys.closeInput();
      await Promise.all([this.audio.waitForExit(EXIT_GRACE_MS), this.keys.waitForExit(EXIT_GRACE_MS)]);
      this.wav.close();
      console.log(`recorded ${this.wav.seconds().toFixed(2)} s to ${this.options.out}`);
      process.exitCode = this.failed ? 1 : 0;
    })();
    return this.done;
  }
}

function main() {
  let options;
  try {
    options = parseOptions(process.argv.slice(2));
  } catch (error) {
    console.error(`${error.message}\n${USAGE}`);
    process.exit(2);
  }
  if (options.help) {
    console.log(USAGE);
    return;
  }
  const session = new Session(options);
  process.on('SIGINT', () => session.end());
  process.on('SIGTERM', () => session.end());
  session.start();
}

if (require.main === module) main();

module.exports = { parseOptions };
