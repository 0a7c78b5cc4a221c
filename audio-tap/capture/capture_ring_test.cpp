#include "audio-tap/capture/capture_ring.h"

#include <gtest/gtest.h>

#include <numeric>

namespace vesk {
namespace {

std::shared_ptr<const AudioFormat> stereoInt16(bool interleaved) {
  return std::make_shared<const AudioFormat>(AudioFormat{int16StreamDescription(48000, 2, interleaved)});
}

// A ring of 10 frames and 3 cycles, non-interleaved: cycles keep their order and
// their bytes across the end of the ring, a full ring drops and counts, and a cycle
// short of bytes (or of buffers) is filled with zeros.
TEST(CaptureRingTest, CyclesWrapKeepOrderAndAFullRingDrops) {
  auto ring = CaptureRing::make(stereoInt16(false), 10, 3);
  ASSERT_TRUE(ring);
  std::vector<std::int16_t> left(8), right(8);
  std::iota(left.begin(), left.end(), 1);
  std::iota(right.begin(), right.end(), 101);
  AudioBuffer both[2] = {{1, 12, left.data()}, {1, 12, right.data()}};
  std::shared_ptr<PcmBuffer> out;
  CaptureRing::Cycle cycle;

  ASSERT_TRUE(ring->pushAudio({2, both}, 6));
  ASSERT_TRUE(ring->pushSilence(240));
  EXPECT_FALSE(ring->pushAudio({2, both}, 6));  // 6 more frames do not fit in 4
  EXPECT_EQ(ring->takeDroppedCycles(), 1u);
  ASSERT_TRUE(ring->pop(out, cycle));
  EXPECT_EQ(cycle.frames, 6u);
  ASSERT_TRUE(ring->pop(out, cycle));
  EXPECT_EQ(cycle.silenceSamples, 240u);

  AudioBuffer leftShort[1] = {{1, 8, left.data()}};  // 4 frames of 6, no right buffer
  ASSERT_TRUE(ring->pushAudio({1, leftShort}, 6));  // frames 6..11: across the end
  ASSERT_TRUE(ring->pop(out, cycle));
  ASSERT_EQ(out->frameLength(), 6u);
  const auto* l = static_cast<const std::int16_t*>(out->audioBufferList().mBuffers[0].mData);
  const auto* r = static_cast<const std::int16_t*>(out->audioBufferList().mBuffers[1].mData);
  EXPECT_EQ(std::vector<std::int16_t>(l, l + 6), (std::vector<std::int16_t>{1, 2, 3, 4, 0, 0}));
  EXPECT_EQ(std::vector<std::int16_t>(r, r + 6), std::vector<std::int16_t>(6, 0));
  EXPECT_FALSE(ring->pop(out, cycle));
  EXPECT_EQ(ring->takeDroppedCycles(), 0u);

  // Three cycles fill the list of cycles even with frames to spare.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring->pushAudio({2, both}, 1));
  EXPECT_FALSE(ring->pushSilence(1));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ring->pop(out, cycle));
    EXPECT_EQ(static_cast<const std::int16_t*>(out->audioBufferList().mBuffers[1].mData)[0], 101);
  }
}

// Digital silence travels as a count: it needs no room for frames, and the buffer
// of the consumer keeps what it held. One sample that is not zero makes it audio.
TEST(CaptureRingTest, ACycleOfZerosIsCountedNotCopied) {
  auto ring = CaptureRing::make(stereoInt16(false), 10, 4);
  std::vector<std::int16_t> zeros(8, 0), sound(8, 0);
  sound[7] = 1;  // the right channel's last frame
  AudioBuffer audio[2] = {{1, 16, sound.data()}, {1, 16, sound.data()}};
  AudioBuffer silent[2] = {{1, 16, zeros.data()}, {1, 16, zeros.data()}};
  AudioBuffer oneSilent[1] = {{1, 16, zeros.data()}};
  std::shared_ptr<PcmBuffer> out;
  CaptureRing::Cycle cycle;

  ASSERT_TRUE(ring->pushAudio({2, audio}, 8));
  ASSERT_TRUE(ring->pushAudio({2, silent}, 8));     // 8 more frames than fit: no room taken
  ASSERT_TRUE(ring->pushAudio({1, oneSilent}, 8));  // a missing buffer is zeros too
  ASSERT_TRUE(ring->pop(out, cycle));
  EXPECT_FALSE(cycle.zeros);
  ASSERT_EQ(static_cast<const std::int16_t*>(out->audioBufferList().mBuffers[0].mData)[7], 1);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(ring->pop(out, cycle));
    EXPECT_TRUE(cycle.zeros);
    EXPECT_EQ(cycle.frames, 8u);
    EXPECT_EQ(static_cast<const std::int16_t*>(out->audioBufferList().mBuffers[0].mData)[7], 1);  // untouched
  }
  EXPECT_EQ(ring->takeDroppedCycles(), 0u);
}

}  // namespace
}  // namespace vesk
