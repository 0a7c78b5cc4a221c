// Cost of one key event through the monitor: the work that every keystroke of the
// session waits for while the tap holds it. Reports ns/event and heap allocations per
// event (counted by replacing the global operator new).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "common/allocation_counter.h"
#include "input-monitor/emit.h"
#include "input-monitor/monitor.h"

namespace vesk {
namespace {

class BenchTimer final : public RepeatingTimer {
 public:
  void invalidate() override {}
};

// A keyboard that answers at once, as a platform tap's thread sees it.
class BenchKeyboard final : public Keyboard {
 public:
  bool isTrusted(bool) override { return true; }
  bool createTap(KeyEventHandler&) override { return true; }
  void reenableTap() override {}
  EventFlags returnFlagsState() override { return 0; }
  bool returnKeyState(std::uint16_t) override { return true; }
  bool returnSecureInputEnabled() override { return false; }
  std::unique_ptr<RepeatingTimer> startRepeatingTimer(double, std::function<void()>) override {
    return std::make_unique<BenchTimer>();
  }
  void swallowPlanChanged(const SwallowPlan&) override {}
  void run() override {}
};

struct Fixture {
  Fixture() : devNull(::open("/dev/null", O_WRONLY)), output(devNull), monitor(keyboard, output) {
    monitor.setBinding(49, {"control"});
  }
  ~Fixture() { ::close(devNull); }
  int devNull;
  BenchKeyboard keyboard;
  LineOutput output;
  Monitor monitor;
};

constexpr EventFlags kControl = 0x40000;

void reportPerEvent(benchmark::State& state, std::size_t allocationsBefore, int eventsPerIteration) {
  double events = static_cast<double>(state.iterations()) * eventsPerIteration;
  state.counters["allocs/event"] = static_cast<double>(countedAllocations() - allocationsBefore) / events;
  // Shown with an SI prefix: "20n" is 20 ns per event.
  state.counters["time/event"] = benchmark::Counter(events, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The common case: a key that is not the bound one, with a main-key binding set.
void BM_HandleNonMatchingKey(benchmark::State& state) {
  Fixture f;
  setCountingAllocations(true);
  std::size_t before = countedAllocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.monitor.handle(kKeyDown, KeyEvent{0, kControl}));
    benchmark::DoNotOptimize(f.monitor.handle(kKeyUp, KeyEvent{0, kControl}));
    benchmark::DoNotOptimize(f.monitor.handle(kFlagsChanged, KeyEvent{56, 0x20000}));
    benchmark::DoNotOptimize(f.monitor.handle(kFlagsChanged, KeyEvent{56, 0}));
  }
  reportPerEvent(state, before, 4);
}
BENCHMARK(BM_HandleNonMatchingKey);

// A press and release of the binding: "down" and "up" written to /dev/null, a watchdog
// timer started and stopped.
void BM_HandlePressReleasePair(benchmark::State& state) {
  Fixture f;
  setCountingAllocations(true);
  std::size_t before = countedAllocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.monitor.handle(kKeyDown, KeyEvent{49, kControl}));
    benchmark::DoNotOptimize(f.monitor.handle(kKeyUp, KeyEvent{49, kControl}));
  }
  reportPerEvent(state, before, 2);
}
BENCHMARK(BM_HandlePressReleasePair);

}  // namespace
}  // namespace vesk

BENCHMARK_MAIN();
