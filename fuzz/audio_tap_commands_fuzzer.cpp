// Fuzzes the audio tap's command path: each line of the input is decoded and
// trimmed as the reader does, then handed to a CommandHandler over fake hardware, a
// fake converter and hand-stepped queues. Between lines the fake machine plays one
// IO cycle, the microphone toggles and time moves on, so commands meet a running
// capture, pending frames and a debounced input watch. End of input runs the
// shutdown sequence, as the reader does. The raw length of a line, modulo 16, picks
// a fault of the machine for its command (a failing tap, aggregate device, IO proc,
// device start or converter), so padding a command with blanks makes it fail; the
// lengths of the bare commands pick none.
//
// Checks: the command text is valid UTF-8 with no white space at either end and is
// the decoded line's middle; every event serialises; frames are whole 16-bit
// samples and never longer than 200 ms; after shutdown nothing is left running.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "audio-tap/capture/testing/capture_scene.h"
#include "audio-tap/process/command_handler.h"
#include "audio-tap/process/command_text.h"
#include "fuzz/fuzz_check.h"

namespace {

using namespace vesk;

constexpr AudioObjectID kMicrophone = 77;
constexpr std::size_t kFullFrameBytes = 4800 * 2;

// The microphone and two processes that may use it, as the watcher will read them.
void addMicrophone(testing::FakeAudioHardware& hardware) {
  hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, kMicrophone);
  hardware.setUInt32(kMicrophone, kAudioDevicePropertyDeviceIsRunningSomewhere, 0);
  hardware.setProcessList({1100, 1200});
  hardware.addProcess(1100, 100, false, "self");
  hardware.addProcess(1200, 4242, true, std::nullopt);
}

void applyFaults(testing::CaptureScene& scene, std::size_t rawLength) {
  const std::size_t fault = rawLength % 16;
  auto& hardware = scene.hardware;
  hardware.tapStatus = fault == 6 ? kAudioHardwareNotRunningError : kAudioHardwareNoError;
  hardware.aggregateStatus = fault == 7 ? kAudioHardwareIllegalOperationError : kAudioHardwareNoError;
  hardware.ioProcStatus = fault == 8 ? kAudioHardwareBadObjectError : kAudioHardwareNoError;
  hardware.startStatus = fault == 9 ? kAudioHardwareNotRunningError : kAudioHardwareNoError;
  scene.converters.failConverter = fault == 11;
  scene.converters.failOutputFormat = fault == 13;
  if (fault == 14)
    scene.converter().script.push_back({0, AudioConverterOutputStatus::error, "converter failed"});
}

void checkCommandText(std::string_view line, const std::string& command) {
  FUZZ_CHECK(decodeUtf8(command) == command);
  FUZZ_CHECK(decodeUtf8(line).find(command) != std::string::npos);
  FUZZ_CHECK(commandText(command) == command);
}

void checkOutput(testing::RecordingChannels& output) {
  for (const auto& event : output.takeEvents()) {
    try {
      (void)event.dump();
    } catch (const Json::exception&) {
      FUZZ_FAIL("an event that cannot be serialised");
    }
    FUZZ_CHECK(event.contains("event"));
  }
  for (const auto& frame : output.takeFrames()) {
    FUZZ_CHECK(frame.size() % 2 == 0);
    FUZZ_CHECK(frame.size() <= kFullFrameBytes);
  }
}

struct Session {
  Session() { addMicrophone(scene.hardware); }

  // What happens on the machine between two commands.
  void between(std::size_t lineNumber) {
    scene.deliverFloats(480 * static_cast<std::uint32_t>(1 + lineNumber % 4));
    if (auto queue = scene.queues.find("vesk.audio-tap.convert"); queue != scene.queues.end()) {
      queue->second->runPending();
    }
    scene.hardware.setUInt32(kMicrophone, kAudioDevicePropertyDeviceIsRunningSomewhere, lineNumber % 2);
    scene.hardware.notify(kMicrophone, kAudioDevicePropertyDeviceIsRunningSomewhere);
    mainQueue.advance(lineNumber % 3 == 0 ? 1.5 : 0.4);
    checkOutput(scene.output);
  }

  testing::CaptureScene scene;
  testing::ManualQueue mainQueue{scene.clock, "main"};
  std::shared_ptr<SystemAudioTap> tap = scene.makeTap({4242});
  std::shared_ptr<InputActivityWatcher> watcher =
      InputActivityWatcher::make(scene.hardware, mainQueue, scene.clock, scene.output, {100, 50, 4242});
  int exits = 0;
  CommandHandler handler{*tap, *watcher, scene.output, [this] { ++exits; }};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Session session;
  for (std::size_t lineNumber = 0; !text.empty() && session.exits == 0; ++lineNumber) {
    const std::size_t feed = text.find('\n');
    const std::string_view line = text.substr(0, feed);
    text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
    const std::string command = commandText(line);
    checkCommandText(line, command);
    applyFaults(session.scene, line.size());
    session.mainQueue.sync([&] { session.handler.handle(command); });
    session.between(lineNumber);
  }
  // "quit" ends the process; otherwise end of input does.
  if (session.exits == 0) session.mainQueue.sync([&] { session.handler.shutdown(); });
  checkOutput(session.scene.output);
  FUZZ_CHECK(session.exits == 1);
  FUZZ_CHECK(!session.tap->isRunning());
  FUZZ_CHECK(!session.watcher->isWatching());
  FUZZ_CHECK(session.scene.hardware.liveTaps.empty());
  FUZZ_CHECK(session.scene.hardware.liveAggregates.empty());
  return 0;
}
