#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio-tap/capture/system_audio_tap.h"
#include "audio-tap/capture/testing/capture_scene.h"

namespace vesk {
namespace {

using testing::CaptureScene;
using testing::FakeConverter;

// The samples of a frame payload.
std::vector<int> samplesOf(const std::string& payload) {
  std::vector<int> samples;
  for (std::size_t i = 0; i + 1 < payload.size(); i += 2) {
    samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(payload[i]) |
                                                static_cast<std::uint8_t>(payload[i + 1]) << 8));
  }
  return samples;
}

class PipelineTest : public ::testing::Test {
 protected:
  void startCapture() { ASSERT_EQ(tap->start(), std::nullopt); }
  /// One IO cycle whose conversion yields `frames` samples, converted at once.
  void convert(std::uint32_t frames) {
    scene.converter().script.push_back({frames});
    ASSERT_TRUE(scene.deliverFloats(2 * frames));  // room for `frames` at half the rate
    scene.conversionQueue().runPending();
  }

  CaptureScene scene;
  std::shared_ptr<SystemAudioTap> tap = scene.makeTap();
};

TEST_F(PipelineTest, IOCallsAreCountedBeforeAnyCheck) {
  struct Case {
    const char* name;
    std::vector<AudioBuffer> buffers;
    CaptureCounters expected;
  };
  float data[8] = {};
  const std::vector<Case> cases = {
      {"empty list", {}, {1, 0, 0}},
      {"null data", {{1, 32, nullptr}}, {1, 0, 0}},
      {"zero bytes", {{1, 0, data}}, {1, 0, 0}},
      {"less than one frame", {{1, 3, data}}, {1, 3, 0}},
      {"two frames", {{1, 8, data}}, {1, 8, 1}},
  };
  for (const auto& c : cases) {
    CaptureScene s;
    auto t = s.makeTap();
    ASSERT_EQ(t->start(), std::nullopt);
    s.hardware.deliver({static_cast<std::uint32_t>(c.buffers.size()), c.buffers.data()});
    s.conversionQueue().runPending();
    EXPECT_EQ(t->counters(), c.expected) << c.name;
    EXPECT_EQ(s.converter().calls.size(), c.expected.convertedFrames > 0 ? 1u : 0u) << c.name;
  }
}

TEST_F(PipelineTest, NothingRunsWhileNotRunning) {
  startCapture();
  AudioDeviceIOBlock block = scene.hardware.ioBlock;
  tap->stop();
  float data[480] = {};
  AudioBuffer buffer{1, sizeof data, data};
  block({1, &buffer});  // a late cycle after the device stopped
  scene.conversionQueue().runPending();
  EXPECT_EQ(tap->counters(), (CaptureCounters{1, 0, 0}));
  EXPECT_TRUE(scene.converter().calls.empty());
}

TEST_F(PipelineTest, OutputCapacityFollowsTheRateRatioPlus64) {
  struct Case {
    double rate;
    std::uint32_t frames;
    std::uint32_t capacity;
  };
  const std::vector<Case> cases = {{48000, 512, 320}, {44100, 512, 342}, {44100, 441, 304}, {24000, 1, 65},
                                   {96000, 3, 64}};
  for (const auto& c : cases) {
    CaptureScene s;
    s.hardware.setFormat(11, testing::float32Format(c.rate, 1));
    auto t = s.makeTap();
    ASSERT_EQ(t->start(), std::nullopt);
    std::vector<float> samples(c.frames);
    AudioBuffer buffer{1, c.frames * 4, samples.data()};
    s.hardware.deliver({1, &buffer});
    s.conversionQueue().runPending();
    ASSERT_EQ(s.converter().calls.size(), 1u) << c.rate;
    EXPECT_EQ(s.converter().calls[0].inputFrames, c.frames) << c.rate;
    EXPECT_EQ(s.converter().calls[0].outputCapacity, c.capacity) << c.rate << " " << c.frames;
  }
}

TEST_F(PipelineTest, InputIsOfferedOnceWhole) {
  startCapture();
  convert(100);
  const auto& call = scene.converter().calls.at(0);
  EXPECT_EQ(call.firstStatus, AudioConverterInputStatus::haveData);
  EXPECT_EQ(call.secondStatus, AudioConverterInputStatus::noDataNow);
  EXPECT_FALSE(call.secondGaveBuffer);
  EXPECT_EQ(call.inputFrames, 200u);
}

