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
#include "quarn/exchange/instructions.hpp"
#include "quarn/runtime/profile/builders.hpp"
#include "quarn/runtime/profile/tile_profile.hpp"

namespace {

using namespace quarn;
using compiler::KernelCommand;
using compiler::KernelCommandHandle;
using compiler::LoweredTileProgram;
using compiler::LoweredTileStep;
using compiler::OpId;
using compiler::Phase;
using compiler::Schedule;
using compiler::TensorId;
using compiler::Transfer;
using package::ProfileStep;
using package::ProfileStepKind;
using runtime::ProfileBoundary;
using runtime::ProfileGranularity;
using runtime::StaticProfileRegion;
using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entries(const ProfileStep& step) {
  Entries out;
  for (const auto& entry : step.metadata) out.emplace_back(entry.name, entry.value);
  return out;
}

KernelCommandHandle command(std::uint16_t tile, std::string kernel, std::string role,
                            std::vector<std::size_t> shape) {
  KernelCommand c;
  c.tile = tile;
  c.output = TensorId{1};
  c.specialization.operation = std::move(kernel);
  c.specialization.role = std::move(role);
  c.specialization.shape = std::move(shape);
  c.specialization.worker_count = 6;
  return compiler::make_kernel_command(std::move(c));
}

LoweredTileStep exchange_step(std::size_t phase, std::size_t epoch,
                              std::vector<std::uint32_t> row) {
  return LoweredTileStep::Exchange{phase, epoch, compiler::make_exchange_row(std::move(row))};
}

LoweredTileStep idle_step(std::size_t op, std::size_t phase) {
  return LoweredTileStep::IdleCompute{OpId{op}, phase};
}

LoweredTileStep compute_step(const KernelCommandHandle& handle, std::size_t phase) {
  compiler::LoweredComputeCommand lowered;
  lowered.op = OpId{0};
  lowered.phase = phase;
  lowered.command = handle;
  lowered.output_address = 0x60000;
  return LoweredTileStep::Compute{std::move(lowered)};
}

// Two tiles: phase 0 an exchange without transfers, phase 1 op 2 with "add_u32" on tile 1. Tile 0
// is inactive in the exchange and idle in the compute phase.
struct TwoTileProgram {
  Schedule schedule;
  LoweredTileProgram program;
  TwoTileProgram() {
    schedule.tile_count = 2;
    schedule.phases = {
        Phase{Phase::Exchange{}},
        Phase{Phase::Compute{OpId{2}, {command(1, "add_u32", "elementwise", {64})}}}};
    program.tile = 0;
    program.steps = {exchange_step(0, 0, {exchange::sans(0)}), idle_step(2, 1)};
  }
};

TEST(ProfileSteps, TwoTileProgramAtPhaseAndStepGranularity) {
  const TwoTileProgram fixture;
  const Entries full_exchange = {{"active", "false"},         {"send_count", "0"},
                                 {"receive_count", "0"},      {"send_bytes", "0"},
                                 {"receive_bytes", "0"},      {"next_kernel", "add_u32"},
                                 {"next_role", "elementwise"}};
  for (const auto granularity : {ProfileGranularity::Phase, ProfileGranularity::Step}) {
    SCOPED_TRACE(runtime::to_string(granularity));
    const auto result = runtime::profile_steps(fixture.schedule, fixture.program, granularity);
    ASSERT_EQ(result.steps.size(), 3u);
    const auto& [sync, exchange, idle] =
        std::tie(result.steps[0], result.steps[1], result.steps[2]);
    EXPECT_EQ(sync.kind, ProfileStepKind::Synchronization);
    EXPECT_EQ(exchange.kind, ProfileStepKind::Exchange);
    EXPECT_EQ(idle.kind, ProfileStepKind::Idle);
    for (std::uint32_t k = 0; k < 3; ++k) EXPECT_EQ(result.steps[k].local_index, k);
    EXPECT_EQ(result.boundaries,
              (std::vector<ProfileBoundary>{{.after_sync = true, .after_step = true},
                                            {.after_sync = false, .after_step = true}}));

    EXPECT_EQ(exchange.operation, "exchange for add_u32 (elementwise)");
    // Nothing of this exchange is removed by compaction, so both granularities agree.
    EXPECT_EQ(entries(exchange), full_exchange);
    EXPECT_EQ(sync.operation, "sync before exchange for add_u32 (elementwise)");
    EXPECT_EQ(
        entries(sync),
        (Entries{{"active", "false"}, {"next_kernel", "add_u32"}, {"next_role", "elementwise"}}));
    EXPECT_EQ(idle.operation, "idle during add_u32 (elementwise)");
    EXPECT_EQ(idle.phase, 1u);
  }
}

TEST(ProfileSteps, ExchangeMetadataIsCompactedOnlyAtPhaseGranularity) {
  TwoTileProgram fixture;
  std::get<Phase::Exchange>(fixture.schedule.phases[0]).transfers = {
      Transfer{.source_tile = 0,
               .destination_tile = 1,
               .tensor = TensorId{4},
               .bytes = 64,
               .staging_address = std::nullopt}};
  const auto phase =
      runtime::profile_steps(fixture.schedule, fixture.program, ProfileGranularity::Phase);
  const auto step =
      runtime::profile_steps(fixture.schedule, fixture.program, ProfileGranularity::Step);
  EXPECT_EQ(phase.steps[1].metadata.size(), 7u);
  ASSERT_EQ(step.steps[1].metadata.size(), 8u);
  EXPECT_EQ(step.steps[1].metadata[5].name, "send_0");
}

TEST(ProfileSteps, GraphGranularityHasNoSteps) {
  const TwoTileProgram fixture;
  const auto result =
      runtime::profile_steps(fixture.schedule, fixture.program, ProfileGranularity::Graph);
  EXPECT_TRUE(result.steps.empty());
  EXPECT_EQ(result.boundaries, std::vector<ProfileBoundary>(2));
}

TEST(ProfileSteps, ComputePhaseOfThreeCalls) {
  Schedule schedule;
  const auto call = command(0, "add_u32", "elementwise", {64});
  schedule.phases = {Phase{Phase::Compute{OpId{0}, {call, call, call}}}};
  LoweredTileProgram program;
  program.steps = {compute_step(call, 0), compute_step(call, 0), compute_step(call, 0)};

  const auto phase = runtime::profile_steps(schedule, program, ProfileGranularity::Phase);
  ASSERT_EQ(phase.steps.size(), 1u);
  EXPECT_EQ(phase.steps[0].kind, ProfileStepKind::Compute);
  EXPECT_EQ(phase.steps[0].metadata[3].value, "3");  // active_commands
  EXPECT_EQ(phase.boundaries, (std::vector<ProfileBoundary>{{}, {}, {false, true}}));

  const auto step = runtime::profile_steps(schedule, program, ProfileGranularity::Step);
  ASSERT_EQ(step.steps.size(), 3u);
  EXPECT_EQ(step.boundaries, std::vector<ProfileBoundary>(3, ProfileBoundary{false, true}));
  for (const auto& s : step.steps) EXPECT_EQ(s.operation, "add_u32 (elementwise)");
}

TEST(ProfileSteps, ActivityComesFromTheRowsFirstWord) {
  struct Case {
    std::vector<std::uint32_t> row;
    const char* active;
  };
  const Case cases[] = {
      {{0x40C00000}, "false"}, {{0x40C00000, 0x40C00001}, "false"}, {{0}, "true"},
      {{0x40C00001}, "true"},  {{0x40C00001, 0x40C00000}, "true"},  {{}, "true"},
  };
  Schedule schedule;
  schedule.phases = {Phase{Phase::Exchange{}}};
  for (const auto& c : cases) {
    LoweredTileProgram program;
    program.steps = {exchange_step(0, 0, c.row)};
    const auto result = runtime::profile_steps(schedule, program, ProfileGranularity::Step);
    ASSERT_EQ(result.steps.size(), 2u);
    for (const auto& step : result.steps) {
      EXPECT_EQ(step.metadata[0].name, "active");
      EXPECT_EQ(step.metadata[0].value, c.active) << testing::PrintToString(c.row);
    }
  }

  // A step without a row holds no words and counts as active.
  LoweredTileProgram program;
  program.steps = {LoweredTileStep::Exchange{0, 0, nullptr}};
  EXPECT_EQ(runtime::profile_steps(schedule, program, ProfileGranularity::Phase)
                .steps[0]
                .metadata[0]
                .value,
            "true");
}

TEST(ProfileSteps, MixedStepKindsInOnePhase) {
  Schedule schedule;
  const auto call = command(0, "add_u32", "", {64});
  schedule.phases = {Phase{Phase::Compute{OpId{0}, {call}}}};
  LoweredTileProgram program;

  // A run that opens with an exchange step must hold only exchange steps.
  program.steps = {exchange_step(0, 0, {1}), compute_step(call, 0)};
  try {
    runtime::profile_steps(schedule, program, ProfileGranularity::Phase);
    FAIL() << "expected an internal error";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "one phase lowered to mixed step kinds");
  }

