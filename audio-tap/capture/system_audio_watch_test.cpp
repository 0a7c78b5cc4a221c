// A running capture watched for changes: each trigger rebuilds it without breaking
// the frame stream, a failed rebuild ends it, only the tap's streams are read, and
// a capture of nothing but zeros while something plays is reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio-tap/capture/system_audio_tap.h"
#include "audio-tap/capture/tap_streams.h"
#include "audio-tap/capture/testing/capture_scene.h"

namespace vesk {
namespace {

using Calls = std::vector<std::string>;
using testing::CaptureScene;

const Calls kRebuildCalls = {"deviceStop 21 31",     "destroyIOProc 21 31", "destroyAggregateDevice 21",
                             "destroyProcessTap 11", "createProcessTap",    "createAggregateDevice",
                             "createIOProc 21",      "deviceStart 21 31"};

// The scene's machine with rates and liveness to watch: the output device 40 and
// the aggregate device 21 run at 48000 Hz.
void addWatchedProperties(CaptureScene& s) {
  for (AudioObjectID device : {21u, 40u}) {
    s.hardware.setFloat64(device, kAudioDevicePropertyNominalSampleRate, 48000);
    s.hardware.setUInt32(device, kAudioDevicePropertyDeviceIsAlive, 1);
  }
}

std::vector<std::int16_t> samplesOf(const std::vector<std::string>& frames) {
  std::vector<std::int16_t> samples;
  for (const auto& frame : frames) {
    for (std::size_t i = 0; i + 1 < frame.size(); i += 2) {
      samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(frame[i]) |
                                                  static_cast<std::uint8_t>(frame[i + 1]) << 8));
    }
  }
  return samples;
}

std::vector<Json> eventsNamed(const std::vector<Json>& events, const std::string& name) {
  std::vector<Json> found;
  for (const auto& e : events) {
    if (e.value("event", "") == name || e.value("step", "") == name) found.push_back(e);
  }
  return found;
}

TEST(SystemAudioWatchTest, EachTriggerRebuildsAndAnUnchangedPropertyDoesNot) {
  struct Case {
    const char* name;
    AudioObjectID object;
    AudioObjectPropertySelector selector;
    std::function<void(CaptureScene&)> change;
    const char* reason;
    double deviceRate;
  };
  const std::vector<Case> cases = {
      {"default output device", kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice,
       [](CaptureScene& s) {
         s.hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 41);
         s.hardware.setString(41, kAudioDevicePropertyDeviceUID, "Headphones");
         s.hardware.setFormat(11, testing::float32Format(44100, 1));
       },
       "outputDeviceChanged", 44100},
      {"tap format", 11, kAudioTapPropertyFormat,
       [](CaptureScene& s) { s.hardware.setFormat(11, testing::float32Format(16000, 1)); }, "formatChanged", 16000},
      {"tap channels", 11, kAudioTapPropertyFormat,
       [](CaptureScene& s) { s.hardware.setFormat(11, testing::float32Format(48000, 2)); }, "formatChanged", 48000},
      {"output device rate", 40, kAudioDevicePropertyNominalSampleRate,
       [](CaptureScene& s) {
         s.hardware.setFloat64(40, kAudioDevicePropertyNominalSampleRate, 24000);
         s.hardware.setFormat(11, testing::float32Format(24000, 1));
       },
       "formatChanged", 24000},
      {"aggregate rate", 21, kAudioDevicePropertyNominalSampleRate,
       [](CaptureScene& s) { s.hardware.setFloat64(21, kAudioDevicePropertyNominalSampleRate, 16000); },
       "formatChanged", 48000},
      {"output device dies", 40, kAudioDevicePropertyDeviceIsAlive,
       [](CaptureScene& s) { s.hardware.setUInt32(40, kAudioDevicePropertyDeviceIsAlive, 0); }, "deviceLost", 48000},
      {"aggregate gone", 21, kAudioDevicePropertyDeviceIsAlive,
       [](CaptureScene& s) { s.hardware.setFailing(21, kAudioDevicePropertyDeviceIsAlive, kAudioHardwareBadObjectError); },
       "deviceLost", 48000},
  };
  for (const auto& c : cases) {
    CaptureScene s;
    s.settings.debug = true;
    addWatchedProperties(s);
    auto tap = s.makeTap();
    ASSERT_EQ(tap->start(), std::nullopt) << c.name;
    s.hardware.takeCalls();
    s.output.takeEvents();

    // A notification with nothing changed rebuilds nothing.
    s.hardware.notify(c.object, c.selector);
    s.mainQueue.runPending();
    EXPECT_TRUE(s.hardware.takeLifecycleCalls().empty()) << c.name;

    c.change(s);
    s.hardware.notify(c.object, c.selector);
    s.hardware.notify(c.object, c.selector);  // a burst: one rebuild
    s.mainQueue.runPending();
    EXPECT_EQ(s.hardware.takeLifecycleCalls(), kRebuildCalls) << c.name;
    const auto events = s.output.takeEvents();
    EXPECT_TRUE(eventsNamed(events, "ready").empty() && eventsNamed(events, "stopped").empty()) << c.name;
    EXPECT_TRUE(eventsNamed(events, "tap created").empty()) << c.name;  // the first set-up's steps only
    const auto rebuilt = eventsNamed(events, "captureRebuilt");
    ASSERT_EQ(rebuilt.size(), 1u) << c.name;
    EXPECT_EQ(rebuilt[0], (Json{{"event", "debug"}, {"step", "captureRebuilt"}, {"reason", c.reason},
                                {"deviceRate", c.deviceRate}}))
        << c.name;
    EXPECT_TRUE(tap->isRunning()) << c.name;
    EXPECT_EQ(s.hardware.liveTaps.size(), 1u) << c.name;
    EXPECT_EQ(s.hardware.liveAggregates.size(), 1u) << c.name;
    // The listeners now watch the new objects: the old ones' are gone.
    tap->stop();
    EXPECT_TRUE(s.hardware.listeners.empty()) << c.name;
  }
}

