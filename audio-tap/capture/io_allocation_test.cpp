// The IO step runs on the platform's real-time IO thread: it must not allocate. This
// binary counts every heap allocation (by replacing the global operator new) while
// the IO block of a running capture handles cycles, then lets the conversion queue
// take them and checks that the audio came through.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "audio-tap/capture/testing/capture_scene.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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
    allocations.store(0);
    counting.store(true);
    std::vector<float> probe;
    probe.reserve(100);
    counting.store(false);
    ASSERT_EQ(allocations.load(), 1u) << probe.capacity();

    allocations.store(0);
    for (int round = 0; round < 10; ++round) {
      counting.store(true);
      for (int cycle = 0; cycle < 50; ++cycle) block({c.buffers, list.data()});
      counting.store(false);
      s.conversionQueue().runPending();  // allocates as it likes, off the IO thread
    }
    EXPECT_EQ(allocations.load(), 0u) << c.name;
    EXPECT_EQ(tap->counters().ioCalls, 500) << c.name;
    EXPECT_EQ(s.converter().calls.size(), 500u) << c.name;
    tap->stop();
  }
}

}  // namespace
}  // namespace vesk
