#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "internal_error.hpp"
#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/runtime/profile/builders.hpp"

namespace {

using namespace quarn;
using compiler::KernelCommand;
using compiler::KernelCommandHandle;
using compiler::Metadata;
using compiler::OpId;
using compiler::Phase;
using compiler::Schedule;
using compiler::TensorId;
using compiler::Transfer;
using package::ProfileStep;
using package::ProfileStepKind;
using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entries(const ProfileStep& step) {
  Entries out;
  for (const auto& entry : step.metadata) out.emplace_back(entry.name, entry.value);
  return out;
}

KernelCommandHandle command(std::uint16_t tile, std::string kernel, std::string role,
                            std::vector<std::size_t> shape, Metadata metadata = {}) {
  KernelCommand c;
  c.tile = tile;
  c.output = TensorId{1};
  c.specialization.operation = std::move(kernel);
  c.specialization.role = std::move(role);
  c.specialization.shape = std::move(shape);
  c.specialization.worker_count = 6;
  c.metadata = std::move(metadata);
  return compiler::make_kernel_command(std::move(c));
}

Phase compute(std::size_t op, std::vector<KernelCommandHandle> commands) {
  return Phase{Phase::Compute{OpId{op}, std::move(commands)}};
}

Phase exchange(std::vector<Transfer> transfers = {}) {
  return Phase{Phase::Exchange{std::move(transfers)}};
}

Transfer transfer(std::uint16_t from, std::uint16_t to, std::size_t tensor, std::uint32_t bytes) {
  return Transfer{.source_tile = from,
                  .destination_tile = to,
                  .tensor = TensorId{tensor},
                  .bytes = bytes,
                  .staging_address = std::nullopt};
}

// The GEMM call of an inner block, lowered in phase 7.
compiler::LoweredComputeCommand gemm_call(Metadata metadata, std::string role) {
  KernelCommand c;
  c.tile = 0;
  c.output = TensorId{11};
  c.inputs = {TensorId{9}, TensorId{10}};
  c.arguments = {64};
  c.specialization.operation = "gemm_f32_accumulate";
  c.specialization.shape = {64, 64, 64};
  c.specialization.worker_count = 6;
  c.specialization.role = std::move(role);
  c.specialization.alignment = 32;
  c.metadata = std::move(metadata);
  compiler::LoweredComputeCommand lowered;
  lowered.op = OpId{3};
  lowered.phase = 7;
  lowered.command = compiler::make_kernel_command(std::move(c));
  lowered.output_address = 0x80000;
  lowered.input_addresses = {0x50000, 0x54000};
  return lowered;
}

TEST(ComputeProfileStep, GemmCommandListsItsMetadataInOrder) {
  const auto step = runtime::compute_profile_step(
      8, gemm_call({{"label", "GEMM block (2, 5) inner block 3"}, {"output_block_row", "2"}},
                   "inner-block-3"));
  EXPECT_EQ(step.operation, "GEMM block (2, 5) inner block 3");
  EXPECT_EQ(step.kernel, "gemm_f32_accumulate");
  EXPECT_EQ(step.kind, ProfileStepKind::Compute);
  EXPECT_EQ(step.local_index, 8u);
  EXPECT_EQ(step.phase, 7u);
  EXPECT_EQ(step.epoch, 0u);
  EXPECT_EQ(entries(step), (Entries{
                               {"role", "inner-block-3"},
                               {"shape", "64x64x64"},
                               {"worker_count", "6"},
                               {"alignment", "32"},
                               {"output_tensor", "11"},
                               {"output_address", "0x80000"},
                               {"input_0_tensor", "9"},
                               {"input_0_address", "0x50000"},
                               {"input_1_tensor", "10"},
                               {"input_1_address", "0x54000"},
                               {"argument_0", "64"},
                               {"label", "GEMM block (2, 5) inner block 3"},
                               {"output_block_row", "2"},
                           }));
}

TEST(ComputeProfileStep, OperationFallsBackToKernelAndRole) {
  EXPECT_EQ(runtime::compute_profile_step(0, gemm_call({}, "inner-block-3")).operation,
            "gemm_f32_accumulate (inner-block-3)");
  EXPECT_EQ(runtime::compute_profile_step(0, gemm_call({}, "")).operation, "gemm_f32_accumulate");
}

TEST(ComputeProfileStep, PairsInputsWithAddressesUpToTheShorterList) {
  auto lowered = gemm_call({}, "");
  auto& c = compiler::make_unique_command(lowered.command);
  c.inputs.push_back(TensorId{12});
  lowered.output_address = 0;
  const auto step = runtime::compute_profile_step(0, lowered);
  Entries inputs;
  for (const auto& [name, value] : entries(step)) {
    if (name.starts_with("input_")) inputs.emplace_back(name, value);
  }
  EXPECT_EQ(inputs, (Entries{{"input_0_tensor", "9"},
                             {"input_0_address", "0x50000"},
                             {"input_1_tensor", "10"},
                             {"input_1_address", "0x54000"}}));
  EXPECT_EQ(entries(step)[5], (std::pair<std::string, std::string>{"output_address", "0x0"}));
}

TEST(ComputeProfileStep, StoresLowThirtyTwoBitsOfIndices) {
  auto lowered = gemm_call({}, "");
  lowered.phase = (std::size_t{1} << 32) + 9;
  const auto step = runtime::compute_profile_step((std::size_t{1} << 32) + 5, lowered);
  EXPECT_EQ(step.local_index, 5u);
  EXPECT_EQ(step.phase, 9u);

  Schedule schedule;
  schedule.phases = {exchange()};
  const auto sync =
      runtime::synchronization_profile_step(schedule, 0, 0, 0, (std::size_t{3} << 32) + 2, true);
  EXPECT_EQ(sync.epoch, 2u);
}

TEST(PhaseComputeProfileStep, DescribesTheTilesFirstCommand) {
  Schedule schedule;
  schedule.phases = {compute(1, {command(3, "add_u32", "elementwise", {64}),
                                 command(7, "gelu_c16_to_a8", "activation", {64, 64},
                                         {{"label", "layer 3 GeLU"}, {"layer", "3"}}),
                                 command(7, "gelu_c16_to_a8", "activation", {64, 64},
                                         {{"label", "second command"}, {"layer", "3"}})})};
  const auto step = runtime::phase_compute_profile_step(schedule, 7, 4, 0);
  EXPECT_EQ(step.operation, "layer 3 GeLU");
  EXPECT_EQ(step.kernel, "gelu_c16_to_a8");
  EXPECT_EQ(step.kind, ProfileStepKind::Compute);
  EXPECT_EQ(step.local_index, 4u);
  EXPECT_EQ(entries(step), (Entries{{"role", "activation"},
                                    {"shape", "64x64"},
                                    {"worker_count", "6"},
                                    {"active_commands", "2"},
                                    {"layer", "3"}}));

  // Without a label the operation is the kernel name alone, with no role.
  EXPECT_EQ(runtime::phase_compute_profile_step(schedule, 3, 0, 0).operation, "add_u32");
}

TEST(PhaseComputeProfileStep, TileWithoutCommandsIsIdle) {
  Schedule schedule;
  schedule.phases = {compute(1, {command(3, "add_u32", "elementwise", {64})})};
  const auto step = runtime::phase_compute_profile_step(schedule, 0, 2, 0);
  EXPECT_EQ(step, runtime::idle_compute_profile_step(schedule, 2, OpId{1}, 0));
  EXPECT_EQ(step.kind, ProfileStepKind::Idle);
  EXPECT_EQ(step.operation, "idle during add_u32 (elementwise)");
  EXPECT_EQ(step.kernel, "");
  EXPECT_EQ(entries(step), (Entries{{"active", "false"},
                                    {"scheduled_kernel", "add_u32"},
                                    {"scheduled_role", "elementwise"},
                                    {"scheduled_shape", "64"}}));
}

TEST(PhaseComputeProfileStep, ExchangePhaseIsAnInternalError) {
  Schedule schedule;
  schedule.phases = {exchange()};
  try {
    runtime::phase_compute_profile_step(schedule, 0, 0, 0);
    FAIL() << "expected an internal error";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "expected a compute phase");
  }
}

