#include "audio-tap/capture/system_audio_tap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "audio-tap/capture/testing/capture_scene.h"

namespace vesk {
namespace {

using ::testing::ElementsAre;
using Calls = std::vector<std::string>;

const Calls kCreateAll = {"createProcessTap", "createAggregateDevice", "createIOProc 21", "deviceStart 21 31"};
const Calls kDestroyAll = {"deviceStop 21 31", "destroyIOProc 21 31", "destroyAggregateDevice 21",
                           "destroyProcessTap 11"};

class SystemAudioTapTest : public ::testing::Test {
 protected:
  testing::CaptureScene scene;
};

TEST_F(SystemAudioTapTest, StartCreatesInOrderAndReportsReady) {
  scene.settings.debug = true;
  scene.hardware.setFormat(11, testing::float32Format(48000, 2));
  auto tap = scene.makeTap({300});
  scene.hardware.processObjects[300] = 1300;

  EXPECT_EQ(tap->start(), std::nullopt);
  EXPECT_TRUE(tap->isRunning());
  EXPECT_EQ(tap->tapID(), 11u);
  EXPECT_EQ(tap->aggregateID(), 21u);
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), kCreateAll);
  EXPECT_EQ(scene.converters.calls, (Calls{"makeFormat", "makeInt16Format", "makeConverter"}));