TEST(SystemAudioWatchTest, WithoutDebugARebuildSendsNothing) {
  CaptureScene s;
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  s.output.takeEvents();
  s.hardware.setFormat(11, testing::float32Format(16000, 1));
  s.hardware.notify(11, kAudioTapPropertyFormat);
  s.mainQueue.runPending();
  EXPECT_TRUE(s.output.takeEvents().empty());
  EXPECT_EQ(s.converters.calls.size(), 6u);  // a second input format, output format and converter
}

TEST(SystemAudioWatchTest, AStalledIORebuildsAndAFlowingOneDoesNot) {
  CaptureScene s;
  s.settings.debug = true;
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  s.hardware.takeCalls();
  s.output.takeEvents();
  for (int i = 0; i < 3; ++i) {
    s.deliverFloats(480);
    s.mainQueue.advance(kCaptureCheckSeconds);
  }
  EXPECT_TRUE(s.hardware.takeLifecycleCalls().empty());
  s.mainQueue.advance(kCaptureCheckSeconds);  // a second without an IO cycle
  EXPECT_EQ(s.hardware.takeLifecycleCalls(), kRebuildCalls);
  const auto rebuilt = eventsNamed(s.output.takeEvents(), "captureRebuilt");
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0]["reason"], "ioStalled");
  // The new IO proc's cycles keep it alive; once it stalls too, it is rebuilt again,
  // a second later: the same reason came back within seconds.
  s.deliverFloats(480);
  s.mainQueue.advance(kCaptureCheckSeconds);
  EXPECT_TRUE(s.hardware.takeLifecycleCalls().empty());
  s.mainQueue.advance(kCaptureCheckSeconds);
  EXPECT_TRUE(s.hardware.takeLifecycleCalls().empty());
  s.mainQueue.advance(kFirstRebuildDelaySeconds);
  EXPECT_EQ(s.hardware.takeLifecycleCalls(), kRebuildCalls);
  // A stopped capture is not checked any more.
  tap->stop();
  s.hardware.takeCalls();
  s.mainQueue.advance(5 * kCaptureCheckSeconds);
  EXPECT_TRUE(s.hardware.takeCalls().empty());
}

