#include "audio-tap/process/settings.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(SettingsTest, ProcessIDGrammar) {
  const std::vector<std::pair<std::string, std::optional<ProcessID>>> cases = {
      {"42", 42},
      {"+42", 42},
      {"-7", -7},
      {"0", 0},
      {"-0", 0},
      {"007", 7},
      {"000000000000000000002147483647", 2147483647},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483648},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"12a", std::nullopt},
      {" 12", std::nullopt},
      {"12 ", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"", std::nullopt},
      {"+-1", std::nullopt},
      {"--1", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
      {std::string("1\0", 2), std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseProcessID(text), expected) << '"' << text << '"';
}

TEST(SettingsTest, Arguments) {
  struct Case {
    std::vector<std::string> arguments;
    std::vector<ProcessID> extraPIDs;
    bool debug;
    bool descendants = false;
  };
  const std::vector<Case> cases = {
      {{}, {}, false},
      {{"--exclude-pid", "10", "--exclude-pid", "20"}, {10, 20}, false},
      {{"--exclude-pid", "5", "--exclude-pid", "5"}, {5, 5}, false},
      {{"--exclude-pid", "+42", "--exclude-pid", "-7"}, {42, -7}, false},
      {{"--exclude-pid", "--debug"}, {}, false},  // "--debug" is taken as a bad value
      {{"--debug", "--exclude-pid"}, {}, true},   // a trailing option without value
      {{"--debug", "--debug"}, {}, true},
      {{"--exclude-pid=5", "--DEBUG", "-d", "x"}, {}, false},
      {{"--exclude-pid", "12a", "--exclude-pid", "3"}, {3}, false},
      {{"--exclude-pid", "", "7"}, {}, false},
      {{"stray", "--exclude-pid", "9", "--debug"}, {9}, true},
      {{"--exclude-descendants"}, {}, false, true},
      {{"--exclude-pid", "4", "--exclude-descendants", "--exclude-pid", "6"}, {4, 6}, false, true},
      {{"--debug", "--exclude-descendants", "--exclude-descendants"}, {}, true, true},
      {{"--exclude-pid", "--exclude-descendants"}, {}, false, false},  // consumed as a bad value
      {{"--exclude-descendants=1", "--EXCLUDE-DESCENDANTS", "--exclude-descendant"}, {}, false, false},
  };
  for (const auto& c : cases) {
    const Settings s = parseArguments(c.arguments);
    EXPECT_EQ(s.extraPIDs, c.extraPIDs) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(s.debug, c.debug) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(s.excludeDescendants, c.descendants) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(s.outputSampleRate, 24000.0);
    EXPECT_EQ(s.framesPerChunk, 4800);
  }
}

}  // namespace
}  // namespace vesk