  const auto events = scene.output.takeEvents();
  ASSERT_EQ(events.size(), 9u);
  const Calls steps = {"tap created", "format read", "aggregate created", "converter made", "ioproc created"};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    Json expected{{"event", "debug"}, {"step", steps[i]}};
    if (i == 1) expected["rate"] = 48000.0;
    EXPECT_EQ(events[i], expected) << i;
  }
  // Then what capture was built on, for diagnosis.
  EXPECT_EQ(events[5], (Json{{"event", "debug"}, {"step", "output device"}, {"uid", "Speakers"}}));
  EXPECT_EQ(events[6].dump(), R"({"event":"debug","step":"tap format","rate":48000.0,"channels":2,)"
                              R"("bitsPerChannel":32,"float":true,"interleaved":true})");
  EXPECT_EQ(events[7].dump(), R"({"event":"debug","step":"input streams","count":0,"streams":[],"reading":[]})");
  EXPECT_EQ(events[8], (Json{{"event", "ready"}, {"sampleRate", 24000}, {"deviceRate", 48000.0}, {"channels", 2}}));
  EXPECT_EQ(events[8].dump(), R"({"event":"ready","sampleRate":24000,"deviceRate":48000.0,"channels":2})");

  const TapDescription& t = scene.hardware.tapDescriptions.at(0);
  EXPECT_EQ(t.excludedProcesses, (std::vector<AudioObjectID>{1100, 1050, 1300}));
  EXPECT_TRUE(t.isMono);
  EXPECT_TRUE(t.isExclusive);
  EXPECT_EQ(t.name, "Vesk meeting tap");
  EXPECT_TRUE(t.isPrivate);
  EXPECT_EQ(t.muteBehavior, 0);

  const AggregateDeviceDescription& d = scene.hardware.aggregateDescriptions.at(0);
  EXPECT_EQ(d.name, "Vesk meeting tap");
  EXPECT_TRUE(std::regex_match(d.uid, std::regex("com\\.vesk\\.audio-tap\\.[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                                 "[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << d.uid;
  EXPECT_EQ(d.mainSubDevice, "Speakers");
  EXPECT_TRUE(d.isPrivate);
  EXPECT_FALSE(d.isStacked);
  EXPECT_TRUE(d.tapAutoStart);
  ASSERT_EQ(d.subDevices.size(), 1u);
  EXPECT_EQ(d.subDevices[0].uid, "Speakers");
  ASSERT_EQ(d.taps.size(), 1u);
  EXPECT_EQ(d.taps[0].uid, t.uuid);
  EXPECT_TRUE(d.taps[0].driftCompensation);

  // The IO block is delivered on the user-interactive IO queue.
  EXPECT_EQ(scene.hardware.ioQueue, scene.queues.at("vesk.audio-tap.io").get());
  EXPECT_EQ(scene.qualities.at("vesk.audio-tap.io"), QualityOfService::userInteractive);
  EXPECT_EQ(scene.qualities.at("vesk.audio-tap.convert"), QualityOfService::unspecified);
}

TEST_F(SystemAudioTapTest, WithoutDebugOnlyReadyAndStopped) {
  auto tap = scene.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  tap->stop();
  EXPECT_EQ(scene.output.takeEventNames(), (Calls{"ready", "stopped"}));
}

TEST_F(SystemAudioTapTest, EveryFailingStepReportsAndDestroysWhatExists) {
  using testing::CaptureScene;
  struct Case {
    const char* name;
    std::function<void(CaptureScene&)> fault;
    std::string message;
    Calls lifecycle;
    Calls debugSteps;
  };
  const Calls tapOnly = {"createProcessTap", "destroyProcessTap 11"};
  const Calls throughAggregate = {"createProcessTap", "createAggregateDevice", "destroyAggregateDevice 21",
                                  "destroyProcessTap 11"};
  const Calls throughIOProc = {"createProcessTap", "createAggregateDevice", "createIOProc 21",
                               "destroyAggregateDevice 21", "destroyProcessTap 11"};
  const Calls throughStart = {"createProcessTap", "createAggregateDevice", "createIOProc 21", "deviceStart 21 31",
                              "deviceStop 21 31", "destroyIOProc 21 31", "destroyAggregateDevice 21",
                              "destroyProcessTap 11"};
  const Calls d1 = {"debug:tap created"};
  const Calls d2 = {"debug:tap created", "debug:format read"};
  const Calls d3 = {"debug:tap created", "debug:format read", "debug:aggregate created"};
  const Calls d4 = {"debug:tap created", "debug:format read", "debug:aggregate created", "debug:converter made"};
  const Calls d5 = {"debug:tap created",     "debug:format read",     "debug:aggregate created",
                    "debug:converter made",  "debug:ioproc created",  "debug:output device",
                    "debug:tap format",      "debug:input streams"};
  const std::string noConverter = "No converter from the tap's format (48000.0 Hz, 2 ch).";
  const std::vector<Case> cases = {
      {"tap status", [](CaptureScene& s) { s.hardware.tapStatus = -50; },
       "The system audio tap could not be created (-50).", {"createProcessTap"}, {}},
      {"tap id 0", [](CaptureScene& s) { s.hardware.nextTapID = 0; },
       "The system audio tap could not be created (0).", {"createProcessTap"}, {}},
      {"tap positive status", [](CaptureScene& s) { s.hardware.tapStatus = kAudioHardwareNotRunningError; },
       "The system audio tap could not be created (1937010544).", {"createProcessTap"}, {}},
      {"format", [](CaptureScene& s) { s.hardware.setFailing(11, kAudioTapPropertyFormat, -1); },
       "The system audio tap has no readable format.", tapOnly, d1},
      {"no output device",
       [](CaptureScene& s) {
         s.hardware.setFailing(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, -1);
       },
       "No default output device.", tapOnly, d2},
      {"output device 0",
       [](CaptureScene& s) {
         s.hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 0);
       },
       "No default output device.", tapOnly, d2},
      {"output uid", [](CaptureScene& s) { s.hardware.setFailing(40, kAudioDevicePropertyDeviceUID, -1); },
       "No default output device.", tapOnly, d2},
      {"aggregate status", [](CaptureScene& s) { s.hardware.aggregateStatus = -50; },
       "The aggregate device could not be created (-50).",
       {"createProcessTap", "createAggregateDevice", "destroyProcessTap 11"}, d2},
      {"aggregate id 0", [](CaptureScene& s) { s.hardware.nextAggregateID = 0; },
       "The aggregate device could not be created (0).",
       {"createProcessTap", "createAggregateDevice", "destroyProcessTap 11"}, d2},
      {"input format", [](CaptureScene& s) { s.converters.failInputFormat = true; }, noConverter, throughAggregate, d3},
      {"output format", [](CaptureScene& s) { s.converters.failOutputFormat = true; }, noConverter, throughAggregate,
       d3},
      {"converter", [](CaptureScene& s) { s.converters.failConverter = true; }, noConverter, throughAggregate, d3},
      {"io proc status", [](CaptureScene& s) { s.hardware.ioProcStatus = -4; },
       "The IO proc could not be created (-4).", throughIOProc, d4},
      {"io proc id 0", [](CaptureScene& s) { s.hardware.nextProcID = 0; }, "The IO proc could not be created (0).",
       throughIOProc, d4},
      {"device start", [](CaptureScene& s) { s.hardware.startStatus = 560227702; },
       "The aggregate device would not start (560227702).", throughStart, d5},
  };
  for (const auto& c : cases) {
    CaptureScene s;
    s.settings.debug = true;
    s.hardware.setFormat(11, testing::float32Format(48000, 2));
    c.fault(s);
    auto tap = s.makeTap();
    EXPECT_EQ(tap->start(), TapError(c.message)) << c.name;
    EXPECT_EQ(s.hardware.takeLifecycleCalls(), c.lifecycle) << c.name;
    EXPECT_EQ(s.output.takeEventNames(), c.debugSteps) << c.name;
    EXPECT_FALSE(tap->isRunning()) << c.name;
    EXPECT_TRUE(s.hardware.liveTaps.empty()) << c.name;
    EXPECT_TRUE(s.hardware.liveAggregates.empty()) << c.name;
    EXPECT_EQ(tap->tapID(), 0u) << c.name;
    EXPECT_EQ(tap->aggregateID(), 0u) << c.name;
    // Idle after the failure: stop sends nothing, and no IO cycle gets through.
    tap->stop();
    s.deliverFloats(480);
    s.conversionQueue().runPending();
    EXPECT_TRUE(s.output.takeEventNames().empty()) << c.name;
    EXPECT_TRUE(s.output.frames.empty()) << c.name;
  }
}

TEST_F(SystemAudioTapTest, ConverterMessageWritesTheRateWithAFraction) {
  const std::vector<std::pair<double, std::string>> cases = {
      {48000, "48000.0"}, {44100, "44100.0"}, {22050.5, "22050.5"}, {0, "0.0"},
      {0.1, "0.1"},       {1e22, "10000000000000000000000.0"},
  };
  for (const auto& [rate, text] : cases) EXPECT_EQ(formatSampleRate(rate), text);
  scene.hardware.setFormat(11, testing::float32Format(44100, 6));
  scene.converters.failConverter = true;
  auto tap = scene.makeTap();
  EXPECT_EQ(tap->start(), TapError("No converter from the tap's format (44100.0 Hz, 6 ch)."));
}

TEST_F(SystemAudioTapTest, StartWhileRunningAndStopWhileIdleDoNothing) {
  auto tap = scene.makeTap();
  tap->stop();
  EXPECT_TRUE(scene.hardware.takeCalls().empty());
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.hardware.takeCalls();
  scene.output.takeEvents();
  EXPECT_EQ(tap->start(), std::nullopt);
  EXPECT_TRUE(scene.hardware.takeCalls().empty());
  EXPECT_TRUE(scene.output.takeEvents().empty());
  tap->stop();
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), kDestroyAll);
  tap->stop();
  EXPECT_TRUE(scene.hardware.takeCalls().empty());
  EXPECT_EQ(scene.output.takeEventNames(), (Calls{"stopped"}));
}