TEST_F(PipelineTest, NonInterleavedBuffersAreCopiedOneByOne) {
  scene.hardware.setFormat(11, testing::float32Format(48000, 2, /*interleaved=*/false));
  startCapture();
  std::vector<std::uint8_t> left(16, 0x11), right(24, 0x22), extra(16, 0x33);
  std::vector<AudioBuffer> buffers = {{1, 16, left.data()}, {1, 24, right.data()}, {1, 16, extra.data()}};
  scene.hardware.deliver({3, buffers.data()});
  scene.conversionQueue().runPending();
  const auto& call = scene.converter().calls.at(0);
  EXPECT_EQ(call.inputFrames, 4u);  // from the first buffer
  ASSERT_EQ(call.inputBytes.size(), 2u);  // the third delivered buffer has no place
  EXPECT_EQ(call.inputBytes[0], std::vector<std::uint8_t>(16, 0x11));
  EXPECT_EQ(call.inputBytes[1], std::vector<std::uint8_t>(16, 0x22));  // cut to the destination

  // A shorter second buffer fills only its own bytes; the rest stays silent.
  std::vector<std::uint8_t> shortRight(8, 0x44);
  buffers = {{1, 16, left.data()}, {1, 8, shortRight.data()}};
  scene.hardware.deliver({2, buffers.data()});
  scene.conversionQueue().runPending();
  std::vector<std::uint8_t> expected(16, 0);
  std::fill(expected.begin(), expected.begin() + 8, 0x44);
  EXPECT_EQ(scene.converter().calls.at(1).inputBytes[1], expected);
}

TEST_F(PipelineTest, ChunksAcrossConversions) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> conversions;
    std::vector<std::size_t> frameBytes;
    std::size_t lastFrameBytes;  // written at stop; 0 for none
  };
  const std::vector<Case> cases = {
      {"4799 + 1", {4799, 1}, {9600}, 0},
      {"4700 + 5000", {4700, 5000}, {9600, 9600}, 200},
      {"exactly one chunk", {4800}, {9600}, 0},
      {"many small", {1000, 1000, 1000, 1000, 1000}, {9600}, 400},
      {"one large", {14500}, {9600, 9600, 9600}, 200},
      {"short only", {1}, {}, 2},
  };
  for (const auto& c : cases) {
    CaptureScene s;
    auto t = s.makeTap();
    ASSERT_EQ(t->start(), std::nullopt);
    for (auto frames : c.conversions) {
      s.converter().script.push_back({frames});
      s.deliverFloats(2 * frames);
      s.conversionQueue().runPending();
    }
    std::vector<std::size_t> sizes;
    for (const auto& f : s.output.takeFrames()) sizes.push_back(f.size());
    EXPECT_EQ(sizes, c.frameBytes) << c.name;
    t->stop();
    const auto last = s.output.takeFrames();
    EXPECT_EQ(last.size(), c.lastFrameBytes ? 1u : 0u) << c.name;
    if (!last.empty()) {
      EXPECT_EQ(last[0].size(), c.lastFrameBytes) << c.name;
    }
  }
}

TEST_F(PipelineTest, SamplesLeaveInOrder) {
  startCapture();
  convert(4700);
  convert(5000);
  tap->stop();
  std::vector<int> all;
  for (const auto& f : scene.output.frames) {
    auto samples = samplesOf(f);
    all.insert(all.end(), samples.begin(), samples.end());
  }
  ASSERT_EQ(all.size(), 9700u);
  for (int i = 0; i < 9700; ++i) ASSERT_EQ(all[static_cast<std::size_t>(i)], static_cast<std::int16_t>(i));
}

