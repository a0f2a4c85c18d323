// Static template planning of one tile program of about 2,000 steps: one region of 27
// instances, one per encoder layer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/runtime/static_codegen/planner.hpp"

namespace {

using namespace quarn;
using compiler::LoweredTileStep;

constexpr std::size_t LAYERS = 27;
// Per layer: 12 exchange phases and 12 compute phases of 5 calls each (72 steps, 24 phases).
constexpr std::size_t PHASE_PAIRS = 12;
constexpr std::size_t CALLS = 5;

struct Input {
  compiler::LoweredTileProgram program;
  std::vector<std::uint32_t> plan_addresses;
  std::vector<std::vector<std::uint32_t>> plan_rows;
  std::vector<std::optional<runtime::static_codegen::StaticPlanPatch>> plan_patches;
  std::vector<runtime::StaticTemplateRegion> regions;
};

Input encoder_tile() {
  Input input;
  runtime::StaticTemplateRegion region{"encoder_layer", {}};
  const char* operations[] = {"gemm_f16_accumulate", "add_f16", "layer_norm_f16", "gelu_f16",
                              "softmax_f16"};
  std::size_t phase = 0;
  for (std::size_t layer = 0; layer < LAYERS; ++layer) {
    const std::size_t first_phase = phase;
    const auto layer_offset = static_cast<std::uint32_t>(layer * 0x400);
    for (std::size_t pair = 0; pair < PHASE_PAIRS; ++pair) {
      const bool active = (layer + pair) % 3 != 0;
      input.program.steps.push_back(LoweredTileStep::Exchange{
          phase++, 0, compiler::make_exchange_row({active ? 0x40C00001u : 0x40C00000u, 7})});
      const auto plan = static_cast<std::uint32_t>(0x52000 + input.plan_addresses.size() * 0x24);
      input.plan_addresses.push_back(plan);
      input.plan_rows.push_back({0x40C00001, 9, plan + 8, static_cast<std::uint32_t>(pair), 3, 4, 5,
                                 6, static_cast<std::uint32_t>(layer)});
      input.plan_patches.push_back(
          pair % 2 == 0 ? std::optional(runtime::static_codegen::StaticPlanPatch{
                              plan + 4, 1, static_cast<std::uint32_t>(0x78001238u + pair)})
                        : std::nullopt);
      for (std::size_t call = 0; call < CALLS; ++call) {
        compiler::KernelCommand kernel;
        kernel.inputs.resize(2);
        kernel.specialization.operation =
            compiler::Text::constant(operations[(call + (layer % 2)) % CALLS]);
        compiler::LoweredComputeCommand command;
        command.phase = phase;
        command.command = compiler::make_kernel_command(std::move(kernel));
        command.output_address = 0x80000 + layer_offset + static_cast<std::uint32_t>(call * 0x40);
        command.input_addresses = {0x50000, 0x60000 + layer_offset};
        input.program.steps.push_back(LoweredTileStep::Compute{std::move(command)});
      }
      ++phase;
    }
    region.phase_instances.emplace_back(first_phase, phase);
  }
  input.regions.push_back(std::move(region));
  return input;
}

void BM_PlanStaticTemplates(benchmark::State& state) {
  const Input input = encoder_tile();
  for (auto _ : state) {
    auto plans = runtime::static_codegen::plan_static_templates(input.program, input.plan_addresses,
                                                                input.plan_rows, input.plan_patches,
                                                                input.regions, 0x53002, true);
    if (!plans) state.SkipWithError(plans.error().message.c_str());
    benchmark::DoNotOptimize(plans);
  }
  state.counters["steps"] = static_cast<double>(input.program.steps.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.program.steps.size()));
}
BENCHMARK(BM_PlanStaticTemplates)->Unit(benchmark::kMicrosecond);

}  // namespace
