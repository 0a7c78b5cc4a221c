// Mixes the streams of a tap into one mono signal, on a clock of its own. Each
// stream's samples arrive in bursts as the server delivers them; each gets a small
// cushion before it is mixed in, so delivery jitter becomes a fixed delay rather than
// gaps. A stream that runs dry is padded with silence and builds its cushion again; a
// stream that runs ahead (its device's clock is faster than ours) is trimmed back.
// Thread-safe: samples are pushed on the server's thread, mixes pulled on the clock's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace vesk::pulse {

class StreamMixer {
 public:
  /// `cushionFrames`: what a stream holds before it is heard; `maxFrames`: the most it
  /// may hold before the oldest samples are dropped.
  StreamMixer(std::size_t cushionFrames, std::size_t maxFrames);

  void addStream(std::uint32_t key);
  void removeStream(std::uint32_t key);
  void clear();
  std::size_t streamCount() const;

  /// Appends samples of one stream; unknown streams are ignored.
  void push(std::uint32_t key, const float* samples, std::size_t count);
  /// Appends silence (a hole the server reported in the stream).
  void pushSilence(std::uint32_t key, std::size_t count);

  /// Writes the next `count` frames of the mix: the sum of every stream that is
  /// playing, silence where none is.
  void mix(float* out, std::size_t count);

 private:
  struct Fifo {
    std::deque<float> samples;
    bool playing = false;
  };
  void trim(Fifo& fifo);

  std::size_t cushionFrames_;
  std::size_t maxFrames_;
  mutable std::mutex lock_;
  std::map<std::uint32_t, Fifo> streams_;
};

}  // namespace vesk::pulse
