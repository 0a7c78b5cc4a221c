'use strict';
// A WAV file of 16-bit PCM written as samples arrive. The header's two sizes are
// only known at the end, so it is written first with sizes of zero and rewritten
// when the file is closed.
const fs = require('fs');

const HEADER_BYTES = 44;

/// The canonical 44-byte RIFF/WAVE header of integer PCM.
function wavHeader({ sampleRate, channels, bitsPerSample, dataBytes }) {
  const blockAlign = channels * (bitsPerSample / 8);
  const header = Buffer.alloc(HEADER_BYTES);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + dataBytes, 4);
  header.write('WAVE', 8, 'ascii');
  header.write('fmt ', 12, 'ascii');
  header.writeUInt32LE(16, 16); // size of the fmt chunk
  header.writeUInt16LE(1, 20); // integer PCM
  header.writeUInt16LE(channels, 22);
  header.writeUInt32LE(sampleRate, 24);
  header.writeUInt32LE(sampleRate * blockAlign, 28); // bytes per second
  header.writeUInt16LE(blockAlign, 32);
  header.writeUInt16LE(bitsPerSample, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(dataBytes, 40);
  return header;
}

class WavWriter {
  constructor(path, { sampleRate = 24000, channels = 1, bitsPerSample = 16 } = {}) {
    this.format = { sampleRate, channels, bitsPerSample };
    this.fd = fs.openSync(path, 'w');
    this.dataBytes = 0;
    fs.writeSync(this.fd, wavHeader({ ...this.format, dataBytes: 0 }));
  }

  write(pcm) {
    fs.writeSync(this.fd, pcm);
    this.dataBytes += pcm.length;
  }

  seconds() {
    const { sampleRate, channels, bitsPerSample } = this.format;
    return this.dataBytes / (sampleRate * channels * (bitsPerSample / 8));
  }

  close() {
    if (this.fd === null) return;
    fs.writeSync(this.fd, wavHeader({ ...this.format, dataBytes: this.dataBytes }), 0, HEADER_BYTES, 0);
    fs.closeSync(this.fd);
    this.fd = null;
  }
}

module.exports = { wavHeader, WavWriter, HEADER_BYTES };
