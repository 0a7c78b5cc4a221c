// The command lines of the input monitor: one JSON object per line, naming itself in
// "cmd". Parsing is pure; running a command calls into the monitor.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "input-monitor/keys.h"

namespace vesk {

class Monitor;

struct SetBindingCommand {
  std::optional<KeyCode> mainKey;
  std::vector<std::string> modifiers;
  bool operator==(const SetBindingCommand&) const = default;
};
struct ClearBindingCommand {
  bool operator==(const ClearBindingCommand&) const = default;
};
struct SetModeCommand {
  std::string mode;
  bool operator==(const SetModeCommand&) const = default;
};
struct PermissionCommand {
  bool prompt = false;  // "requestPermission" lets the platform ask the user
  bool operator==(const PermissionCommand&) const = default;
};

using Command = std::variant<SetBindingCommand, ClearBindingCommand, SetModeCommand, PermissionCommand>;

/// The command of one line, or none when the line is to be ignored (not JSON, not an
/// object, no string "cmd", an unknown command, a "setMode" without a string "mode").
std::optional<Command> parseCommand(std::string_view line);

/// Carries out one command. Called on the command reader's thread.
void runCommand(const Command& command, Monitor& monitor);

/// Reads command lines from `fd` and runs each until end of input, then returns.
void readCommands(int fd, Monitor& monitor);

}  // namespace vesk
