#include "audio-tap/process/command_handler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "audio-tap/capture/testing/capture_scene.h"
#include "common/fd_io.h"

namespace vesk {
namespace {

using Names = std::vector<std::string>;

class CommandHandlerTest : public ::testing::Test {
 protected:
  Json only(const std::string& command) {
    handler.handle(command);
    auto events = scene.output.takeEvents();
    EXPECT_EQ(events.size(), 1u) << command;
    return events.empty() ? Json() : events[0];
  }

  testing::CaptureScene scene;
  testing::ManualQueue mainQueue{scene.clock, "main"};
  std::shared_ptr<SystemAudioTap> tap = scene.makeTap();
  std::shared_ptr<InputActivityWatcher> watcher =
      InputActivityWatcher::make(scene.hardware, mainQueue, scene.clock, scene.output, {100, 50});
  int exits = 0;
  CommandHandler handler{*tap, *watcher, scene.output, [this] { ++exits; }};
};

TEST_F(CommandHandlerTest, UnknownAndEmptyLines) {
  const std::vector<std::pair<std::string, std::string>> unknown = {
      {"Start", "Unknown command: Start"},
      {"start now", "Unknown command: start now"},
      {"STOP", "Unknown command: STOP"},
      {"quit!", "Unknown command: quit!"},
      {"{\"cmd\":\"start\"}", "Unknown command: {\"cmd\":\"start\"}"},
      {std::string("start\0", 6), std::string("Unknown command: start\0", 23)},
  };
  for (const auto& [line, message] : unknown) {
    EXPECT_EQ(only(line), (Json{{"event", "error"}, {"message", message}})) << line;
  }
  handler.handle("");
  EXPECT_TRUE(scene.output.takeEvents().empty());
  EXPECT_EQ(exits, 0);
}

TEST_F(CommandHandlerTest, CommandsReachTheirObjects) {
  EXPECT_EQ(only("checkPermission"), (Json{{"event", "permission"}, {"granted", true}}));
  EXPECT_EQ(only("start")["event"], "ready");
  handler.handle("start");
  EXPECT_TRUE(scene.output.takeEvents().empty());
  EXPECT_EQ(only("checkPermission")["granted"], true);
  EXPECT_EQ(only("stop")["event"], "stopped");
  handler.handle("stop");
  EXPECT_TRUE(scene.output.takeEvents().empty());
  EXPECT_EQ(only("watchInput")["event"], "inputActivity");
  handler.handle("watchInput");
  handler.handle("unwatchInput");
  handler.handle("unwatchInput");
  EXPECT_TRUE(scene.output.takeEvents().empty());
  EXPECT_FALSE(watcher->isWatching());
}

TEST_F(CommandHandlerTest, FailedStartIsOneErrorAndTheProcessGoesOn) {
  scene.hardware.tapStatus = kAudioHardwareNotRunningError;
  EXPECT_EQ(only("start"),
            (Json{{"event", "error"}, {"message", "The system audio tap could not be created (1937010544)."}}));
  EXPECT_EQ(only("checkPermission")["granted"], false);
  handler.handle("stop");
  EXPECT_TRUE(scene.output.takeEvents().empty());
  scene.hardware.tapStatus = 0;
  EXPECT_EQ(only("start")["event"], "ready");
}

TEST_F(CommandHandlerTest, QuitStopsEverythingThenEnds) {
  handler.handle("watchInput");
  handler.handle("start");
  scene.output.takeEvents();
  scene.converter().script.push_back({100});
  scene.deliverFloats(480);
  scene.conversionQueue().runPending();
  scene.output.journal.clear();
  handler.handle("quit");
  EXPECT_EQ(scene.output.journal, (Names{"frame 200", "event stopped"}));
  EXPECT_FALSE(watcher->isWatching());
  EXPECT_FALSE(tap->isRunning());
  EXPECT_EQ(exits, 1);

  // Idle: nothing is sent before the end.
  scene.output.journal.clear();
  handler.shutdown();
  EXPECT_TRUE(scene.output.journal.empty());
  EXPECT_EQ(exits, 2);
}

TEST_F(CommandHandlerTest, ReaderTrimsHandsOverInOrderAndShutsDownAtEndOfInput) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    writeAll(fds[1], "  checkPermission \r\n\n\t\nStart\n\xFF\nstart");  // last line without a line feed
    ::close(fds[1]);
  });
  readCommands(fds[0], mainQueue, handler);
  writer.join();
  ::close(fds[0]);
  EXPECT_EQ(scene.output.takeEventNames(), (Names{"permission", "error", "error", "ready", "stopped"}));
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(mainQueue.syncCalls, 7);  // one per line, blank ones too, and the shutdown
}

}  // namespace
}  // namespace vesk
