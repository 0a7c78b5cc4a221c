'use strict';
// One helper process driven over its standard streams. Event lines arrive on
// standard output (input monitor) or standard error (audio tap) and are emitted as
// parsed 'event's; the audio tap's standard output is split into 'frame's. 'exit'
// is emitted once, after the process ended and every byte it wrote was delivered,
// saying whether the host had asked it to end.
const { spawn } = require('child_process');
const { EventEmitter } = require('events');
const { FrameParser } = require('./frames');
const { LineSplitter } = require('./lines');

class Helper extends EventEmitter {
  /// `eventStream` is 'stdout' or 'stderr'; with `frames`, standard output carries
  /// frames instead of lines.
  constructor(name, file, args = [], { eventStream = 'stdout', frames = false } = {}) {
    super();
    this.name = name;
    this.ending = false;
    this.exited = false;
    this.child = spawn(file, args, { stdio: ['pipe', 'pipe', 'pipe'] });
    this.pid = this.child.pid;
    // A helper that is gone makes writes fail with EPIPE; 'exit' reports it instead.
    this.child.stdin.on('error', () => {});
    for (const stream of ['stdout', 'stderr']) {
      if (stream === 'stdout' && frames) {
        this.readFrames(this.child.stdout);
      } else {
        this.readLines(this.child[stream], stream === eventStream);
      }
    }
    this.child.on('error', (error) => this.finish({ code: null, signal: null, error }));
    this.child.on('close', (code, signal) => this.finish({ code, signal, error: null }));
  }

  readLines(stream, carriesEvents) {
    const splitter = new LineSplitter();
    const deliver = (line) => {
      if (carriesEvents) {
        let event;
        try {
          event = JSON.parse(line);
        } catch {
          this.emit('text', line);
          return;
        }
        this.emit('event', event);
      } else if (line.length) {
        this.emit('text', line);
      }
    };
    stream.on('data', (chunk) => splitter.push(chunk).forEach(deliver));
    stream.on('end', () => {
      const last = splitter.end();
      if (last !== null) deliver(last);
    });
  }

  readFrames(stream) {
    const parser = new FrameParser();
    stream.on('data', (chunk) => {
      let payloads;
      try {
        payloads = parser.push(chunk);
      } catch (error) {
        // Nothing after a bad length can be framed again: end the helper.
        stream.removeAllListeners('data');
        stream.resume();
        this.emit('malformed', error);
        this.kill();
        return;
      }
      for (const payload of payloads) this.emit('frame', payload);
    });
    stream.on('end', () => {
      if (parser.pendingBytes()) this.emit('malformed', new Error(`${parser.pendingBytes()} bytes of a cut-off frame`));
    });
  }

  /// Sends one command line.
  send(line) {
    if (this.exited || !this.child.stdin.writable) return;
    this.child.stdin.write(line.endsWith('\n') ? line : line + '\n');
  }

  sendJson(object) {
    this.send(JSON.stringify(object));
  }

  /// End of input: both helpers end with status 0 when their standard input closes.
  closeInput() {
    this.ending = true;
    if (!this.child.stdin.destroyed) this.child.stdin.end();
  }

  /// For "quit" and the like: the exit that follows is expected.
  expectExit() {
    this.ending = true;
  }

  kill() {
    this.ending = true;
    if (!this.exited) this.child.kill('SIGKILL');
  }

  finish({ code, signal, error }) {
    if (this.exited) return;
    this.exited = true;
    this.emit('exit', { code, signal, error, expected: this.ending });
  }

  /// Resolves once the helper has exited; kills it after `timeoutMs`.
  waitForExit(timeoutMs) {
    if (this.exited) return Promise.resolve();
    return new Promise((resolve) => {
      const timer = setTimeout(() => this.kill(), timeoutMs);
      this.once('exit', () => {
        clearTimeout(timer);
        resolve();
      });
    });
  }
}

module.exports = { Helper };