TEST(SystemAudioWatchTest, ANewDefaultOutputDeviceWithoutANotificationIsFoundByTheNextCheck) {
  CaptureScene s;
  s.settings.debug = true;
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  s.hardware.takeCalls();
  s.deliverFloats(480);
  s.hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 41);
  s.hardware.setString(41, kAudioDevicePropertyDeviceUID, "Headphones");
  s.mainQueue.advance(kCaptureCheckSeconds);
  EXPECT_EQ(s.hardware.takeLifecycleCalls(), kRebuildCalls);
  const auto rebuilt = eventsNamed(s.output.takeEvents(), "captureRebuilt");
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0]["reason"], "outputDeviceChanged");
}

TEST(SystemAudioWatchTest, AFailedRebuildEndsCaptureWithTheErrorThePendingSamplesAndStopped) {
  CaptureScene s;
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  s.converter().script.push_back({1000});
  s.deliverFloats(2000);
  s.conversionQueue().runPending();
  s.output.journal.clear();
  s.output.takeEvents();
  s.hardware.aggregateStatus = -50;
  s.hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 41);
  s.hardware.setString(41, kAudioDevicePropertyDeviceUID, "Headphones");
  s.hardware.notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice);
  s.mainQueue.runPending();

  EXPECT_EQ(s.output.journal, (Calls{"event error", "frame 2000", "event stopped"}));
  EXPECT_EQ(s.output.events.at(0), (Json{{"event", "error"}, {"message", "The aggregate device could not be created (-50)."}}));
  EXPECT_FALSE(tap->isRunning());
  EXPECT_TRUE(s.hardware.liveTaps.empty());
  EXPECT_TRUE(s.hardware.liveAggregates.empty());
  EXPECT_TRUE(s.hardware.listeners.empty());
  // A later start works again.
  s.hardware.aggregateStatus = kAudioHardwareNoError;
  EXPECT_EQ(tap->start(), std::nullopt);
}

TEST(SystemAudioWatchTest, PendingSamplesAreKeptAndTheDownTimeIsFilledWithSilence) {
  CaptureScene s;
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);  // at 100 s on the clock
  // One second of audio (24000 samples out) arrives by 101 s.
  for (int i = 0; i < 100; ++i) s.deliverFloats(480);
  s.clock.seconds += 1.0;
  // The device changes; capture is down until 101.5 s, when the new one runs.
  s.clock.seconds += 0.5;
  s.hardware.setFormat(11, testing::float32Format(44100, 1));
  s.hardware.notify(11, kAudioTapPropertyFormat);
  s.mainQueue.runPending();
  for (int i = 0; i < 100; ++i) s.deliverFloats(441);  // one more second, at the new rate
  s.conversionQueue().runPending();
  tap->stop();

  const auto samples = samplesOf(s.output.takeFrames());
  ASSERT_EQ(samples.size(), 24000u + 12000u + 24000u);
  for (std::size_t i = 0; i < 24000; ++i) ASSERT_EQ(samples[i], static_cast<std::int16_t>(i)) << i;
  for (std::size_t i = 24000; i < 36000; ++i) ASSERT_EQ(samples[i], 0) << i;
  for (std::size_t i = 36000; i < samples.size(); ++i) ASSERT_EQ(samples[i], static_cast<std::int16_t>(i - 12000)) << i;
  // The converter of the new build was made for the new rate.
  EXPECT_EQ(s.converter().calls.back().inputFrames, 441u);
}

