// The server's eight modifier bits (Shift, Lock, Control, Mod1-Mod5) in terms of the
// monitor's flag word, and the modifier combinations a passive grab must cover. Pure,
// so it is tested without a server; the backend fills it from the modifier mapping.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "input-monitor/keys.h"

namespace vesk::x11 {

struct ModifierMapping {
  /// The flag mask each X modifier bit stands for (0 for Lock, NumLock and the like).
  std::array<EventFlags, 8> flagsOfBit{};

  /// Adds the X keycodes the server lists under modifier bit `bit`.
  void addKeycode(unsigned bit, unsigned xKeycode);

  /// The flag word of an X modifier state.
  EventFlags flagsFor(unsigned xState) const;

  /// X modifier bits that give these modifiers, or none when one of them has no X bit
  /// (fn never does); then the key can never be pressed with them and needs no grab.
  std::optional<unsigned> xModsFor(ModifierMask required) const;
};

/// Every X modifier state that holds all of `required` bits: the required bits plus
/// any combination of the others, Lock and NumLock included. A passive grab matches
/// the exact state, so it needs one grab per state.
std::vector<unsigned> statesWithAtLeast(unsigned required);

}  // namespace vesk::x11
