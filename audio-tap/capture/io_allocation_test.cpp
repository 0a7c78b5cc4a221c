// The IO step runs on the platform's real-time IO thread: it must not allocate. This
// binary counts every heap allocation (by replacing the global operator new) while
// the IO block of a running capture handles cycles, then lets the conversion queue
// take them and checks that the audio came through.
#include <gtest/gtest.h>

#include "audio-tap/capture/testing/capture_scene.h"
#include "common/allocation_counter.h"

namespace vesk {
namespace {

TEST(IOAllocationTest, TheIOBlockAllocatesNothingPerCycle) {
  struct Case {
    const char* name;
    AudioStreamBasicDescription format;
    std::uint32_t buffers;
  };
  const std::vector<Case> cases = {
      {"mono float", testing::float32Format(48000, 1), 1},
      {"stereo float, one buffer per channel", testing::float32Format(44100, 2, false), 2},
  };
  for (const auto& c : cases) {
    testing::CaptureScene s;
    s.hardware.setFormat(11, c.format);
    auto tap = s.makeTap();
    ASSERT_EQ(tap->start(), std::nullopt) << c.name;
    const AudioDeviceIOBlock block = s.hardware.ioBlock;  // what the platform calls
    std::vector<float> samples(512, 0.25f);
    std::vector<AudioBuffer> list(c.buffers, AudioBuffer{1, 512 * 4, samples.data()});

    // The count is live: an allocation on this thread is seen.
    resetCountedAllocations();
    setCountingAllocations(true);
    std::vector<float> probe;
    probe.reserve(100);
    setCountingAllocations(false);
    ASSERT_EQ(countedAllocations(), 1u) << probe.capacity();

    resetCountedAllocations();
    for (int round = 0; round < 10; ++round) {
      setCountingAllocations(true);
      for (int cycle = 0; cycle < 50; ++cycle) block({c.buffers, list.data()});
      setCountingAllocations(false);
      s.conversionQueue().runPending();  // allocates as it likes, off the IO thread
    }
    EXPECT_EQ(countedAllocations(), 0u) << c.name;
    EXPECT_EQ(tap->counters().ioCalls, 500) << c.name;
    EXPECT_EQ(s.converter().calls.size(), 500u) << c.name;
    tap->stop();
  }
}

}  // namespace
}  // namespace vesk
