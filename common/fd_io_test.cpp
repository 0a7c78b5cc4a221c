#include "common/fd_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

// Feeds `input` through a pipe from another thread and collects every line read.
std::vector<std::string> readAllLines(const std::string& input, std::size_t maxLineBytes) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    // Small pieces, so lines straddle reads.
    for (std::size_t at = 0; at < input.size(); at += 7) writeAll(fds[1], std::string_view(input).substr(at, 7));
    ::close(fds[1]);
  });
  LineReader reader(fds[0], maxLineBytes);
  std::vector<std::string> lines;
  while (auto line = reader.next()) lines.push_back(*line);
  writer.join();
  ::close(fds[0]);
  return lines;
}

TEST(LineReaderTest, SplitsLines) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"empty input", "", {}},
      {"one line", "start\n", {"start"}},
      {"last line without feed", "a\nb", {"a", "b"}},
      {"blank lines kept", "\n\nx\n", {"", "", "x"}},
      {"carriage return kept for the caller", "a\r\n", {"a\r"}},
      {"nul bytes kept", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const auto& c : cases) EXPECT_EQ(readAllLines(c.input, 1024), c.lines) << c.name;
}

TEST(LineReaderTest, DropsOverlongLinesAndGoesOn) {
  std::string longLine(100'000, 'x');
  EXPECT_EQ(readAllLines("ok\n" + longLine + "\nafter\n", 1000), (std::vector<std::string>{"ok", "after"}));
  // An over-long unterminated last line is dropped as well.
  EXPECT_EQ(readAllLines("ok\n" + longLine, 1000), (std::vector<std::string>{"ok"}));
}

TEST(WriteAllTest, WritesMoreThanAPipeHolds) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string payload(1 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31);
  std::string received;
  std::thread readerThread([&] {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) received.append(buf, static_cast<std::size_t>(n));
  });
  EXPECT_TRUE(writeAll(fds[1], payload));
  ::close(fds[1]);
  readerThread.join();
  ::close(fds[0]);
  EXPECT_EQ(received, payload);
}

TEST(WriteAllTest, ReportsAClosedPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(writeAll(fds[1], "x"));
  ::close(fds[1]);
}

}  // namespace
}  // namespace vesk
