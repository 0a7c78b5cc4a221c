// Halves the sample rate of a mono float signal with a linear-phase half-band FIR
// (a Kaiser-windowed sinc): flat to 10.9 kHz at 48 kHz in, at least 118 dB down from
// 13 kHz. Filtering in the time domain costs 2 ms of delay and hands out every sample
// as soon as its input is in, where a block (FFT) resampler holds output back for
// tens of milliseconds; it is the converter's path for an exact 2:1 ratio. Plain
// computation, any one thread at a time.
#pragma once

#include <cstddef>
#include <vector>

namespace vesk::pulse {

class HalfBandDecimator {
 public:
  HalfBandDecimator();

  /// Filters `count` more input samples and writes one output sample for every two
  /// inputs taken in so far (an odd sample waits for its partner) to `out`, which
  /// must hold (count + 1) / 2 samples; returns how many were written. The output is
  /// the input delayed by `kDelayOutputFrames`, starting from silence, so after 2n
  /// inputs exactly n outputs have come out.
  std::size_t process(const float* in, std::size_t count, float* out);

  /// Non-zero taps on each side of the centre.
  static constexpr std::size_t kSideTaps = 48;
  static constexpr std::size_t kDelayOutputFrames = kSideTaps;

 private:
  std::size_t filter(float* out, std::size_t count) const;

  std::vector<float> taps_;  // the 2 x kSideTaps odd-phase taps, in the order applied
  std::vector<float> even_;  // even-indexed inputs: kSideTaps of history, then new ones
  std::vector<float> odd_;   // odd-indexed inputs: 2 x kSideTaps of history, then new ones
  bool haveEven_ = false;    // an even input waiting for its odd partner
};

}  // namespace vesk::pulse