TEST(BuildersTest, PhaseOutsideTheScheduleIsAnInternalError) {
  Schedule schedule;
  schedule.phases = {exchange()};
  using quarn::test_support::internal_error_text;
  EXPECT_EQ(internal_error_text(
                [&] { return runtime::idle_compute_profile_step(schedule, 0, OpId{0}, 1); }),
            "profile step phase 1 is outside the schedule's 1 phases");
  EXPECT_EQ(internal_error_text(
                [&] { return runtime::exchange_profile_step(schedule, 0, 0, 5, 0, true); }),
            "profile step phase 5 is outside the schedule's 1 phases");
  EXPECT_EQ(
      internal_error_text([&] { return runtime::phase_compute_profile_step(schedule, 0, 0, 1); }),
      "profile step phase 1 is outside the schedule's 1 phases");
}

TEST(IdleComputeProfileStep, ListsOnlyMetadataAllCommandsShare) {
  Schedule schedule;
  schedule.phases = {
      compute(4, {command(1, "add_u32", "", {64}, {{"label", "a"}, {"layer", "3"}, {"part", "x"}}),
                  command(2, "add_u32", "", {64}, {{"label", "b"}, {"layer", "3"}, {"part", "y"}}),
                  command(3, "add_u32", "", {64}, {{"label", "c"}, {"layer", "3"}})})};
  const auto step = runtime::idle_compute_profile_step(schedule, 0, OpId{4}, 0);
  EXPECT_EQ(step.operation, "idle during add_u32 ()");
  EXPECT_EQ(entries(step), (Entries{{"active", "false"},
                                    {"scheduled_kernel", "add_u32"},
                                    {"scheduled_role", ""},
                                    {"scheduled_shape", "64"},
                                    {"layer", "3"}}));
}