TEST(SystemAudioWatchTest, OnlyTheTapsStreamsAreReadAndTheOthersAreTurnedOff) {
  CaptureScene s;
  s.settings.debug = true;
  // The output device is a headset with a microphone: the aggregate's input is the
  // microphone's stream first, then the tap's.
  s.hardware.setInputStreams(40, {{70, testing::float32Format(16000, 1)}});
  s.hardware.setInputStreams(21, {{71, testing::float32Format(48000, 1)}, {72, testing::float32Format(48000, 1)}});
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);

  ASSERT_EQ(s.hardware.written.size(), 1u);
  const auto& usage = s.hardware.written[0];
  EXPECT_EQ(usage.object, 21u);
  EXPECT_EQ(usage.address, (AudioObjectPropertyAddress{kAudioDevicePropertyIOProcStreamUsage,
                                                       kAudioObjectPropertyScopeInput, 0}));
  std::uintptr_t proc = 0;
  std::uint32_t fields[3] = {};
  ASSERT_EQ(usage.bytes.size(), sizeof proc + sizeof fields);
  std::memcpy(&proc, usage.bytes.data(), sizeof proc);
  std::memcpy(fields, usage.bytes.data() + sizeof proc, sizeof fields);
  EXPECT_EQ(proc, 31u);
  EXPECT_EQ(fields[0], 2u);  // streams
  EXPECT_EQ(fields[1], 0u);  // the microphone: off
  EXPECT_EQ(fields[2], 1u);  // the tap: on

  const auto streams = eventsNamed(s.output.takeEvents(), "input streams");
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].dump(),
            R"({"event":"debug","step":"input streams","count":2,"streams":[{"channels":1,"rate":48000.0},)"
            R"({"channels":1,"rate":48000.0}],"reading":[1]})");

  // The microphone's buffer (a loud 0.9) never reaches the converter; a cycle that
  // brings only the microphone's buffer is dropped.
  std::vector<float> mic(480, 0.9f), tapped(480, 0.25f);
  AudioBuffer buffers[2] = {{1, 1920, mic.data()}, {1, 1920, tapped.data()}};
  s.hardware.deliver({2, buffers});
  s.hardware.deliver({1, buffers});
  s.conversionQueue().runPending();
  ASSERT_EQ(s.converter().calls.size(), 1u);
  const auto& bytes = s.converter().calls[0].inputBytes.at(0);
  float first = 0;
  std::memcpy(&first, bytes.data(), 4);
  EXPECT_EQ(first, 0.25f);
}

TEST(SystemAudioWatchTest, TapBuffersAreTheTailFromTheFirstTapStream) {
  AudioBuffer buffers[3] = {};
  const AudioBufferListRef list{3, buffers};
  EXPECT_EQ(tapBuffersOf(list, 0, UINT32_MAX).mNumberBuffers, 3u);
  EXPECT_EQ(tapBuffersOf(list, 2, 1).mBuffers, buffers + 2);
  EXPECT_EQ(tapBuffersOf(list, 1, 5).mNumberBuffers, 2u);
  EXPECT_EQ(tapBuffersOf(list, 3, 1).mNumberBuffers, 0u);
  EXPECT_EQ(tapBuffersOf({0, nullptr}, 0, 1).mNumberBuffers, 0u);
}

// This process (1100, left out of the tap) plays; a player (1200) may.
void addPlayers(CaptureScene& s, bool playerPlays) {
  s.hardware.setProcessList({1100, 1200});
  s.hardware.addProcess(1100, 100, false, "self");
  s.hardware.setUInt32(1100, kAudioProcessPropertyIsRunningOutput, 1);
  s.hardware.addProcess(1200, 200, false, "player");
  s.hardware.setUInt32(1200, kAudioProcessPropertyIsRunningOutput, playerPlays ? 1 : 0);
}

