// A file descriptor as the sink of a stream writer (standard output or error).
#pragma once

#include <cstddef>
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

/// True when `fd` can take `bytes` more now without blocking at all; false when it
/// cannot, or when the platform does not say.
bool hasRoomNow(int fd, FdKind kind, std::size_t bytes);

/// Whole writes to a file descriptor, each begun only once it can be finished.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd), kind_(returnFdKind(fd)) {}
  void write(std::string_view bytes) override;
  bool writeIfRoom(std::string_view bytes) override;

 private:
  int fd_;
  FdKind kind_;
};

}  // namespace vesk
