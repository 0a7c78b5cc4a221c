#include "input-monitor/x11/x11_keymap.h"

#include <gtest/gtest.h>

#include <set>

namespace vesk::x11 {
namespace {

TEST(X11KeymapTest, KnownPositions) {
  struct Case {
    unsigned xKeycode;
    KeyCode mac;
  };
  // X keycode = evdev code + 8.
  for (const Case& c : std::vector<Case>{
           {38, 0},     // A
           {65, 49},    // Space
           {37, 59},    // left control
           {105, 62},   // right control
           {50, 56},    // left shift
           {62, 60},    // right shift
           {64, 58},    // left alt: option
           {108, 61},   // right alt: right option
           {133, 55},   // left super: command
           {134, 54},   // right super: right command
           {9, 53},     // Esc
           {36, 36},    // Return
           {22, 51},    // backspace: Delete
           {15, 22},    // the 6 key
           {14, 23},    // the 5 key
           {13, 21},    // the 4 key
           {67, 122},   // F1
           {96, 111},   // F12
           {198, 90},   // F20
           {113, 123},  // left arrow
           {111, 126},  // up arrow
           {66, 57},    // caps lock
       }) {
    EXPECT_EQ(macKeyCodeFor(c.xKeycode), c.mac) << c.xKeycode;
    EXPECT_EQ(xKeycodeFor(c.mac), c.xKeycode) << c.mac;
  }
}

TEST(X11KeymapTest, EveryMappedKeyRoundTripsAndNoTwoShareACode) {
  std::set<KeyCode> seen;
  for (unsigned x = 8; x < 256; ++x) {
    KeyCode mac = macKeyCodeFor(x);
    EXPECT_TRUE(seen.insert(mac).second) << "two X keycodes give " << mac;
    EXPECT_EQ(xKeycodeFor(mac), x);
  }
}

TEST(X11KeymapTest, UnknownKeysHaveNoNameAndNoMacCode) {
  KeyCode unknown = macKeyCodeFor(255);
  EXPECT_EQ(unknown, kUnmappedKeyBase + 255);
  EXPECT_FALSE(keyName(unknown));
  EXPECT_EQ(labelFor(unknown, 0), "key511");
  EXPECT_FALSE(xKeycodeFor(63));    // fn has no X key
  EXPECT_FALSE(xKeycodeFor(-1));
  EXPECT_FALSE(xKeycodeFor(kUnmappedKeyBase + 38));  // A is mapped, so never reported this way
  EXPECT_FALSE(xKeycodeFor(100000));
}

}  // namespace
}  // namespace vesk::x11
