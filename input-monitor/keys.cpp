// Key tables and the label builder.
#include "input-monitor/keys.h"

#include <algorithm>

namespace vesk {

const std::array<std::pair<KeyCode, std::string_view>, 57> KEY_NAMES{{
    // Letters (key code 10 has no entry).
    {0, "A"}, {1, "S"}, {2, "D"}, {3, "F"}, {4, "H"}, {5, "G"}, {6, "Z"}, {7, "X"}, {8, "C"},
    {9, "V"}, {11, "B"}, {12, "Q"}, {13, "W"}, {14, "E"}, {15, "R"}, {16, "Y"}, {17, "T"},
    {31, "O"}, {32, "U"}, {34, "I"}, {35, "P"}, {37, "L"}, {38, "J"}, {40, "K"}, {45, "N"},
    {46, "M"},
    // Digits: 22 is the 6 key and 23 the 5 key.
    {18, "1"}, {19, "2"}, {20, "3"}, {21, "4"}, {22, "6"}, {23, "5"}, {25, "9"}, {26, "7"},
    {28, "8"}, {29, "0"},
    // Named keys.
    {36, "Return"}, {48, "Tab"}, {49, "Space"}, {51, "Delete"}, {53, "Esc"},
    // Function keys.
    {122, "F1"}, {120, "F2"}, {99, "F3"}, {118, "F4"}, {96, "F5"}, {97, "F6"}, {98, "F7"},
    {100, "F8"}, {101, "F9"}, {109, "F10"}, {103, "F11"}, {111, "F12"},
    // Arrows.
    {123, "\u2190"}, {124, "\u2192"}, {125, "\u2193"}, {126, "\u2191"},
}};

Modifiers Modifiers::fromNames(const std::vector<std::string>& names) {
  Modifiers set;
  for (const auto& name : names) {
    if (auto bit = modifierBitNamed(name)) {
      set.known |= *bit;
    } else {
      set.unknown.push_back(name);
    }
  }
  std::sort(set.unknown.begin(), set.unknown.end());
  set.unknown.erase(std::unique(set.unknown.begin(), set.unknown.end()), set.unknown.end());
  return set;
}

std::vector<std::string> Modifiers::names() const {
  std::vector<std::string> result;
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if (known & modifierBit(i)) result.emplace_back(MOD_MASKS[i].name);
  }
  result.insert(result.end(), unknown.begin(), unknown.end());
  return result;
}

std::optional<ModifierMask> modifierBitNamed(std::string_view name) {
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if (MOD_MASKS[i].name == name) return modifierBit(i);
  }
  return std::nullopt;
}

ModifierMask activeMods(EventFlags flags) {
  ModifierMask active = 0;
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if ((MOD_MASKS[i].mask & ~flags) == 0) active |= modifierBit(i);
  }
  return active;
}

std::optional<EventFlags> modifierKeyMask(KeyCode keyCode) {
  for (const auto& [code, mask] : MODIFIER_KEYCODES) {
    if (code == keyCode) return mask;
  }
  return std::nullopt;
}

std::optional<std::string_view> keyName(KeyCode keyCode) {
  for (const auto& [code, name] : KEY_NAMES) {
    if (code == keyCode) return name;
  }
  return std::nullopt;
}

std::string labelFor(std::optional<KeyCode> mainKey, ModifierMask modifiers) {
  std::vector<std::string> parts;
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if (modifiers & modifierBit(i)) parts.emplace_back(MOD_SYMBOLS[i].second);
  }
  if (mainKey) {
    auto name = keyName(*mainKey);
    parts.push_back(name ? std::string(*name) : "key" + std::to_string(*mainKey));
  }
  if (parts.empty()) return "?";
  std::string label = parts.front();
  for (std::size_t i = 1; i < parts.size(); ++i) label += " + " + parts[i];
  return label;
}

}  // namespace vesk