TEST_F(SystemAudioTapTest, StopTearsDownThenFlushesThenReports) {
  scene.settings.debug = true;
  auto tap = scene.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.converter().script.push_back({1000});
  ASSERT_TRUE(scene.deliverFloats(2000));
  scene.conversionQueue().runPending();
  EXPECT_TRUE(scene.output.frames.empty());
  scene.output.journal.clear();
  scene.hardware.takeCalls();

  tap->stop();
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), kDestroyAll);
  EXPECT_FALSE(scene.hardware.deviceRunning);
  EXPECT_EQ(scene.output.journal, (Calls{"frame 2000", "event debug", "event stopped"}));
  const std::string frame = scene.output.takeFrames().at(0);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(static_cast<std::uint8_t>(frame[2 * i]) | static_cast<std::uint8_t>(frame[2 * i + 1]) << 8, i);
  }
  // Nothing pending is left for the next capture.
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.output.journal.clear();
  tap->stop();
  EXPECT_EQ(scene.output.journal, (Calls{"event debug", "event stopped"}));
}

TEST_F(SystemAudioTapTest, CountersAddUpOverCycles) {
  scene.settings.debug = true;
  auto tap = scene.makeTap();
  const auto stoppedCounters = [&] {
    Json last;
    for (const auto& e : scene.output.takeEvents()) {
      if (e.value("step", "") == "stopped") last = e;
    }
    return std::vector<std::int64_t>{last["ioCalls"], last["ioBytes"], last["convertedFrames"]};
  };
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.deliverFloats(480);  // 1920 bytes → 240 frames at 24000 Hz
  scene.conversionQueue().runPending();
  tap->stop();
  EXPECT_EQ(stoppedCounters(), (std::vector<std::int64_t>{1, 1920, 240}));
  scene.hardware.takeCalls();
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.deliverFloats(960);
  scene.deliverFloats(960);
  scene.conversionQueue().runPending();
  tap->stop();
  EXPECT_EQ(stoppedCounters(), (std::vector<std::int64_t>{3, 1920 + 2 * 3840, 240 + 2 * 480}));
}

