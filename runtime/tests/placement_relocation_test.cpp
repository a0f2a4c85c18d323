// Relocation of transient allocations around measured executable placements.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quarn/runtime/memory/relocation.hpp"

namespace {

using namespace quarn::runtime;
using quarn::compiler::Allocation;
using quarn::compiler::AllocationKind;
using quarn::compiler::LIVE_TO_END;
using quarn::compiler::TensorId;
using quarn::exchange::Topology;
using quarn::package::Binding;
using quarn::package::RegionSlice;

Allocation home(std::size_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                std::size_t from, std::size_t until) {
  return Allocation{.tensor = TensorId{tensor},
                    .tile = tile,
                    .address = address,
                    .size = size,
                    .live_from = from,
                    .live_until = until,
                    .kind = AllocationKind::Home{}};
}

Allocation alias(std::size_t tensor, std::size_t source, std::uint16_t tile, std::uint32_t address,
                 std::uint32_t size, std::size_t from, std::size_t until) {
  Allocation a = home(tensor, tile, address, size, from, until);
  a.kind = AllocationKind::HomeAlias{TensorId{source}};
  return a;
}

// Two tiles, physical numbers 10 and 11; tile 0 reserves [0x5C000, 0x68000).
struct Fixture {
  Topology topology{{10, 11}};
  std::vector<TileReservations> reservations{{{0x5C000, 0x64000}, {0x64000, 0x68000}},
                                             {{0, 0}, {0, 0}}};
  ExecutableGraph graph;