  // A run that opens with a compute step is one compute step; its other steps are not examined.
  program.steps = {compute_step(call, 0), exchange_step(0, 0, {1})};
  const auto result = runtime::profile_steps(schedule, program, ProfileGranularity::Phase);
  ASSERT_EQ(result.steps.size(), 1u);
  EXPECT_EQ(result.steps[0].kind, ProfileStepKind::Compute);
  EXPECT_EQ(result.boundaries, (std::vector<ProfileBoundary>{{}, {false, true}}));
}

TEST(AppendExchangeProfile, RejectsOtherSteps) {
  const TwoTileProgram fixture;
  std::vector<ProfileStep> steps;
  std::vector<ProfileBoundary> boundaries(2);
  for (std::size_t index : {1u, 2u}) {
    try {
      runtime::append_exchange_profile(fixture.schedule, fixture.program, steps, boundaries, index,
                                       false);
      FAIL() << "expected an internal error";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(error.what(), "expected a lowered exchange step");
    }
  }
  std::vector<ProfileBoundary> short_list;
  EXPECT_EQ(quarn::test_support::internal_error_text([&] {
              runtime::append_exchange_profile(fixture.schedule, fixture.program, steps, short_list,
                                               0, false);
              return 0;
            }),
            "expected a lowered exchange step");
  EXPECT_TRUE(steps.empty());
}

