#include "audio-tap/input-watch/input_activity_watcher.h"

#include <gtest/gtest.h>

#include "audio-tap/capture/testing/fake_hardware.h"
#include "audio-tap/process/testing/fake_process_table.h"
#include "audio-tap/process/testing/manual_queue.h"
#include "audio-tap/process/testing/recording_channels.h"

namespace vesk {
namespace {

using Calls = std::vector<std::string>;
constexpr AudioObjectID kSystem = kAudioObjectSystemObject;

class InputActivityWatcherTest : public ::testing::Test {
 protected:
  InputActivityWatcherTest() {
    hardware.setUInt32(kSystem, kAudioHardwarePropertyDefaultInputDevice, 77);
    hardware.setUInt32(77, kAudioDevicePropertyDeviceIsRunningSomewhere, 1);
    hardware.setProcessList({501, 502});
    hardware.addProcess(501, 4242, true, "org.example.Meeting");
    hardware.addProcess(502, 4343, false, "com.apple.Music");
  }

  void setDefaultInput(std::uint32_t device) {
    hardware.setUInt32(kSystem, kAudioHardwarePropertyDefaultInputDevice, device);
  }
  std::vector<std::string> listenerCalls() {
    Calls kept;
    for (auto& call : hardware.takeCalls()) {
      if (call.find("Listener") != std::string::npos) kept.push_back(call);
    }
    return kept;
  }
  std::size_t eventCount() { return output.takeEvents().size(); }

  testing::ManualClock clock;
  testing::ManualQueue mainQueue{clock, "main"};
  testing::FakeAudioHardware hardware;
  testing::RecordingChannels output;
  std::shared_ptr<InputActivityWatcher> watcher =
      InputActivityWatcher::make(hardware, mainQueue, clock, output, {100, 50, 4343});
};

TEST_F(InputActivityWatcherTest, StartRegistersAndReportsAtOnce) {
  watcher->start();
  EXPECT_EQ(listenerCalls(), (Calls{"addListener 1 dIn ", "addListener 77 gone"}));
  const auto events = output.takeEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].dump(),
            R"({"event":"inputActivity","running":true,"processes":[{"pid":4242,"bundleId":"org.example.Meeting"}]})");
  EXPECT_EQ(watcher->deviceID(), 77u);
  for (const auto& l : hardware.listeners) EXPECT_EQ(l.queue, &mainQueue);

  watcher->start();  // already watching
  EXPECT_EQ(eventCount(), 0u);
  EXPECT_TRUE(hardware.takeCalls().empty());
}

TEST_F(InputActivityWatcherTest, WithoutInputDeviceRunningIsFalse) {
  hardware.setFailing(kSystem, kAudioHardwarePropertyDefaultInputDevice, -1);
  watcher->start();
  EXPECT_EQ(listenerCalls(), (Calls{"addListener 1 dIn "}));
  const auto events = output.takeEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["running"], false);
  EXPECT_EQ(events[0]["processes"].size(), 1u);
  // A device that comes up later is noticed through the default-device listener.
  setDefaultInput(77);
  hardware.notify(kSystem, kAudioHardwarePropertyDefaultInputDevice);
  mainQueue.advance(1.0);
  EXPECT_EQ(watcher->deviceID(), 77u);
  EXPECT_EQ(output.takeEvents().at(0)["running"], true);
}

TEST_F(InputActivityWatcherTest, RunningStateUnreadableOrZeroIsFalse) {
  hardware.setUInt32(77, kAudioDevicePropertyDeviceIsRunningSomewhere, 0);
  watcher->start();
  EXPECT_EQ(output.takeEvents().at(0)["running"], false);
  hardware.setFailing(77, kAudioDevicePropertyDeviceIsRunningSomewhere, -1);
  watcher->emitNow();
  EXPECT_EQ(output.takeEvents().at(0)["running"], false);
}

TEST_F(InputActivityWatcherTest, BurstIsDebouncedToOneEventASecondAfterTheLast) {
  watcher->start();
  output.takeEvents();
  for (int i = 0; i < 5; ++i) {
    hardware.notify(77, kAudioDevicePropertyDeviceIsRunningSomewhere);
    mainQueue.advance(i < 4 ? 0.125 : 0.0);  // five notifications within 0.5 s
  }
  mainQueue.advance(0.999);
  EXPECT_EQ(eventCount(), 0u);
  mainQueue.advance(0.002);
  EXPECT_EQ(eventCount(), 1u);
  mainQueue.advance(10);
  EXPECT_EQ(eventCount(), 0u);
}

TEST_F(InputActivityWatcherTest, NotificationsKeepHoldingTheEventBack) {
  watcher->start();
  output.takeEvents();
  for (int i = 0; i < 10; ++i) {
    hardware.notify(77, kAudioDevicePropertyDeviceIsRunningSomewhere);
    mainQueue.advance(0.9);
  }
  EXPECT_EQ(eventCount(), 0u);
  mainQueue.advance(0.11);
  EXPECT_EQ(eventCount(), 1u);
}