TEST(SystemAudioWatchTest, ATapWaitingForAudioIsNotStalledButIOThatRanAndStopsIsRebuiltOnce) {
  CaptureScene s;
  s.settings.debug = true;
  addPlayers(s, false);
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  s.hardware.takeCalls();
  s.output.takeEvents();

  // Only a left-out process plays: the device's IO never starts, nothing is rebuilt,
  // and frames of silence keep leaving at the pace of real time.
  s.live(10.0);
  EXPECT_TRUE(s.hardware.takeLifecycleCalls().empty());
  EXPECT_TRUE(eventsNamed(s.output.takeEvents(), "captureRebuilt").empty());
  EXPECT_EQ(tap->counters().ioCalls, 0);
  const auto waited = samplesOf(s.output.takeFrames());
  EXPECT_GE(waited.size(), 9u * 24000);
  EXPECT_LE(waited.size(), 10u * 24000);
  EXPECT_EQ(std::count(waited.begin(), waited.end(), 0), static_cast<long>(waited.size()));

  // The player starts: IO runs and its audio follows the silence.
  s.hardware.setUInt32(1200, kAudioProcessPropertyIsRunningOutput, 1);
  s.live(2.0);
  EXPECT_TRUE(s.hardware.takeLifecycleCalls().empty());
  EXPECT_GT(tap->counters().convertedFrames, 0);

  // The IO stops: one rebuild, after which the new device's IO runs.
  s.hardware.haltIO();
  s.live(5.0);
  EXPECT_EQ(s.hardware.takeLifecycleCalls(), kRebuildCalls);
  const auto rebuilt = eventsNamed(s.output.takeEvents(), "captureRebuilt");
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0]["reason"], "ioStalled");
}

TEST(SystemAudioWatchTest, ARebuildForAReasonThatKeepsComingBackWaitsLongerEachTimeUntilIOIsHealthy) {
  CaptureScene s;
  s.settings.debug = true;
  addPlayers(s, true);
  s.hardware.cyclesPerBuild = 1;  // every build stalls after its first cycle
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  s.output.takeEvents();
  const auto waits = [&] {
    std::vector<double> seconds;
    for (const auto& e : eventsNamed(s.output.takeEvents(), "rebuildDelayed")) {
      EXPECT_EQ(e["reason"], "ioStalled");
      seconds.push_back(e["seconds"].get<double>());
    }
    return seconds;
  };

  // Stalls at 102 s (rebuilt at once), then 2 s after each rebuild.
  s.live(100.0);
  EXPECT_EQ(eventsNamed(s.output.events, "captureRebuilt").size(), 7u);
  EXPECT_EQ(waits(), (std::vector<double>{1, 2, 4, 8, 16, 30, 30}));
  EXPECT_TRUE(tap->isRunning());

  // A build whose IO stays healthy for a minute ends the storm: the next repeat
  // waits the shortest time again.
  s.hardware.cyclesPerBuild = -1;
  s.live(75.0);
  s.hardware.cyclesPerBuild = 1;
  s.hardware.haltIO();
  s.output.takeEvents();
  s.live(6.0);
  EXPECT_EQ(waits(), (std::vector<double>{1}));
}

TEST(SystemAudioWatchTest, TheTapsBuffersAreFoundBehindTwentyInputStreamsAndCyclesWithoutThemAreAStall) {
  CaptureScene s;
  s.settings.debug = true;
  std::vector<std::pair<AudioObjectID, AudioStreamBasicDescription>> streams;
  for (AudioObjectID id = 500; id < 520; ++id) streams.push_back({id, testing::float32Format(48000, 1)});
  s.hardware.setInputStreams(40, streams);
  streams.push_back({600, testing::float32Format(48000, 1)});
  s.hardware.setInputStreams(21, streams);
  auto tap = s.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  s.output.takeEvents();

  // Only the last of the 21 streams is on for the IO proc.
  ASSERT_EQ(s.hardware.written.size(), 1u);
  const auto& usage = s.hardware.written[0].bytes;
  ASSERT_EQ(usage.size(), sizeof(std::uintptr_t) + 4 + 21 * 4);
  std::uint32_t flags[22] = {};
  std::memcpy(flags, usage.data() + sizeof(std::uintptr_t), sizeof flags);
  EXPECT_EQ(flags[0], 21u);
  EXPECT_EQ(std::count(flags + 1, flags + 21, 0u), 20);
  EXPECT_EQ(flags[21], 1u);

  // The streams that are off come with no data; the tap's audio is the 21st buffer.
  std::vector<float> tapped(480, 0.25f);
  std::vector<AudioBuffer> buffers(21, AudioBuffer{1, 1920, nullptr});
  buffers[20].mData = tapped.data();
  for (int i = 0; i < 150; ++i) {
    s.hardware.deliver({21, buffers.data()});
    s.runAudioQueues();
    s.mainQueue.advance(0.01);
  }
  ASSERT_EQ(s.converter().calls.size(), 150u);
  float first = 0;
  std::memcpy(&first, s.converter().calls.back().inputBytes.at(0).data(), 4);
  EXPECT_EQ(first, 0.25f);
  EXPECT_TRUE(eventsNamed(s.output.takeEvents(), "captureRebuilt").empty());

  // Cycles that bring none of the tap's buffers (a list cut short) are no audio: the
  // IO counts as stalled and is rebuilt.
  for (int i = 0; i < 150; ++i) {
    s.hardware.deliver({16, buffers.data()});
    s.mainQueue.advance(0.01);
  }
  const auto rebuilt = eventsNamed(s.output.takeEvents(), "captureRebuilt");
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0]["reason"], "ioStalled");
}

class SilenceReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A player (pid 200) plays; so does this process (object 1100), which is left out.
    s.hardware.setProcessList({1100, 1200});
    s.hardware.addProcess(1200, 200, false, "player");
    s.hardware.setUInt32(1200, kAudioProcessPropertyIsRunningOutput, 1);
    s.hardware.addProcess(1100, 100, false, "self");
    s.hardware.setUInt32(1100, kAudioProcessPropertyIsRunningOutput, 1);
    tap = s.makeTap();
    ASSERT_EQ(tap->start(), std::nullopt);
    s.output.takeEvents();
  }
  // Seconds of capture, one check each second.
  void capture(int seconds, float value) {
    for (int i = 0; i < seconds; ++i) {
      for (int j = 0; j < 100; ++j) s.deliverFloats(480, value);
      s.conversionQueue().runPending();
      s.mainQueue.advance(1.0);
    }
  }
  std::vector<Json> reports() { return eventsNamed(s.output.takeEvents(), "captureSilence"); }

  CaptureScene s;
  std::shared_ptr<SystemAudioTap> tap;
};

TEST_F(SilenceReportTest, FiveSecondsOfZerosWhileSomethingPlaysAreReportedOnceUntilSoundComesBack) {
  capture(4, 0.0f);
  EXPECT_TRUE(reports().empty());
  capture(1, 0.0f);
  const auto silent = reports();
  ASSERT_EQ(silent.size(), 1u);
  EXPECT_EQ(silent[0].dump(), R"({"event":"captureSilence","silent":true,"playing":[{"pid":200,"bundleId":"player"}]})");
  capture(3, 0.0f);
  EXPECT_TRUE(reports().empty());
  // One quiet but not zero buffer ends it at once.
  s.deliverFloats(480, 1e-9f);
  s.conversionQueue().runPending();
  EXPECT_EQ(reports(), (std::vector<Json>{{{"event", "captureSilence"}, {"silent", false}}}));
  capture(2, 0.5f);
  EXPECT_TRUE(reports().empty());
  capture(5, 0.0f);
  EXPECT_EQ(reports().size(), 1u);
}

TEST_F(SilenceReportTest, NothingIsReportedWhileNothingPlaysAndStopForgetsTheSilence) {
  s.hardware.setUInt32(1200, kAudioProcessPropertyIsRunningOutput, 0);
  capture(7, 0.0f);
  EXPECT_TRUE(reports().empty());
  s.hardware.setUInt32(1200, kAudioProcessPropertyIsRunningOutput, 1);
  capture(1, 0.0f);
  EXPECT_EQ(reports().size(), 1u);
  // At stop the report is over without an event; the next capture starts afresh.
  tap->stop();
  EXPECT_TRUE(reports().empty());
  ASSERT_EQ(tap->start(), std::nullopt);
  capture(4, 0.0f);
  EXPECT_TRUE(reports().empty());
  capture(1, 0.0f);
  EXPECT_EQ(reports().size(), 1u);
}

}  // namespace
}  // namespace vesk
