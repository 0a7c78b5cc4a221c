#include "input-monitor/emit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace vesk {
namespace {

std::string drain(int fd) {
  std::string data;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<std::size_t>(n));
  return data;
}

TEST(LineOutputTest, WritesCompactUtf8Lines) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    LineOutput output(fds[1]);
    output.emit(Json{{"type", "permission"}, {"trusted", true}});
    output.emit(Json{{"type", "recorded"},
                     {"binding", Json{{"mainKey", nullptr}, {"modifiers", {"fn"}}, {"label", "\U0001F310"}}}});
    output.emit(Json{{"type", "bad"}, {"text", "\xff"}});  // cannot be serialised: nothing at all
  }  // written by now
  ::close(fds[1]);
  EXPECT_EQ(drain(fds[0]),
            "{\"type\":\"permission\",\"trusted\":true}\n"
            "{\"type\":\"recorded\",\"binding\":{\"mainKey\":null,\"modifiers\":[\"fn\"],\"label\":\"\xF0\x9F\x8C\x90\"}}\n");
  ::close(fds[0]);
}

TEST(LineOutputTest, LinesFromManyThreadsNeverInterleave) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string received;
  std::thread reader([&] { received = drain(fds[0]); });
  {
    LineOutput output(fds[1]);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&output, t] {
        // Longer than a pipe's atomic write, so only the lock keeps lines whole.
        std::string filler(8000, static_cast<char>('a' + t));
        for (int i = 0; i < 50; ++i) output.emit(Json{{"type", "x"}, {"filler", filler}});
      });
    }
    for (auto& w : writers) w.join();
  }  // written by now
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  std::istringstream lines(received);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    auto parsed = Json::parse(line);
    std::string filler = parsed["filler"];
    EXPECT_EQ(std::set<char>(filler.begin(), filler.end()).size(), 1u);
    ++count;
  }
  EXPECT_EQ(count, 200);
}

}  // namespace
}  // namespace vesk