TEST(IdleComputeProfileStep, WithoutCommandsNamesTheOp) {
  Schedule schedule;
  schedule.phases = {exchange(), compute(5, {})};
  for (std::size_t phase : {0u, 1u}) {
    const auto step = runtime::idle_compute_profile_step(schedule, 3, OpId{2}, phase);
    EXPECT_EQ(step.operation, "idle compute op 2");
    EXPECT_EQ(entries(step), (Entries{{"active", "false"}}));
    EXPECT_EQ(step.phase, phase);
    EXPECT_EQ(step.kind, ProfileStepKind::Idle);
  }
}

TEST(ExchangeProfileStep, WithoutFollowingComputePhase) {
  Schedule schedule;
  schedule.phases = {exchange({transfer(1, 2, 4, 16)})};
  const auto step = runtime::exchange_profile_step(schedule, 0, 3, 0, 1, false);
  EXPECT_EQ(step.operation, "exchange phase 0");
  EXPECT_EQ(step.kind, ProfileStepKind::Exchange);
  EXPECT_EQ(step.kernel, "");
  EXPECT_EQ(step.epoch, 1u);
  EXPECT_EQ(entries(step), (Entries{{"active", "false"},
                                    {"send_count", "0"},
                                    {"receive_count", "0"},
                                    {"send_bytes", "0"},
                                    {"receive_bytes", "0"}}));

  const auto sync = runtime::synchronization_profile_step(schedule, 0, 3, 0, 1, false);
  EXPECT_EQ(sync.operation, "sync before exchange phase 0");
  EXPECT_EQ(sync.kind, ProfileStepKind::Synchronization);
  EXPECT_EQ(entries(sync), (Entries{{"active", "false"}}));
  EXPECT_EQ(sync.epoch, 1u);
  EXPECT_EQ(sync.local_index, 3u);
}

