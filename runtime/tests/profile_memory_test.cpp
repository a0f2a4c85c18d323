#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quarn/compiler/schedule.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/runtime/memory/ranges.hpp"
#include "quarn/runtime/profile/memory_profile.hpp"
#include "quarn/support/format.hpp"

namespace {

using namespace quarn;
using compiler::Allocation;
using compiler::AllocationKind;
using compiler::KernelCommand;
using compiler::KernelCommandHandle;
using compiler::LIVE_TO_END;
using compiler::Metadata;
using compiler::OpId;
using compiler::Phase;
using compiler::TensorId;
using compiler::Transfer;
using package::Binding;
using package::RegionSlice;
using package::memory_profile::MemoryRegion;
using runtime::ExecutableGraph;

Allocation allocation(std::size_t tensor, std::uint16_t tile, std::uint32_t address,
                      std::uint32_t size, AllocationKind kind = AllocationKind::Home{},
                      std::size_t live_from = 0, std::size_t live_until = LIVE_TO_END) {
  return Allocation{.tensor = TensorId{tensor},
                    .tile = tile,
                    .address = address,
                    .size = size,
                    .live_from = live_from,
                    .live_until = live_until,
                    .kind = kind};
}

Binding binding(std::string name, std::vector<RegionSlice> slices) {
  return Binding{.name = std::move(name), .dtype = "f32", .shape = {}, .slices = std::move(slices)};
}

RegionSlice slice(std::uint32_t physical_tile, std::uint32_t address, std::uint64_t size) {
  return RegionSlice{
      .tile = physical_tile, .tile_address = address, .file_offset = 0, .size = size};
}

std::uint32_t physical(std::uint16_t logical) {
  return exchange::zelk_logical_to_physical(logical);
}

KernelCommandHandle command(std::uint16_t tile, std::size_t output, std::string kernel,
                            Metadata metadata = {}, std::vector<TensorId> inputs = {}) {
  KernelCommand c;
  c.tile = tile;
  c.output = TensorId{output};
  c.inputs = std::move(inputs);
  c.specialization.operation = std::move(kernel);
  c.metadata = std::move(metadata);
  return compiler::make_kernel_command(std::move(c));
}

ExecutableGraph graph_with(std::uint16_t tile_count, std::vector<Allocation> allocations,
                           std::vector<Phase> phases = {}) {
  ExecutableGraph graph;
  graph.schedule.tile_count = tile_count;
  graph.schedule.allocations = std::move(allocations);
  graph.schedule.phases = std::move(phases);
  return graph;
}

// The names of the regions of logical tile `tile`, in region order.
std::vector<std::string> names(const ExecutableGraph& graph, std::uint16_t tile) {
  const auto profile = runtime::allocator_memory_profile(graph);
  EXPECT_TRUE(profile) << profile.error().message;
  std::vector<std::string> out;
  if (!profile) return out;
  for (const auto& region : profile->tiles.at(tile).regions) out.push_back(region.name);
  return out;
}

TEST(MemoryProfile, CardSizedGraphWithOneBoundAllocation) {
  auto graph = graph_with(1472, {allocation(3, 0, 0xA0000, 4096)});
  graph.host_inputs = {binding("left", {slice(physical(0), 0xA0000, 4096)})};
  graph.host_inputs[0].shape = {1024};
  const auto profile = runtime::allocator_memory_profile(graph);
  ASSERT_TRUE(profile) << profile.error().message;
  EXPECT_EQ(profile->memory_base, 0x4C000u);
  EXPECT_EQ(profile->memory_size, 0x9C000u);
  ASSERT_EQ(profile->tiles.size(), 1472u);
  for (std::uint16_t t = 0; t < 1472; ++t) {
    EXPECT_EQ(profile->tiles[t].logical_tile, t);
    EXPECT_EQ(profile->tiles[t].physical_tile, physical(t));
    if (t != 0) {
      EXPECT_TRUE(profile->tiles[t].regions.empty()) << t;
    }
  }
  EXPECT_EQ(profile->tiles[0].regions, (std::vector<MemoryRegion>{{
                                           .address = 0xA0000,
                                           .size = 4096,
                                           .category = "home",
                                           .name = "left",
                                           .tensor = 3,
                                           .live_from = 0,
                                           .live_until = LIVE_TO_END,
                                       }}));
}

TEST(MemoryProfile, BindingNames) {
  struct Case {
    const char* what;
    std::vector<Binding> weights;
    std::vector<Binding> outputs;
    const char* name;
  };
  const std::uint32_t p = physical(5);
  const Case cases[] = {
      {"two overlapping bindings, sorted",
       {binding("weights", {slice(p, 0x60000, 0x100)}), binding("bias", {slice(p, 0x600F0, 4)})},
       {},
       "bias, weights"},
      {"touching below and above do not count",
       {binding("below", {slice(p, 0x5FF00, 0x100)}), binding("above", {slice(p, 0x60100, 4)})},
       {},
       "tensor 1 home"},
      {"another physical tile at the same address",
       {binding("elsewhere", {slice(physical(4), 0x60000, 0x100)})},
       {},
       "tensor 1 home"},
      {"one binding with two slices, and another list, named once each",
       {binding("weights", {slice(p, 0x60000, 8), slice(p, 0x60010, 8)})},
       {binding("logits", {slice(p, 0x600F8, 0x10)})},
       "logits, weights"},
      {"a slice larger than 32 bits reaches to the end of the address space",
       {binding("huge", {slice(p, 0x50000, std::uint64_t{1} << 40)})},
       {},
       "huge"},
      {"an empty slice names nothing",
       {binding("empty", {slice(p, 0x60080, 0)})},
       {},
       "tensor 1 home"},
      {"a long interval is found behind many short ones",
       {binding("long", {slice(p, 0x4C000, 0x20000)}), binding("a", {slice(p, 0x4D000, 4)}),
        binding("b", {slice(p, 0x4E000, 4)}), binding("c", {slice(p, 0x50000, 4)}),
        binding("d", {slice(p, 0x5FFF0, 4)})},
       {},
       "long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto graph = graph_with(8, {allocation(1, 5, 0x60000, 0x100)});
    graph.host_weights = c.weights;
    graph.outputs = c.outputs;
    EXPECT_EQ(names(graph, 5), std::vector<std::string>{c.name});
  }
}

TEST(MemoryProfile, BindingLookupMatchesAFullScan) {
  // Random intervals and allocations on one tile; the bisected backwards walk must find exactly
  // the names a scan of every interval finds.
  std::mt19937 random(11);
  auto address = [&] { return 0x4C000u + (random() % 0x400u) * 0x100u; };
  auto graph = graph_with(1, {});
  for (int b = 0; b < 40; ++b) {
    std::vector<RegionSlice> slices;
    for (int s = 0; s < 3; ++s) slices.push_back(slice(physical(0), address(), random() % 0x3000));
    graph.host_inputs.push_back(binding(support::format("b{}", b), std::move(slices)));
  }
  for (std::size_t a = 0; a < 300; ++a) {
    graph.schedule.allocations.push_back(
        allocation(a, 0, address(), random() % 0x2000, AllocationKind::Home{}, a, a + 1));
  }
  const auto profile = runtime::allocator_memory_profile(graph);
  ASSERT_TRUE(profile);
  std::size_t named = 0;
  for (const auto& region : profile->tiles[0].regions) {
    const std::uint32_t end = region.address + region.size;
    std::set<std::string> expected;
    for (const auto& b : graph.host_inputs) {
      for (const auto& s : b.slices) {
        const auto slice_end = static_cast<std::uint32_t>(s.tile_address + s.size);
        if (runtime::ranges_overlap({s.tile_address, slice_end}, {region.address, end})) {
          expected.insert(b.name);
        }
      }
    }
    const std::string want = expected.empty() ? support::format("tensor {} home", *region.tensor)
                                              : support::join(expected, ", ");
    EXPECT_EQ(region.name, want) << "tensor " << *region.tensor;
    named += !expected.empty();
  }
  EXPECT_GT(named, 100u);
}

TEST(MemoryProfile, CommandNames) {
  struct Case {
    KernelCommandHandle command;
    const char* name;
  };
  const Case cases[] = {
      {command(0, 0, "gemm_f32_accumulate",
               {{"label", "GEMM block"}, {"output_block_row", "2"}, {"output_block_column", "5"}}),
       "GEMM accumulator block (2, 5)"},
      {command(0, 0, "gemm_f32_accumulate", {{"label", "GEMM block"}, {"output_block_row", "2"}}),
       "output of GEMM block"},
      {command(0, 0, "add_u32", {{"output_block_row", "2"}, {"output_block_column", "5"}}),
       "output of add_u32"},
      {command(0, 0, "gelu", {{"label", "layer 3 GeLU"}}), "output of layer 3 GeLU"},
      {command(0, 0, "add_u32"), "output of add_u32"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runtime::allocation_command_name(*c.command), c.name);
    auto graph = graph_with(2, {allocation(0, 0, 0x60000, 64)},
                            {Phase{Phase::Compute{OpId{0}, {c.command}}}});
    EXPECT_EQ(names(graph, 0), std::vector<std::string>{c.name});
  }
}

TEST(MemoryProfile, FirstCommandWritingAnOutputNamesIt) {
  auto graph = graph_with(
      2, {allocation(4, 1, 0x60000, 64), allocation(4, 0, 0x60000, 64)},
      {Phase{Phase::Compute{
           OpId{0}, {command(0, 4, "first_on_tile_0"), command(1, 4, "x", {{"label", "a"}})}}},
       Phase{Phase::Exchange{}},
       Phase{Phase::Compute{OpId{1}, {command(1, 4, "x", {{"label", "b"}})}}}});
  EXPECT_EQ(names(graph, 1), std::vector<std::string>{"output of a"});
  EXPECT_EQ(names(graph, 0), std::vector<std::string>{"output of first_on_tile_0"});
}

TEST(MemoryProfile, TensorNamesByKind) {
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  const auto reader =
      command(2, 9, "gelu", {{"label", "layer 3 GeLU"}}, {TensorId{8}, TensorId{5}});
  std::vector<Phase> phases(4, Phase{Phase::Exchange{}});
  phases.push_back(
      Phase{Phase::Compute{OpId{4}, {command(1, 20, "other", {}, {TensorId{5}}), reader}}});
  struct Case {
    Allocation allocation;
    const char* name;
  };
  const Case cases[] = {
      {allocation(5, 2, 0x60000, 64, AllocationKind::ExchangeStaging{3}), "input to layer 3 GeLU"},
      {allocation(5, 2, 0x60000, 64, AllocationKind::ExchangeStaging{2}),
       "tensor 5 staging for phase 2"},
      {allocation(5, 2, 0x60000, 64, AllocationKind::ExchangeStaging{4}),
       "tensor 5 staging for phase 4"},
      // The phase after the largest index does not wrap around to phase 0.
      {allocation(5, 2, 0x60000, 64, AllocationKind::ExchangeStaging{max}),
       "tensor 5 staging for phase 18446744073709551615"},
      {allocation(7, 2, 0x60000, 64, AllocationKind::ExchangeStaging{3}),
       "tensor 7 staging for phase 3"},
      {allocation(5, 2, 0x60000, 64), "tensor 5 home"},
      {allocation(5, 2, 0x60000, 64, AllocationKind::HomeAlias{TensorId{4}}),
       "tensor 5 alias of 4"},
  };
  for (const auto& c : cases) {
    auto graph = graph_with(3, {c.allocation}, phases);
    EXPECT_EQ(names(graph, 2), std::vector<std::string>{c.name});
  }
  // With a reader in phase 0, the phase after the largest index still does not wrap to it.
  auto graph = graph_with(3, {allocation(5, 2, 0x60000, 64, AllocationKind::ExchangeStaging{max})},
                          {Phase{Phase::Compute{OpId{0}, {reader}}}});
  EXPECT_EQ(names(graph, 2),
            std::vector<std::string>{"tensor 5 staging for phase 18446744073709551615"});
  // Binding names given to the direct call win over every other rule.
  const std::string_view given[] = {"a", "b"};
  EXPECT_EQ(runtime::allocation_profile_name(graph, graph.schedule.allocations[0], given, {}),
            "a, b");
}

TEST(MemoryProfile, StagingRegionsFromTransfers) {
  auto graph =
      graph_with(4,
                 {allocation(3, 1, 0x70000, 16, AllocationKind::Home{}, 2, 3),
                  allocation(2, 1, 0x70000, 16, AllocationKind::HomeAlias{TensorId{3}}, 1, 5),
                  allocation(1, 1, 0x50000, 16)},
                 {Phase{Phase::Compute{OpId{0}, {}}}, Phase{Phase::Exchange{}},
                  Phase{Phase::Exchange{{Transfer{.source_tile = 0,
                                                  .destination_tile = 1,
                                                  .tensor = TensorId{7},
                                                  .bytes = 128,
                                                  .staging_address = 0x70000},
                                         Transfer{.source_tile = 2,
                                                  .destination_tile = 1,
                                                  .tensor = TensorId{8},
                                                  .bytes = 64,
                                                  .staging_address = std::nullopt}}}}});
  const auto profile = runtime::allocator_memory_profile(graph);
  ASSERT_TRUE(profile);
  EXPECT_TRUE(profile->tiles[0].regions.empty());
  EXPECT_TRUE(profile->tiles[2].regions.empty());
  // Sorted by (address, live_from, live_until); the staging region ties with the home allocation
  // and comes after it.
  EXPECT_EQ(profile->tiles[1].regions,
            (std::vector<MemoryRegion>{
                {0x50000, 16, "home", "tensor 1 home", 1, 0, LIVE_TO_END},
                {0x70000, 16, "home_alias", "tensor 2 alias of 3", 2, 1, 5},
                {0x70000, 16, "home", "tensor 3 home", 3, 2, 3},
                {0x70000, 128, "exchange_staging", "exchange staging tensor 7", 7, 2, 3},
            }));
}

TEST(MemoryProfile, Failures) {
  struct Case {
    const char* what;
    ExecutableGraph graph;
    const char* message;
  };
  auto outside = graph_with(4, {});
  outside.host_outputs = {binding("x", {slice(0, 0x60000, 4)}),
                          binding("y", {slice(1472, 0x60000, 4)})};
  auto far_outside = graph_with(4, {});
  far_outside.outputs = {binding("x", {slice(0xFFFFFFFF, 0x60000, 4)})};
  const Case cases[] = {
      {"more tiles than the card", graph_with(1473, {allocation(0, 0, 0x60000, 4)}),
       "logical tile 1472 is out of range"},
      {"slice on a tile the card lacks", outside,
       "host binding references a physical tile outside the topology"},
      {"slice on the largest tile number", far_outside,
       "host binding references a physical tile outside the topology"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto profile = runtime::allocator_memory_profile(c.graph);
    ASSERT_FALSE(profile);
    EXPECT_EQ(profile.error().message, c.message);
  }
}

}  // namespace
