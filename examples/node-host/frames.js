'use strict';
// Splits the audio tap's standard output into frames. Each frame is the payload's
// length as 4 little-endian bytes, then the payload: 16-bit little-endian mono PCM
// at 24000 Hz. A pipe hands data over in chunks that end anywhere, inside a length
// as well as inside a payload, so whatever is left over waits for the next chunk.

// A full frame is 200 ms (9600 bytes); anything near this is not a frame.
const MAX_PAYLOAD_BYTES = 1 << 20;

class FrameParser {
  constructor() {
    this.rest = Buffer.alloc(0);
  }

  /// The payloads completed by `chunk`, in order. Throws on a length that no frame
  /// has (odd, or absurdly large): the stream cannot be trusted after that.
  push(chunk) {
    let data = this.rest.length ? Buffer.concat([this.rest, chunk]) : chunk;
    const payloads = [];
    while (data.length >= 4) {
      const length = data.readUInt32LE(0);
      if (length % 2 !== 0 || length > MAX_PAYLOAD_BYTES) {
        throw new Error(`malformed frame: length ${length}`);
      }
      if (data.length < 4 + length) break;
      // A copy, so a kept payload does not pin the whole chunk it came in.
      payloads.push(Buffer.from(data.subarray(4, 4 + length)));
      data = data.subarray(4 + length);
    }
    this.rest = Buffer.from(data);
    return payloads;
  }

  /// Bytes of an unfinished frame; none once the stream ended cleanly.
  pendingBytes() {
    return this.rest.length;
  }
}

module.exports = { FrameParser, MAX_PAYLOAD_BYTES };
