// A file descriptor as the sink of a stream writer (standard output or error).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "common/stream_writer.h"

namespace vesk {

/// What a descriptor is, as far as its room goes; it does not change while it is open.
enum class FdKind { pipe, socket, other };
FdKind returnFdKind(int fd);

/// Waits until `fd` can take `bytes` more without blocking part-way, as far as the
/// platform lets us know. A write that blocks part-way leaves a torn item in the
/// stream if the process ends before the reader reads again; an item that is not
/// begun is dropped whole instead. Returns at once for descriptors that never block
/// (files) and for those the platform says nothing about. Writer thread only.
void waitForRoom(int fd, FdKind kind, std::size_t bytes);

/// The size of `fd`'s buffer (a pipe's, or a socket's for sending); 0 when the
/// platform does not say.
std::size_t returnBufferSize(int fd, FdKind kind);

/// How much of `fd`'s buffer its reader has not read yet; none when the platform
/// does not say.
std::optional<std::size_t> returnUnread(int fd, FdKind kind);

/// Writes what `fd` takes without waiting for its reader: all of `bytes`, part of
/// them, or none. A reader that has gone counts as taking all (they are lost, as
/// with any write to it). None when the platform cannot write without waiting.
std::optional<std::size_t> writeWithoutWaiting(int fd, std::string_view bytes);

/// Whole writes to a file descriptor, each begun only once it can be finished.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd), kind_(returnFdKind(fd)) {}
  void write(std::string_view bytes) override;
  std::size_t writeIfRoom(std::string_view bytes) override;

 private:
  void look();
  void forgetRoom();

  int fd_;
  FdKind kind_;
  std::size_t bufferSize_ = 0;  // 0: to be read at the next look
  // Room that the last look proved, less what was written since: the reader can only
  // have made more. A look is a system call, so it is taken only when this runs short.
  std::size_t provenRoom_ = 0;
  bool writesWithoutWaiting_ = true;  // until the platform says it cannot
};

}  // namespace vesk
