#include "audio-tap/process/command_text.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(CommandTextTest, Trimming) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"start", "start"},
      {"  start\t", "start"},
      {"start\r", "start"},
      {"\v\fstart\n\r", "start"},
      {"\xC2\x85start\xC2\xA0", "start"},                  // NEXT LINE, NO-BREAK SPACE
      {"\xE2\x80\x83start\xE3\x80\x80", "start"},          // EM SPACE, IDEOGRAPHIC SPACE
      {"\xE2\x80\xA8start\xE2\x80\xA9", "start"},          // LINE and PARAGRAPH SEPARATOR
      {"\xE1\x9A\x80\xE2\x80\xAF\xE2\x81\x9Fstart", "start"},  // OGHAM, NARROW NBSP, MEDIUM MATH
      {"\xE2\x80\x8Bstart", "\xE2\x80\x8Bstart"},          // ZERO WIDTH SPACE is not white space
      {"\xEF\xBB\xBFstart", "\xEF\xBB\xBFstart"},          // nor is a byte order mark
      {"start now", "start now"},
      {"start  \t now", "start  \t now"},
      {"Start", "Start"},
      {"", ""},
      {" \t\r ", ""},
      {std::string("start\0", 6), std::string("start\0", 6)},
      {std::string("\0start", 6), std::string("\0start", 6)},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(commandText(line), expected) << '"' << line << '"';
}

TEST(CommandTextTest, InvalidUtf8BecomesReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\xFF", r},
      {"a\xC3(b", "a" + r + "(b"},             // a lead byte cut short
      {"\xE2\x82", r},                         // truncated at the end: one replacement
      {"\xE2\x82(", r + "("},
      {"\xC0\xAF", r + r},                     // overlong forms: each byte
      {"\xED\xA0\x80", r + r + r},             // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},     // above U+10FFFF
      {"\xF0\x9F\x8C\x90", "\xF0\x9F\x8C\x90"},  // a valid 4-byte sequence
      {"\x80\x80", r + r},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(decodeUtf8(bytes), expected) << bytes;
  EXPECT_EQ(commandText(" \xFF "), r);
}

}  // namespace
}  // namespace vesk
