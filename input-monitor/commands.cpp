// Command parsing and dispatch for the input monitor's standard input.
#include "input-monitor/commands.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "common/fd_io.h"
#include "input-monitor/monitor.h"

namespace vesk {
namespace {

using nlohmann::json;

// A JSON number as a key code: fractions dropped toward zero, true and false as 1 and 0,
// anything else none. Numbers beyond the signed 64-bit range saturate.
std::optional<KeyCode> keyCodeFrom(const json& value) {
  switch (value.type()) {
    case json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case json::value_t::number_integer:
      return value.get<std::int64_t>();
    case json::value_t::number_unsigned: {
      auto u = value.get<std::uint64_t>();
      return u > static_cast<std::uint64_t>(std::numeric_limits<KeyCode>::max())
                 ? std::numeric_limits<KeyCode>::max()
                 : static_cast<KeyCode>(u);
    }
    case json::value_t::number_float: {
      double d = std::trunc(value.get<double>());
      if (!(d > -9223372036854775808.0)) return std::numeric_limits<KeyCode>::min();
      if (d >= 9223372036854775808.0) return std::numeric_limits<KeyCode>::max();
      return static_cast<KeyCode>(d);
    }
    default:
      return std::nullopt;
  }
}

// An array of strings as modifier names; one non-string element empties the whole list.
std::vector<std::string> modifierNamesFrom(const json& value) {
  std::vector<std::string> names;
  if (!value.is_array()) return names;
  for (const auto& element : value) {
    if (!element.is_string()) return {};
    names.push_back(element.get<std::string>());
  }
  return names;
}

Command setBindingFrom(const json& object) {
  auto binding = object.find("binding");
  if (binding == object.end() || !binding->is_object()) return ClearBindingCommand{};
  SetBindingCommand command;
  if (auto key = binding->find("mainKey"); key != binding->end()) command.mainKey = keyCodeFrom(*key);
  if (auto mods = binding->find("modifiers"); mods != binding->end()) command.modifiers = modifierNamesFrom(*mods);
  return command;
}

}  // namespace

std::optional<Command> parseCommand(std::string_view line) {
  // No JSON text holds a raw NUL byte, but the parser would take one for the end of
  // the text and accept what came before it.
  if (line.find('\0') != std::string_view::npos) return std::nullopt;
  // Without exceptions: a parse error gives a discarded value.
  json object = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return std::nullopt;
  auto cmd = object.find("cmd");
  if (cmd == object.end() || !cmd->is_string()) return std::nullopt;
  const auto& name = cmd->get_ref<const std::string&>();
  if (name == "setBinding") return setBindingFrom(object);
  if (name == "setMode") {
    auto mode = object.find("mode");
    if (mode == object.end() || !mode->is_string()) return std::nullopt;
    return SetModeCommand{mode->get<std::string>()};
  }
  if (name == "checkPermission") return PermissionCommand{false};
  if (name == "requestPermission") return PermissionCommand{true};
  return std::nullopt;
}

void runCommand(const Command& command, Monitor& monitor) {
  struct Runner {
    Monitor& monitor;
    void operator()(const SetBindingCommand& c) { monitor.setBinding(c.mainKey, c.modifiers); }
    void operator()(const ClearBindingCommand&) { monitor.clearBinding(); }
    void operator()(const SetModeCommand& c) { monitor.setMode(c.mode); }
    void operator()(const PermissionCommand& c) { monitor.reportPermission(c.prompt); }
  };
  std::visit(Runner{monitor}, command);
}

void readCommands(int fd, Monitor& monitor) {
  LineReader reader(fd);
  while (auto line = reader.next()) {
    if (auto command = parseCommand(*line)) runCommand(*command, monitor);
  }
}

}  // namespace vesk
