// Shorthand for tests that play key events into a monitor: events are written as
// (type, key code, modifiers active) and lines by their "type" alone when that is all
// they hold.
#pragma once

#include <string>
#include <vector>

#include "input-monitor/keyboard.h"
#include "input-monitor/keys.h"

namespace vesk::testing {

/// The flag word with exactly these modifiers held.
inline EventFlags flagsOf(ModifierMask mods) {
  EventFlags flags = 0;
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if (mods & modifierBit(i)) flags |= MOD_MASKS[i].mask;
  }
  return flags;
}

inline constexpr ModifierMask kNone = 0;
inline constexpr ModifierMask kCtrl = kControlBit;
inline constexpr ModifierMask kOpt = kOptionBit;
inline constexpr ModifierMask kShift = kShiftBit;
inline constexpr ModifierMask kCmd = kCommandBit;
inline constexpr ModifierMask kFn = kFnBit;

struct KeyStep {
  std::uint32_t type;
  KeyCode key;
  ModifierMask mods;
  Verdict verdict;
  std::vector<std::string> lines;  // "down", "up", or a whole JSON line
};

inline const std::string kDownLine = R"({"type":"down"})";
inline const std::string kUpLine = R"({"type":"up"})";

inline std::string expandLine(const std::string& shorthand) {
  if (shorthand == "down") return kDownLine;
  if (shorthand == "up") return kUpLine;
  return shorthand;
}

inline std::vector<std::string> expandLines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) out.push_back(expandLine(line));
  return out;
}

}  // namespace vesk::testing
