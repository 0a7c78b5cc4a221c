'use strict';
// Splits a byte stream into lines at line feeds. A chunk may end in the middle of a
// line, even in the middle of a UTF-8 character, so bytes are kept until their line
// is complete and only then decoded.

class LineSplitter {
  constructor() {
    this.rest = Buffer.alloc(0);
  }

  /// The lines completed by `chunk`, without their line feeds.
  push(chunk) {
    const data = this.rest.length ? Buffer.concat([this.rest, chunk]) : chunk;
    const lines = [];
    let start = 0;
    for (let feed = data.indexOf(0x0a); feed !== -1; feed = data.indexOf(0x0a, start)) {
      lines.push(data.toString('utf8', start, feed));
      start = feed + 1;
    }
    this.rest = Buffer.from(data.subarray(start));
    return lines;
  }

  /// At the end of the stream: a last line that had no line feed, if any.
  end() {
    const last = this.rest.length ? this.rest.toString('utf8') : null;
    this.rest = Buffer.alloc(0);
    return last;
  }
}

module.exports = { LineSplitter };
