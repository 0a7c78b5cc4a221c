// Fuzzes the input monitor's command lines and the hold machine behind them.
//
// Input: command lines separated by line feeds, up to the first 0xFF byte (a byte no
// JSON text holds, so the split costs the parser nothing). Each line is parsed and
// run against a Monitor over a fake keyboard. The bytes after the 0xFF are a key
// script: three bytes per step (operation, key, modifiers). Without a script a fixed
// one plays, so that state reached by commands alone still meets key events and
// watchdog ticks. A final tick always runs.
//
// Besides crashes and sanitizer reports, it checks what the host relies on: every
// event serialises, "up" only ever ends a hold that a "down" began, and at most one
// watchdog timer is alive, none once a tick found no hold.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "input-monitor/commands.h"
#include "input-monitor/monitor.h"
#include "input-monitor/testing/fake_keyboard.h"
#include "input-monitor/testing/key_script.h"

namespace {

using vesk::EventFlags;
using vesk::Json;
using vesk::KeyEvent;
using vesk::testing::FakeKeyboard;

// Serialises as the process does and checks the protocol's ordering of holds.
class CheckingOutput final : public vesk::EventOutput {
 public:
  void emit(const Json& event) override {
    std::string line;
    try {
      line = event.dump();
    } catch (const Json::exception&) {
      FUZZ_FAIL("an event that cannot be serialised");
    }
    FUZZ_CHECK(event.is_object() && event.contains("type"));
    const std::string type = event["type"].get<std::string>();
    if (type == "down") holding = true;
    if (type == "up") {
      FUZZ_CHECK(holding);
      holding = false;
    }
  }
  bool holding = false;  // a "down" was sent and no "up" yet
};

constexpr std::uint8_t kScriptStart = 0xFF;

// Caps Lock and a bit no modifier uses ride along on some events: neither may matter.
EventFlags flagsFrom(std::uint8_t bits) {
  EventFlags flags = vesk::testing::flagsOf(static_cast<vesk::ModifierMask>(bits & 0x1F));
  if (bits & 0x20) flags |= 0x10000;
  if (bits & 0x40) flags |= 0x100;
  return flags;
}

struct Player {
  vesk::Monitor& monitor;
  FakeKeyboard& keyboard;

  void tick() {
    keyboard.advanceTick();
    FUZZ_CHECK(keyboard.liveTimers() <= 1);
    if (!monitor.state().pttActive) FUZZ_CHECK(keyboard.liveTimers() == 0);
  }

  void step(std::uint8_t op, std::uint8_t key, std::uint8_t mods) {
    // Key codes past 255 are X keys without a macOS position (256 + keycode).
    const vesk::KeyCode code = key + ((mods & 0x80) ? 256 : 0);
    const KeyEvent event{code, flagsFrom(mods)};
    switch (op % 8) {
      case 0:
        monitor.handle(vesk::kKeyDown, event);
        break;
      case 1:
        monitor.handle(vesk::kKeyUp, event);
        break;
      case 2:
        monitor.handle(vesk::kFlagsChanged, event);
        break;
      case 3:
        monitor.handle(op & 0x80 ? vesk::kTapDisabledByTimeout : vesk::kTapDisabledByUserInput, event);
        break;
      case 4:  // what the watchdog will find when it polls
        keyboard.flagsState = event.flags;
        if (op & 0x80)
          keyboard.keysDown.erase(key);
        else
          keyboard.keysDown[key] = true;
        break;
      case 5:
        tick();
        break;
      case 6:
        monitor.handle(static_cast<std::uint32_t>(key) | static_cast<std::uint32_t>(mods) << 8, event);
        break;
      default:
        tick();
        break;
    }
    FUZZ_CHECK(keyboard.liveTimers() <= 1);
  }

  // Control+space held and released, then command+A and the right option key alone:
  // a press and release of every kind of binding, and a shortcut to record.
  void fixedScript() {
    static const std::uint8_t steps[][3] = {
        {2, 59, 0x01}, {0, 49, 0x01}, {0, 49, 0x01}, {5, 0, 0},     {1, 49, 0x01}, {2, 59, 0x00},
        {4, 49, 0x00}, {2, 55, 0x08}, {0, 0, 0x08},  {1, 0, 0x08},  {2, 55, 0x00}, {2, 61, 0x02},
        {5, 0, 0},     {2, 61, 0x00}, {0, 63, 0x10}, {2, 63, 0x10}, {2, 63, 0x00},
    };
    for (const auto& s : steps) step(s[0], s[1], s[2]);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find(static_cast<char>(kScriptStart));
  std::string_view text = input.substr(0, split);
  const std::string_view script =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  FakeKeyboard keyboard;
  CheckingOutput output;
  vesk::Monitor monitor(keyboard, output);
  monitor.start();
  Player player{monitor, keyboard};

  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    const std::string_view line = text.substr(0, feed);
    if (auto command = vesk::parseCommand(line)) vesk::runCommand(*command, monitor);
    text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
  }
  if (script.empty()) {
    player.fixedScript();
  } else {
    for (std::size_t i = 0; i + 3 <= script.size(); i += 3) {
      player.step(static_cast<std::uint8_t>(script[i]), static_cast<std::uint8_t>(script[i + 1]),
                  static_cast<std::uint8_t>(script[i + 2]));
    }
  }
  player.tick();
  return 0;
}
