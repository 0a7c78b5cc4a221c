// UTF-8 decoding with replacement, and trimming by Unicode white space.
#include "audio-tap/process/command_text.h"

#include <cstdint>

namespace vesk {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at the start of `s`, or the length of its
// maximal valid prefix negated (at least -1) when it is ill-formed.
int sequenceLength(std::string_view s) {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  if (b0 < 0x80) return 1;
  int need = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<std::size_t>(i) >= s.size()) return -i;
    const auto b = static_cast<std::uint8_t>(s[static_cast<std::size_t>(i)]);
    const bool ok = i == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return -i;
  }
  return need + 1;
}

// The code point of a well-formed sequence of `length` bytes.
char32_t codePoint(std::string_view s, int length) {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  if (length == 1) return b0;
  char32_t c = b0 & (0x7F >> length);
  for (int i = 1; i < length; ++i) c = (c << 6) | (static_cast<std::uint8_t>(s[static_cast<std::size_t>(i)]) & 0x3F);
  return c;
}

}  // namespace

std::string decodeUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    int length = sequenceLength(bytes);
    if (length > 0) {
      text.append(bytes.substr(0, static_cast<std::size_t>(length)));
    } else {
      text.append(kReplacement);
      length = -length;
    }
    bytes.remove_prefix(static_cast<std::size_t>(length));
  }
  return text;
}

bool isWhitespaceOrNewline(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680) return true;
  if (c >= 0x2000 && c <= 0x200A) return true;
  return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string commandText(std::string_view line) {
  const std::string text = decodeUtf8(line);
  std::string_view rest(text);
  while (!rest.empty()) {
    const int length = sequenceLength(rest);
    if (!isWhitespaceOrNewline(codePoint(rest, length))) break;
    rest.remove_prefix(static_cast<std::size_t>(length));
  }
  while (!rest.empty()) {
    std::size_t start = rest.size() - 1;
    while (start > 0 && (static_cast<std::uint8_t>(rest[start]) & 0xC0) == 0x80) --start;
    const std::string_view last = rest.substr(start);
    if (!isWhitespaceOrNewline(codePoint(last, static_cast<int>(last.size())))) break;
    rest.remove_suffix(last.size());
  }
  return std::string(rest);
}

}  // namespace vesk
