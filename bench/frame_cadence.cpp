// What handing out a frame every 200 ms costs by itself on this machine: one thread
// sleeps to each 200 ms deadline and writes a frame of silence (the 9604 bytes of one
// frame of the audio tap) to standard output. No audio, no sound server: the least a
// helper that keeps to that cadence can cost while nothing plays, measured beside it
// by bench/capture_cost.py. Runs until its reader goes away.
#include <time.h>
#include <unistd.h>

#include <array>
#include <csignal>

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  static const std::array<char, 9604> frame{};
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    next.tv_nsec += 200'000'000;
    if (next.tv_nsec >= 1'000'000'000) {
      next.tv_nsec -= 1'000'000'000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    if (write(STDOUT_FILENO, frame.data(), frame.size()) < 0) return 0;
  }
}
