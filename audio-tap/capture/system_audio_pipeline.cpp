// The audio path of SystemAudioTap: the IO step copies each buffer list on the IO
// queue into the build's ring (a list of exact zeros only as its length) and signals
// the conversion queue, which takes the cycles out one by one, converts each to 16-bit
// mono, appends it to the pending samples and cuts frames of `framesPerChunk` samples.
// Silence that the converter no longer needs to see skips it. Failures drop the buffer;
// only a failed conversion, and cycles the full ring had to drop, are reported, as
// debug events.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string_view>

#include "audio-tap/capture/system_audio_tap.h"

namespace vesk {
namespace {

// Above this the output capacity (plus its 64 spare frames) would not fit 32 bits.
constexpr double kMaxOutputFrames = 4294967295.0 - 64.0;
// Exact zeros a converter must have taken before it holds nothing else: far longer
// than any resampling filter reaches back.
constexpr std::int64_t kSettledMicros = 100000;

}  // namespace

// On the IO thread: counting, at most one copy into the ring and a signal. Nothing here
// allocates, waits or takes a lock.
void SystemAudioTap::handleBuffers(CaptureRing& ring, QueueSignal& converting, const AudioBufferListRef& inputData) {
  ioCalls_.fetch_add(1, std::memory_order_relaxed);
  if (!isRunning() || !acceptingIO_.load(std::memory_order_acquire)) return;
  if (inputData.mNumberBuffers == 0 || inputData.mBuffers == nullptr) return;
  const AudioBuffer& first = inputData.mBuffers[0];
  if (first.mData == nullptr || first.mDataByteSize == 0) return;
  ioBytes_.fetch_add(first.mDataByteSize, std::memory_order_relaxed);

  const std::uint32_t bytesPerFrame = ring.format()->bytesPerFrame();
  const std::uint32_t frames = first.mDataByteSize / bytesPerFrame;  // from the first buffer alone
  if (frames == 0) return;
  acceptedFrames_.fetch_add(frames, std::memory_order_relaxed);
  if (ring.pushAudio(inputData, frames)) converting.signal();
}

// On the conversion queue: every cycle the ring holds, in order.
void SystemAudioTap::drainRing(CaptureRing& ring) {
  CaptureRing::Cycle cycle;
  while (ring.pop(inputBuffer_, cycle)) {
    if (!isRunning()) continue;  // capture stopped: what was on its way is dropped
    if (cycle.silenceSamples > 0) {
      appendSilence(cycle.silenceSamples);
    } else if (cycle.zeros) {
      convertZeros(ring.format(), cycle.frames);
    } else if (inputBuffer_) {
      convertAndWrite(inputBuffer_, false);
    }
  }
  if (const std::uint64_t dropped = ring.takeDroppedCycles(); dropped > 0 && isRunning()) {
    debugStep("ioDropped", {{"cycles", dropped}});
  }
}

// A cycle of exact zeros: passed on as zeros once the converter holds nothing else,
// and converted from a buffer of zeros until then.
void SystemAudioTap::convertZeros(const std::shared_ptr<const AudioFormat>& format, std::uint32_t frames) {
  if (!isRunning()) return;
  if (zeroMicros_ >= kSettledMicros) {
    std::shared_ptr<const AudioFormat> output = outputFormat_.load();
    if (!output || !converter_.load()) return;
    const double ratio = output->sampleRate() / format->sampleRate();
    if (!(ratio * frames <= kMaxOutputFrames)) return;  // rates no platform format has
    noteSilence(true, frames, format->sampleRate());
    passSettledSilence(frames, ratio);
    return;
  }
  if (!inputBuffer_ || inputBuffer_->format() != format || inputBuffer_->frameCapacity() < frames) {
    inputBuffer_ = PcmBuffer::make(format, frames);
  }
  if (!inputBuffer_) return;
  inputBuffer_->setFrameLength(frames);
  for (AudioBuffer& buffer : inputBuffer_->mutableAudioBufferList()) {
    if (buffer.mData) std::memset(buffer.mData, 0, buffer.mDataByteSize);
  }
  convertAndWrite(inputBuffer_, true);
}

void SystemAudioTap::convertAndWrite(const std::shared_ptr<PcmBuffer>& input, bool zeros) {
  if (!isRunning()) return;
  // Own references: teardown may clear the fields while this conversion runs.
  std::shared_ptr<AudioConverter> converter = converter_.load();
  std::shared_ptr<const AudioFormat> format = outputFormat_.load();
  if (!converter || !format) return;
  const double ratio = format->sampleRate() / input->format()->sampleRate();
  const double frames = ratio * input->frameLength();
  if (!(frames >= 0.0 && frames <= kMaxOutputFrames)) return;  // rates no platform format has
  noteSilence(zeros, input->frameLength(), input->format()->sampleRate());
  passedFraction_ = 0;
  const std::uint32_t capacity = static_cast<std::uint32_t>(frames) + 64;
  // IO cycles keep their size, so one output buffer serves conversion after conversion.
  if (!outputBuffer_ || outputBuffer_->format() != format || outputBuffer_->frameCapacity() != capacity) {
    outputBuffer_ = PcmBuffer::make(format, capacity);
  }
  if (!outputBuffer_) return;
  PcmBuffer* output = outputBuffer_.get();
  output->setFrameLength(0);

  bool handedOver = false;
  std::optional<std::string> error;
  const AudioConverterOutputStatus status = converter->convert(
      *output, error, [&handedOver, &input](std::uint32_t, AudioConverterInputStatus& inputStatus) {
        if (handedOver) {
          inputStatus = AudioConverterInputStatus::noDataNow;
          return std::shared_ptr<PcmBuffer>();
        }
        handedOver = true;
        inputStatus = AudioConverterInputStatus::haveData;
        return input;
      });

  const std::int16_t* samples = output->int16ChannelData();
  if (status == AudioConverterOutputStatus::error || error || output->frameLength() == 0 || samples == nullptr) {
    debugStep("convert failed", {{"status", static_cast<int>(status)},
                                 {"error", error.value_or("")},
                                 {"frames", output->frameLength()}});
    return;
  }
  convertedFrames_.fetch_add(output->frameLength(), std::memory_order_relaxed);
  appendAndChunk(samples, output->frameLength());
}

void SystemAudioTap::appendAndChunk(const std::int16_t* samples, std::uint32_t count) {
  pendingSamples_.insert(pendingSamples_.end(), samples, samples + count);
  const auto chunk = static_cast<std::size_t>(context_.settings.framesPerChunk);
  std::size_t offset = 0;
  while (pendingSamples_.size() - offset >= chunk) {
    context_.output.writeFrame(encodeSamples(std::span(pendingSamples_).subspan(offset, chunk)));
    offset += chunk;
  }
  pendingSamples_.erase(pendingSamples_.begin(), pendingSamples_.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Exact zeros into a converter that has taken nothing but zeros for a while come out
// as zeros: they are passed by it, as the samples it would have made, so that while
// nothing plays a cycle costs a copy, not the whole filter. The converter still
// holds its latency's worth of zeros and goes on from there when sound comes.
void SystemAudioTap::passSettledSilence(std::uint32_t frames, double ratio) {
  const double owed = passedFraction_ + ratio * frames;
  const double whole = std::floor(owed);
  passedFraction_ = owed - whole;
  convertedFrames_.fetch_add(static_cast<std::int64_t>(whole), std::memory_order_relaxed);
  appendSilence(static_cast<std::int64_t>(whole));
}

// Silence (for the time capture was down, or passed by a settled converter) in the
// stream's place, chunked as usual. Once the frame under way is full, whole frames
// of it leave straight from a block of zeros: while nothing plays, each frame costs
// one copy, not three through pendingSamples_. The bytes are the same either way.
void SystemAudioTap::appendSilence(std::int64_t count) {
  static constexpr std::int16_t kZeros[4800] = {};
  const auto appendZeros = [this](std::int64_t samples) {
    for (std::int64_t left = samples; left > 0;) {
      const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(left, std::size(kZeros)));
      appendAndChunk(kZeros, n);
      left -= n;
    }
  };
  const std::int64_t chunk = context_.settings.framesPerChunk;
  std::int64_t left = count;
  if (!pendingSamples_.empty()) {
    const std::int64_t toFill =
        std::clamp<std::int64_t>(chunk - static_cast<std::int64_t>(pendingSamples_.size()), 0, left);
    appendZeros(toFill);
    left -= toFill;
  }
  if (chunk > 0 && chunk <= std::ssize(kZeros)) {
    const std::string_view frameOfZeros(reinterpret_cast<const char*>(kZeros), 2 * static_cast<std::size_t>(chunk));
    for (; pendingSamples_.empty() && left >= chunk; left -= chunk) context_.output.writeFrame(frameOfZeros);
  }
  appendZeros(left);
}

// Follows the run of captured cycles that hold nothing but exact zeros (all bytes
// zero: digital silence in any PCM format), and ends a silence report as soon as
// one does not.
void SystemAudioTap::noteSilence(bool zeros, std::uint32_t frames, double rate) {
  if (zeros) {
    // In whole microseconds, so that cycles add up exactly.
    zeroMicros_ += std::llround(1e6 * frames / rate);
    zeroRunMicros_.store(zeroMicros_, std::memory_order_relaxed);
    return;
  }
  zeroMicros_ = 0;
  zeroRunMicros_.store(0, std::memory_order_relaxed);
  if (silenceReported_.exchange(false, std::memory_order_acq_rel)) {
    Json event;
    event["event"] = "captureSilence";
    event["silent"] = false;
    context_.output.emit(event);
  }
}

void SystemAudioTap::resetSilenceWatch() {
  zeroMicros_ = 0;
  zeroRunMicros_.store(0, std::memory_order_relaxed);
  silenceReported_.store(false, std::memory_order_release);
}

}  // namespace vesk
