#include "audio-tap/pulse/stream_mixer.h"

#include <algorithm>

namespace vesk::pulse {
namespace {

// The mono mix of one stream: the mean of its channels, frame by frame, scaled to
// full scale 1.
template <typename Sample>
void averageChannels(const Sample* in, std::size_t frames, std::uint32_t channels, float fullScale, float* out) {
  const float scale = 1.0f / (fullScale * static_cast<float>(std::max<std::uint32_t>(channels, 1)));
  if (channels <= 1) {
    for (std::size_t i = 0; i < frames; ++i) out[i] = static_cast<float>(in[i]) * scale;
    return;
  }
  for (std::size_t i = 0; i < frames; ++i, in += channels) {
    float sum = 0.0f;
    for (std::uint32_t c = 0; c < channels; ++c) sum += static_cast<float>(in[c]);
    out[i] = sum * scale;
  }
}

}  // namespace

StreamMixer::StreamMixer(std::size_t cycleFrames, std::size_t maxFrames)
    : cycleFrames_(std::max<std::size_t>(cycleFrames, 1)), maxFrames_(std::max(maxFrames, 2 * cycleFrames_)) {}

void StreamMixer::addStream(std::uint32_t key) {
  std::lock_guard<std::mutex> hold(lock_);
  streams_.try_emplace(key);
}

void StreamMixer::removeStream(std::uint32_t key) {
  std::lock_guard<std::mutex> hold(lock_);
  streams_.erase(key);
}

void StreamMixer::clear() {
  std::lock_guard<std::mutex> hold(lock_);
  streams_.clear();
}

std::size_t StreamMixer::streamCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return streams_.size();
}

template <typename Fill>
bool StreamMixer::append(std::uint32_t key, std::size_t frames, Fill fill) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = streams_.find(key);
  if (it == streams_.end()) return readyLocked();
  Fifo& fifo = it->second;
  if (fifo.head > 0 && fifo.head >= fifo.size()) {  // drop used samples before they pile up
    fifo.samples.erase(fifo.samples.begin(), fifo.samples.begin() + static_cast<std::ptrdiff_t>(fifo.head));
    fifo.head = 0;
  }
  const std::size_t at = fifo.samples.size();
  fifo.samples.resize(at + frames, 0.0f);
  fill(fifo.samples.data() + at);
  if (fifo.size() > maxFrames_) fifo.head = fifo.samples.size() - 2 * cycleFrames_;  // the delay stays bounded
  return readyLocked();
}

bool StreamMixer::push(std::uint32_t key, const float* samples, std::size_t frames, std::uint32_t channels) {
  return append(key, frames, [&](float* out) { averageChannels(samples, frames, channels, 1.0f, out); });
}

bool StreamMixer::push(std::uint32_t key, const std::int16_t* samples, std::size_t frames, std::uint32_t channels) {
  return append(key, frames, [&](float* out) { averageChannels(samples, frames, channels, 32768.0f, out); });
}

bool StreamMixer::pushSilence(std::uint32_t key, std::size_t frames) {
  return append(key, frames, [](float*) {});  // the room made is silence already
}

bool StreamMixer::ready() const {
  std::lock_guard<std::mutex> hold(lock_);
  return readyLocked();
}

bool StreamMixer::readyLocked() const {
  bool someFull = false;
  for (const auto& [key, fifo] : streams_) {
    const bool full = fifo.size() >= cycleFrames_;
    if (fifo.playing && !full) return false;
    someFull = someFull || full;
  }
  return someFull;
}

bool StreamMixer::anyPlaying() const {
  std::lock_guard<std::mutex> hold(lock_);
  return std::any_of(streams_.begin(), streams_.end(), [](const auto& entry) { return entry.second.playing; });
}

void StreamMixer::mix(float* out) {
  std::fill(out, out + cycleFrames_, 0.0f);
  std::lock_guard<std::mutex> hold(lock_);
  for (auto& [key, fifo] : streams_) {
    if (!fifo.playing && fifo.size() >= cycleFrames_) fifo.playing = true;
    if (!fifo.playing) continue;
    const std::size_t available = std::min(cycleFrames_, fifo.size());
    const float* from = fifo.samples.data() + fifo.head;
    for (std::size_t i = 0; i < available; ++i) out[i] += from[i];
    fifo.head += available;
    if (available < cycleFrames_) fifo.playing = false;  // ran dry: it joins again with a whole cycle
  }
}

}  // namespace vesk::pulse
