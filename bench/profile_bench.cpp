// Memory profile of a card-sized graph, and the profile steps of one long tile program.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/exchange/instructions.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/runtime/profile/memory_profile.hpp"
#include "quarn/runtime/profile/tile_profile.hpp"

namespace {

using namespace quarn;
using compiler::AllocationKind;
using compiler::OpId;
using compiler::Phase;
using compiler::TensorId;

// 1472 tiles, `allocations` allocations spread round-robin over them (home, alias and staging),
// four bindings per tile of which some overlap allocations, compute phases whose commands write
// the allocated tensors, and an exchange with staged transfers.
runtime::ExecutableGraph card_graph(std::size_t allocations) {
  runtime::ExecutableGraph graph;
  auto& schedule = graph.schedule;
  schedule.tile_count = exchange::ZELK_TILE_COUNT;
  for (std::size_t i = 0; i < allocations; ++i) {
    const auto tile = static_cast<std::uint16_t>(i % schedule.tile_count);
    const std::size_t slot = i / schedule.tile_count;
    AllocationKind kind = AllocationKind::Home{};
    if (i % 7 == 3) kind = AllocationKind::HomeAlias{TensorId{i - 1}};
    if (i % 11 == 5) kind = AllocationKind::ExchangeStaging{1};
    schedule.allocations.push_back(compiler::Allocation{
        .tensor = TensorId{i},
        .tile = tile,
        .address = static_cast<std::uint32_t>(0x50000 + (slot % 512) * 0x400),
        .size = 0x400,
        .live_from = slot / 512,
        .live_until = slot / 512 + 4,
        .kind = kind,
    });
  }
  compiler::Phase::Compute compute{OpId{0}, {}};
  for (std::size_t i = 0; i < allocations; i += 3) {
    compiler::KernelCommand command;
    command.tile = static_cast<std::uint16_t>(i % schedule.tile_count);
    command.output = TensorId{i};
    command.inputs = {TensorId{i + 1}};
    if (i % 2 == 1) {
      command.specialization.operation = "gemm_f16_accumulate";
    } else {
      command.specialization.operation = "add_u32";
    }
    command.metadata = {{"label", "layer " + std::to_string(i)},
                        {"output_block_row", "1"},
                        {"output_block_column", "2"}};
    compute.commands.push_back(compiler::make_kernel_command(std::move(command)));
  }
  compiler::Phase::Exchange exchange;
  for (std::uint16_t t = 0; t < schedule.tile_count; ++t) {
    exchange.transfers.push_back(compiler::Transfer{
        .source_tile = t,
        .destination_tile = static_cast<std::uint16_t>((t + 1) % schedule.tile_count),
        .tensor = TensorId{t},
        .bytes = 256,
        .staging_address = 0xD0000,
    });
  }
  schedule.phases = {Phase{std::move(compute)}, Phase{std::move(exchange)},
                     Phase{compiler::Phase::Compute{OpId{1}, {}}}};
  const char* names[] = {"weights", "bias", "input", "logits"};
  for (std::size_t b = 0; b < 4; ++b) {
    package::Binding binding{.name = names[b], .dtype = "f16", .shape = {}, .slices = {}};
    for (std::uint16_t t = 0; t < schedule.tile_count; ++t) {
      binding.slices.push_back(package::RegionSlice{
          .tile = exchange::zelk_logical_to_physical(t),
          .tile_address = static_cast<std::uint32_t>(0x50000 + b * 0x1800),
          .file_offset = 0,
          .size = 0x1000,
      });
    }
    graph.host_weights.push_back(std::move(binding));
  }
  return graph;
}

void BM_AllocatorMemoryProfile(benchmark::State& state) {
  const auto graph = card_graph(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto profile = runtime::allocator_memory_profile(graph);
    if (!profile) state.SkipWithError("unexpected memory profile failure");
    benchmark::DoNotOptimize(profile);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AllocatorMemoryProfile)->Arg(400)->Arg(1472 * 256)->Unit(benchmark::kMillisecond);

// One tile's program of 2000 lowered steps: 100 exchange phases of two epochs, each followed by a
// compute phase of 18 calls on the tile (some phases leave the tile idle).
struct LongProgram {
  compiler::Schedule schedule;
  compiler::LoweredTileProgram program;
  LongProgram() {
    schedule.tile_count = 2;
    program.tile = 0;
    for (std::size_t round = 0; round < 100; ++round) {
      const std::size_t exchange_phase = schedule.phases.size();
      compiler::Phase::Exchange exchange;
      exchange.transfers = {compiler::Transfer{0, 1, TensorId{round}, 512, 0xD0000},
                            compiler::Transfer{1, 0, TensorId{round + 1}, 512, 0xD0000}};
      schedule.phases.push_back(Phase{std::move(exchange)});
      for (std::size_t epoch = 0; epoch < 2; ++epoch) {
        program.steps.push_back(compiler::LoweredTileStep::Exchange{
            exchange_phase, epoch,
            compiler::make_exchange_row({epoch ? exchange::sans(0) : exchange::sans(1), 0, 0})});
      }
      const std::size_t compute_phase = schedule.phases.size();
      compiler::Phase::Compute compute{OpId{round}, {}};
      const bool idle = round % 10 == 9;
      for (std::size_t call = 0; call < 18; ++call) {
        compiler::KernelCommand command;
        command.tile = idle ? 1 : 0;
        command.output = TensorId{call};
        command.inputs = {TensorId{call + 1}, TensorId{call + 2}};
        command.arguments = {64, 1};
        command.specialization.operation = "gemm_f16_accumulate";
        command.specialization.shape = {64, 64, 64};
        command.specialization.worker_count = 6;
        command.specialization.role = "inner-block";
        command.specialization.alignment = 32;
        command.metadata = {{"label", "block " + std::to_string(call)}, {"layer", "3"}};
        compute.commands.push_back(compiler::make_kernel_command(std::move(command)));
        compiler::LoweredComputeCommand lowered;
        lowered.op = OpId{round};
        lowered.phase = compute_phase;
        lowered.command = compute.commands.back();
        lowered.output_address = 0x60000;
        lowered.input_addresses = {0x50000, 0x54000};
        if (idle) {
          program.steps.push_back(
              compiler::LoweredTileStep::IdleCompute{OpId{round}, compute_phase});
        } else {
          program.steps.push_back(compiler::LoweredTileStep::Compute{std::move(lowered)});
        }
      }
      schedule.phases.push_back(Phase{std::move(compute)});
    }
  }
};

void BM_ProfileSteps(benchmark::State& state) {
  const LongProgram fixture;
  const auto granularity = static_cast<runtime::ProfileGranularity>(state.range(0));
  state.SetLabel(runtime::to_string(granularity));
  for (auto _ : state) {
    auto result = runtime::profile_steps(fixture.schedule, fixture.program, granularity);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(fixture.program.steps.size()));
}
BENCHMARK(BM_ProfileSteps)
    ->Arg(static_cast<int>(runtime::ProfileGranularity::Phase))
    ->Arg(static_cast<int>(runtime::ProfileGranularity::Step))
    ->Unit(benchmark::kMicrosecond);

}  // namespace
