// Counts heap allocations by replacing the global operator new and delete (which pair
// malloc and free). Linked only into the binaries that measure or forbid allocation:
// a benchmark and a test of the real-time IO path.
#pragma once

#include <cstddef>

namespace vesk {

/// Counting on or off; off at start. Any thread.
void setCountingAllocations(bool on);
/// Allocations counted since the last reset. Any thread.
std::size_t countedAllocations();
void resetCountedAllocations();

}  // namespace vesk
