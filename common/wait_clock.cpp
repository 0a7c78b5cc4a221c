// Deadline waits on std::chrono::steady_clock.
#include "common/wait_clock.h"

#include <chrono>

namespace vesk {
namespace {

using Seconds = std::chrono::duration<double>;

}  // namespace

double SteadyWaitClock::now() const {
  return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SteadyWaitClock::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, double deadline) {
  const auto at = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(deadline)));
  cv.wait_until(lock, at);
}

}  // namespace vesk
