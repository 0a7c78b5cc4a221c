#include "audio-tap/pulse/cycle_clock.h"

#include <algorithm>

namespace vesk::pulse {

CycleAction nextCycle(const ClockView& v) {
  // Nothing plays: silence with real time, before any stream joins, so that a stream
  // joins less than a cycle behind real time.
  if (!v.playing && v.delivered + v.cycleFrames <= v.due) return CycleAction::silence;
  if (v.ready && v.delivered <= v.due) return CycleAction::mix;
  if (v.playing && v.delivered + v.cycleFrames + v.lateFrames <= v.due) return CycleAction::mix;  // padded
  return CycleAction::wait;
}

std::uint64_t nextLook(const ClockView& v, std::uint64_t idleFrames) {
  if (v.ready) return v.delivered;  // in, but ahead of real time
  if (v.playing) return v.delivered + v.cycleFrames + v.lateFrames;
  return v.delivered + std::max(v.cycleFrames, idleFrames);
}

}  // namespace vesk::pulse