  Fixture() { graph.schedule.tile_count = 2; }
  Result<std::size_t> run() {
    return relocate_transient_allocations_for_executables(graph, topology, reservations);
  }
};

TEST(PlacementRelocation, ReferenceCaseOnTheCard) {
  ExecutableGraph graph;
  graph.schedule.tile_count = 1;
  graph.schedule.allocations = {home(1, 0, 0x60000, 0x40, 1, 2),
                                alias(2, 1, 0, 0x60010, 0x10, 1, 2)};
  graph.initial_buffers = {InitialBuffer{0, 0x60004, {7}}};
  const Topology zelk = Topology::zelk();
  graph.host_inputs = {
      Binding{"input", "u32", {1}, {RegionSlice{*zelk.physical(0), 0x60008, 0, 4}}}};
  std::vector<TileReservations> reservations(zelk.tile_count(), {{0, 0}, {0, 0}});
  reservations[0] = {{0x5C000, 0x64000}, {0x64000, 0x68000}};

  const auto moved = relocate_transient_allocations_for_executables(graph, zelk, reservations);
  ASSERT_TRUE(moved) << moved.error().message;
  EXPECT_EQ(*moved, 1u);
  EXPECT_EQ(graph.schedule.allocations[0].address, 0x88000u);
  EXPECT_EQ(graph.schedule.allocations[1].address, 0x88010u);
  EXPECT_EQ(graph.initial_buffers[0].address, 0x88004u);
  EXPECT_EQ(graph.host_inputs[0].slices[0].tile_address, 0x88008u);
}

TEST(PlacementRelocation, SelectsOnlyTransientHomeAllocationsTouchingElements) {
  Fixture f;
  f.graph.schedule.allocations = {
      home(1, 0, 0x58000, 0x4000, 0, 2),           // element ends at 0x5C000: touches only
      home(2, 0, 0x60000, 0x100, 0, LIVE_TO_END),  // lives to the end
      home(3, 0, 0x5BFFF, 0, 0, 2),                // zero size
      home(4, 1, 0x60000, 0x100, 0, 2),            // tile without reservations
      home(5, 0, 0x5BF00, 0x101, 3, 4),            // its element extent reaches 0x5C000
  };
  const auto moved = f.run();
  ASSERT_TRUE(moved) << moved.error().message;
  EXPECT_EQ(*moved, 1u);
  const auto& a = f.graph.schedule.allocations;
  EXPECT_EQ(a[0].address, 0x58000u);
  EXPECT_EQ(a[1].address, 0x60000u);
  EXPECT_EQ(a[2].address, 0x5BFFFu);
  EXPECT_EQ(a[3].address, 0x60000u);
  EXPECT_EQ(a[4].address, 0x88000u);
}

TEST(PlacementRelocation, PacksCandidatesLargestFirstAroundLiveRanges) {
  Fixture f;
  f.graph.schedule.allocations = {home(1, 0, 0x5C000, 0x10, 0, 4), home(2, 0, 0x60000, 0x44, 1, 3),
                                  home(3, 0, 0x64000, 0x20, 4, 6)};
  const auto moved = f.run();
  ASSERT_TRUE(moved) << moved.error().message;
  EXPECT_EQ(*moved, 3u);
  const auto& a = f.graph.schedule.allocations;
  EXPECT_EQ(a[1].address, 0x88000u);  // largest first
  EXPECT_EQ(a[0].address, 0x88060u);  // next 32-byte boundary after 0x88044
  EXPECT_EQ(a[2].address, 0x88000u);  // disjoint live range
}

TEST(PlacementRelocation, CarriedAddressesRespectExclusiveEnds) {
  Fixture f;
  f.graph.schedule.allocations = {home(1, 0, 0x60000, 0x40, 0, 2),
                                  alias(2, 1, 0, 0x60030, 0x10, 0, 2)};
  f.graph.initial_buffers = {InitialBuffer{0, 0x60040, {1}}, InitialBuffer{0, 0x6003C, {1}},
                             InitialBuffer{1, 0x60000, {1}}};
  f.graph.outputs = {Binding{"out",
                             "f32",
                             {1},
                             {RegionSlice{10, 0x60040, 0, 4}, RegionSlice{10, 0x60000, 4, 4},
                              RegionSlice{11, 0x60000, 8, 4}}}};
  ASSERT_TRUE(f.run());
  EXPECT_EQ(f.graph.schedule.allocations[1].address, 0x88030u);
  EXPECT_EQ(f.graph.initial_buffers[0].address, 0x60040u);
  EXPECT_EQ(f.graph.initial_buffers[1].address, 0x8803Cu);
  EXPECT_EQ(f.graph.initial_buffers[2].address, 0x60000u);
  const auto& slices = f.graph.outputs[0].slices;
  EXPECT_EQ(slices[0].tile_address, 0x60040u);
  EXPECT_EQ(slices[1].tile_address, 0x88000u);
  EXPECT_EQ(slices[2].tile_address, 0x60000u);
}

TEST(PlacementRelocation, RelocateLiteralAddressTakesTheFirstHoldingEntry) {
  const RelocationEntry entries[] = {{TensorId{1}, 0, 0x100, 0x200, 0x1000},
                                     {TensorId{2}, 0, 0x100, 0x300, 0x2000},
                                     {TensorId{3}, 1, 0x100, 0x300, 0x3000}};
  const auto moved = [&](std::uint16_t tile, std::uint32_t address) {
    relocate_literal_address(tile, address, entries);
    return address;
  };
  EXPECT_EQ(moved(0, 0x180), 0x1080u);
  EXPECT_EQ(moved(0, 0x200), 0x2100u);
  EXPECT_EQ(moved(1, 0x100), 0x3000u);
  EXPECT_EQ(moved(0, 0x300), 0x300u);
  EXPECT_EQ(moved(2, 0x180), 0x180u);
}

// Every failure leaves the graph exactly as it was.
TEST(PlacementRelocation, EveryFailureLeavesTheGraphUnchanged) {
  struct Case {
    const char* name;
    void (*setup)(Fixture&);
    const char* message;
  };
  const auto base = [](Fixture& f) {
    f.graph.schedule.allocations = {home(1, 0, 0x60000, 0x40, 0, 2),
                                    home(2, 0, 0x64000, 0x20, 0, 2),
                                    alias(3, 1, 0, 0x60010, 0x10, 0, 2)};
    f.graph.initial_buffers = {InitialBuffer{0, 0x60004, {1}}};
    f.graph.host_inputs = {Binding{"in", "u32", {1}, {RegionSlice{10, 0x60008, 0, 4}}}};
  };
  static decltype(base) shared = base;
  const Case cases[] = {
      {"tile count above 65535",
       [](Fixture& f) {
         shared(f);
         f.topology.logical_to_physical.assign(65536, 0);
       },
       "out of range integral type conversion attempted"},
      {"reservations shorter than the topology",
       [](Fixture& f) {
         shared(f);
         f.reservations.pop_back();
       },
       "reserved ranges are given for 1 tiles but the topology has 2 logical tiles"},
      {"transient allocation past the reservations",
       [](Fixture& f) {
         shared(f);
         f.graph.schedule.allocations.push_back(home(9, 5, 0x60000, 4, 0, 1));
       },
       "transient tensor 9 on tile 5 has no reserved ranges: reserved ranges are given for 2 "
       "tiles"},
      {"arena full",
       [](Fixture& f) {
         shared(f);
         f.graph.schedule.allocations.push_back(home(8, 0, 0x88000, 0x60000, 0, LIVE_TO_END));
       },
       "cannot relocate transient tensor 1 on tile 0 for measured executable placement: SRAM "
       "allocation failed: no arena can hold a 64-byte SRAM allocation"},
      {"old end overflow",
       [](Fixture& f) {
         shared(f);
         f.reservations[0].second = {0xFFFF0000, 0xFFFFFFFF};
         f.graph.schedule.allocations.push_back(home(7, 0, 0xFFFFFFF0, 0x20, 5, 6));
       },
       "allocation relocation range overflow"},
      {"slice outside the topology",
       [](Fixture& f) {
         shared(f);
         f.graph.host_outputs = {Binding{"o", "u32", {1}, {RegionSlice{12, 0x60000, 0, 4}}}};
       },
       "host binding references a physical tile outside the topology"},
      {"updated schedule inconsistent",
       [](Fixture& f) {
         shared(f);
         // An alias reaching past its source's end stays behind, unbacked.
         f.graph.schedule.allocations[2].size = 0x40;
       },
       "SRAM allocation failed: tensor 3 alias 0x60010..0x60050@0..2 on tile 0 is not backed by "
       "source tensor 1 (local: 0x88000..0x88040@0..2 Home; global: tile0:0x88000..0x88040@0..2 "
       "Home)"},
  };
  for (const Case& c : cases) {
    Fixture f;
    c.setup(f);
    const ExecutableGraph before = f.graph;
    const auto moved = f.run();
    ASSERT_FALSE(moved) << c.name;
    EXPECT_EQ(moved.error().message, c.message) << c.name;
    EXPECT_EQ(f.graph, before) << c.name;
  }
}

TEST(PlacementRelocation, TransientOnATileWithoutReservationsIsRefused) {
  // An empty topology needs no reservations, but a transient allocation still needs its tile's.
  Fixture f;
  f.topology.logical_to_physical.clear();
  f.reservations.clear();
  f.graph.schedule.allocations = {home(1, 0, 0x60000, 0x40, 0, 2)};
  const auto moved = f.run();
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().message,
            "transient tensor 1 on tile 0 has no reserved ranges: reserved ranges are given for 0 "
            "tiles");
}

}  // namespace
