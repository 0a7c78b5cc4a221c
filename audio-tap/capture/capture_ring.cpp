// CaptureRing: a single-producer, single-consumer ring of frames and of cycles.
#include "audio-tap/capture/capture_ring.h"

#include <algorithm>
#include <cstring>

namespace vesk {
namespace {

// Whether the first `bytes` bytes of every buffer of `input` (fewer where a buffer
// holds fewer) are zero: each byte equals the next and the first is zero (the C
// library compares in vector-sized steps, and stops at the first sound).
bool holdsOnlyZeros(const AudioBufferListRef& input, std::size_t bytes) {
  for (std::uint32_t b = 0; b < input.mNumberBuffers; ++b) {
    const AudioBuffer& buffer = input.mBuffers[b];
    const std::size_t size = std::min<std::size_t>(bytes, buffer.mData ? buffer.mDataByteSize : 0);
    const auto* data = static_cast<const std::uint8_t*>(buffer.mData);
    if (size > 0 && (data[0] != 0 || std::memcmp(data, data + 1, size - 1) != 0)) return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<CaptureRing> CaptureRing::make(std::shared_ptr<const AudioFormat> format, std::uint32_t frames,
                                               std::uint32_t cycles) {
  if (!format || format->bytesPerFrame() == 0 || format->bufferCount() == 0 || frames == 0 || cycles == 0) {
    return nullptr;
  }
  return std::shared_ptr<CaptureRing>(new CaptureRing(std::move(format), frames, cycles));
}

CaptureRing::CaptureRing(std::shared_ptr<const AudioFormat> format, std::uint32_t frames, std::uint32_t cycles)
    : format_(std::move(format)),
      bytesPerFrame_(format_->bytesPerFrame()),
      capacityFrames_(frames),
      storage_(format_->bufferCount(), std::vector<std::uint8_t>(std::size_t{frames} * bytesPerFrame_)),
      cycles_(cycles) {}

bool CaptureRing::pushAudio(const AudioBufferListRef& input, std::uint32_t frames) {
  if (frames == 0) return false;
  if (holdsOnlyZeros(input, std::size_t{frames} * bytesPerFrame_)) return push({frames, 0, true}, nullptr);
  return push({frames, 0}, &input);
}

bool CaptureRing::pushSilence(std::uint32_t samples) { return samples > 0 && push({0, samples}, nullptr); }

bool CaptureRing::push(Cycle cycle, const AudioBufferListRef* input) {
  const std::uint64_t framesAt = framesWritten_.load(std::memory_order_relaxed);
  const std::uint64_t cyclesAt = cyclesWritten_.load(std::memory_order_relaxed);
  const std::uint64_t framesFree = capacityFrames_ - (framesAt - framesRead_.load(std::memory_order_acquire));
  const std::uint64_t cyclesFree = cycles_.size() - (cyclesAt - cyclesRead_.load(std::memory_order_acquire));
  const std::uint64_t stored = input ? cycle.frames : 0;  // frames that take room in the ring
  if (stored > framesFree || cyclesFree == 0) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (input) {
    const std::size_t bytes = std::size_t{cycle.frames} * bytesPerFrame_;
    const std::uint64_t offset = (framesAt % capacityFrames_) * bytesPerFrame_;
    for (std::size_t b = 0; b < storage_.size(); ++b) {
      const AudioBuffer* delivered = b < input->mNumberBuffers ? &input->mBuffers[b] : nullptr;
      std::size_t copied = 0;
      if (delivered && delivered->mData) {
        copied = std::min<std::size_t>(bytes, delivered->mDataByteSize);
        copyIn(b, offset, static_cast<const std::uint8_t*>(delivered->mData), copied);
      }
      zeroIn(b, offset + copied, bytes - copied);
    }
  }
  cycles_[cyclesAt % cycles_.size()] = cycle;
  framesWritten_.store(framesAt + stored, std::memory_order_release);
  cyclesWritten_.store(cyclesAt + 1, std::memory_order_release);
  return true;
}

bool CaptureRing::pop(std::shared_ptr<PcmBuffer>& into, Cycle& cycle) {
  const std::uint64_t cyclesAt = cyclesRead_.load(std::memory_order_relaxed);
  if (cyclesWritten_.load(std::memory_order_acquire) == cyclesAt) return false;
  cycle = cycles_[cyclesAt % cycles_.size()];
  const std::uint64_t framesAt = framesRead_.load(std::memory_order_relaxed);
  const std::uint64_t stored = cycle.zeros ? 0 : cycle.frames;
  if (stored > 0) {
    if (!into || into->format() != format_ || into->frameCapacity() < cycle.frames) {
      into = PcmBuffer::make(format_, cycle.frames);
    }
    if (into) {
      into->setFrameLength(cycle.frames);
      const std::uint64_t offset = (framesAt % capacityFrames_) * bytesPerFrame_;
      auto entries = into->mutableAudioBufferList();
      for (std::size_t b = 0; b < storage_.size() && b < entries.size(); ++b) {
        copyOut(b, offset, static_cast<std::uint8_t*>(entries[b].mData), entries[b].mDataByteSize);
      }
    }
  }
  framesRead_.store(framesAt + stored, std::memory_order_release);
  cyclesRead_.store(cyclesAt + 1, std::memory_order_release);
  return true;
}

void CaptureRing::copyIn(std::size_t b, std::uint64_t offset, const std::uint8_t* data, std::size_t bytes) {
  std::vector<std::uint8_t>& ring = storage_[b];
  const std::size_t at = offset % ring.size();
  const std::size_t first = std::min(bytes, ring.size() - at);
  std::memcpy(ring.data() + at, data, first);
  std::memcpy(ring.data(), data + first, bytes - first);
}

void CaptureRing::zeroIn(std::size_t b, std::uint64_t offset, std::size_t bytes) {
  std::vector<std::uint8_t>& ring = storage_[b];
  const std::size_t at = offset % ring.size();
  const std::size_t first = std::min(bytes, ring.size() - at);
  std::memset(ring.data() + at, 0, first);
  std::memset(ring.data(), 0, bytes - first);
}

void CaptureRing::copyOut(std::size_t b, std::uint64_t offset, std::uint8_t* data, std::size_t bytes) const {
  const std::vector<std::uint8_t>& ring = storage_[b];
  const std::size_t at = offset % ring.size();
  const std::size_t first = std::min(bytes, ring.size() - at);
  std::memcpy(data, ring.data() + at, first);
  std::memcpy(data + first, ring.data(), bytes - first);
}

}  // namespace vesk