TEST(ExchangeProfileStep, ListsTransfersAndCompactionKeepsTotals) {
  Schedule schedule;
  schedule.phases = {exchange({transfer(5, 2, 4, 16), transfer(3, 5, 7, 32),
                               transfer(5, 5, 8, UINT32_MAX), transfer(1, 2, 9, 8)})};
  auto step = runtime::exchange_profile_step(schedule, 5, 0, 0, 0, true);
  EXPECT_EQ(entries(step), (Entries{{"active", "true"},
                                    {"send_count", "2"},
                                    {"receive_count", "2"},
                                    {"send_bytes", "4294967311"},
                                    {"receive_bytes", "4294967327"},
                                    {"send_0", "tensor=4,destination_tile=2,bytes=16"},
                                    {"send_1", "tensor=8,destination_tile=5,bytes=4294967295"},
                                    {"receive_0", "tensor=7,source_tile=3,bytes=32"},
                                    {"receive_1", "tensor=8,source_tile=5,bytes=4294967295"}}));
  const auto before = step;
  runtime::compact_exchange_profile(step);
  EXPECT_EQ(entries(step), (Entries{{"active", "true"},
                                    {"send_count", "2"},
                                    {"receive_count", "2"},
                                    {"send_bytes", "4294967311"},
                                    {"receive_bytes", "4294967327"}}));
  step.metadata = before.metadata;
  EXPECT_EQ(step, before);
}

TEST(ExchangeProfileStep, NextCommandPrefersTheTilesOwn) {
  Schedule schedule;
  schedule.phases = {exchange(),
                     compute(1, {command(4, "add_u32", "elementwise", {64}),
                                 command(2, "gelu_c16_to_a8", "activation", {64},
                                         {{"label", "x"}, {"layer", "3"}, {"a_key", "v"}})})};
  const auto own = runtime::exchange_profile_step(schedule, 2, 0, 0, 0, true);
  EXPECT_EQ(own.operation, "exchange for gelu_c16_to_a8 (activation)");
  EXPECT_THAT(
      entries(own),
      testing::ElementsAre(testing::Pair("active", "true"), testing::Pair("send_count", "0"),
                           testing::Pair("receive_count", "0"), testing::Pair("send_bytes", "0"),
                           testing::Pair("receive_bytes", "0"),
                           testing::Pair("next_kernel", "gelu_c16_to_a8"),
                           testing::Pair("next_role", "activation"),
                           testing::Pair("next_a_key", "v"), testing::Pair("next_layer", "3")));

  const auto other = runtime::exchange_profile_step(schedule, 9, 0, 0, 0, true);
  EXPECT_EQ(other.operation, "exchange for add_u32 (elementwise)");
  EXPECT_EQ(entries(other).back(),
            (std::pair<std::string, std::string>{"next_role", "elementwise"}));

  const auto sync = runtime::synchronization_profile_step(schedule, 2, 0, 0, 0, true);
  EXPECT_EQ(sync.operation, "sync before exchange for gelu_c16_to_a8 (activation)");
  EXPECT_EQ(entries(sync), (Entries{{"active", "true"},
                                    {"next_kernel", "gelu_c16_to_a8"},
                                    {"next_role", "activation"},
                                    {"next_layer", "3"}}));

  auto compacted = own;
  runtime::compact_exchange_profile(compacted);
  EXPECT_EQ(compacted, own);
}

TEST(ExchangeProfileStep, NoNextCommandAfterAnEmptyOrExchangePhase) {
  Schedule schedule;
  schedule.phases = {exchange(), compute(1, {}), exchange(), exchange()};
  EXPECT_EQ(runtime::exchange_profile_step(schedule, 0, 0, 0, 0, true).operation,
            "exchange phase 0");
  EXPECT_EQ(runtime::exchange_profile_step(schedule, 0, 0, 2, 0, true).operation,
            "exchange phase 2");
  // Called on a compute phase, the step lists no transfers.
  EXPECT_EQ(runtime::exchange_profile_step(schedule, 0, 0, 1, 0, true).metadata.size(), 5u);
}

}  // namespace
