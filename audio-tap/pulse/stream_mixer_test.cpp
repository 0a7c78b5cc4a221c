#include "audio-tap/pulse/stream_mixer.h"

#include <gtest/gtest.h>

#include <vector>

namespace vesk::pulse {
namespace {

std::vector<float> pull(StreamMixer& mixer, std::size_t n) {
  std::vector<float> out(n, -99.0f);
  mixer.mix(out.data(), n);
  return out;
}

TEST(StreamMixerTest, StreamsAreHeardOnlyOnceTheirCushionIsFull) {
  StreamMixer mixer(4, 100);
  mixer.addStream(1);
  std::vector<float> ones(5, 1.0f);
  mixer.push(1, ones.data(), 5);
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{0, 0}));  // 5 < cushion 4 + 2
  mixer.push(1, ones.data(), 1);
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{1, 1}));
  EXPECT_EQ(pull(mixer, 3), (std::vector<float>{1, 1, 1}));
  // One left: it plays, the rest is silence, and the cushion is gathered again.
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{1, 0}));
  mixer.push(1, ones.data(), 5);
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{0, 0}));
}

TEST(StreamMixerTest, MixesStreamsAndLeavesOutRemovedOnes) {
  StreamMixer mixer(0, 100);
  for (std::uint32_t key : {1u, 2u}) mixer.addStream(key);
  std::vector<float> a{0.25f, 0.25f}, b{0.5f, -0.5f};
  mixer.push(1, a.data(), 2);
  mixer.push(2, b.data(), 2);
  mixer.push(3, b.data(), 2);  // never added: ignored
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{0.75f, -0.25f}));
  mixer.push(1, a.data(), 2);
  mixer.push(2, b.data(), 2);
  mixer.removeStream(2);
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{0.25f, 0.25f}));
  EXPECT_EQ(mixer.streamCount(), 1u);
}

TEST(StreamMixerTest, HolesAreSilenceAndARunawayStreamIsTrimmed) {
  StreamMixer mixer(2, 10);
  mixer.addStream(7);
  mixer.pushSilence(7, 3);
  EXPECT_EQ(pull(mixer, 1), (std::vector<float>{0}));
  std::vector<float> ramp(20);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i);
  mixer.clear();
  mixer.addStream(7);
  mixer.push(7, ramp.data(), ramp.size());  // 20 > 10: back to the newest 2
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{0, 0}));  // cushion 2 + 2 not there yet
  mixer.push(7, ramp.data(), 2);
  EXPECT_EQ(pull(mixer, 2), (std::vector<float>{18, 19}));
}

}  // namespace
}  // namespace vesk::pulse
