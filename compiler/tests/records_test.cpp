#include <gtest/gtest.h>

#include <cstdint>
#include <unordered_set>

#include "quarn/compiler/error.hpp"
#include "quarn/compiler/gemm.hpp"
#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"

namespace quarn::compiler {
namespace {

TEST(AllocationKind, HomeAddressAndDebugText) {
  EXPECT_TRUE(AllocationKind{AllocationKind::Home{}}.has_home_address());
  EXPECT_TRUE(AllocationKind{AllocationKind::HomeAlias{TensorId{3}}}.has_home_address());
  EXPECT_FALSE(AllocationKind{AllocationKind::ExchangeStaging{9}}.has_home_address());
  EXPECT_EQ(debug_string(AllocationKind{AllocationKind::Home{}}), "Home");
  EXPECT_EQ(debug_string(AllocationKind{AllocationKind::HomeAlias{TensorId{7}}}),
            "HomeAlias { source: TensorId(7) }");
  EXPECT_EQ(debug_string(AllocationKind{AllocationKind::ExchangeStaging{3}}),
            "ExchangeStaging { phase: 3 }");
  EXPECT_EQ(debug_string(TensorId{7}), "TensorId(7)");
}

TEST(GemmDataType, WeightElementBytes) {
  EXPECT_EQ(GemmDataType{GemmDataType::F16{}}.weight_element_bytes(), 2u);
  EXPECT_EQ(GemmDataType{GemmDataType::F16F8Weights{-3}}.weight_element_bytes(), 1u);
  EXPECT_EQ((GemmDataType{GemmDataType::F8F143{5, -7}}.weight_element_bytes()), 1u);
  EXPECT_EQ(GemmDataType{GemmDataType::F32{}}.weight_element_bytes(), 4u);
}

TEST(Ids, CompareAndHashAsTheirNumber) {
  EXPECT_EQ(TensorId{7}, TensorId{7});
  EXPECT_LT(TensorId{6}, TensorId{7});
  std::unordered_set<TensorId> set{TensorId{1}, TensorId{1}, TensorId{2}};
  EXPECT_EQ(set.size(), 2u);
}

TEST(CompileError, DisplayDebugAndCause) {
  const CompileError memory = CompileError::Memory{"no room"};
  EXPECT_EQ(to_string(memory), "SRAM allocation failed: no room");
  EXPECT_EQ(debug_string(memory), "Memory(\"no room\")");
  EXPECT_EQ(memory.cause(), nullptr);

  const CompileError graph = CompileError::Graph{"cycle"};
  EXPECT_EQ(to_string(graph), "invalid graph: cycle");
  EXPECT_EQ(graph.cause(), nullptr);

  const CompileError exchange =
      CompileError::Exchange{exchange::ExchangeError{exchange::ExchangeError::DuplicateTile{}}};
  EXPECT_EQ(to_string(exchange), "exchange lowering failed: exchange endpoints must be distinct");
  EXPECT_EQ(debug_string(exchange), "Exchange(DuplicateTile)");
  ASSERT_NE(exchange.cause(), nullptr);
  EXPECT_EQ(exchange::to_string(*exchange.cause()), "exchange endpoints must be distinct");
}

TEST(Text, ConstantOrOwnedComparesByContent) {
  const Text constant = "add_f16";
  const Text owned = std::string("add_f16");
  EXPECT_TRUE(constant.is_constant());
  EXPECT_FALSE(owned.is_constant());
  EXPECT_EQ(constant, owned);
  const Text copy = constant;
  EXPECT_TRUE(copy.is_constant());
  EXPECT_EQ(copy.view().data(), constant.view().data());  // the name is not copied
  EXPECT_EQ(shape_text({4, 8, 16}), "4x8x16");
}

KernelCommand add_command() {
  return KernelCommand{
      .tile = 1,
      .output = TensorId{3},
      .inputs = {TensorId{1}, TensorId{2}},
      .arguments = {7},
      .specialization =
          {.operation = "add_f16", .shape = {64}, .worker_count = 6, .role = "", .alignment = 8},
      .metadata = {{"label", "residual"}},
  };
}

TEST(KernelCommand, CopiedPhasesShareCommandsUntilMadeUnique) {
  Phase::Compute first{OpId{0}, {make_kernel_command(add_command())}};
  Phase::Compute second = first;
  EXPECT_EQ(first.commands[0], second.commands[0]);  // the same record, not a copy

  KernelCommand& changed = make_unique_command(second.commands[0]);
  changed.arguments = {9};
  EXPECT_NE(first.commands[0], second.commands[0]);
  EXPECT_EQ(first.commands[0]->arguments, std::vector<std::uint32_t>{7});
  EXPECT_EQ(second.commands[0]->arguments, std::vector<std::uint32_t>{9});

  // The only handle is changed in place.
  const KernelCommand* before = second.commands[0].get();
  make_unique_command(second.commands[0]).arguments = {10};
  EXPECT_EQ(second.commands[0].get(), before);
}

LoweredTileStep compute_step(std::size_t phase, KernelCommandHandle command) {
  return LoweredTileStep::Compute{LoweredComputeCommand{
      .op = OpId{4},
      .phase = phase,
      .command = std::move(command),
      .output_address = 0x80000,
      .input_addresses = {0x50000, 0x60000},
  }};
}

TEST(LoweredTileStep, PhaseOfEachKind) {
  EXPECT_EQ(lowered_step_phase(LoweredTileStep::Exchange{4, 2, make_exchange_row({1, 2})}), 4u);
  EXPECT_EQ(lowered_step_phase(LoweredTileStep::IdleCompute{OpId{9}, 6}), 6u);
  EXPECT_EQ(lowered_step_phase(compute_step(3, make_kernel_command(add_command()))), 3u);
}

TEST(LoweredComputeCommand, ReadsThroughToTheKernelCommand) {
  const LoweredTileStep step = compute_step(5, make_kernel_command(add_command()));
  const LoweredComputeCommand& lowered = *std::get<LoweredTileStep::Compute>(step).command;
  EXPECT_EQ(lowered.tile(), 1u);
  EXPECT_EQ(lowered.output(), TensorId{3});
  EXPECT_EQ(lowered.inputs(), (std::vector<TensorId>{TensorId{1}, TensorId{2}}));
  EXPECT_EQ(lowered.arguments(), std::vector<std::uint32_t>{7});
  EXPECT_EQ(lowered.specialization().operation, "add_f16");
  EXPECT_EQ(lowered.metadata().at("label"), "residual");
  EXPECT_EQ(lowered.input_addresses[0], 0x50000u);
  EXPECT_EQ(lowered.input_addresses[1], 0x60000u);

  // A copied step shares the command; making the copy's command unique leaves the first alone.
  LoweredTileStep copy = step;
  auto& copied = *std::get<LoweredTileStep::Compute>(copy).command;
  EXPECT_EQ(copied.command, lowered.command);
  make_unique_command(copied.command).inputs = {TensorId{8}};
  EXPECT_EQ(lowered.inputs(), (std::vector<TensorId>{TensorId{1}, TensorId{2}}));
  EXPECT_EQ(copied.inputs(), std::vector<TensorId>{TensorId{8}});
}

}  // namespace
}  // namespace quarn::compiler
