// Samples of silence that cost no memory traffic to read: a private anonymous mapping
// that is never written, which the kernel backs with its one shared page of zeros.
// Whoever reads all of it (the capture ring looks for sound in every cycle) touches
// that one page in the cache, not a buffer the size of the whole span.
#pragma once

#include <cstddef>
#include <vector>

namespace vesk::pulse {

class SilencePages {
 public:
  /// `count` floats of 0.0f. Read-only: a write faults. Where the mapping cannot be
  /// made, they are an ordinary zeroed buffer instead.
  explicit SilencePages(std::size_t count);
  ~SilencePages();
  SilencePages(const SilencePages&) = delete;
  SilencePages& operator=(const SilencePages&) = delete;

  float* data() const { return data_; }
  std::size_t size() const { return count_; }

 private:
  std::size_t count_;
  bool mapped_ = false;
  std::vector<float> fallback_;
  float* data_ = nullptr;
};

}  // namespace vesk::pulse
