// Key positions to keysym names and bindings to trigger texts.
#include "input-monitor/portal/shortcut.h"

#include <array>
#include <string_view>
#include <utility>

namespace vesk::portal {
namespace {

// (macOS virtual key code, keysym name of that position on a US layout).
constexpr std::pair<KeyCode, std::string_view> KEYSYM_NAMES[] = {
    {0, "a"},   {1, "s"},   {2, "d"},   {3, "f"},   {4, "h"},   {5, "g"},   {6, "z"},   {7, "x"},
    {8, "c"},   {9, "v"},   {11, "b"},  {12, "q"},  {13, "w"},  {14, "e"},  {15, "r"},  {16, "y"},
    {17, "t"},  {31, "o"},  {32, "u"},  {34, "i"},  {35, "p"},  {37, "l"},  {38, "j"},  {40, "k"},
    {45, "n"},  {46, "m"},
    {18, "1"},  {19, "2"},  {20, "3"},  {21, "4"},  {22, "6"},  {23, "5"},  {25, "9"},  {26, "7"},
    {28, "8"},  {29, "0"},
    {24, "equal"}, {27, "minus"}, {30, "bracketright"}, {33, "bracketleft"}, {39, "apostrophe"},
    {41, "semicolon"}, {42, "backslash"}, {43, "comma"}, {44, "slash"}, {47, "period"}, {50, "grave"},
    {36, "Return"}, {48, "Tab"}, {49, "space"}, {51, "BackSpace"}, {53, "Escape"}, {117, "Delete"},
    {114, "Insert"}, {115, "Home"}, {119, "End"}, {116, "Prior"}, {121, "Next"},
    {123, "Left"}, {124, "Right"}, {125, "Down"}, {126, "Up"},
    {122, "F1"},  {120, "F2"},  {99, "F3"},   {118, "F4"},  {96, "F5"},   {97, "F6"},   {98, "F7"},
    {100, "F8"},  {101, "F9"},  {109, "F10"}, {103, "F11"}, {111, "F12"}, {105, "F13"}, {107, "F14"},
    {113, "F15"}, {106, "F16"}, {64, "F17"},  {79, "F18"},  {80, "F19"},  {90, "F20"},
    {82, "KP_0"}, {83, "KP_1"}, {84, "KP_2"}, {85, "KP_3"}, {86, "KP_4"}, {87, "KP_5"}, {88, "KP_6"},
    {89, "KP_7"}, {91, "KP_8"}, {92, "KP_9"}, {65, "KP_Decimal"}, {67, "KP_Multiply"}, {69, "KP_Add"},
    {75, "KP_Divide"}, {76, "KP_Enter"}, {78, "KP_Subtract"}, {81, "KP_Equal"},
};

// Trigger names of the modifiers a trigger can carry, in label order; fn has none.
constexpr std::array<std::pair<ModifierMask, std::string_view>, 4> TRIGGER_MODIFIERS{{
    {kControlBit, "CTRL"},
    {kOptionBit, "ALT"},
    {kShiftBit, "SHIFT"},
    {kCommandBit, "LOGO"},
}};

}  // namespace

std::optional<std::string> keysymNameFor(KeyCode keyCode) {
  for (const auto& [code, name] : KEYSYM_NAMES) {
    if (code == keyCode) return std::string(name);
  }
  return std::nullopt;
}

std::optional<PortalShortcut> shortcutFor(const SwallowPlan& plan) {
  // The plan names a main key only for a main-key binding whose modifiers are all known.
  if (plan.everything || !plan.mainKey || (plan.requiredModifiers & kFnBit)) return std::nullopt;
  auto keysym = keysymNameFor(*plan.mainKey);
  if (!keysym) return std::nullopt;
  PortalShortcut shortcut{*plan.mainKey, plan.requiredModifiers, {}};
  for (const auto& [bit, name] : TRIGGER_MODIFIERS) {
    if (plan.requiredModifiers & bit) shortcut.trigger.append(name).append("+");
  }
  shortcut.trigger += *keysym;
  return shortcut;
}

std::string sessionTokenFor(const PortalShortcut& shortcut) {
  // Tokens are object path elements: letters, digits and underscores.
  std::string token = "vesk_ptt_";
  for (char c : shortcut.trigger) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    token += plain ? c : '_';
  }
  return token;
}

}  // namespace vesk::portal
