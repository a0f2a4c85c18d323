// Every subsystem called from four threads at once, each thread with inputs of its own.
//
// The library keeps no global mutable state, so independent calls may run in parallel. Each
// scenario below builds its inputs from a seed and returns everything it computed. The test first
// runs every seed on one thread, then runs the same seeds many times over on four threads that
// start together, and compares every result with the single-threaded one. Built with
// ThreadSanitizer, the same test also proves the calls free of data races.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "quarn/compiler/arena.hpp"
#include "quarn/compiler/gemm.hpp"
#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/runtime/blocked_data.hpp"
#include "quarn/runtime/executable_graph.hpp"
#include "quarn/runtime/memory/address_space.hpp"
#include "quarn/runtime/memory/packing.hpp"
#include "quarn/runtime/memory/relocation.hpp"
#include "quarn/runtime/memory/tile_regions.hpp"
#include "quarn/runtime/profile/builders.hpp"
#include "quarn/runtime/profile/decode.hpp"
#include "quarn/runtime/profile/memory_profile.hpp"
#include "quarn/runtime/profile/tile_profile.hpp"
#include "quarn/runtime/siglip/gemm_width.hpp"
#include "quarn/runtime/siglip/residual_fusion.hpp"
#include "quarn/runtime/static_codegen/planner.hpp"
#include "quarn/runtime/static_codegen/run_tables.hpp"

