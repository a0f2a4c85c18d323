// Deferral of a terminal residual addition and its fusion into the next affine LayerNorm.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quarn/compiler/kernel_command.hpp"
#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/runtime/siglip/residual_fusion.hpp"

namespace {

using namespace quarn::compiler;
using quarn::runtime::siglip::defer_terminal_residual_add;
using quarn::runtime::siglip::DeferredResidualAdd;
using quarn::runtime::siglip::fuse_deferred_residual_into_layer_norm;

TensorId T(std::size_t n) {
  return TensorId{n};
}

KernelCommandHandle command(std::uint16_t tile, Text kernel, std::size_t output,
                            std::vector<std::size_t> inputs) {
  KernelCommand c;
  c.tile = tile;
  c.output = T(output);
  for (const auto input : inputs) c.inputs.push_back(T(input));
  c.specialization.operation = std::move(kernel);
  return make_kernel_command(std::move(c));
}

// The residual addition of the example layer: tensor 1 += tensor 2 on tile 0.
KernelCommandHandle add_command() {
  KernelCommand c;
  c.tile = 0;
  c.output = T(1);
  c.inputs = {T(1), T(2)};
  c.arguments = {1, 16, 1};
  c.specialization = SpecializationKey{
      .operation = "add_f16", .shape = {1, 16}, .worker_count = 6, .role = "", .alignment = 8};
  return make_kernel_command(std::move(c));
}

Phase compute(std::vector<KernelCommandHandle> commands, std::size_t op = 1) {
  return Phase::Compute{.op = OpId{op}, .commands = std::move(commands)};
}
Phase empty_exchange() {
  return Phase::Exchange{};
}
Phase moving_exchange() {
  return Phase::Exchange{.transfers = {Transfer{.source_tile = 0,
                                                .destination_tile = 1,
                                                .tensor = T(3),
                                                .bytes = 32,
                                                .staging_address = std::nullopt}}};
}

Allocation home(std::size_t tensor, std::uint16_t tile, std::uint32_t address,
                std::size_t live_from = 0, std::size_t live_until = LIVE_TO_END) {
  return Allocation{.tensor = T(tensor),
                    .tile = tile,
                    .address = address,
                    .size = 32,
                    .live_from = live_from,
                    .live_until = live_until,
                    .kind = AllocationKind::Home{}};
}

// Tensors 1 to 4 at home on tiles 0 and 1, live from phase 0 to the end, and no phases.
Schedule two_tile_schedule() {
  Schedule s;
  s.tile_count = 2;
  for (std::uint16_t tile = 0; tile < 2; ++tile) {
    for (std::size_t t = 1; t <= 4; ++t) {
      s.allocations.push_back(home(t, tile, static_cast<std::uint32_t>(0x60000 + t * 0x100)));
    }
  }
  return s;
}

// The handles of every compute command, to check that nothing was replaced.
std::vector<const KernelCommand*> handles(const Schedule& s) {
  std::vector<const KernelCommand*> out;
  for (const auto& phase : s.phases) {
    if (const auto* c = std::get_if<Phase::Compute>(&phase)) {
      for (const auto& h : c->commands) out.push_back(h.get());
    }
  }
  return out;
}

const KernelCommand& command_at(const Schedule& s, std::size_t phase, std::size_t index) {
  return *std::get<Phase::Compute>(s.phases[phase]).commands[index];
}

TEST(SiglipResidualFusion, DefersTheTerminalAdditionAndFusesItIntoTheNextLayerNorm) {
  Schedule s = two_tile_schedule();
  s.tile_count = 1;
  std::erase_if(s.allocations, [](const Allocation& a) { return a.tile != 0; });
  s.phases = {empty_exchange(), compute({add_command()})};
  const auto allocations = s.allocations;

  auto deferred = defer_terminal_residual_add(s);
  ASSERT_TRUE(deferred.has_value()) << deferred.error().message;
  ASSERT_TRUE(deferred->has_value());
  EXPECT_EQ((*deferred)->sources, (std::vector<std::pair<TensorId, TensorId>>{{T(1), T(2)}}));
  EXPECT_TRUE(s.phases.empty());
  EXPECT_EQ(s.allocations, allocations);

  KernelCommand layer_norm = *command(0, "layer_norm_affine_f16", 4, {1, 3});
  layer_norm.arguments = {7, 9};
  layer_norm.specialization.shape = {1, 16};
  layer_norm.specialization.worker_count = 6;
  layer_norm.specialization.alignment = 8;
  layer_norm.metadata = {{"label", "ln_1"}, {"output_block_row", "0"}};
  s.phases = {empty_exchange(), compute({make_kernel_command(layer_norm)}, 5)};

  const auto fused = fuse_deferred_residual_into_layer_norm(s, 0, std::move(**deferred));
  ASSERT_TRUE(fused.has_value()) << fused.error().message;
  KernelCommand expected = layer_norm;
  expected.inputs = {T(1), T(2), T(3)};
  expected.specialization.operation = "add_layer_norm_affine_f16";
  expected.specialization.role = "add-and-normalize";
  expected.metadata["label"] = "fused residual add and LayerNorm";
  EXPECT_EQ(command_at(s, 1, 0), expected);
  EXPECT_EQ(std::get<Phase::Compute>(s.phases[1]).op, OpId{5});
  EXPECT_EQ(s.allocations, allocations);
}

TEST(SiglipResidualFusion, LoweredHoldersOfTheCommandKeepTheUnfusedCommand) {
  Schedule s = two_tile_schedule();
  const KernelCommandHandle first = command(0, "layer_norm_affine_f16", 4, {1, 3});
  const KernelCommandHandle second = command(1, "layer_norm_affine_f16", 4, {1, 3});
  s.phases = {compute({first, second})};
  // A lowered program made from the phase shares the first command's record.
  const LoweredComputeCommand lowered{.op = OpId{1},
                                      .phase = 0,
                                      .command = first,
                                      .output_address = 0x60400,
                                      .input_addresses = {}};
  const KernelCommand before = *first;

  const auto fused = fuse_deferred_residual_into_layer_norm(
      s, 0, DeferredResidualAdd{{{T(1), T(2)}, {T(3), T(4)}}});
  ASSERT_TRUE(fused.has_value()) << fused.error().message;
  EXPECT_EQ(*lowered.command, before);
  EXPECT_EQ(lowered.specialization().operation.view(), "layer_norm_affine_f16");
  EXPECT_NE(std::get<Phase::Compute>(s.phases[0]).commands[0], first);
  EXPECT_EQ(command_at(s, 0, 0).specialization.operation.view(), "add_layer_norm_affine_f16");
  EXPECT_EQ(command_at(s, 0, 0).inputs, (std::vector{T(1), T(2), T(3)}));
  EXPECT_EQ(command_at(s, 0, 1).tile, 1);
  EXPECT_EQ(command_at(s, 0, 1).inputs, (std::vector{T(1), T(2), T(3)}));
}

struct NotDeferredCase {
  const char* what;
  std::vector<Phase> phases;
};

TEST(SiglipResidualFusion, DefersNothingUnlessAnEmptyExchangeIsFollowedByAdditionsOnly) {
  const NotDeferredCase cases[] = {
      {"no phases", {}},
      {"last phase exchange", {empty_exchange(), compute({add_command()}), empty_exchange()}},
      {"last compute empty", {empty_exchange(), compute({})}},
      {"another kernel",
       {empty_exchange(), compute({add_command(), command(0, "gemm_f16_accumulate", 3, {1, 2})})}},
      {"preceded by compute", {compute({add_command()}), compute({add_command()})}},
      {"preceded by a moving exchange", {moving_exchange(), compute({add_command()})}},
      {"single addition phase", {compute({add_command()})}},
  };
  for (const auto& c : cases) {
    Schedule s = two_tile_schedule();
    s.phases = c.phases;
    const Schedule before = s;
    const auto before_handles = handles(s);
    const auto deferred = defer_terminal_residual_add(s);
    ASSERT_TRUE(deferred.has_value()) << c.what << ": " << deferred.error().message;
    EXPECT_FALSE(deferred->has_value()) << c.what;
    EXPECT_EQ(s, before) << c.what;
    EXPECT_EQ(handles(s), before_handles) << c.what;
  }
}

TEST(SiglipResidualFusion, RejectsAdditionsThatDoNotUpdateTheirFirstInputInPlace) {
  const std::vector<std::vector<KernelCommandHandle>> phases = {
      {command(0, "add_f16", 1, {2, 1})},
      {command(0, "add_f16", 1, {1, 2, 3})},
      {command(0, "add_f16", 1, {1})},
      // A compatible command first: the whole schedule is still left as it was.
      {add_command(), command(1, "add_f16", 1, {1, 2, 3})},
  };
  for (const auto& commands : phases) {
    Schedule s = two_tile_schedule();
    s.phases = {empty_exchange(), compute(commands)};
    const Schedule before = s;
    const auto deferred = defer_terminal_residual_add(s);
    ASSERT_FALSE(deferred.has_value());
    EXPECT_EQ(deferred.error().message, "terminal residual add has an incompatible command ABI");
    EXPECT_EQ(s, before);
  }
}

struct FusionErrorCase {
  const char* what;
  std::vector<Phase> phases;
  std::size_t phase_start;
  DeferredResidualAdd deferred;
  std::string message;
  // Replaces the fixture's allocations when not empty.
  std::vector<Allocation> allocations = {};
};

TEST(SiglipResidualFusion, FailedFusionLeavesTheScheduleExactlyAsItWas) {
  const DeferredResidualAdd one{{{T(1), T(2)}}};
  const DeferredResidualAdd two{{{T(1), T(2)}, {T(3), T(4)}}};
  const auto ln = [](std::uint16_t tile, std::vector<std::size_t> inputs) {
    return command(tile, "layer_norm_affine_f16", 4, std::move(inputs));
  };
  const std::string no_layer_norm = "deferred residual add has no following affine LayerNorm";
  const std::string no_source = "deferred residual add has no source for a LayerNorm shard";
  const std::string not_colocated = "deferred residual source is not colocated with LayerNorm";
  const FusionErrorCase cases[] = {
      {"no phases", {}, 0, one, no_layer_norm},
      {"mixed kernels and empty phases pass",
       {compute({ln(0, {1, 3}), command(0, "add_f16", 1, {1, 2})}), compute({}), empty_exchange()},
       0,
       one,
       no_layer_norm},
      {"LayerNorm before phase_start",
       {compute({ln(0, {1, 3})}), empty_exchange()},
       1,
       one,
       no_layer_norm},
      {"counts differ",
       {compute({ln(0, {1, 3}), ln(1, {1, 3})})},
       0,
       one,
       "deferred residual add and LayerNorm shard counts differ"},
      {"duplicate destinations",
       {compute({ln(0, {1, 3}), ln(1, {1, 3})})},
       0,
       DeferredResidualAdd{{{T(1), T(2)}, {T(1), T(3)}}},
       "deferred residual add has duplicate destination shards"},
      {"first input not a destination", {compute({ln(0, {3, 1})})}, 0, one, no_source},
      {"no inputs", {compute({ln(0, {})})}, 0, one, no_source},
      {"source only on another tile",
       {empty_exchange(), compute({ln(0, {1, 3})})},
       0,
       one,
       not_colocated,
       std::vector{home(1, 0, 0x60100), home(2, 1, 0x60200)}},
      {"source dead by the LayerNorm phase",
       {empty_exchange(), compute({ln(0, {1, 3})})},
       0,
       one,
       not_colocated,
       std::vector{home(1, 0, 0x60100), home(2, 0, 0x60200, 0, 1)}},
      {"source not yet live",
       {empty_exchange(), compute({ln(0, {1, 3})})},
       0,
       one,
       not_colocated,
       std::vector{home(2, 0, 0x60200, 2, LIVE_TO_END)}},
      // The first command could be fused; the second fails, and neither is changed.
      {"second shard has no source", {compute({ln(0, {1, 3}), ln(1, {2, 3})})}, 0, two, no_source},
      {"second shard has no inputs", {compute({ln(0, {1, 3}), ln(1, {})})}, 0, two, no_source},
      {"second shard not colocated",
       {compute({ln(0, {1, 3}), ln(1, {3, 1})})},
       0,
       two,
       not_colocated,
       std::vector{home(2, 0, 0x60200), home(2, 1, 0x60200), home(4, 0, 0x60400)}},
  };
  for (const auto& c : cases) {
    Schedule s = two_tile_schedule();
    if (!c.allocations.empty()) s.allocations = c.allocations;
    s.phases = c.phases;
    const Schedule before = s;
    const auto before_handles = handles(s);
    const auto fused = fuse_deferred_residual_into_layer_norm(s, c.phase_start, c.deferred);
    ASSERT_FALSE(fused.has_value()) << c.what;
    EXPECT_EQ(fused.error().message, c.message) << c.what;
    EXPECT_EQ(s, before) << c.what;
    EXPECT_EQ(handles(s), before_handles) << c.what;
  }
}

TEST(SiglipResidualFusion, FusesTheFirstAllLayerNormPhaseFromPhaseStart) {
  Schedule s = two_tile_schedule();
  const auto ln = command(0, "layer_norm_affine_f16", 4, {1, 3});
  // Phase 0 is before phase_start, phase 2 mixes kernels, phase 3 is the one to fuse, phase 4 is
  // a later LayerNorm that stays as it is.
  s.phases = {compute({ln}), empty_exchange(),
              compute({ln, command(0, "gemm_f16_accumulate", 3, {1, 2})}), compute({ln}),
              compute({ln})};
  // Tensor 2 is live on tile 0 only from phase 3.
  std::erase_if(s.allocations, [](const Allocation& a) { return a.tensor == T(2); });
  s.allocations.push_back(home(2, 0, 0x60200, 3, 4));

  const auto fused =
      fuse_deferred_residual_into_layer_norm(s, 1, DeferredResidualAdd{{{T(1), T(2)}}});
  ASSERT_TRUE(fused.has_value()) << fused.error().message;
  for (const std::size_t p : {0u, 4u}) EXPECT_EQ(command_at(s, p, 0), *ln) << p;
  EXPECT_EQ(command_at(s, 2, 0), *ln);
  EXPECT_EQ(command_at(s, 3, 0).specialization.operation.view(), "add_layer_norm_affine_f16");
  EXPECT_EQ(command_at(s, 3, 0).inputs, (std::vector{T(1), T(2), T(3)}));
}

}  // namespace
