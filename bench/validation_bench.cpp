// Allocation validation and arena search on one tile with many allocations.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "quarn/compiler/arena.hpp"
#include "quarn/compiler/schedule.hpp"

namespace {

using namespace quarn::compiler;

// `count` non-overlapping allocations on tile 0: stacked in slots of 64 bytes, each slot reused by
// a sequence of short live ranges, shuffled so the input is in no particular order.
Schedule tile_with_allocations(std::size_t count) {
  Schedule schedule;
  schedule.tile_count = 1;
  const std::size_t slots = 256;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t slot = i % slots;
    const std::size_t generation = i / slots;
    schedule.allocations.push_back(Allocation{
        .tensor = TensorId{i},
        .tile = 0,
        .address = static_cast<std::uint32_t>(0x60000 + slot * 64),
        .size = 64,
        .live_from = generation * 2,
        .live_until = generation * 2 + 2,
        .kind = AllocationKind::Home{},
    });
  }
  std::mt19937_64 random(7);
  std::shuffle(schedule.allocations.begin(), schedule.allocations.end(), random);
  return schedule;
}

void BM_ValidateAllocations(benchmark::State& state) {
  const Schedule schedule = tile_with_allocations(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto result = schedule.validate_allocations();
    if (!result) state.SkipWithError("unexpected validation failure");
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ValidateAllocations)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_FindFreeRegionInArenas(benchmark::State& state) {
  const Schedule schedule = tile_with_allocations(static_cast<std::size_t>(state.range(0)));
  const MemoryArena arenas[] = {MemoryArena::low(0x60000, 0xE8000)};
  for (auto _ : state) {
    auto address = find_free_region_in_arenas(schedule.allocations, 0, 0x100, 0, LIVE_TO_END,
                                              arenas, 32);
    benchmark::DoNotOptimize(address);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FindFreeRegionInArenas)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

}  // namespace
