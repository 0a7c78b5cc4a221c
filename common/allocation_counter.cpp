#include "common/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vesk {

void setCountingAllocations(bool on) { counting.store(on, std::memory_order_relaxed); }
std::size_t countedAllocations() { return allocations.load(std::memory_order_relaxed); }
void resetCountedAllocations() { allocations.store(0, std::memory_order_relaxed); }

}  // namespace vesk
