// CaptureRing: how captured audio travels from the IO thread to the conversion queue
// without a heap allocation or a lock on the IO thread. Made at each build of
// capture, in the tap's format, with room for a few seconds of audio (the storage is
// written once when it is made, so no page is first touched on the IO thread). The
// IO step copies each cycle's frames in; the conversion queue copies them out cycle
// by cycle into a buffer of its own and frees their room. A cycle of nothing but
// exact zeros (digital silence, as a tap delivers while nothing plays) is not copied
// at all: it travels as its frame count, marked as zeros. A cycle that finds no room
// is dropped and counted. Besides audio, a cycle can be a stretch of silence (output
// samples) that capture owes to real time; it keeps its place among the audio.
//
// One producer at a time (the IO queue, or the main queue before the IO proc starts)
// and one consumer (the conversion queue); positions are atomics that the two sides
// publish to each other.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "audio-tap/capture/audio_format.h"

namespace vesk {

class CaptureRing {
 public:
  /// Room for `frames` frames of `format` and `cycles` cycles waiting; none when the
  /// format holds no bytes.
  static std::shared_ptr<CaptureRing> make(std::shared_ptr<const AudioFormat> format, std::uint32_t frames,
                                           std::uint32_t cycles);
  CaptureRing(const CaptureRing&) = delete;
  CaptureRing& operator=(const CaptureRing&) = delete;

  const std::shared_ptr<const AudioFormat>& format() const { return format_; }

  // ---- producer ----
  /// Copies `frames` frames of each buffer of `input` (as many bytes as it holds; the
  /// rest of the cycle, and buffers the list lacks, are zeros), or only their count
  /// when every byte is zero. False, and the cycle counted as dropped, when there is
  /// no room. Allocates nothing.
  bool pushAudio(const AudioBufferListRef& input, std::uint32_t frames);
  /// Queues `samples` output samples of silence. Allocates nothing.
  bool pushSilence(std::uint32_t samples);

  // ---- consumer ----
  struct Cycle {
    std::uint32_t frames = 0;          // of audio, copied into the buffer passed to `pop`
    std::uint32_t silenceSamples = 0;  // or of silence
    bool zeros = false;                // the audio's frames are all exact zeros, not copied
  };
  /// Takes the oldest cycle, if any: its audio goes into `into`, which is made anew
  /// (in the ring's format) when it is missing or too small. A cycle of zeros leaves
  /// `into` as it is.
  bool pop(std::shared_ptr<PcmBuffer>& into, Cycle& cycle);
  /// Cycles dropped for want of room since the last call.
  std::uint64_t takeDroppedCycles() {
    const std::uint64_t dropped = dropped_.load(std::memory_order_relaxed);
    return dropped - std::exchange(droppedTaken_, dropped);
  }

 private:
  CaptureRing(std::shared_ptr<const AudioFormat> format, std::uint32_t frames, std::uint32_t cycles);
  bool push(Cycle cycle, const AudioBufferListRef* input);
  /// Copies `bytes` bytes between the ring of buffer `b` at byte `offset` and `data`,
  /// wrapping at the end of the ring.
  void copyIn(std::size_t b, std::uint64_t offset, const std::uint8_t* data, std::size_t bytes);
  void zeroIn(std::size_t b, std::uint64_t offset, std::size_t bytes);
  void copyOut(std::size_t b, std::uint64_t offset, std::uint8_t* data, std::size_t bytes) const;

  const std::shared_ptr<const AudioFormat> format_;
  const std::uint32_t bytesPerFrame_;
  const std::uint64_t capacityFrames_;
  std::vector<std::vector<std::uint8_t>> storage_;  // one ring per buffer of the format
  std::vector<Cycle> cycles_;                       // a ring of cycles waiting
  // Counts since the ring was made; the producer writes the write side, the consumer
  // the read side.
  std::atomic<std::uint64_t> framesWritten_{0};
  std::atomic<std::uint64_t> cyclesWritten_{0};
  std::atomic<std::uint64_t> framesRead_{0};
  std::atomic<std::uint64_t> cyclesRead_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::uint64_t droppedTaken_ = 0;  // consumer
};

}  // namespace vesk