namespace {

using namespace quarn;
using compiler::Allocation;
using compiler::AllocationKind;
using compiler::KernelCommand;
using compiler::KernelCommandHandle;
using compiler::LIVE_TO_END;
using compiler::LoweredComputeCommand;
using compiler::LoweredTileProgram;
using compiler::LoweredTileStep;
using compiler::MemoryArena;
using compiler::MemoryPlacement;
using compiler::OpId;
using compiler::Phase;
using compiler::Schedule;
using compiler::TensorId;
using compiler::Transfer;
using runtime::AddressRange;
using runtime::ExecutableGraph;

constexpr unsigned THREADS = 4;
// Seeds per thread, and how often each thread repeats its whole list.
constexpr unsigned SEEDS_PER_THREAD = 6;
constexpr unsigned ROUNDS = 25;

// Runs `scenario` for seeds 0 .. THREADS × SEEDS_PER_THREAD − 1 on this thread, then on THREADS
// threads at once (thread t takes seeds t, t + THREADS, ...), ROUNDS times each, and expects
// every parallel result to equal the sequential one for its seed.
template <typename Scenario>
void expect_same_results_in_parallel(Scenario scenario) {
  using Outcome = decltype(scenario(0u));
  constexpr unsigned seeds = THREADS * SEEDS_PER_THREAD;
  std::vector<Outcome> expected;
  expected.reserve(seeds);
  for (unsigned seed = 0; seed < seeds; ++seed) expected.push_back(scenario(seed));

  // One flag per (thread, seed): written by one thread only, read after every thread joined.
  std::vector<std::vector<unsigned char>> mismatched(THREADS, std::vector<unsigned char>(seeds, 0));
  std::barrier start(THREADS);
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (unsigned round = 0; round < ROUNDS; ++round) {
        for (unsigned seed = t; seed < seeds; seed += THREADS) {
          if (!(scenario(seed) == expected[seed])) mismatched[t][seed] = 1;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (unsigned t = 0; t < THREADS; ++t) {
    for (unsigned seed = 0; seed < seeds; ++seed) {
      EXPECT_FALSE(mismatched[t][seed]) << "thread " << t << ", seed " << seed;
    }
  }
}

Allocation home(std::size_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                std::size_t from = 0, std::size_t until = LIVE_TO_END) {
  return Allocation{.tensor = TensorId{tensor},
                    .tile = tile,
                    .address = address,
                    .size = size,
                    .live_from = from,
                    .live_until = until,
                    .kind = AllocationKind::Home{}};
}

KernelCommandHandle command(std::uint16_t tile, std::string kernel, std::size_t output,
                            std::vector<std::size_t> inputs, compiler::Metadata metadata = {}) {
  KernelCommand c;
  c.tile = tile;
  c.output = TensorId{output};
  for (const auto input : inputs) c.inputs.push_back(TensorId{input});
  c.arguments = {static_cast<std::uint32_t>(output), 16};
  c.specialization.operation = std::move(kernel);
  c.specialization.shape = {4, 16};
  c.specialization.worker_count = 6;
  c.specialization.role = "inner-block";
  c.specialization.alignment = 8;
  c.metadata = std::move(metadata);
  return compiler::make_kernel_command(std::move(c));
}

// Allocations on tiles 0 and 1 with seed-dependent sizes and live ranges; every third seed adds
// an allocation overlapping the first one.
std::vector<Allocation> seeded_allocations(unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Allocation> allocations;
  std::uint32_t next[2] = {0x4C000, 0x4C000};
  for (std::size_t i = 0; i < 12 + seed % 5; ++i) {
    const auto tile = static_cast<std::uint16_t>(i % 2);
    const std::uint32_t size = 0x40 * (1 + random() % 32);
    const std::size_t from = random() % 3;
    allocations.push_back(home(i + 1, tile, next[tile], size, from, from + 1 + random() % 4));
    next[tile] += size + 0x20 * (random() % 3);
  }
  if (seed % 3 == 0) {
    Allocation clash = allocations.front();
    clash.tensor = TensorId{99};
    clash.address += 0x10;
    allocations.push_back(clash);
  }
  return allocations;
}

TEST(Concurrency, ValidatesAllocations) {
  expect_same_results_in_parallel([](unsigned seed) {
    Schedule schedule;
    schedule.tile_count = 2;
    schedule.allocations = seeded_allocations(seed);
    Allocation alias = schedule.allocations[1];
    alias.tensor = TensorId{50};
    alias.size /= 2;
    alias.kind = AllocationKind::HomeAlias{schedule.allocations[1].tensor};
    if (seed % 4 == 1) alias.address += alias.size + 8;  // reaches past its source
    schedule.allocations.push_back(alias);
    return schedule.validate_allocations();
  });
}

TEST(Concurrency, AllocatesFromArenas) {
  expect_same_results_in_parallel([](unsigned seed) {
    const auto allocations = seeded_allocations(seed);
    const MemoryArena arenas[] = {MemoryArena::low(0x4C000, 0x4E000),
                                  MemoryArena{0x60000, 0x80000, MemoryPlacement::High}};
    const std::uint32_t size = 0x100 * (1 + seed % 7) + seed;
    const auto live = compiler::find_free_region_in_arenas(allocations, 0, size, 1, 4, arenas, 64);

    std::vector<compiler::OccupiedRange> occupied;
    for (const auto& a : allocations) {
      if (a.tile == 0) occupied.emplace_back(a.address, a.address + a.size);
    }
    std::sort(occupied.begin(), occupied.end());
    std::vector<std::expected<std::uint32_t, compiler::CompileError>> kept;
    for (std::uint32_t i = 0; i < 6; ++i) {
      kept.push_back(
          compiler::allocate_from_occupied_arenas(occupied, size + 0x80 * i, arenas, 32));
    }
    return std::make_tuple(live, kept, occupied);
  });
}

TEST(Concurrency, PlacesCodeAndData) {
  expect_same_results_in_parallel([](unsigned seed) {
    std::vector<AddressRange> allocation_ranges;
    for (const auto& a : seeded_allocations(seed)) {
      allocation_ranges.emplace_back(a.address + 0x8000 * (seed % 4), a.address + a.size);
    }
    const std::uint32_t runtime_end = 0x58000 + 0x1000 * (seed % 3);
    const AddressRange extra[] = {{0x70000 + 0x100 * seed, 0x72000}};
    const auto regions =
        runtime::executable_regions_for_tile(allocation_ranges, runtime_end, extra);
    const auto code = runtime::executable_region_base_for_tile(
        allocation_ranges, static_cast<std::uint16_t>(seed), runtime_end, 0x8000 * (1 + seed % 5),
        extra);
    const auto data = runtime::data_region_base_for_tile(allocation_ranges, 3, runtime_end,
                                                         0x300 + seed, 16, extra);
    std::vector<AddressRange> objects;
    for (std::uint32_t i = 0; i < 8; ++i) {
      objects.emplace_back(0x1000 * i, 0x1000 * i + 0x80 * (1 + (seed + i) % 9));
    }
    const auto packed = runtime::pack_data_objects_for_tile(allocation_ranges, 3, runtime_end,
                                                            objects, seed % 2 == 0, extra);
    const auto packed_code = runtime::pack_executable_objects_for_tile(
        allocation_ranges, 3, runtime_end, objects, extra, {});
    const std::uint32_t sizes[] = {0x40 + seed, 0x200, 0x18};
    const auto sized = runtime::pack_sized_objects_in_gaps(3, sizes, regions, 8, "static data");
    runtime::placement::AddressSpace space({0x4C018, 0x80000});
    space.reserve_all(runtime::FIXED_RESERVATIONS, allocation_ranges);
    const auto free = std::move(space).free_regions(0x400);
    return std::make_tuple(regions, code, data, packed, packed_code, sized, free);
  });
}

TEST(Concurrency, RelocatesTransientAllocations) {
  const exchange::Topology zelk = exchange::Topology::zelk();
  expect_same_results_in_parallel([&zelk](unsigned seed) {
    ExecutableGraph graph;
    graph.schedule.tile_count = 2;
    const std::uint32_t base = 0x5C000 + 0x100 * seed;
    graph.schedule.allocations = {home(1, 0, base, 0x40, 1, 2),
                                  home(2, 0, base + 0x40, 0x800, 0, 3),
                                  home(3, 1, 0x60000, 0x100, 0, 2)};
    Allocation alias = home(4, 0, base + 0x10, 0x10, 1, 2);
    alias.kind = AllocationKind::HomeAlias{TensorId{1}};
    graph.schedule.allocations.push_back(alias);
    graph.initial_buffers = {runtime::InitialBuffer{0, base + 4, {7, seed}}};
    graph.host_inputs = {package::Binding{
        "input", "u32", {1}, {package::RegionSlice{*zelk.physical(0), base + 8, 0, 4}}}};
    std::vector<runtime::TileReservations> reservations(zelk.tile_count(), {{0, 0}, {0, 0}});
    reservations[0] = {{0x5C000, 0x64000}, {0x64000, 0x68000}};
    if (seed % 5 == 4) reservations.resize(1);  // shorter than the topology: fails unchanged
    const auto moved =
        runtime::relocate_transient_allocations_for_executables(graph, zelk, reservations);
    return std::make_pair(moved, graph);
  });
}

// Phases: compute (op 1), exchange, compute (op 2). Tile 0 computes in both compute phases; tile
// 1 only in the first.
Schedule profiled_schedule(unsigned seed) {
  Schedule schedule;
  schedule.tile_count = 2;
  const std::size_t t = 10 * seed;
  schedule.phases = {
      Phase::Compute{.op = OpId{1},
                     .commands = {command(0, "gemm_f16", t + 1, {t + 2, t + 3},
                                          {{"label", "layer " + std::to_string(seed)},
                                           {"output_block_row", "0"},
                                           {"output_block_column", "1"}}),
                                  command(1, "gemm_f16", t + 4, {t + 2, t + 5})}},
      Phase::Exchange{.transfers = {Transfer{0, 1, TensorId{t + 1}, 64 + seed, 0x60000},
                                    Transfer{1, 0, TensorId{t + 4}, 32, std::nullopt}}},
      Phase::Compute{.op = OpId{2}, .commands = {command(0, "add_f16", t + 6, {t + 1, t + 4})}},
  };
  schedule.allocations = {home(t + 1, 0, 0x4C000, 0x100), home(t + 4, 1, 0x4C000, 0x100),
                          home(t + 6, 0, 0x4C100, 0x40),
                          Allocation{.tensor = TensorId{t + 1},
                                     .tile = 1,
                                     .address = 0x60000,
                                     .size = 64 + seed,
                                     .live_from = 1,
                                     .live_until = 3,
                                     .kind = AllocationKind::ExchangeStaging{1}}};
  return schedule;
}

LoweredTileProgram tile_zero_program(const Schedule& schedule, unsigned seed) {
  const auto& first = std::get<Phase::Compute>(schedule.phases[0]);
  const auto& last = std::get<Phase::Compute>(schedule.phases[2]);
  LoweredTileProgram program;
  program.tile = 0;
  program.steps.push_back(LoweredTileStep::Compute{
      LoweredComputeCommand{OpId{1}, 0, first.commands[0], 0x4C000, {0x4D000 + seed, 0x4E000}}});
  program.steps.push_back(
      LoweredTileStep::Exchange{1, 0, compiler::make_exchange_row({seed + 1, 2, 3})});
  program.steps.push_back(LoweredTileStep::Exchange{1, 1, compiler::make_exchange_row({})});
  program.steps.push_back(LoweredTileStep::Compute{
      LoweredComputeCommand{OpId{2}, 2, last.commands[0], 0x4C100, {0x4C000, 0x60000}}});
  return program;
}

TEST(Concurrency, BuildsAndDecodesProfiles) {
  expect_same_results_in_parallel([](unsigned seed) {
    const Schedule schedule = profiled_schedule(seed);
    const LoweredTileProgram program = tile_zero_program(schedule, seed);
    auto steps = runtime::profile_steps(schedule, program, runtime::ProfileGranularity::Step);
    const auto phase_steps =
        runtime::profile_steps(schedule, program, runtime::ProfileGranularity::Phase);
    const runtime::StaticProfileRegion regions[] = {{"embedding", {0, 1}},
                                                    {"encoder", {1, 2 + seed % 2}}};
    const auto annotated = runtime::annotate_semantic_regions(steps.steps, regions);
    const auto idle = runtime::idle_compute_profile_step(schedule, 5, OpId{1}, 0);
    const auto sync = runtime::synchronization_profile_step(schedule, 1, 2, 1, 0, true);

    // Tile blocks: boundary samples for the step list, pairs for the phase list.
    runtime::ProfileLayout layout;
    layout.output_offset = 8;
    layout.tiles = {runtime::ProfileTileLayout{7, 0, steps.steps, true},
                    runtime::ProfileTileLayout{9, 64, phase_steps.steps, false}};
    std::vector<std::uint8_t> output(8 + 64 + 8 * phase_steps.steps.size() - (seed % 3 == 2));
    std::mt19937 random(seed);
    for (auto& byte : output) byte = static_cast<std::uint8_t>(random());
    const auto report = layout.decode(output, 1'000'000'000 + seed);
    return std::make_tuple(steps, phase_steps, annotated, idle, sync, report);
  });
}

TEST(Concurrency, BuildsMemoryProfiles) {
  expect_same_results_in_parallel([](unsigned seed) {
    ExecutableGraph graph;
    graph.schedule = profiled_schedule(seed);
    graph.schedule.tile_count = static_cast<std::uint16_t>(2 + seed % 3);
    for (auto a : seeded_allocations(seed)) {
      a.tensor.value += 1000;
      a.address += 0x10000;
      graph.schedule.allocations.push_back(a);
    }
    graph.host_weights = {package::Binding{
        "weights." + std::to_string(seed),
        "f16",
        {4, 16},
        {package::RegionSlice{exchange::zelk_logical_to_physical(1), 0x4C000, 0, 128}}}};
    if (seed % 6 == 5) graph.schedule.tile_count = 2000;  // more tiles than the card has
    return runtime::allocator_memory_profile(graph);
  });
}

TEST(Concurrency, EncodesF143Blocks) {
  expect_same_results_in_parallel([](unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> block(256);
    const float magnitude = std::ldexp(1.0f, static_cast<int>(seed % 40) - 20);
    for (auto& v : block) v = value(random) * magnitude;
    if (seed % 4 == 0) block[seed % 256] = std::numeric_limits<float>::quiet_NaN();
    const std::int8_t scale = runtime::blocked_data::f143_scale(block);
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> decoded;
    for (const float v : block) {
      bytes.push_back(runtime::blocked_data::f143_from_f32(v, scale));
      decoded.push_back(
          std::bit_cast<std::uint32_t>(runtime::blocked_data::f143_to_f32(bytes.back(), scale)));
    }
    return std::make_tuple(scale, bytes, decoded);
  });
}

TEST(Concurrency, ShapesEncoderLayers) {
  expect_same_results_in_parallel([](unsigned seed) {
    std::vector<runtime::Result<std::uint16_t>> widths;
    const compiler::GemmDataType types[] = {compiler::GemmDataType::F16{},
                                            compiler::GemmDataType::F8F143{0, 0}};
    for (const std::uint16_t columns : {768, 1152, 3072, 4000}) {
      for (const auto& type : types) {
        widths.push_back(runtime::siglip::choose_gemm_output_block_columns(
            static_cast<std::uint16_t>(64 + 16 * seed), 16, 64, columns,
            static_cast<std::uint16_t>(1472 - seed), type, seed % 7 == 3 ? 128 : 0));
      }
    }

    // One layer ending in a residual addition, then the next layer's affine LayerNorm.
    Schedule schedule;
    schedule.tile_count = 2;
    const std::size_t t = 10 * seed;
    schedule.phases = {
        Phase::Compute{.op = OpId{1}, .commands = {command(0, "gemm_f16", t + 1, {t + 3})}},
        Phase::Exchange{},
        Phase::Compute{.op = OpId{2},
                       .commands = {command(0, "add_f16", t + 1, {t + 1, t + 2}),
                                    command(1, "add_f16", t + 4, {t + 4, t + 5})}},
    };
    schedule.allocations = {home(t + 1, 0, 0x4C000, 0x100), home(t + 2, 0, 0x4C100, 0x100),
                            home(t + 4, 1, 0x4C000, 0x100), home(t + 5, 1, 0x4C100, 0x100)};
    auto deferred = runtime::siglip::defer_terminal_residual_add(schedule);
    const std::size_t next = schedule.phases.size();
    schedule.phases.push_back(Phase::Compute{
        .op = OpId{3},
        .commands = {
            command(0, "layer_norm_affine_f16", t + 6, {t + 1, t + 7}),
            command(1, "layer_norm_affine_f16", t + 8, {seed % 5 == 2 ? t + 9 : t + 4, t + 7})}});
    std::optional<runtime::Result<void>> fused;
    if (deferred && *deferred) {
      fused = runtime::siglip::fuse_deferred_residual_into_layer_norm(schedule, next, **deferred);
    }
    return std::make_tuple(widths, deferred, fused, schedule);
  });
}

// A lowered call of `kernel` in `phase` with the given input addresses.
LoweredTileStep lowered_call(std::size_t phase, std::string kernel,
                             std::vector<std::uint32_t> inputs, std::uint32_t output = 0x80000) {
  KernelCommand c;
  c.inputs.resize(inputs.size());
  c.specialization.operation = std::move(kernel);
  return LoweredTileStep::Compute{LoweredComputeCommand{
      OpId{phase}, phase, compiler::make_kernel_command(std::move(c)), output, std::move(inputs)}};
}

LoweredTileStep lowered_exchange(std::size_t phase, std::uint32_t first_word) {
  return LoweredTileStep::Exchange{phase, 0, compiler::make_exchange_row({first_word})};
}

TEST(Concurrency, PlansStaticTemplates) {
  expect_same_results_in_parallel([](unsigned seed) {
    constexpr std::uint32_t ACTIVE = 0x40C00001;
    constexpr std::uint32_t INACTIVE = 0x40C00000;
    LoweredTileProgram program;
    program.tile = 7;
    program.steps = {lowered_exchange(0, ACTIVE),
                     lowered_call(1, "gemm_f16_accumulate", {0x50000, 0x54000 + 0x100 * seed}),
                     lowered_call(1, "add_f16", {0x50000, 0x58000}),
                     lowered_exchange(2, seed % 2 ? ACTIVE : INACTIVE),
                     lowered_call(3, "add_f16", {0x50000, 0x5C000})};
    if (seed % 6 == 5) program.steps.pop_back();  // the second instance loses its call
    const std::uint32_t plan_addresses[] = {0x52000, 0x52020};
    const std::vector<std::uint32_t> plan_rows[] = {{1, 2, 3}, {1, 2, 4 + seed}};
    const std::optional<runtime::static_codegen::StaticPlanPatch> plan_patches[] = {
        runtime::static_codegen::StaticPlanPatch{0x52004, 1, 0x78001238}, std::nullopt};
    const runtime::StaticTemplateRegion regions[] = {{"encoder_layer", {{0, 2}, {2, 4}}}};
    return runtime::static_codegen::plan_static_templates(program, plan_addresses, plan_rows,
                                                          plan_patches, regions, 0x53002 + 2 * seed,
                                                          seed % 3 != 0);
  });
}

TEST(Concurrency, PlansRunTables) {
  expect_same_results_in_parallel([](unsigned seed) {
    LoweredTileProgram program;
    program.tile = 7;
    std::vector<std::uint32_t> plan_addresses;
    for (std::size_t i = 0; i < 3 + seed % 4; ++i) {
      program.steps.push_back(lowered_exchange(2 * i, i % 2 ? 0x40C00000 : 0x40C00001));
      program.steps.push_back(
          lowered_call(2 * i + 1, "gemm_f16_accumulate",
                       {0x50000, 0x54000 + 0x40 * static_cast<std::uint32_t>((seed + i) % 3)}));
      plan_addresses.push_back(0x52000 + 0x20 * static_cast<std::uint32_t>(i));
    }
    if (seed % 5 == 4) plan_addresses.back() += 2;  // not word aligned
    return runtime::static_codegen::plan_exchange_compute_runs(program, plan_addresses,
                                                               0x53002 + seed, true);
  });
}

}  // namespace
