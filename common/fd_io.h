// Whole writes and line reads on raw file descriptors, shared by both helpers.
// Output goes through write(2) with no stdio buffering, so a line or frame is on
// its way the moment it is written and nothing is left in a buffer at _exit.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

/// Writes every byte of `data` to `fd`, retrying short writes and EINTR.
/// Returns false when the descriptor fails (a closed pipe, say); the caller decides
/// whether that matters. Never raises SIGPIPE on its own: the process ignores it.
bool writeAll(int fd, std::string_view data);

/// Reads `fd` one line at a time. A line ends at a line feed, which is not part of
/// the result; a last line without a line feed is still returned before the end.
/// A line longer than `maxLineBytes` is discarded whole (up to its line feed), so
/// a peer that never sends a line feed cannot make the reader grow without bound.
class LineReader {
 public:
  static constexpr std::size_t kDefaultMaxLineBytes = 16u << 20;

  explicit LineReader(int fd, std::size_t maxLineBytes = kDefaultMaxLineBytes);

  /// The next line, or none at end of input or on a read error.
  std::optional<std::string> next();

 private:
  bool fill();

  int fd_;
  std::size_t maxLineBytes_;
  std::string buffer_;
  std::size_t scanned_ = 0;  // bytes of buffer_ already known to hold no line feed
  bool discarding_ = false;  // inside an over-long line, skipping to its end
  bool atEnd_ = false;
};

}  // namespace vesk
