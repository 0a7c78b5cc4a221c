#include "input-monitor/commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "common/fd_io.h"
#include "input-monitor/monitor.h"
#include "input-monitor/testing/fake_keyboard.h"
#include "input-monitor/testing/recording_output.h"

namespace vesk {
namespace {

struct ParseCase {
  std::string line;
  std::optional<Command> command;
};

TEST(CommandsTest, Parse) {
  const auto bind = [](std::optional<KeyCode> key, std::vector<std::string> mods) {
    return std::optional<Command>(SetBindingCommand{key, std::move(mods)});
  };
  const std::optional<Command> ignored;
  const std::optional<Command> clear = ClearBindingCommand{};
  const std::vector<ParseCase> cases = {
      // setBinding: main key
      {R"({"cmd":"setBinding","binding":{"mainKey":49,"modifiers":["control","shift","control"]}})",
       bind(49, {"control", "shift", "control"})},
      {R"({"cmd":"setBinding","binding":{"modifiers":["fn"]}})", bind(std::nullopt, {"fn"})},
      {R"({"cmd":"setBinding","binding":{"mainKey":49.9}})", bind(49, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":-1.5}})", bind(-1, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":4.9e1}})", bind(49, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":true}})", bind(1, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":false}})", bind(0, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":"49"}})", bind(std::nullopt, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":null}})", bind(std::nullopt, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":[49]}})", bind(std::nullopt, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":1e300}})", bind(INT64_MAX, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":-1e300}})", bind(INT64_MIN, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":18446744073709551615}})", bind(INT64_MAX, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":-9223372036854775808}})", bind(INT64_MIN, {})},
      // setBinding: modifiers
      {R"({"cmd":"setBinding","binding":{"mainKey":49,"modifiers":["control",5]}})", bind(49, {})},
      {R"({"cmd":"setBinding","binding":{"mainKey":49,"modifiers":"control"}})", bind(49, {})},
      {R"({"cmd":"setBinding","binding":{"modifiers":["hyper","\u00e9"]}})", bind(std::nullopt, {"hyper", "\u00e9"})},
      {R"({"cmd":"setBinding","binding":{}})", bind(std::nullopt, {})},
      // setBinding: no binding object clears
      {R"({"cmd":"setBinding"})", clear},
      {R"({"cmd":"setBinding","binding":[49]})", clear},
      {R"({"cmd":"setBinding","binding":null})", clear},
      // setMode
      {R"({"cmd":"setMode","mode":"record"})", SetModeCommand{"record"}},
      {R"({"cmd":"setMode","mode":""})", SetModeCommand{""}},
      {R"({"cmd":"setMode"})", ignored},
      {R"({"cmd":"setMode","mode":1})", ignored},
      // permission
      {R"({"cmd":"checkPermission"})", PermissionCommand{false}},
      {R"({"cmd":"requestPermission","extra":[1,2]})", PermissionCommand{true}},
      {" \t{\"cmd\":\"checkPermission\"}\r", PermissionCommand{false}},
      // ignored lines
      {"", ignored},
      {"   ", ignored},
      {"[]", ignored},
      {"42", ignored},
      {"\"setMode\"", ignored},
      {"{}", ignored},
      {R"({"cmd":"CheckPermission"})", ignored},
      {R"({"cmd":"quit"})", ignored},
      {R"({"cmd":1})", ignored},
      {R"({"command":"checkPermission"})", ignored},
      {R"({"cmd":"checkPermission"} {"cmd":"checkPermission"})", ignored},
      {R"({"cmd":"checkPermission",})", ignored},
      {"{\"cmd\":\"setMode\",\"mode\":\"\xff\"}", ignored},
      {std::string("{\"cmd\":\"checkPermission\"}\0", 26), ignored},
      {"{\"cmd\":\"setMode\",\"mode\":\"a\nb\"}", ignored},
      {"/* c */ {\"cmd\":\"checkPermission\"}", ignored},
  };
  for (const auto& c : cases) EXPECT_EQ(parseCommand(c.line), c.command) << c.line;
}

TEST(CommandsTest, HostileLinesAreIgnored) {
  EXPECT_FALSE(parseCommand(std::string(1'000'000, '[')));
  EXPECT_FALSE(parseCommand(std::string(500'000, '[') + std::string(500'000, ']')));
  EXPECT_FALSE(parseCommand(std::string(2'000'000, 'x')));
}

TEST(CommandsTest, RunDispatchesToTheMonitor) {
  testing::FakeKeyboard keyboard;
  testing::RecordingOutput output;
  Monitor monitor(keyboard, output);
  runCommand(SetBindingCommand{49, {"control", "shift", "control"}}, monitor);
  EXPECT_TRUE(monitor.state().hasBinding);
  EXPECT_EQ(monitor.state().bindingMainKey, 49);
  EXPECT_EQ(monitor.state().bindingMods.known, kControlBit | kShiftBit);
  runCommand(SetModeCommand{"record"}, monitor);
  EXPECT_EQ(monitor.state().mode, "record");
  runCommand(ClearBindingCommand{}, monitor);
  EXPECT_FALSE(monitor.state().hasBinding);
  EXPECT_EQ(monitor.state().bindingMainKey, 49);  // kept, ignored while unbound
  keyboard.trusted = false;
  runCommand(PermissionCommand{false}, monitor);
  keyboard.trusted = true;
  runCommand(PermissionCommand{true}, monitor);
  EXPECT_EQ(output.lines, (std::vector<std::string>{R"({"type":"permission","trusted":false})",
                                                    R"({"type":"permission","trusted":true})"}));
  EXPECT_EQ(keyboard.checks, 1);
  EXPECT_EQ(keyboard.prompts, 1);
}

TEST(CommandsTest, ReadCommandsRunsEveryLineUntilTheEnd) {
  testing::FakeKeyboard keyboard;
  testing::RecordingOutput output;
  Monitor monitor(keyboard, output);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    writeAll(fds[1], "garbage\n\n{\"cmd\":\"checkPermission\"}\n[1]\n{\"cmd\":\"setMode\",\"mode\":\"record\"}");
    ::close(fds[1]);
  });
  readCommands(fds[0], monitor);
  writer.join();
  ::close(fds[0]);
  EXPECT_EQ(output.lines.size(), 1u);
  EXPECT_EQ(monitor.state().mode, "record");  // the last line had no line feed
}

}  // namespace
}  // namespace vesk
