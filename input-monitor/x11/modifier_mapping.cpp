#include "input-monitor/x11/modifier_mapping.h"

#include <utility>

namespace vesk::x11 {
namespace {

constexpr unsigned kFirstModBit = 3;  // Mod1
constexpr EventFlags kShiftFlag = 0x20000, kControlFlag = 0x40000, kOptionFlag = 0x80000, kCommandFlag = 0x100000;

// X keysym values (X11/keysymdef.h) of the keys that can sit on Mod1-Mod5, and the
// flag each one stands for. The third-level shift (AltGr) is Option's counterpart: the
// key that types the extra characters. Num Lock and the like stand for none.
constexpr std::pair<unsigned long, EventFlags> KEYSYM_FLAGS[] = {
    {0xffe1, kShiftFlag},   {0xffe2, kShiftFlag},                          // Shift_L, Shift_R
    {0xffe3, kControlFlag}, {0xffe4, kControlFlag},                        // Control_L, Control_R
    {0xffe7, kOptionFlag},  {0xffe8, kOptionFlag},                         // Meta_L, Meta_R
    {0xffe9, kOptionFlag},  {0xffea, kOptionFlag},                         // Alt_L, Alt_R
    {0xfe03, kOptionFlag},  {0xff7e, kOptionFlag},                         // ISO_Level3_Shift, Mode_switch
    {0xffeb, kCommandFlag}, {0xffec, kCommandFlag},                        // Super_L, Super_R
    {0xffed, kCommandFlag}, {0xffee, kCommandFlag},                        // Hyper_L, Hyper_R
};

EventFlags flagOfKeysym(unsigned long keysym) {
  for (const auto& [sym, flag] : KEYSYM_FLAGS) {
    if (sym == keysym) return flag;
  }
  return 0;
}

}  // namespace

ModifierMapping::ModifierMapping() : flagsOfBit_{kShiftFlag, 0, kControlFlag} {}

void ModifierMapping::addKey(unsigned bit, unsigned xKeycode, unsigned long keysym) {
  if (bit >= flagsOfBit_.size() || xKeycode >= kKeys) return;
  // Shift and Control mean themselves whatever key is put on them; Lock means no flag.
  if (bit >= kFirstModBit) flagsOfBit_[bit] |= flagOfKeysym(keysym);
  keysOfBit_[bit].set(xKeycode);
}

bool ModifierMapping::isModifierKey(unsigned xKeycode) const {
  if (xKeycode >= kKeys) return false;
  for (const auto& keys : keysOfBit_) {
    if (keys.test(xKeycode)) return true;
  }
  return false;
}

bool ModifierMapping::isFlagKey(unsigned xKeycode) const {
  if (xKeycode >= kKeys) return false;
  for (unsigned bit = 0; bit < keysOfBit_.size(); ++bit) {
    if (flagsOfBit_[bit] != 0 && keysOfBit_[bit].test(xKeycode)) return true;
  }
  return false;
}

EventFlags ModifierMapping::flagsFor(unsigned xState) const {
  EventFlags flags = 0;
  for (unsigned bit = 0; bit < flagsOfBit_.size(); ++bit) {
    if (xState & (1u << bit)) flags |= flagsOfBit_[bit];
  }
  return flags;
}

std::vector<unsigned> ModifierMapping::statesGiving(ModifierMask required) const {
  EventFlags needed = 0;
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    if (required & modifierBit(i)) needed |= MOD_MASKS[i].mask;
  }
  std::vector<unsigned> states;
  for (unsigned state = 0; state < 256; ++state) {
    if ((flagsFor(state) & needed) == needed) states.push_back(state);
  }
  return states;
}

}  // namespace vesk::x11