// Once the converter has taken 100 ms of exact zeros, more zeros pass it by as the
// zeros it would have made, the fractions of a sample carried; sound goes through it.
TEST_F(PipelineTest, SettledSilencePassesTheConverterBy) {
  struct Case {
    double rate;
    std::uint32_t framesPerCycle;
    std::size_t converted;  // cycles before the converter is settled
    std::size_t passed;     // zero samples of the 95 or 90 cycles after
  };
  for (const Case& c : {Case{48000, 480, 10, 90 * 240}, Case{44100, 1000, 5, 51700}}) {
    CaptureScene s;
    s.hardware.setFormat(11, testing::float32Format(c.rate, 1));
    auto t = s.makeTap();
    ASSERT_EQ(t->start(), std::nullopt);
    for (int i = 0; i < 100; ++i) s.deliverFloats(c.framesPerCycle, 0.0f);
    s.deliverFloats(c.framesPerCycle, 0.5f);
    s.conversionQueue().runPending();
    EXPECT_EQ(s.converter().calls.size(), c.converted + 1) << c.rate;
    t->stop();
    std::vector<int> all;
    for (const auto& f : s.output.frames) {
      auto samples = samplesOf(f);
      all.insert(all.end(), samples.begin(), samples.end());
    }
    // The fake converter numbers its samples: the passed ones are the zeros between.
    const std::size_t fromConverter = c.converted * static_cast<std::size_t>(c.framesPerCycle * 24000 / c.rate);
    ASSERT_GT(all.size(), fromConverter + c.passed);
    EXPECT_EQ(std::count(all.begin() + static_cast<std::ptrdiff_t>(fromConverter), all.end(), 0),
              static_cast<std::ptrdiff_t>(c.passed)) << c.rate;
    EXPECT_NE(all.back(), 0) << c.rate;
  }
}

// Silence fills the frame under way first, then leaves in whole frames: the same
// samples in the same frames as if it had gone through pendingSamples one by one.
TEST_F(PipelineTest, SilenceFillsTheFrameUnderWayThenLeavesInWholeFrames) {
  startCapture();
  convert(1000);
  scene.mainQueue.advance(2 * kCaptureCheckSeconds);  // the second check finds no audio
  scene.runAudioQueues();
  tap->stop();
  const auto frames = scene.output.takeFrames();
  ASSERT_GE(frames.size(), 5u);
  std::vector<int> all;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    if (f + 1 < frames.size()) {
      EXPECT_EQ(frames[f].size(), 9600u) << f;
    }
    auto samples = samplesOf(frames[f]);
    all.insert(all.end(), samples.begin(), samples.end());
  }
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(all[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(std::count(all.begin() + 1000, all.end(), 0), static_cast<std::ptrdiff_t>(all.size() - 1000));
}

TEST_F(PipelineTest, FailedConversionsAppendNothingAndReportOnlyInDebug) {
  struct Case {
    const char* name;
    FakeConverter::Step step;
    Json event;
  };
  const auto failed = [](int status, const char* error, int frames) {
    return Json{{"event", "debug"}, {"step", "convert failed"}, {"status", status}, {"error", error},
                {"frames", frames}};
  };
  const std::vector<Case> cases = {
      {"no frames", {0}, failed(0, "", 0)},
      {"ran dry", {0, AudioConverterOutputStatus::inputRanDry}, failed(1, "", 0)},
      {"error status", {100, AudioConverterOutputStatus::error}, failed(3, "", 100)},
      {"error stored", {100, AudioConverterOutputStatus::haveData, "The operation couldn't be completed."},
       failed(0, "The operation couldn't be completed.", 100)},
  };
  for (bool debug : {true, false}) {
    for (const auto& c : cases) {
      CaptureScene s;
      s.settings.debug = debug;
      auto t = s.makeTap();
      ASSERT_EQ(t->start(), std::nullopt);
      s.output.takeEvents();
      s.converter().script.push_back(c.step);
      s.deliverFloats(480);
      s.conversionQueue().runPending();
      const auto events = s.output.takeEvents();
      if (debug) {
        ASSERT_EQ(events.size(), 1u) << c.name;
        EXPECT_EQ(events[0], c.event) << c.name;
      } else {
        EXPECT_TRUE(events.empty()) << c.name;
      }
      EXPECT_EQ(t->counters().convertedFrames, 0) << c.name;
      t->stop();
      EXPECT_TRUE(s.output.frames.empty()) << c.name;  // nothing was pending
    }
  }
}

TEST_F(PipelineTest, ConversionsQueuedBeforeStopAreDropped) {
  startCapture();
  scene.converter().script.push_back({4800});
  scene.deliverFloats(480);  // queued, not yet run
  EXPECT_EQ(scene.conversionQueue().queuedItems(), 1u);
  tap->stop();  // the flush runs after it on the same queue
  EXPECT_TRUE(scene.converter().calls.empty());
  EXPECT_TRUE(scene.output.frames.empty());
  EXPECT_EQ(scene.output.takeEventNames(), (std::vector<std::string>{"ready", "stopped"}));
}

}  // namespace
}  // namespace vesk
