// Placement on card-sized inputs: relocation, the common executable base and the packers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "quarn/exchange/topology.hpp"
#include "quarn/runtime/memory/packing.hpp"
#include "quarn/runtime/memory/relocation.hpp"
#include "quarn/runtime/memory/tile_regions.hpp"

namespace {

using namespace quarn::runtime;
using quarn::compiler::Allocation;
using quarn::compiler::AllocationKind;
using quarn::compiler::TensorId;

// Every zelk tile holds `per_tile` transient allocations of 0x100 bytes stacked from 0x58000, in
// 8 generations of live ranges, so the reservation [0x58000, 0x60000) catches the first ones.
ExecutableGraph card_graph(std::uint32_t per_tile) {
  ExecutableGraph graph;
  graph.schedule.tile_count = quarn::exchange::ZELK_TILE_COUNT;
  std::size_t tensor = 0;
  for (std::uint16_t tile = 0; tile < quarn::exchange::ZELK_TILE_COUNT; ++tile) {
    for (std::uint32_t i = 0; i < per_tile; ++i) {
      const std::size_t generation = i % 8;
      graph.schedule.allocations.push_back(Allocation{.tensor = TensorId{tensor++},
                                                      .tile = tile,
                                                      .address = 0x58000 + (i / 8) * 0x100,
                                                      .size = 0x100,
                                                      .live_from = generation * 2,
                                                      .live_until = generation * 2 + 2,
                                                      .kind = AllocationKind::Home{}});
    }
  }
  return graph;
}

void BM_RelocateCard(benchmark::State& state) {
  const auto per_tile = static_cast<std::uint32_t>(state.range(0));
  const ExecutableGraph original = card_graph(per_tile);
  const auto topology = quarn::exchange::Topology::zelk();
  const std::vector<TileReservations> reservations(topology.tile_count(),
                                                   {{0x58000, 0x5C000}, {0x5C000, 0x60000}});
  std::size_t moved = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ExecutableGraph graph = original;
    state.ResumeTiming();
    const auto result =
        relocate_transient_allocations_for_executables(graph, topology, reservations);
    if (!result) state.SkipWithError(result.error().message.c_str());
    moved = result.value_or(0);
    benchmark::DoNotOptimize(graph);
  }
  state.counters["moves"] = static_cast<double>(moved);
}
BENCHMARK(BM_RelocateCard)->Arg(100)->Arg(400)->Unit(benchmark::kMillisecond);

void BM_ExecutableRegionBaseCard(benchmark::State& state) {
  const ExecutableGraph graph = card_graph(static_cast<std::uint32_t>(state.range(0)));
  for (auto _ : state) {
    auto base = executable_region_base(graph, 0x58000, 0x4000);
    benchmark::DoNotOptimize(base);
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(graph.schedule.allocations.size()));
}
BENCHMARK(BM_ExecutableRegionBaseCard)->Arg(100)->Arg(400)->Unit(benchmark::kMillisecond);

// One tile's worth of packing: `count` objects of mixed sizes into the data gaps of a tile with
// hundreds of allocation ranges.
std::vector<AddressRange> tile_allocation_ranges(std::size_t count) {
  std::vector<AddressRange> ranges;
  for (std::size_t i = 0; i < count; ++i) {
    const auto start = static_cast<std::uint32_t>(0x58000 + i * 0x400);
    ranges.emplace_back(start, start + 0x300);
  }
  return ranges;
}

void BM_PackDataObjectsForTile(benchmark::State& state) {
  const auto ranges = tile_allocation_ranges(300);
  std::mt19937 random(3);
  std::vector<AddressRange> objects;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    const std::uint32_t size = std::uniform_int_distribution<std::uint32_t>(8, 0x100)(random);
    objects.emplace_back(static_cast<std::uint32_t>(i) * 0x1000,
                         static_cast<std::uint32_t>(i) * 0x1000 + size);
  }
  for (auto _ : state) {
    auto packed = pack_data_objects_for_tile(ranges, 0, 0x58000, objects, false, {});
    if (!packed) state.SkipWithError(packed.error().message.c_str());
    benchmark::DoNotOptimize(packed);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PackDataObjectsForTile)->Arg(100)->Arg(400)->Unit(benchmark::kMicrosecond);

void BM_PackSizedObjectsInGaps(benchmark::State& state) {
  std::vector<AddressRange> gaps;
  for (std::uint32_t i = 0; i < 300; ++i)
    gaps.emplace_back(0x58000 + i * 0x400, 0x58300 + i * 0x400);
  std::mt19937 random(5);
  std::vector<std::uint32_t> sizes;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    sizes.push_back(std::uniform_int_distribution<std::uint32_t>(4, 0x80)(random));
  }
  for (auto _ : state) {
    auto placed = pack_sized_objects_in_gaps(0, sizes, gaps, 4, "record");
    if (!placed) state.SkipWithError(placed.error().message.c_str());
    benchmark::DoNotOptimize(placed);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PackSizedObjectsInGaps)->Arg(100)->Arg(400)->Unit(benchmark::kMicrosecond);

void BM_PackExecutableObjectsForTile(benchmark::State& state) {
  const auto ranges = tile_allocation_ranges(300);
  std::vector<AddressRange> objects;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    const auto start = static_cast<std::uint32_t>(i) * 0x100;
    objects.emplace_back(start, start + 0x40 + static_cast<std::uint32_t>(i % 7) * 8);
  }
  const std::vector<AddressRange> extra = {{0x90000, 0xA0000}};
  for (auto _ : state) {
    auto packed = pack_executable_objects_for_tile(ranges, 0, 0x58000, objects, {}, extra);
    if (!packed) state.SkipWithError(packed.error().message.c_str());
    benchmark::DoNotOptimize(packed);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PackExecutableObjectsForTile)->Arg(100)->Arg(400)->Unit(benchmark::kMicrosecond);

}  // namespace
