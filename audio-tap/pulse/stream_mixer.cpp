#include "audio-tap/pulse/stream_mixer.h"

#include <algorithm>

namespace vesk::pulse {

StreamMixer::StreamMixer(std::size_t cushionFrames, std::size_t maxFrames)
    : cushionFrames_(cushionFrames), maxFrames_(std::max(maxFrames, cushionFrames)) {}

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

void StreamMixer::push(std::uint32_t key, const float* samples, std::size_t count) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = streams_.find(key);
  if (it == streams_.end()) return;
  it->second.samples.insert(it->second.samples.end(), samples, samples + count);
  trim(it->second);
}

void StreamMixer::pushSilence(std::uint32_t key, std::size_t count) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = streams_.find(key);
  if (it == streams_.end()) return;
  it->second.samples.insert(it->second.samples.end(), count, 0.0f);
  trim(it->second);
}

void StreamMixer::trim(Fifo& fifo) {
  if (fifo.samples.size() <= maxFrames_) return;
  // Back to the cushion: the oldest samples go, the delay stays bounded.
  fifo.samples.erase(fifo.samples.begin(),
                     fifo.samples.begin() + static_cast<std::ptrdiff_t>(fifo.samples.size() - cushionFrames_));
}

void StreamMixer::mix(float* out, std::size_t count) {
  std::fill(out, out + count, 0.0f);
  std::lock_guard<std::mutex> hold(lock_);
  for (auto& [key, fifo] : streams_) {
    if (!fifo.playing && fifo.samples.size() >= cushionFrames_ + count) fifo.playing = true;
    if (!fifo.playing) continue;
    std::size_t available = std::min(count, fifo.samples.size());
    for (std::size_t i = 0; i < available; ++i) out[i] += fifo.samples[i];
    fifo.samples.erase(fifo.samples.begin(), fifo.samples.begin() + static_cast<std::ptrdiff_t>(available));
    if (available < count) fifo.playing = false;  // ran dry: gather a cushion again
  }
}

}  // namespace vesk::pulse
