// Fuzzes the audio tap's command line. The input is the argument vector with NUL
// bytes between arguments (an argument can hold no NUL, as in a real argv).
//
// parseProcessID is checked against a plain reading of its contract (an optional
// sign, ASCII digits, the signed 32-bit range), parseArguments against the rule that
// "--exclude-pid" takes the next argument whatever it holds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audio-tap/process/settings.h"
#include "fuzz/fuzz_check.h"

namespace {

using vesk::ProcessID;

// Leading zeros stripped, then at most ten digits compared as a 64-bit value.
std::optional<ProcessID> expectedProcessID(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
  if (text.size() > 10) return std::nullopt;
  std::int64_t magnitude = text.empty() ? 0 : std::stoll(std::string(text));
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<ProcessID>(value);
}

std::vector<std::string> splitArguments(std::string_view data) {
  std::vector<std::string> arguments;
  while (!data.empty()) {
    const std::size_t end = data.find('\0');
    arguments.emplace_back(data.substr(0, end));
    data = end == std::string_view::npos ? std::string_view() : data.substr(end + 1);
  }
  return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> arguments = splitArguments(input);

  std::vector<ProcessID> pids;
  bool debug = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    FUZZ_CHECK(vesk::parseProcessID(arguments[i]) == expectedProcessID(arguments[i]));
    if (arguments[i] == "--exclude-pid" && i + 1 < arguments.size()) {
      if (auto pid = expectedProcessID(arguments[++i])) pids.push_back(*pid);
    } else if (arguments[i] == "--debug") {
      debug = true;
    }
  }
  const vesk::Settings settings = vesk::parseArguments(arguments);
  FUZZ_CHECK(settings.extraPIDs == pids);
  FUZZ_CHECK(settings.debug == debug);
  FUZZ_CHECK(settings.outputSampleRate == 24000.0 && settings.framesPerChunk == 4800);
  return 0;
}