TEST(AppendExchangeProfile, NumbersStepsAfterThoseAlreadyInTheList) {
  const TwoTileProgram fixture;
  std::vector<ProfileStep> steps(4);
  std::vector<ProfileBoundary> boundaries(2);
  runtime::append_exchange_profile(fixture.schedule, fixture.program, steps, boundaries, 0, true);
  ASSERT_EQ(steps.size(), 6u);
  EXPECT_EQ(steps[4].local_index, 4u);
  EXPECT_EQ(steps[4].kind, ProfileStepKind::Synchronization);
  EXPECT_EQ(steps[5].local_index, 5u);
  EXPECT_EQ(steps[5].kind, ProfileStepKind::Exchange);
  EXPECT_EQ(boundaries, (std::vector<ProfileBoundary>{{true, true}, {}}));
}

// A schedule of several tiles: exchange phases with several epochs, compute phases with calls on
// some tiles only, an empty compute phase, and a phase that recurs in the program after another.
Schedule varied_schedule() {
  Schedule schedule;
  schedule.tile_count = 3;
  schedule.phases = {
      Phase{Phase::Exchange{{Transfer{.source_tile = 0,
                                      .destination_tile = 1,
                                      .tensor = TensorId{1},
                                      .bytes = 32,
                                      .staging_address = std::nullopt}}}},
      Phase{Phase::Compute{
          OpId{1},
          {command(0, "gemm_f16", "inner", {8, 8, 8}), command(0, "gemm_f16", "inner", {8, 8, 8}),
           command(1, "add_u32", "", {8})}}},
      Phase{Phase::Exchange{}},
      Phase{Phase::Compute{OpId{3}, {}}},
      Phase{Phase::Compute{OpId{4}, {command(2, "gelu", "act", {8})}}},
  };
  return schedule;
}

std::vector<LoweredTileProgram> varied_programs(const Schedule& schedule) {
  const auto& p1 = std::get<Phase::Compute>(schedule.phases[1]).commands;
  const auto& p4 = std::get<Phase::Compute>(schedule.phases[4]).commands;
  std::vector<LoweredTileProgram> programs(5);
  programs[0].tile = 0;
  programs[0].steps = {exchange_step(0, 0, {1}), exchange_step(0, 1, {exchange::sans(0)}),
                       compute_step(p1[0], 1),   compute_step(p1[1], 1),
                       exchange_step(2, 0, {}),  idle_step(3, 3),
                       idle_step(4, 4)};
  programs[1].tile = 1;
  programs[1].steps = {exchange_step(0, 0, {7}), compute_step(p1[2], 1), idle_step(3, 3),
                       idle_step(4, 4)};
  programs[2].tile = 2;
  programs[2].steps = {idle_step(1, 1), exchange_step(2, 0, {}), exchange_step(2, 1, {}),
                       exchange_step(2, 2, {}), compute_step(p4[0], 4)};
  // Phase 1 recurs after phase 2: a run of its own.
  programs[3].tile = 0;
  programs[3].steps = {compute_step(p1[0], 1), exchange_step(2, 0, {}), compute_step(p1[1], 1)};
  programs[4].tile = 1;  // empty program
  return programs;
}

