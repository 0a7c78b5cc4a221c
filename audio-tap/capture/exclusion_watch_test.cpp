#include "audio-tap/capture/exclusion_watch.h"

#include <gtest/gtest.h>

#include "audio-tap/capture/testing/capture_scene.h"
#include "audio-tap/process/testing/fake_process_table.h"

namespace vesk {
namespace {

using Calls = std::vector<std::string>;
using Objects = std::vector<AudioObjectID>;

// The helper (100) under the host (50), which has a child (60); 80 is unrelated.
class ExclusionUpdateTest : public ::testing::Test {
 protected:
  ExclusionUpdateTest() {
    table.add(1, 0, 1);
    table.add(50, 1, 10);
    table.add(100, 50, 20);
    table.add(60, 50, 30);
    table.add(80, 1, 40);
    scene.hardware.processObjects = {{100, 1100}, {50, 1050}, {60, 1060}, {70, 1070}, {80, 1080}};
  }

  /// The host starts a grandchild (70, under 60) that plays.
  void grandchildStarts() {
    table.add(70, 60, 50);
    scene.hardware.notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    mainQueue.runPending();
  }

  testing::FakeProcessTable table;
  testing::CaptureScene scene;
  testing::ManualQueue mainQueue{scene.clock, "main"};
  std::shared_ptr<ExcludedProcesses> excluded = std::make_shared<ExcludedProcesses>(std::vector<ProcessID>{100, 50}, table);
  std::shared_ptr<SystemAudioTap> tap = scene.makeTap({}, excluded);
  bool watching = false;  // whether input reports use the set
  std::shared_ptr<ExclusionWatch> watch =
      ExclusionWatch::make(scene.hardware, mainQueue, scene.clock, tap, excluded, [this] { return watching; });
};

TEST_F(ExclusionUpdateTest, TheTapLeavesOutTheTreeAndIsUpdatedInPlace) {
  watch->start();
  ASSERT_EQ(tap->start(), std::nullopt);
  const TapDescription created = scene.hardware.tapDescriptions.at(0);
  EXPECT_EQ(created.excludedProcesses, (Objects{1100, 1050, 1060}));
  EXPECT_TRUE(created.excludeDescendants);
  scene.hardware.takeLifecycleCalls();

  grandchildStarts();
  ASSERT_EQ(scene.hardware.tapUpdates.size(), 1u);
  const TapDescription& updated = scene.hardware.tapUpdates[0];
  EXPECT_EQ(updated.excludedProcesses, (Objects{1100, 1050, 1060, 1070}));
  EXPECT_EQ(updated.uuid, created.uuid);
  EXPECT_EQ(updated.name, created.name);
  EXPECT_TRUE(updated.isPrivate && updated.isMono && updated.isExclusive && updated.excludeDescendants);
  // In place: nothing is stopped, destroyed or made again.
  EXPECT_EQ(scene.hardware.takeLifecycleCalls(), (Calls{"updateProcessTap 11"}));
  EXPECT_TRUE(tap->isRunning());

  // Nothing changed: no update. The unrelated process never joins.
  scene.hardware.notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
  mainQueue.runPending();
  mainQueue.advance(ExclusionWatch::refreshSeconds);
  EXPECT_EQ(scene.hardware.tapUpdates.size(), 1u);

  // The child ends: the regular refresh takes it off the list.
  table.remove(60);
  table.reparent(70, 1);
  mainQueue.advance(ExclusionWatch::refreshSeconds);
  ASSERT_EQ(scene.hardware.tapUpdates.size(), 2u);
  EXPECT_EQ(scene.hardware.tapUpdates[1].excludedProcesses, (Objects{1100, 1050, 1070}));
}

TEST_F(ExclusionUpdateTest, AFailedUpdateIsTriedAgainAndEachNewStatusReportedOnce) {
  scene.settings.debug = true;
  watch->start();
  ASSERT_EQ(tap->start(), std::nullopt);
  scene.output.takeEvents();
  const auto failures = [&] {
    std::vector<Json> found;
    for (const auto& e : scene.output.takeEvents()) {
      if (e.value("step", "") == "exclusionUpdateFailed") found.push_back(e);
    }
    return found;
  };
  scene.hardware.updateStatus = kAudio_ParamError;
  grandchildStarts();
  mainQueue.advance(2 * ExclusionWatch::refreshSeconds);
  EXPECT_TRUE(scene.hardware.tapUpdates.empty());
  EXPECT_EQ(failures(), (std::vector<Json>{{{"event", "debug"}, {"step", "exclusionUpdateFailed"}, {"status", -50}}}));
  const auto hog = static_cast<OSStatus>(fourCharCode("!hog"));
  scene.hardware.updateStatus = hog;
  mainQueue.advance(2 * ExclusionWatch::refreshSeconds);
  EXPECT_EQ(failures(), (std::vector<Json>{{{"event", "debug"}, {"step", "exclusionUpdateFailed"}, {"status", hog}}}));
  scene.hardware.updateStatus = kAudioHardwareNoError;
  mainQueue.advance(ExclusionWatch::refreshSeconds);
  ASSERT_EQ(scene.hardware.tapUpdates.size(), 1u);
  EXPECT_EQ(scene.hardware.tapUpdates[0].excludedProcesses, (Objects{1100, 1050, 1060, 1070}));
}

TEST_F(ExclusionUpdateTest, WithoutCaptureTheTreeIsWalkedOnlyForInputReports) {
  watch->start();
  mainQueue.advance(2 * ExclusionWatch::refreshSeconds);
  EXPECT_EQ(table.listings, 0);
  watching = true;
  mainQueue.advance(2 * ExclusionWatch::refreshSeconds);
  EXPECT_EQ(table.listings, 2);
  grandchildStarts();
  EXPECT_EQ(table.listings, 3);
  EXPECT_TRUE(scene.hardware.tapUpdates.empty());

  // A stopped tap is not updated; the next start is made from the tree as it is.
  ASSERT_EQ(tap->start(), std::nullopt);
  tap->stop();
  tap->updateExclusion();
  EXPECT_TRUE(scene.hardware.tapUpdates.empty());
  watch.reset();  // a refresh due after the watch is gone does nothing
  mainQueue.advance(ExclusionWatch::refreshSeconds);
  EXPECT_TRUE(scene.hardware.tapUpdates.empty());
}

TEST(ExclusionWithoutDescendantsTest, NothingChanges) {
  testing::CaptureScene scene;
  auto tap = scene.makeTap({300});
  scene.hardware.processObjects[300] = 1300;
  ASSERT_EQ(tap->start(), std::nullopt);
  EXPECT_FALSE(scene.hardware.tapDescriptions.at(0).excludeDescendants);
  EXPECT_EQ(scene.hardware.tapDescriptions.at(0).excludedProcesses, (Objects{1100, 1050, 1300}));
  scene.hardware.processObjects[301] = 1301;
  tap->updateExclusion();
  EXPECT_TRUE(scene.hardware.tapUpdates.empty());
}

}  // namespace
}  // namespace vesk
