// evdev positions to macOS virtual key codes. X keycode = evdev code + 8.
#include "input-monitor/x11/x11_keymap.h"

#include <array>
#include <utility>

namespace vesk::x11 {
namespace {

// (evdev code, macOS virtual key code), ANSI positions.
constexpr std::pair<unsigned, KeyCode> EVDEV_TO_MAC[] = {
    {1, 53},     // Esc
    {2, 18},     {3, 19},  {4, 20},  {5, 21}, {6, 23}, {7, 22}, {8, 26}, {9, 28}, {10, 25}, {11, 29},  // 1-9, 0
    {12, 27},    // minus
    {13, 24},    // equal
    {14, 51},    // backspace: Delete
    {15, 48},    // Tab
    {16, 12},    {17, 13}, {18, 14}, {19, 15}, {20, 17}, {21, 16}, {22, 32}, {23, 34}, {24, 31}, {25, 35},  // QWERTYUIOP
    {26, 33},    // [
    {27, 30},    // ]
    {28, 36},    // Return
    {29, 59},    // left control
    {30, 0},     {31, 1},  {32, 2},  {33, 3},  {34, 5},  {35, 4},  {36, 38}, {37, 40}, {38, 37},  // ASDFGHJKL
    {39, 41},    // ;
    {40, 39},    // '
    {41, 50},    // `
    {42, 56},    // left shift
    {43, 42},    // backslash
    {44, 6},     {45, 7},  {46, 8},  {47, 9},  {48, 11}, {49, 45}, {50, 46},  // ZXCVBNM
    {51, 43},    // ,
    {52, 47},    // .
    {53, 44},    // /
    {54, 60},    // right shift
    {55, 67},    // keypad *
    {56, 58},    // left alt: option
    {57, 49},    // Space
    {58, 57},    // caps lock
    {59, 122},   {60, 120}, {61, 99}, {62, 118}, {63, 96}, {64, 97}, {65, 98}, {66, 100}, {67, 101}, {68, 109},  // F1-F10
    {69, 71},    // num lock: keypad clear
    {71, 89},    {72, 91}, {73, 92},  // keypad 7 8 9
    {74, 78},    // keypad -
    {75, 86},    {76, 87}, {77, 88},  // keypad 4 5 6
    {78, 69},    // keypad +
    {79, 83},    {80, 84}, {81, 85}, {82, 82},  // keypad 1 2 3 0
    {83, 65},    // keypad .
    {86, 10},    // the ISO key beside left shift
    {87, 103},   {88, 111},  // F11 F12
    {96, 76},    // keypad Enter
    {97, 62},    // right control
    {98, 75},    // keypad /
    {100, 61},   // right alt: right option
    {102, 115},  // Home
    {103, 126},  // up
    {104, 116},  // Page Up
    {105, 123},  // left
    {106, 124},  // right
    {107, 119},  // End
    {108, 125},  // down
    {109, 121},  // Page Down
    {110, 114},  // Insert: Help
    {111, 117},  // Delete: forward delete
    {113, 74},   {114, 73}, {115, 72},  // mute, volume down, volume up
    {117, 81},   // keypad =
    {125, 55},   // left super: command
    {126, 54},   // right super: right command
    {183, 105},  {184, 107}, {185, 113}, {186, 106}, {187, 64}, {188, 79}, {189, 80}, {190, 90},  // F13-F20
};

constexpr unsigned kEvdevOffset = 8;

}  // namespace

KeyCode macKeyCodeFor(unsigned xKeycode) {
  if (xKeycode >= kEvdevOffset) {
    for (const auto& [evdev, mac] : EVDEV_TO_MAC) {
      if (evdev + kEvdevOffset == xKeycode) return mac;
    }
  }
  return kUnmappedKeyBase + xKeycode;
}

std::optional<unsigned> xKeycodeFor(KeyCode macKeyCode) {
  for (const auto& [evdev, mac] : EVDEV_TO_MAC) {
    if (mac == macKeyCode) return evdev + kEvdevOffset;
  }
  if (macKeyCode >= kUnmappedKeyBase && macKeyCode < kUnmappedKeyBase + 256) {
    auto x = static_cast<unsigned>(macKeyCode - kUnmappedKeyBase);
    if (macKeyCodeFor(x) == macKeyCode) return x;
  }
  return std::nullopt;
}

}  // namespace vesk::x11