TEST_F(InputActivityWatcherTest, StopCancelsThePendingEventAndRemovesListeners) {
  watcher->start();
  hardware.takeCalls();
  output.takeEvents();
  hardware.notify(77, kAudioDevicePropertyDeviceIsRunningSomewhere);
  mainQueue.advance(0.5);
  watcher->stop();
  EXPECT_EQ(listenerCalls(), (Calls{"removeListener 77 gone", "removeListener 1 dIn "}));
  EXPECT_TRUE(hardware.listeners.empty());
  mainQueue.advance(5);
  EXPECT_EQ(eventCount(), 0u);
  watcher->stop();
  EXPECT_TRUE(hardware.takeCalls().empty());

  watcher->start();  // from idle again, exactly like the first time
  EXPECT_EQ(listenerCalls(), (Calls{"addListener 1 dIn ", "addListener 77 gone"}));
  EXPECT_EQ(eventCount(), 1u);
}

TEST_F(InputActivityWatcherTest, TwoEmitsWithoutChangeAreIdentical) {
  watcher->start();
  watcher->emitNow();
  const auto events = output.takeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], events[1]);
}

TEST_F(InputActivityWatcherTest, DefaultDeviceChangeMovesTheListener) {
  watcher->start();
  hardware.takeCalls();
  output.takeEvents();

  setDefaultInput(78);
  hardware.notify(kSystem, kAudioHardwarePropertyDefaultInputDevice);
  mainQueue.runPending();
  EXPECT_EQ(listenerCalls(), (Calls{"removeListener 77 gone", "addListener 78 gone"}));
  EXPECT_EQ(watcher->deviceID(), 78u);
  hardware.notify(77, kAudioDevicePropertyDeviceIsRunningSomewhere);  // the old device is no longer heard
  EXPECT_EQ(mainQueue.queuedItems(), 0u);
  mainQueue.advance(1.0);
  const auto moved = output.takeEvents();
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0]["running"], false);  // 78's state cannot be read

  // Same device again: the listener stays, an event still follows.
  hardware.notify(kSystem, kAudioHardwarePropertyDefaultInputDevice);
  mainQueue.advance(1.0);
  EXPECT_TRUE(listenerCalls().empty());
  EXPECT_EQ(eventCount(), 1u);

  // The device goes away.
  setDefaultInput(0);
  hardware.notify(kSystem, kAudioHardwarePropertyDefaultInputDevice);
  mainQueue.advance(1.0);
  EXPECT_EQ(listenerCalls(), (Calls{"removeListener 78 gone"}));
  EXPECT_EQ(watcher->deviceID(), 0u);
  EXPECT_EQ(output.takeEvents().at(0)["running"], false);
}

TEST_F(InputActivityWatcherTest, ListenersDoNothingOnceTheWatcherIsGone) {
  watcher->start();
  hardware.notify(77, kAudioDevicePropertyDeviceIsRunningSomewhere);
  mainQueue.runPending();  // a debounced emit is pending
  output.takeEvents();
  watcher.reset();
  hardware.notify(77, kAudioDevicePropertyDeviceIsRunningSomewhere);
  hardware.notify(kSystem, kAudioHardwarePropertyDefaultInputDevice);
  mainQueue.advance(5);
  EXPECT_EQ(eventCount(), 0u);
}

TEST(InputProcessesTest, ListsRunningInputInListOrderAndNeverReadsExcludedBundles) {
  testing::FakeAudioHardware hw;
  hw.setProcessList({10, 11, 12, 13, 14, 15, 16, 17});
  hw.addProcess(10, 300, true, "b.first");
  hw.addProcess(11, 100, true, "own");        // excluded
  hw.addProcess(12, 301, false, "idle");       // not running input
  hw.addProcess(13, 302, true, std::nullopt);  // bundle unreadable
  hw.addProcess(14, 50, true, "parent");       // excluded
  hw.addProcess(15, -5, true, "a.negative");
  hw.addProcess(16, 303, true, "pid unreadable");
  hw.setFailing(16, kAudioProcessPropertyPID, -1);
  hw.addProcess(17, 304, true, "input unreadable");
  hw.setFailing(17, kAudioProcessPropertyIsRunningInput, -1);
  const Json processes = returnInputProcesses(hw, {100, 50, 999});
  EXPECT_EQ(processes.dump(),
            R"([{"pid":300,"bundleId":"b.first"},{"pid":302,"bundleId":""},{"pid":-5,"bundleId":"a.negative"}])");
  for (const auto& call : hw.takeCalls()) {
    EXPECT_NE(call, "string 11 pbid");
    EXPECT_NE(call, "string 14 pbid");
    EXPECT_NE(call, "string 12 pbid");
  }
  testing::FakeAudioHardware empty;
  EXPECT_EQ(returnInputProcesses(empty, {}).dump(), "[]");
}

TEST_F(InputActivityWatcherTest, WithDescendantsTheHostsRecordersAreLeftOutAtEachReport) {
  testing::FakeProcessTable table;
  table.add(50, 1, 10);
  table.add(100, 50, 20);
  table.add(4242, 80, 30);  // unrelated at first
  hardware.setProcessList({501, 503});
  hardware.addProcess(503, 4545, true, "child.recorder");
  auto excluded = std::make_shared<ExcludedProcesses>(std::vector<ProcessID>{100, 50}, table);
  auto withTree = InputActivityWatcher::make(hardware, mainQueue, clock, output, excluded);
  withTree->start();
  table.add(4545, 50, 40);  // the host's recorder starts: the next report leaves it out
  withTree->emitNow();
  const auto events = output.takeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["processes"].size(), 2u);
  EXPECT_EQ(events[1]["processes"].dump(), R"([{"pid":4242,"bundleId":"org.example.Meeting"}])");
}

}  // namespace
}  // namespace vesk