TEST_F(SystemAudioTapTest, EachStartMakesNewUUIDs) {
  auto tap = scene.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  tap->stop();
  ASSERT_EQ(tap->start(), std::nullopt);
  const auto& devices = scene.hardware.aggregateDescriptions;
  const auto& taps = scene.hardware.tapDescriptions;
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_NE(devices[0].uid, devices[1].uid);
  EXPECT_EQ(devices[1].uid.rfind("com.vesk.audio-tap.", 0), 0u);
  EXPECT_EQ(devices[1].uid.size(), std::string("com.vesk.audio-tap.").size() + 36);
  EXPECT_NE(taps[0].uuid, taps[1].uuid);
  EXPECT_NE(devices[1].uid, "com.vesk.audio-tap." + taps[1].uuid);
}

TEST_F(SystemAudioTapTest, ExcludedProcessObjectsKeepOrderAndDuplicatesAndSkipUnknown) {
  scene.hardware.processObjects[300] = 1300;
  scene.hardware.failingPIDs = {400};
  EXPECT_THAT(returnExcludedProcessObjects(scene.hardware, scene.process, {300, 100, 999, 400, 300}),
              ElementsAre(1100, 1050, 1300, 1100, 1300));
  EXPECT_EQ(scene.hardware.translatedPIDs, (std::vector<std::int32_t>{100, 50, 300, 100, 999, 400, 300}));
  scene.hardware.processObjects.clear();
  EXPECT_TRUE(returnExcludedProcessObjects(scene.hardware, scene.process, {}).empty());
  // The identifiers are read afresh each time.
  scene.process.own = 7;
  scene.hardware.processObjects = {{7, 1007}};
  EXPECT_THAT(returnExcludedProcessObjects(scene.hardware, scene.process, {}), ElementsAre(1007));
}

