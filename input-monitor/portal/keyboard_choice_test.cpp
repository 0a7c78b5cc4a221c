#include "input-monitor/portal/keyboard_choice.h"

#include <gtest/gtest.h>

namespace vesk::portal {
namespace {

TEST(KeyboardChoiceTest, WaylandSessionsTryThePortalFirst) {
  using K = KeyboardKind;
  const std::vector<K> wayland{K::portal, K::x11, K::headless};
  const std::vector<K> other{K::x11, K::headless};
  struct Case {
    const char* waylandDisplay;
    const char* sessionType;
    std::vector<K> expected;
  };
  for (const Case& c : std::vector<Case>{
           {"wayland-0", nullptr, wayland},
           {"wayland-0", "x11", wayland},  // a display socket says more than a stale type
           {nullptr, "wayland", wayland},
           {"", "wayland", wayland},
           {nullptr, nullptr, other},
           {"", "x11", other},
           {nullptr, "tty", other},
           {nullptr, "Wayland", other},  // the value is lower case by definition
       }) {
    EXPECT_EQ(keyboardPreference(c.waylandDisplay, c.sessionType), c.expected)
        << (c.waylandDisplay ? c.waylandDisplay : "(unset)") << " / " << (c.sessionType ? c.sessionType : "(unset)");
  }
}

}  // namespace
}  // namespace vesk::portal
