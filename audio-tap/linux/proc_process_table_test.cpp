#include "audio-tap/linux/proc_process_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace vesk {
namespace {

constexpr const char* kTail = " 0 0 0 0 0 0 0 20 0 1 0 57718 3133440 379 18446744073709551615 0 0\n";

TEST(ProcProcessTableTest, ParsesStatLines) {
  const std::vector<std::pair<std::string, std::optional<ProcessEntry>>> cases = {
      {std::string("16054 (cat) R 16050 16050 4840 0 -1 4194304 99") + kTail, ProcessEntry{16054, 16050, 57718}},
      {std::string("7 (a) b (c)) S 1 7 7 0 -1 4194304 99") + kTail, ProcessEntry{7, 1, 57718}},
      {std::string("1 (init) S 0 1 1 0 -1 4194304 99") + kTail, ProcessEntry{1, 0, 57718}},
      {"16054 (cat) R 16050 16050", std::nullopt},  // cut short
      {"", std::nullopt},
      {"x (cat) R 1 1 1 0 -1 1 1 0 0 0 0 0 0 0 20 0 1 0 5", std::nullopt},
      {"5 cat R 1", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseProcStat(text), expected) << text;
}

TEST(ProcProcessTableTest, ReadsThisProcessAndAChild) {
  auto table = makeProcProcessTable();
  const auto self = table->returnProcess(::getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->parentPID, ::getppid());
  EXPECT_GT(self->startTime, 0u);

  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const auto all = table->returnProcesses();
  auto found = std::find_if(all.begin(), all.end(), [&](const ProcessEntry& e) { return e.pid == child; });
  ASSERT_NE(found, all.end());
  EXPECT_EQ(found->parentPID, ::getpid());
  EXPECT_GE(found->startTime, self->startTime);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(table->returnProcess(child));
}

}  // namespace
}  // namespace vesk
