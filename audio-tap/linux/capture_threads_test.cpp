// SystemAudioTap with real thread queues: IO cycles arrive from another thread
// while the main thread starts and stops capture. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "audio-tap/capture/system_audio_tap.h"
#include "audio-tap/capture/testing/fake_converter.h"
#include "audio-tap/capture/testing/fake_hardware.h"
#include "audio-tap/capture/uuid.h"
#include "audio-tap/linux/thread_queue.h"
#include "audio-tap/process/testing/fake_process_info.h"
#include "audio-tap/process/testing/manual_queue.h"
#include "audio-tap/process/testing/recording_channels.h"

namespace vesk {
namespace {

TEST(CaptureThreadsTest, FramesStayWholeAndInOrderAcrossStartStopCycles) {
  testing::FakeAudioHardware hardware;
  hardware.processObjects = {{100, 1100}};
  hardware.setFormat(11, testing::float32Format(48000, 1));
  hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 40);
  hardware.setString(40, kAudioDevicePropertyDeviceUID, "Speakers");
  testing::FakeConverterFactory converters;
  testing::FakeProcessInfo process{100, 50};
  testing::RecordingChannels output;
  Settings settings;
  settings.debug = true;
  auto tap = SystemAudioTap::make(
      CaptureContext{hardware, converters, process, output, settings,
                     [](const std::string& label, QualityOfService) { return ThreadQueue::startOnOwnThread(label); },
                     makeRandomUUID},
      {});

  std::atomic<bool> done{false};
  std::thread device([&] {
    std::vector<float> samples(1024, 0.5f);
    AudioBuffer buffer{1, 4096, samples.data()};
    while (!done.load()) hardware.deliver({1, &buffer});
  });
  int cycles = 0;
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(tap->start(), std::nullopt);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(tap->checkPermission());
    tap->stop();
    ++cycles;
  }
  done.store(true);
  device.join();

  // Every sample the converter made reached a frame, in order, and every frame but
  // the last one of a cycle is full.
  int expected = 0;
  std::size_t shortFrames = 0;
  for (const auto& frame : output.takeFrames()) {
    ASSERT_EQ(frame.size() % 2, 0u);
    if (frame.size() != 9600) ++shortFrames;
    for (std::size_t i = 0; i < frame.size(); i += 2) {
      const auto sample = static_cast<std::int16_t>(static_cast<std::uint8_t>(frame[i]) |
                                                    static_cast<std::uint8_t>(frame[i + 1]) << 8);
      ASSERT_EQ(sample, static_cast<std::int16_t>(expected++));
    }
  }
  EXPECT_LE(shortFrames, static_cast<std::size_t>(cycles));
  std::size_t stopped = 0;
  for (const auto& e : output.takeEvents()) stopped += e["event"] == "stopped" ? 1 : 0;
  EXPECT_EQ(stopped, static_cast<std::size_t>(cycles));
  EXPECT_EQ(tap->counters().convertedFrames, expected);
}

// Rebuilds on the main thread while IO cycles keep arriving: buffers of the old
// build are converted before its converter goes, the filled silence sits between
// the two builds' samples, and nothing is lost or reordered.
TEST(CaptureThreadsTest, RebuildsKeepTheStreamWholeAndInOrder) {
  testing::FakeAudioHardware hardware;
  hardware.setFormat(11, testing::float32Format(48000, 1));
  hardware.setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, 40);
  hardware.setString(40, kAudioDevicePropertyDeviceUID, "Speakers");
  testing::FakeConverterFactory converters;
  testing::FakeProcessInfo process{100, 50};
  testing::RecordingChannels output;
  Settings settings;
  testing::ManualClock clock;
  testing::ManualQueue mainQueue(clock);
  auto tap = SystemAudioTap::make(
      CaptureContext{hardware, converters, process, output, settings,
                     [](const std::string& label, QualityOfService) { return ThreadQueue::startOnOwnThread(label); },
                     makeRandomUUID, &mainQueue, &clock},
      {});
  ASSERT_EQ(tap->start(), std::nullopt);

  std::atomic<bool> done{false};
  std::thread device([&] {
    std::vector<float> samples(1024, 0.5f);
    AudioBuffer buffer{1, 4096, samples.data()};
    while (!done.load()) {
      hardware.deliver({1, &buffer});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // slower than the clock below
    }
  });
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    clock.seconds += 1.0;  // capture is counted down for long enough to be filled
    hardware.setFormat(11, testing::float32Format(i % 2 ? 48000 : 44100, 1));
    hardware.notify(11, kAudioTapPropertyFormat);
    mainQueue.runPending();
    ASSERT_TRUE(tap->isRunning());
  }
  done.store(true);
  device.join();
  tap->stop();

  int expected = 0;
  int zeros = 0;
  for (const auto& frame : output.takeFrames()) {
    for (std::size_t i = 0; i < frame.size(); i += 2) {
      const auto sample = static_cast<std::int16_t>(static_cast<std::uint8_t>(frame[i]) |
                                                    static_cast<std::uint8_t>(frame[i + 1]) << 8);
      if (sample == static_cast<std::int16_t>(expected)) {
        ++expected;
      } else {
        ASSERT_EQ(sample, 0) << "after " << expected;
        ++zeros;
      }
    }
  }
  EXPECT_EQ(tap->counters().convertedFrames, expected);
  EXPECT_GT(zeros, 0);
}

}  // namespace
}  // namespace vesk
