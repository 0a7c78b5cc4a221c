// Fuzzes LineReader, the line reader both helpers run on standard input.
//
// The first byte picks the longest line the reader keeps (1 to 64 bytes, or the
// default), the second how the rest arrives: in pieces of a few sizes, each one read
// of its own from a SOCK_SEQPACKET socket (so piece boundaries are reproducible),
// written by a thread as a host writes into a pipe.
//
// Checks: the lines read are the input's lines in order, none skipped unless longer
// than the limit (a line over the limit may still come whole when it arrives in one
// piece); nothing after the end.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/fd_io.h"
#include "fuzz/fuzz_check.h"

namespace {

// The input split at line feeds; a last line without one counts when not empty.
std::vector<std::string_view> expectedLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    lines.push_back(text.substr(0, feed));
    text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
  }
  return lines;
}

// Piece sizes cycle through four values chosen by `pattern`, from 1 to 64 bytes;
// pattern 0 sends everything as one piece.
std::vector<std::string_view> piecesOf(std::string_view text, std::uint8_t pattern) {
  if (pattern == 0) return {text};
  const std::size_t sizes[4] = {1u + (pattern & 3u), 1u + ((pattern >> 2) & 7u), 1u + (pattern >> 5), 64};
  std::vector<std::string_view> pieces;
  for (std::size_t i = 0; !text.empty(); ++i) {
    const std::size_t n = std::min(sizes[i % 4], text.size());
    pieces.push_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  return pieces;
}

void writePieces(int fd, const std::vector<std::string_view>& pieces) {
  for (auto piece : pieces) {
    // One record per piece; a reader that went away ends the writer.
    if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 1 << 16) return -1;
  const std::size_t maxLine = data[0] >= 0xC0 ? vesk::LineReader::kDefaultMaxLineBytes : 1u + data[0] % 64u;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0);
  // A record of no bytes would read as the end of input: an empty piece is never sent.
  std::thread writer(writePieces, fds[1], piecesOf(text, data[1]));

  const std::vector<std::string_view> expected = expectedLines(text);
  std::size_t next = 0;
  vesk::LineReader reader(fds[0], maxLine);
  while (auto line = reader.next()) {
    FUZZ_CHECK(line->find('\n') == std::string::npos);
    while (next < expected.size() && expected[next] != *line) {
      FUZZ_CHECK(expected[next].size() > maxLine);  // only an over-long line may be dropped
      ++next;
    }
    FUZZ_CHECK(next < expected.size());
    ++next;
  }
  for (; next < expected.size(); ++next) FUZZ_CHECK(expected[next].size() > maxLine);
  FUZZ_CHECK(!reader.next());
  writer.join();
  ::close(fds[0]);
  return 0;
}
