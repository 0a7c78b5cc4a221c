// What "--exclude-descendants" costs on Linux: one walk of the whole /proc table (done
// at each change of the audio process list and twice a second while capture runs or
// input is watched) and one ancestry check (done when a stream appears).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "audio-tap/linux/proc_process_table.h"
#include "audio-tap/process/process_tree.h"

namespace {

void BM_WalkOfTheProcTable(benchmark::State& state) {
  auto table = vesk::makeProcProcessTable();
  vesk::ExcludedProcesses excluded({::getpid(), ::getppid()}, *table);
  for (auto _ : state) benchmark::DoNotOptimize(excluded.refresh());
  state.counters["processes"] = static_cast<double>(table->returnProcesses().size());
}
BENCHMARK(BM_WalkOfTheProcTable)->Unit(benchmark::kMicrosecond);

void BM_AncestryOfAStream(benchmark::State& state) {
  auto table = vesk::makeProcProcessTable();
  for (auto _ : state) benchmark::DoNotOptimize(vesk::descendsFrom(*table, ::getpid(), {1}));
}
BENCHMARK(BM_AncestryOfAStream)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
