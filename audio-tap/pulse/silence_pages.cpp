// SilencePages over mmap(2); made and read on the IO queue.
#include "audio-tap/pulse/silence_pages.h"

#include <sys/mman.h>

namespace vesk::pulse {

SilencePages::SilencePages(std::size_t count) : count_(count) {
  void* pages = ::mmap(nullptr, count * sizeof(float), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  mapped_ = pages != MAP_FAILED;
  if (!mapped_) fallback_.assign(count, 0.0f);
  data_ = mapped_ ? static_cast<float*>(pages) : fallback_.data();
}

SilencePages::~SilencePages() {
  if (mapped_) ::munmap(data_, count_ * sizeof(float));
}

}  // namespace vesk::pulse
