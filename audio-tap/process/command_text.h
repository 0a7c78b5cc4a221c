// Turning a raw line of standard input into the text of a command: decoded as UTF-8
// and trimmed of whitespace and newlines at both ends.
#pragma once

#include <string>
#include <string_view>

namespace vesk {

/// `bytes` as valid UTF-8: every ill-formed sequence (its maximal valid prefix, or
/// one stray byte) becomes U+FFFD, the way text decoders of the platform do it.
std::string decodeUtf8(std::string_view bytes);

/// Whether a code point is white space or a newline: tab to carriage return, space,
/// U+0085, and every Unicode space, line and paragraph separator.
bool isWhitespaceOrNewline(char32_t c);

/// Decodes `line` and trims whitespace and newlines from both ends. Inner text,
/// letter case and NUL bytes stay as they are.
std::string commandText(std::string_view line);

}  // namespace vesk
