#include "audio-tap/pulse/stream_mixer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk::pulse {
namespace {

std::vector<float> pull(StreamMixer& mixer) {
  std::vector<float> out(mixer.cycleFrames(), -99.0f);
  mixer.mix(out.data());
  return out;
}

TEST(StreamMixerTest, AStreamJoinsWithAWholeCycleAndRunsDryIntoSilence) {
  StreamMixer mixer(2, 100);
  mixer.addStream(1);
  std::vector<float> ones(5, 1.0f);
  EXPECT_FALSE(mixer.push(1, ones.data(), 1));
  EXPECT_FALSE(mixer.ready());
  EXPECT_EQ(pull(mixer), (std::vector<float>{0, 0}));  // not a whole cycle: not heard yet
  EXPECT_FALSE(mixer.anyPlaying());
  EXPECT_TRUE(mixer.push(1, ones.data(), 2));  // 3 held: ready, no cushion kept back
  EXPECT_EQ(pull(mixer), (std::vector<float>{1, 1}));
  EXPECT_TRUE(mixer.anyPlaying());
  EXPECT_FALSE(mixer.ready());  // playing with 1 left: the next cycle waits for it
  EXPECT_EQ(pull(mixer), (std::vector<float>{1, 0}));  // mixed anyway: padded, and it stops
  EXPECT_FALSE(mixer.anyPlaying());
}

void expectNear(const std::vector<float>& got, const std::vector<float>& want, const std::string& name) {
  ASSERT_EQ(got.size(), want.size()) << name;
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-6) << name << " at " << i;
}

TEST(StreamMixerTest, AStreamIsTheAverageOfItsChannelsAndStreamsAreSummed) {
  struct Case {
    const char* name;
    std::uint32_t channels;
    std::vector<float> interleaved;  // two frames
    std::vector<float> mono;
  };
  for (const Case& c : std::vector<Case>{
           {"mono as it is", 1, {0.9f, -0.9f}, {0.9f, -0.9f}},
           {"stereo, equal channels: the level of one", 2, {0.9f, 0.9f, -1.0f, -1.0f}, {0.9f, -1.0f}},
           {"stereo, different channels: their mean", 2, {0.25f, 0.75f, 1.0f, -1.0f}, {0.5f, 0.0f}},
           {"5.1: the mean of six", 6, {0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
            {0.6f, 0.1f}},
       }) {
    StreamMixer mixer(2, 100);
    mixer.addStream(1);
    EXPECT_TRUE(mixer.push(1, c.interleaved.data(), 2, c.channels)) << c.name;
    expectNear(pull(mixer), c.mono, c.name);
  }
  {  // 16-bit samples, full scale 32768
    StreamMixer mixer(2, 100);
    mixer.addStream(1);
    std::vector<std::int16_t> s16{16384, 0, -32768, -32768};
    mixer.push(1, s16.data(), 2, 2);
    expectNear(pull(mixer), {0.25f, -1.0f}, "16-bit stereo");
  }
  // Two loud stereo streams add up beyond full scale, as on a sink: the 16-bit
  // conversion saturates what is left of it.
  StreamMixer mixer(2, 100);
  std::vector<float> loud{0.9f, 0.9f, -0.9f, -0.9f};
  for (std::uint32_t key : {1u, 2u}) {
    mixer.addStream(key);
    mixer.push(key, loud.data(), 2, 2);
  }
  expectNear(pull(mixer), {1.8f, -1.8f}, "two streams");
}

TEST(StreamMixerTest, MixesStreamsWaitsForEveryPlayingOneAndLeavesOutRemovedOnes) {
  StreamMixer mixer(2, 100);
  for (std::uint32_t key : {1u, 2u}) mixer.addStream(key);
  std::vector<float> a{0.25f, 0.25f}, b{0.5f, -0.5f};
  mixer.push(1, a.data(), 2);
  mixer.push(2, b.data(), 2);
  mixer.push(3, b.data(), 2);  // never added: ignored
  EXPECT_EQ(pull(mixer), (std::vector<float>{0.75f, -0.25f}));
  EXPECT_FALSE(mixer.push(1, a.data(), 2));  // stream 2 plays and has nothing yet
  EXPECT_TRUE(mixer.push(2, b.data(), 2));
  mixer.push(1, a.data(), 2);
  mixer.removeStream(2);
  EXPECT_EQ(pull(mixer), (std::vector<float>{0.25f, 0.25f}));
  EXPECT_EQ(mixer.streamCount(), 1u);
}

TEST(StreamMixerTest, HolesAreSilenceAndARunawayStreamIsTrimmed) {
  StreamMixer mixer(2, 10);
  mixer.addStream(7);
  mixer.pushSilence(7, 3);
  EXPECT_EQ(pull(mixer), (std::vector<float>{0, 0}));
  mixer.clear();
  mixer.addStream(7);
  std::vector<float> ramp(20);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i);
  mixer.push(7, ramp.data(), ramp.size());  // 20 > 10: back to the newest two cycles
  EXPECT_EQ(pull(mixer), (std::vector<float>{16, 17}));
  EXPECT_EQ(pull(mixer), (std::vector<float>{18, 19}));
}

}  // namespace
}  // namespace vesk::pulse
