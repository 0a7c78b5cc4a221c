// Mixes the streams of a tap into one mono signal, one IO cycle at a time. Each
// stream's samples arrive in bursts as the server delivers them, in as many channels
// as the stream has; its mono mix is the average of its channels, so a stereo stream
// whose channels are equal is heard at the level of one, while streams are summed as a
// sink sums them. A cycle is ready as
// soon as every stream that is playing holds a whole cycle, so audio leaves as soon as
// it is in, with no cushion held back; a stream joins (starts playing) once it holds a
// whole cycle. A stream that runs dry is padded with silence and stops playing until
// it holds a cycle again; a stream that runs far ahead is trimmed back.
// Thread-safe: samples are pushed on the server's thread, cycles mixed on the IO queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace vesk::pulse {

class StreamMixer {
 public:
  /// `cycleFrames`: frames of one mixed cycle; `maxFrames`: the most a stream may hold
  /// before its oldest samples are dropped.
  StreamMixer(std::size_t cycleFrames, std::size_t maxFrames);

  void addStream(std::uint32_t key);
  void removeStream(std::uint32_t key);
  void clear();
  std::size_t streamCount() const;
  std::size_t cycleFrames() const { return cycleFrames_; }

  /// Appends `frames` frames of one stream, `channels` interleaved samples each, as
  /// their average (unknown streams are ignored); returns whether a cycle is ready now.
  bool push(std::uint32_t key, const float* samples, std::size_t frames, std::uint32_t channels = 1);
  /// As above, for signed 16-bit samples (full scale is 32768).
  bool push(std::uint32_t key, const std::int16_t* samples, std::size_t frames, std::uint32_t channels);
  /// Appends silence (a hole the server reported in the stream); as `push`.
  bool pushSilence(std::uint32_t key, std::size_t frames);

  /// Whether a cycle can be mixed without padding: some stream holds a cycle and every
  /// playing stream does.
  bool ready() const;
  /// Whether any stream is playing.
  bool anyPlaying() const;

  /// Writes the next cycle of the mix to `out` (cycleFrames samples): streams that
  /// hold a whole cycle join, every playing stream is summed in, and one that runs
  /// short is padded with silence and stops playing.
  void mix(float* out);

 private:
  struct Fifo {
    std::vector<float> samples;
    std::size_t head = 0;  // samples before it are used
    bool playing = false;
    std::size_t size() const { return samples.size() - head; }
  };
  /// Makes room for `frames` more samples of the stream and has `fill` write them.
  template <typename Fill>
  bool append(std::uint32_t key, std::size_t frames, Fill fill);
  bool readyLocked() const;

  const std::size_t cycleFrames_;
  const std::size_t maxFrames_;
  mutable std::mutex lock_;
  std::map<std::uint32_t, Fifo> streams_;
};

}  // namespace vesk::pulse
