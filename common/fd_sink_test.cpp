#include "common/fd_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace vesk {
namespace {

const std::string kFrame(9604, 'f');

// Frames a producer writes itself into a buffer whose reader never reads: they stop,
// whole, before the buffer is half full, though most writes do not look first.
TEST(FdSinkTest, AProducerFillsAnUnreadBufferOnlyToHalfWithWholeFrames) {
  for (const bool socket : {false, true}) {
    int fds[2];
    ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : ::pipe(fds), 0);
    const std::size_t capacity = returnBufferSize(fds[1], returnFdKind(fds[1]));
    FdSink sink(fds[1]);
    std::size_t written = 0;
    while (sink.writeIfRoom(kFrame) == kFrame.size()) written += kFrame.size();
    EXPECT_GT(written, 0u) << socket;
    EXPECT_LE(2 * written, capacity) << socket;
    ::close(fds[0]);
    ::close(fds[1]);
  }
}

// A host may shrink its pipe while it is empty, after the sink proved room in it, and
// then stop reading. The producer must not wait for it (the test would hang): the pipe
// takes what fits, and the sink says it was only part of the frame.
TEST(FdSinkTest, APipeShrunkAfterTheLookNeverBlocksTheProducer) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[1], F_SETPIPE_SZ, 64 * 1024), 64 * 1024);
  FdSink sink(fds[1]);
  ASSERT_EQ(sink.writeIfRoom(kFrame), kFrame.size());
  std::string drained(kFrame.size(), '\0');
  ASSERT_EQ(::read(fds[0], drained.data(), drained.size()), static_cast<ssize_t>(drained.size()));
  ASSERT_EQ(::fcntl(fds[0], F_SETPIPE_SZ, 4096), 4096);
  const std::size_t taken = sink.writeIfRoom(kFrame);
  EXPECT_LT(taken, kFrame.size());
  EXPECT_EQ(sink.writeIfRoom(kFrame), 0u);  // it looks again, and finds the pipe full
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace vesk
