// The key and modifier vocabulary of the input monitor: Quartz event-flag bits,
// macOS virtual key codes, modifier names and glyphs, and the two pure functions
// built on them. Every platform speaks these codes; backends translate at the edge.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk {

using KeyCode = std::int64_t;
using EventFlags = std::uint64_t;

/// One bit per known modifier name, in label order (control, option, shift, command, fn).
/// Holding modifier sets as masks keeps key-event handling free of strings and allocations.
using ModifierMask = std::uint8_t;

struct ModifierEntry {
  std::string_view name;
  EventFlags mask;
};

/// (name, flag mask) in label order.
inline constexpr std::array<ModifierEntry, 5> MOD_MASKS{{
    {"control", 0x40000},
    {"option", 0x80000},
    {"shift", 0x20000},
    {"command", 0x100000},
    {"fn", 0x800000},
}};

/// Display glyph of each modifier, in the order of MOD_MASKS.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 5> MOD_SYMBOLS{{
    {"control", "\u2303"},
    {"option", "\u2325"},
    {"shift", "\u21E7"},
    {"command", "\u2318"},
    {"fn", "\U0001F310"},
}};

/// Key code of each physical modifier key and the flag mask it sets. Not fn (63), not caps lock (57).
inline constexpr std::array<std::pair<KeyCode, EventFlags>, 8> MODIFIER_KEYCODES{{
    {54, 0x100000},
    {55, 0x100000},
    {58, 0x80000},
    {61, 0x80000},
    {59, 0x40000},
    {62, 0x40000},
    {56, 0x20000},
    {60, 0x20000},
}};

/// Display names of 57 keys; fixed, whatever the keyboard layout.
extern const std::array<std::pair<KeyCode, std::string_view>, 57> KEY_NAMES;

inline constexpr ModifierMask modifierBit(std::size_t indexInModMasks) {
  return static_cast<ModifierMask>(1u << indexInModMasks);
}
inline constexpr ModifierMask kControlBit = modifierBit(0);
inline constexpr ModifierMask kOptionBit = modifierBit(1);
inline constexpr ModifierMask kShiftBit = modifierBit(2);
inline constexpr ModifierMask kCommandBit = modifierBit(3);
inline constexpr ModifierMask kFnBit = modifierBit(4);

/// A set of modifier names: the five known ones as bits, anything else kept as text.
/// Unknown names are never active, so a set holding one can never be satisfied.
struct Modifiers {
  ModifierMask known = 0;
  std::vector<std::string> unknown;  // sorted, without duplicates

  /// The set of the given names; duplicates collapse.
  static Modifiers fromNames(const std::vector<std::string>& names);
  /// Every name in the set: the known ones in label order, then the unknown ones.
  std::vector<std::string> names() const;
  bool empty() const { return known == 0 && unknown.empty(); }
  bool operator==(const Modifiers&) const = default;
};

/// The bit of a known modifier name, or none.
std::optional<ModifierMask> modifierBitNamed(std::string_view name);

/// The modifiers whose whole mask is set in `flags`.
ModifierMask activeMods(EventFlags flags);

/// The flag mask that a physical modifier key sets, or none for any other key.
std::optional<EventFlags> modifierKeyMask(KeyCode keyCode);

/// The display name of a key, or none when the table has no entry.
std::optional<std::string_view> keyName(KeyCode keyCode);

/// The display label of a shortcut, such as "⌃ + Space"; "?" when there is nothing to show.
std::string labelFor(std::optional<KeyCode> mainKey, ModifierMask modifiers);

}  // namespace vesk
