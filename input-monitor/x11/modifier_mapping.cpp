#include "input-monitor/x11/modifier_mapping.h"

#include "input-monitor/x11/x11_keymap.h"

namespace vesk::x11 {

void ModifierMapping::addKeycode(unsigned bit, unsigned xKeycode) {
  if (bit >= flagsOfBit.size()) return;
  if (auto mask = modifierKeyMask(macKeyCodeFor(xKeycode))) flagsOfBit[bit] |= *mask;
}

EventFlags ModifierMapping::flagsFor(unsigned xState) const {
  EventFlags flags = 0;
  for (unsigned bit = 0; bit < flagsOfBit.size(); ++bit) {
    if (xState & (1u << bit)) flags |= flagsOfBit[bit];
  }
  return flags;
}

std::optional<unsigned> ModifierMapping::xModsFor(ModifierMask required) const {
  unsigned xMods = 0;
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if (!(required & modifierBit(i))) continue;
    std::optional<unsigned> found;
    for (unsigned bit = 0; bit < flagsOfBit.size() && !found; ++bit) {
      if (flagsOfBit[bit] & MOD_MASKS[i].mask) found = bit;
    }
    if (!found) return std::nullopt;
    xMods |= 1u << *found;
  }
  return xMods;
}

std::vector<unsigned> statesWithAtLeast(unsigned required) {
  std::vector<unsigned> states;
  for (unsigned state = 0; state < 256; ++state) {
    if ((state & required) == required) states.push_back(state);
  }
  return states;
}

}  // namespace vesk::x11
