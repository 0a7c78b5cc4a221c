// Whole writes and line reads over write(2)/read(2).
#include "common/fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace vesk {

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

LineReader::LineReader(int fd, std::size_t maxLineBytes) : fd_(fd), maxLineBytes_(maxLineBytes) {}

bool LineReader::fill() {
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

std::optional<std::string> LineReader::next() {
  for (;;) {
    std::size_t feed = buffer_.find('\n', scanned_);
    if (feed != std::string::npos) {
      bool skip = discarding_;
      std::string line = skip ? std::string() : buffer_.substr(0, feed);
      buffer_.erase(0, feed + 1);
      scanned_ = 0;
      discarding_ = false;
      if (!skip) return line;
      continue;
    }
    if (buffer_.size() > maxLineBytes_) {
      // Too long to be a command: drop what we have and skip to the line feed.
      discarding_ = true;
      buffer_.clear();
    }
    scanned_ = buffer_.size();
    if (atEnd_ || !fill()) {
      atEnd_ = true;
      if (buffer_.empty() || discarding_) return std::nullopt;
      std::string last = std::move(buffer_);
      buffer_.clear();
      scanned_ = 0;
      return last;
    }
  }
}

}  // namespace vesk