TEST(ProfileSteps, IndicesAndBoundaryFlagsAgreeWithTheSteps) {
  const Schedule schedule = varied_schedule();
  for (const auto& program : varied_programs(schedule)) {
    for (const auto granularity :
         {ProfileGranularity::Graph, ProfileGranularity::Phase, ProfileGranularity::Step}) {
      SCOPED_TRACE(testing::Message()
                   << "tile " << program.tile << " steps " << program.steps.size() << " "
                   << runtime::to_string(granularity));
      const auto result = runtime::profile_steps(schedule, program, granularity);
      ASSERT_EQ(result.boundaries.size(), program.steps.size());
      for (std::size_t k = 0; k < result.steps.size(); ++k) {
        EXPECT_EQ(result.steps[k].local_index, k);
      }
      // The k-th set flag ends the k-th step: a synchronisation flag ends a synchronisation step
      // of the same exchange, and a step flag ends a step of the lowered step's phase.
      std::size_t k = 0;
      for (std::size_t i = 0; i < program.steps.size(); ++i) {
        const auto& boundary = result.boundaries[i];
        const auto phase = compiler::lowered_step_phase(program.steps[i]);
        const bool exchange = std::holds_alternative<LoweredTileStep::Exchange>(program.steps[i]);
        if (boundary.after_sync) {
          ASSERT_LT(k, result.steps.size());
          EXPECT_EQ(result.steps[k].kind, ProfileStepKind::Synchronization);
          EXPECT_EQ(result.steps[k].phase, phase);
          ++k;
        }
        if (boundary.after_step) {
          ASSERT_LT(k, result.steps.size());
          EXPECT_EQ(result.steps[k].kind == ProfileStepKind::Exchange, exchange);
          EXPECT_EQ(result.steps[k].phase, phase);
          ++k;
        }
      }
      EXPECT_EQ(k, result.steps.size());
    }
  }
}

TEST(ProfileSteps, PhaseRunsOfTheVariedPrograms) {
  const Schedule schedule = varied_schedule();
  const auto programs = varied_programs(schedule);
  auto kinds = [&](const LoweredTileProgram& program) {
    std::string out;
    for (const auto& step :
         runtime::profile_steps(schedule, program, ProfileGranularity::Phase).steps) {
      out += package::to_string(step.kind).front();
    }
    return out;
  };
  EXPECT_EQ(kinds(programs[0]), "SESECSEII");
  EXPECT_EQ(kinds(programs[1]), "SECII");
  EXPECT_EQ(kinds(programs[2]), "ISESESEC");
  EXPECT_EQ(kinds(programs[3]), "CSEC");
  EXPECT_EQ(kinds(programs[4]), "");
  const auto tile0 = runtime::profile_steps(schedule, programs[0], ProfileGranularity::Phase);
  EXPECT_EQ(tile0.steps[4].metadata[3].value, "2");  // both calls of phase 1
  EXPECT_EQ(tile0.steps[3].epoch, 1u);
}

TEST(AnnotateSemanticRegions, LabelsEachStepWithItsRegion) {
  const std::vector<StaticProfileRegion> regions = {{"embedding", {0, 2}}, {"encoder", {2, 6}}};
  std::vector<ProfileStep> steps(3);
  steps[0].phase = 0;
  steps[1].phase = 2;
  steps[2].phase = 5;
  steps[2].metadata = {package::profile_metadata("active", true)};
  ASSERT_TRUE(runtime::annotate_semantic_regions(steps, regions));
  EXPECT_EQ(entries(steps[0]), (Entries{{"semantic_region", "embedding"}}));
  EXPECT_EQ(entries(steps[1]), (Entries{{"semantic_region", "encoder"}}));
  EXPECT_EQ(entries(steps[2]), (Entries{{"active", "true"}, {"semantic_region", "encoder"}}));
}

TEST(AnnotateSemanticRegions, PhaseOutsideTheRegions) {
  struct Case {
    std::vector<StaticProfileRegion> regions;
    std::uint32_t phase;
  };
  const Case cases[] = {
      {{{"embedding", {0, 2}}, {"encoder", {2, 6}}}, 6},  // after the last region
      {{{"embedding", {0, 2}}, {"encoder", {4, 6}}}, 3},  // in a gap
      {{{"embedding", {1, 2}}}, 0},                       // before the first region
      {{{"empty", {3, 3}}, {"encoder", {4, 6}}}, 3},      // in an empty range
      {{}, 0},                                            // no regions at all
  };
  for (const auto& c : cases) {
    std::vector<ProfileStep> steps(3);
    steps[0].phase =
        c.regions.empty() ? c.phase : static_cast<std::uint32_t>(c.regions.back().phases.first);
    steps[1].phase = c.phase;
    steps[2].phase = steps[0].phase;
    const auto result = runtime::annotate_semantic_regions(steps, c.regions);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message,
              "profile phase " + std::to_string(c.phase) + " is outside the semantic regions");
    // Steps before the failing one keep their label; it and the later ones are unchanged.
    EXPECT_EQ(steps[0].metadata.size(), c.regions.empty() ? 0u : 1u);
    EXPECT_TRUE(steps[1].metadata.empty());
    EXPECT_TRUE(steps[2].metadata.empty());
  }

  std::vector<ProfileStep> none;
  EXPECT_TRUE(runtime::annotate_semantic_regions(none, {}));
}

}  // namespace