TEST_F(SystemAudioTapTest, CheckPermission) {
  auto tap = scene.makeTap();
  EXPECT_TRUE(tap->checkPermission());
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), (Calls{"createProcessTap", "destroyProcessTap 11"}));
  scene.hardware.setFailing(11, kAudioTapPropertyFormat, -1);
  EXPECT_FALSE(tap->checkPermission());
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), (Calls{"createProcessTap", "destroyProcessTap 11"}));
  scene.hardware.tapStatus = -1;
  EXPECT_FALSE(tap->checkPermission());
  scene.hardware.tapStatus = 0;
  scene.hardware.nextTapID = 0;
  EXPECT_FALSE(tap->checkPermission());
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), (Calls{"createProcessTap", "createProcessTap"}));
  EXPECT_TRUE(scene.output.events.empty());
}

TEST_F(SystemAudioTapTest, CheckPermissionWhileRunningLeavesCaptureAlone) {
  auto tap = scene.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.hardware.nextTapID = 12;
  scene.hardware.setFormat(12, testing::float32Format(48000, 1));
  scene.hardware.takeCalls();
  EXPECT_TRUE(tap->checkPermission());
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), (Calls{"createProcessTap", "destroyProcessTap 12"}));
  EXPECT_TRUE(tap->isRunning());
  EXPECT_EQ(tap->tapID(), 11u);
  EXPECT_EQ(tap->aggregateID(), 21u);
  EXPECT_EQ(scene.hardware.liveTaps, (std::set<AudioObjectID>{11}));
  scene.converter().script.push_back({4800});
  scene.deliverFloats(9600);
  scene.conversionQueue().runPending();
  EXPECT_EQ(scene.output.frames.size(), 1u);
}

TEST_F(SystemAudioTapTest, IOBlockOutlivingTheTapDoesNothing) {
  auto tap = scene.makeTap();
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.deliverFloats(480);  // queues a conversion that holds the tap weakly
  tap.reset();
  EXPECT_TRUE(scene.deliverFloats(480));
  EXPECT_EQ(scene.conversionQueue().runPending(), 1);
  EXPECT_TRUE(scene.converter().calls.empty());
  EXPECT_TRUE(scene.output.frames.empty());
}

TEST(SystemAudioTapUIDTest, TheAggregateDeviceNamesTheTapByTheUIDTheTapReports) {
  struct Case {
    const char* name;
    std::optional<std::string> reported;  // none: the tap says what it was described with
    OSStatus status;
    bool fromTap;
  };
  const std::vector<Case> cases = {
      {"the same", std::nullopt, kAudioHardwareNoError, false},
      {"its own", "6F1E4C1A-0000-4000-8000-00000000AB12", kAudioHardwareNoError, true},
      {"unreadable", "6F1E4C1A-0000-4000-8000-00000000AB12", kAudioHardwareUnknownPropertyError, false},
  };
  for (const auto& c : cases) {
    testing::CaptureScene s;
    s.settings.debug = true;
    s.hardware.tapUID = c.reported;
    s.hardware.tapUIDStatus = c.status;
    auto tap = s.makeTap();
    ASSERT_EQ(tap->start(), std::nullopt) << c.name;
    const std::string described = s.hardware.tapDescriptions.at(0).uuid;
    EXPECT_EQ(s.hardware.aggregateDescriptions.at(0).taps.at(0).uid, c.fromTap ? *c.reported : described) << c.name;
    std::vector<Json> differs;
    for (const auto& e : s.output.takeEvents()) {
      if (e.value("step", "") == "tapUIDDiffers") differs.push_back(e);
    }
    if (c.fromTap) {
      ASSERT_EQ(differs.size(), 1u) << c.name;
      EXPECT_EQ(differs[0], (Json{{"event", "debug"}, {"step", "tapUIDDiffers"}, {"uuid", described}, {"uid", *c.reported}}));
    } else {
      EXPECT_TRUE(differs.empty()) << c.name;
    }
  }
}

}  // namespace
}  // namespace vesk
