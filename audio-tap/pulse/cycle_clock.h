// The IO clock's rule for PulseAudio capture: given how far real time has gone and
// what the mixer holds, whether to hand over the next cycle now, and of what. Audio
// leaves as soon as it is in (at most one cycle ahead of real time); silence leaves
// as real time passes while nothing plays; a playing stream that is late by more than
// the tolerance is padded rather than waited for, so frames keep to real time.
// Pure logic, any thread.
#pragma once

#include <cstdint>

namespace vesk::pulse {

enum class CycleAction { wait, silence, mix };

struct ClockView {
  std::uint64_t delivered;    // frames handed over since capture started
  std::uint64_t due;          // frames of real time since capture started
  std::uint64_t cycleFrames;  // frames of one cycle
  std::uint64_t lateFrames;   // how late a playing stream may be
  bool playing;               // some stream is playing
  bool ready;                 // the mixer holds a whole cycle of every playing stream
};

CycleAction nextCycle(const ClockView& view);

/// Frames of real time at which the clock must look again if no audio arrives first.
std::uint64_t nextLook(const ClockView& view, std::uint64_t idleFrames);

}  // namespace vesk::pulse
