// The indexed relocation against a direct transcription of the algorithm, on random graphs.
//
// The reference below searches every allocation of the schedule for each move, rewrites the graph
// step by step and scans the relocation list linearly; it works on a copy and hands the copy back
// only on success, so a failed call leaves the graph as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "quarn/compiler/arena.hpp"
#include "quarn/runtime/memory/relocation.hpp"
#include "quarn/support/format.hpp"
#include "reference_relocation.hpp"

namespace {

using namespace quarn::runtime;
using quarn::compiler::Allocation;
using quarn::compiler::AllocationKind;
using quarn::compiler::LIVE_TO_END;
using quarn::compiler::TensorId;
using quarn::exchange::Topology;
using quarn::support::format;

using quarn::reference::reference_relocate;

struct RandomCase {
  ExecutableGraph graph;
  Topology topology;
  std::vector<TileReservations> reservations;
};

RandomCase random_case(std::mt19937& random) {
  const auto pick = [&](std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
  };
  RandomCase c;
  const std::uint16_t tiles = static_cast<std::uint16_t>(pick(1, 4));
  c.topology.logical_to_physical.resize(tiles);
  for (std::uint16_t t = 0; t < tiles; ++t) c.topology.logical_to_physical[t] = (t * 7 + 3) % 17;
  c.graph.schedule.tile_count = tiles;
  c.reservations.assign(tiles, {{0, 0}, {0, 0}});
  for (auto& r : c.reservations) {
    if (pick(0, 3) == 0) continue;
    const std::uint32_t start = 0x58000 + pick(0, 40) * 0x400;
    r.first = {start, start + pick(1, 0x8000)};
    if (pick(0, 2) == 0) r.second = {r.first.second, r.first.second + pick(0, 0x4000)};
  }
  if (pick(0, 20) == 0) c.reservations.pop_back();

  std::size_t tensor = 0;
  std::vector<std::size_t> homes;
  for (std::uint16_t tile = 0; tile < tiles; ++tile) {
    // Non-overlapping stacks below the arena, with random live ranges; some overlap on purpose.
    std::uint32_t cursor = 0x58000 + pick(0, 16) * 0x100;
    const std::uint32_t count = pick(0, 12);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t size = pick(0, 8) == 0 ? 0 : pick(1, 0x3000);
      const std::size_t from = pick(0, 5);
      const std::size_t until = pick(0, 8) == 0 ? LIVE_TO_END : from + pick(1, 5);
      c.graph.schedule.allocations.push_back(Allocation{.tensor = TensorId{tensor++},
                                                        .tile = tile,
                                                        .address = cursor,
                                                        .size = size,
                                                        .live_from = from,
                                                        .live_until = until,
                                                        .kind = AllocationKind::Home{}});
      homes.push_back(c.graph.schedule.allocations.size() - 1);
      cursor += pick(0, 15) == 0 ? 0 : size + pick(0, 3) * 0x20;
    }
    // Occupants of the arena, sometimes a big one.
    const std::uint32_t occupants = pick(0, 3);
    for (std::uint32_t i = 0; i < occupants; ++i) {
      const std::uint32_t size = pick(0, 6) == 0 ? 0x5F000 : pick(1, 0x800);
      const std::size_t from = pick(0, 6);
      c.graph.schedule.allocations.push_back(
          Allocation{.tensor = TensorId{tensor++},
                     .tile = tile,
                     .address = 0x88000 + pick(0, 8) * 0x100,
                     .size = size,
                     .live_from = from,
                     .live_until = pick(0, 1) ? LIVE_TO_END : from + pick(1, 4),
                     .kind = AllocationKind::Home{}});
    }
  }
  // Aliases inside (or sometimes reaching past) home allocations; buffers and slices pointing
  // into them, at their ends, or elsewhere.
  for (std::size_t k = 0; k < homes.size(); ++k) {
    const Allocation source = c.graph.schedule.allocations[homes[k]];
    const std::uint32_t offset = source.size ? pick(0, source.size - 1) : 0;
    if (pick(0, 2) == 0) {
      const std::uint32_t room = source.size - offset;
      Allocation a = source;
      a.tensor = TensorId{tensor++};
      a.kind = AllocationKind::HomeAlias{source.tensor};
      a.address = source.address + offset;
      a.size = pick(0, 10) == 0 ? room + 4 : pick(0, room);
      c.graph.schedule.allocations.push_back(a);
    }
    if (pick(0, 2) == 0) {
      const std::uint32_t address =
          pick(0, 3) == 0 ? source.address + source.size : source.address + offset;
      c.graph.initial_buffers.push_back(InitialBuffer{source.tile, address, {1, 2}});
    }
    if (pick(0, 2) == 0) {
      const std::uint32_t physical =
          pick(0, 30) == 0 ? 16 : c.topology.logical_to_physical[source.tile];
      auto& list = pick(0, 1) ? c.graph.host_inputs : c.graph.outputs;
      list.push_back(quarn::package::Binding{
          "b", "u32", {1}, {quarn::package::RegionSlice{physical, source.address + offset, 0, 4}}});
    }
  }
  std::shuffle(c.graph.schedule.allocations.begin(), c.graph.schedule.allocations.end(), random);
  return c;
}

TEST(PlacementRelocationDifferential, IndexedSearchAgreesWithDirectTranscription) {
  std::mt19937 random(20261211);
  std::size_t successes = 0, moves = 0;
  for (int round = 0; round < 400; ++round) {
    RandomCase c = random_case(random);
    ExecutableGraph expected = c.graph;
    const ExecutableGraph before = c.graph;
    const auto want = reference_relocate(expected, c.topology, c.reservations);
    const auto got =
        relocate_transient_allocations_for_executables(c.graph, c.topology, c.reservations);
    ASSERT_EQ(got, want) << "round " << round;
    ASSERT_EQ(c.graph, expected) << "round " << round;
    if (!got) {
      ASSERT_EQ(c.graph, before) << "round " << round;
    } else {
      ++successes;
      moves += *got;
    }
  }
  // The generator must exercise both outcomes and real moves.
  EXPECT_GT(successes, 40u);
  EXPECT_LT(successes, 360u);
  EXPECT_GT(moves, 100u);
}

}  // namespace
