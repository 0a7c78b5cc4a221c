// A converter for tests. Each conversion asks for input twice (as a real converter
// does when it wants more) and records what it got; it then makes the number of
// output frames the test scripted (or the rate ratio of the input), filled with a
// running count so tests can follow every sample to its frame.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio-tap/capture/converter.h"

namespace vesk::testing {

class FakeConverter final : public AudioConverter {
 public:
  struct Step {
    Step(std::uint32_t f = 0, AudioConverterOutputStatus s = AudioConverterOutputStatus::haveData, std::string e = {})
        : frames(f), status(s), error(std::move(e)) {}
    std::uint32_t frames = 0;
    AudioConverterOutputStatus status = AudioConverterOutputStatus::haveData;
    std::string error;  // stored when not empty
  };

  AudioConverterOutputStatus convert(PcmBuffer& output, std::optional<std::string>& error,
                                     const AudioConverterInputBlock& input) override {
    AudioConverterInputStatus first = AudioConverterInputStatus::endOfStream;
    AudioConverterInputStatus second = AudioConverterInputStatus::endOfStream;
    std::shared_ptr<PcmBuffer> buffer = input(512, first);
    std::shared_ptr<PcmBuffer> again = input(512, second);
    std::lock_guard<std::mutex> hold(mutex_);
    Call call{output.frameCapacity(), buffer ? buffer->frameLength() : 0, first, second, again != nullptr, {}};
    if (buffer) {
      for (const auto& b : buffer->mutableAudioBufferList()) {
        const auto* bytes = static_cast<const std::uint8_t*>(b.mData);
        call.inputBytes.emplace_back(bytes, bytes + b.mDataByteSize);
      }
    }
    calls.push_back(call);
    Step step;
    if (!script.empty()) {
      step = script.front();
      script.pop_front();
    } else if (buffer) {
      step.frames = static_cast<std::uint32_t>(output.format()->sampleRate() / buffer->format()->sampleRate() *
                                               buffer->frameLength());
    }
    const std::uint32_t frames = std::min(step.frames, output.frameCapacity());
    output.setFrameLength(frames);
    if (std::int16_t* samples = output.int16ChannelData()) {
      for (std::uint32_t i = 0; i < frames; ++i) samples[i] = static_cast<std::int16_t>(nextSample++);
    }
    if (!step.error.empty()) error = step.error;
    return step.status;
  }

  struct Call {
    std::uint32_t outputCapacity;
    std::uint32_t inputFrames;
    AudioConverterInputStatus firstStatus;
    AudioConverterInputStatus secondStatus;
    bool secondGaveBuffer;
    std::vector<std::vector<std::uint8_t>> inputBytes;  // per buffer of the input
  };

  std::deque<Step> script;
  std::vector<Call> calls;
  int nextSample = 0;

 private:
  std::mutex mutex_;
};

/// Makes usable PCM formats and hands out one FakeConverter; each step can fail.
class FakeConverterFactory final : public AudioConverterFactory {
 public:
  std::shared_ptr<const AudioFormat> makeFormat(const AudioStreamBasicDescription& description) override {
    calls.push_back("makeFormat");
    if (failInputFormat || !isUsablePcm(description)) return nullptr;
    return std::make_shared<const AudioFormat>(AudioFormat{description});
  }
  std::shared_ptr<const AudioFormat> makeInt16Format(double sampleRate, std::uint32_t channels,
                                                      bool interleaved) override {
    calls.push_back("makeInt16Format");
    if (failOutputFormat) return nullptr;
    return std::make_shared<const AudioFormat>(AudioFormat{int16StreamDescription(sampleRate, channels, interleaved)});
  }
  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override {
    calls.push_back("makeConverter");
    if (failConverter) return nullptr;
    return converter;
  }

  bool failInputFormat = false;
  bool failOutputFormat = false;
  bool failConverter = false;
  std::shared_ptr<FakeConverter> converter = std::make_shared<FakeConverter>();
  std::vector<std::string> calls;
};

/// Mono 32-bit float PCM, the usual tap format.
inline AudioStreamBasicDescription float32Format(double sampleRate, std::uint32_t channels, bool interleaved = true) {
  AudioStreamBasicDescription d;
  d.mSampleRate = sampleRate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  if (!interleaved) d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
  d.mBytesPerFrame = 4 * (interleaved ? channels : 1);
  d.mBytesPerPacket = d.mBytesPerFrame;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = 32;
  return d;
}

}  // namespace vesk::testing
