// The server's eight modifier bits (Shift, Lock, Control, Mod1-Mod5) in terms of the
// monitor's flag word, read from what the server says each bit means: Shift and Control
// are fixed, Mod1-Mod5 mean what the keysyms of their keys name (Alt, Super...). So a
// key remapped to Control, or a layout that moves Super, gives the verdicts the user
// sees. Also which keys are modifier keys, and the modifier states a passive grab must
// cover. Pure, so it is tested without a server; the backend fills it from the
// server's modifier mapping and keysyms.
#pragma once

#include <array>
#include <bitset>
#include <vector>

#include "input-monitor/keys.h"

namespace vesk::x11 {

class ModifierMapping {
 public:
  /// Shift and Control only, no keys.
  ModifierMapping();

  /// Adds a key the server lists under modifier bit `bit` (0-7), with its first keysym.
  void addKey(unsigned bit, unsigned xKeycode, unsigned long keysym);

  /// The flag word of an X modifier state (effective modifiers).
  EventFlags flagsFor(unsigned xState) const;

  /// Whether the key is listed under any modifier bit, so pressing it may change the state.
  bool isModifierKey(unsigned xKeycode) const;

  /// Whether the key is listed under a bit that sets a flag: it reports modifier changes.
  bool isFlagKey(unsigned xKeycode) const;

  /// Every X modifier state that gives at least these modifiers (all their flags), with any
  /// others, Lock and NumLock included. A passive grab matches one exact state, so it
  /// needs one grab per state. Empty when no state gives them (fn never has an X bit).
  std::vector<unsigned> statesGiving(ModifierMask required) const;

  bool operator==(const ModifierMapping&) const = default;

 private:
  static constexpr unsigned kKeys = 256;
  std::array<EventFlags, 8> flagsOfBit_{};
  std::array<std::bitset<kKeys>, 8> keysOfBit_{};
};

}  // namespace vesk::x11
