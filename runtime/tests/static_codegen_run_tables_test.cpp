// Finding exchange/compute runs and laying out their tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quarn/runtime/static_codegen/run_tables.hpp"
#include "static_codegen_fixtures.hpp"

namespace quarn::runtime::static_codegen {
namespace {

using namespace test_fixtures;

constexpr std::uint32_t ACTIVE = 0x40C00001;
constexpr std::uint32_t INACTIVE = 0x40C00000;

// Exchange/call pairs, one per entry of `second_inputs`, in phases 0, 1, 2, ...
std::vector<LoweredTileStep> pairs(const std::vector<std::uint32_t>& second_inputs,
                                   const std::vector<std::uint32_t>& rows_first_word = {}) {
  std::vector<LoweredTileStep> steps;
  for (std::size_t i = 0; i < second_inputs.size(); ++i) {
    const std::uint32_t first = i < rows_first_word.size() ? rows_first_word[i] : ACTIVE;
    steps.push_back(exchange(2 * i, {first}));
    steps.push_back(compute(2 * i + 1, "gemm_f16_accumulate", {0x50000, second_inputs[i]}));
  }
  return steps;
}

ExchangeComputeRuns planned(const LoweredTileProgram& program,
                            const std::vector<std::uint32_t>& plans, std::uint32_t cursor,
                            bool enabled = true) {
  auto runs = plan_exchange_compute_runs(program, plans, cursor, enabled);
  EXPECT_TRUE(runs.has_value()) << error_of(runs);
  return runs ? *runs : ExchangeComputeRuns{};
}

TEST(StaticCodegenRunTables, OneRunOfThreeIterations) {
  const auto program = program_of(pairs({0x54000, 0x54000, 0x54000}, {ACTIVE, INACTIVE, ACTIVE}));
  EXPECT_EQ(planned(program, {0x52000, 0x52020, 0x52040}, 0x53002),
            (ExchangeComputeRuns{{{0, 3, 0x53004, {0x52001, 0x52020, 0x52041}}}, 0x53010}));
}

TEST(StaticCodegenRunTables, ChangedCallsAndArgumentsLeaveStepsUnrolled) {
  auto steps = pairs({0x54000, 0x58000, 0x58000, 0x58000});
  steps[5] = compute(5, "gemm_f16_accumulate", {0x50000, 0x58000}, 0x80000, {0x40});
  steps[7] = compute(7, "gemm_f16_accumulate", {0x50000, 0x58000}, 0x80000, {0x40});
  EXPECT_EQ(planned(program_of(steps), {0x52000, 0x52020, 0x52040, 0x52060}, 0x53000),
            (ExchangeComputeRuns{{}, 0x53000}));
}

TEST(StaticCodegenRunTables, DisabledPlanningLooksAtNothing) {
  const auto program = program_of(pairs({0x54000, 0x54000}));
  EXPECT_EQ(planned(program, {0x52000, 0x52020}, 0x53001, false),
            (ExchangeComputeRuns{{}, 0x53001}));
  // Not even the number of plan addresses.
  EXPECT_EQ(planned(program, {0x52000, 0x52020, 0x52040}, 0x53001, false),
            (ExchangeComputeRuns{{}, 0x53001}));
  EXPECT_EQ(planned(program, {0x52000, 0x52020}, 0x53000),
            (ExchangeComputeRuns{{{0, 2, 0x53000, {0x52001, 0x52021}}}, 0x53008}));
}

TEST(StaticCodegenRunTables, ShapesThatNeverFormARun) {
  struct Case {
    const char* name;
    std::vector<LoweredTileStep> steps;
  };
  std::vector<Case> cases;
  cases.push_back({"a single pair", pairs({0x54000})});
  cases.push_back({"fewer than four steps", [] {
                     auto steps = pairs({0x54000, 0x54000});
                     steps.pop_back();
                     return steps;
                   }()});
  for (const std::vector<std::uint32_t>& inputs :
       {std::vector<std::uint32_t>{0x50000},
        std::vector<std::uint32_t>{0x50000, 0x54000, 0x58000}}) {
    std::vector<LoweredTileStep> steps;
    for (std::size_t i = 0; i < 3; ++i) {
      steps.push_back(exchange(2 * i, {ACTIVE}));
      steps.push_back(compute(2 * i + 1, "add_f16", inputs));
    }
    cases.push_back({inputs.size() == 1 ? "one input" : "three inputs", std::move(steps)});
  }
  cases.push_back({"idle steps between exchanges", [] {
                     std::vector<LoweredTileStep> steps;
                     for (std::size_t i = 0; i < 3; ++i) {
                       steps.push_back(exchange(2 * i, {ACTIVE}));
                       steps.push_back(idle(2 * i + 1));
                     }
                     return steps;
                   }()});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint32_t> plans;
    for (const auto& step : c.steps) {
      if (std::holds_alternative<LoweredTileStep::Exchange>(step)) plans.push_back(0x52000);
    }
    EXPECT_EQ(planned(program_of(c.steps), plans, 0x53002), (ExchangeComputeRuns{{}, 0x53002}));
  }
}

TEST(StaticCodegenRunTables, RunsFollowEachOtherAndEmptyRowsAreActive) {
  auto steps = pairs({0x54000, 0x54000, 0x58000, 0x58000});
  steps[4] = exchange(4, {});
  steps[6] = exchange(6, {INACTIVE, ACTIVE});
  EXPECT_EQ(
      planned(program_of(steps), {0x52000, 0x52020, 0x52040, 0x52060}, 0x53000),
      (ExchangeComputeRuns{
          {{0, 2, 0x53000, {0x52001, 0x52021}}, {4, 2, 0x53008, {0x52041, 0x52060}}}, 0x53010}));
}

TEST(StaticCodegenRunTables, Failures) {
  struct Case {
    const char* name;
    std::vector<LoweredTileStep> steps;
    std::vector<std::uint32_t> plans;
    std::uint32_t cursor;
    std::string message;
  };
  const auto two_pairs = [] { return pairs({0x54000, 0x54000}); };
  std::vector<Case> cases;
  cases.push_back({"more plan addresses than exchanges",
                   two_pairs(),
                   {0x52000, 0x52020, 0x52040},
                   0x53000,
                   "unused exchange plan while finding compact compute runs"});
  cases.push_back({"fewer plan addresses than exchanges in a run",
                   two_pairs(),
                   {0x52000},
                   0x53000,
                   "compact compute run exchange has no plan address"});
  cases.push_back({"misaligned plan address in a run",
                   two_pairs(),
                   {0x52000, 0x52022},
                   0x53000,
                   "exchange plan address is not word aligned"});
  cases.push_back({"cursor that rounding would wrap",
                   two_pairs(),
                   {0x52000, 0x52020},
                   0xFFFFFFFD,
                   "compact exchange/compute run table address overflow"});
  cases.push_back({"table ending beyond 32 bits",
                   two_pairs(),
                   {0x52000, 0x52020},
                   0xFFFFFFF9,
                   "compact exchange/compute run table address overflow"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of(plan_exchange_compute_runs(program_of(c.steps), c.plans, c.cursor, true)),
              c.message);
  }
}

TEST(StaticCodegenRunTables, UncheckedOutsideRunsAndTablesUpToTheLastAddress) {
  // A misaligned or missing plan address outside any run is not examined.
  auto steps = pairs({0x54000, 0x54000});
  steps.push_back(exchange(4, {ACTIVE}));
  EXPECT_EQ(planned(program_of(steps), {0x52000, 0x52020, 0x52043}, 0x53000).runs.size(), 1u);
  steps.insert(steps.begin(), exchange(0, {ACTIVE}));
  EXPECT_EQ(planned(program_of(steps), {0x52003, 0x52000, 0x52020}, 0x53000).runs.size(), 1u);
  // A table may end at the last address below 2^32, not at 2^32.
  const auto program = program_of(pairs({0x54000, 0x54000}));
  EXPECT_EQ(planned(program, {0x52000, 0x52020}, 0xFFFFFFF4).cursor, 0xFFFFFFFCu);
  EXPECT_EQ(error_of(plan_exchange_compute_runs(
                program, std::vector<std::uint32_t>{0x52000, 0x52020}, 0xFFFFFFF8, true)),
            "compact exchange/compute run table address overflow");
}

TEST(StaticCodegenRunTables, TableEndLimits) {
  EXPECT_EQ(run_table_end(0x53000, 3), 0x5300Cu);
  EXPECT_EQ(error_of(run_table_end(0, std::size_t{1} << 30)),
            "compact exchange/compute run table size overflow");
  EXPECT_EQ(error_of(run_table_end(0, std::size_t{1} << 32)),
            "out of range integral type conversion attempted");
  EXPECT_EQ(error_of(run_table_end(8, (std::size_t{1} << 30) - 2)),
            "compact exchange/compute run table address overflow");
}

TEST(StaticCodegenRunTables, SameCallComparesOperationAddressesAndArguments) {
  const auto base = command(1, "gemm_f16_accumulate", {0x50000, 0x54000}, 0x80000, {4});
  struct Case {
    const char* name;
    LoweredComputeCommand other;
    bool same;
  };
  auto other_op = base;
  other_op.phase = 9;
  other_op.op = compiler::OpId{3};
  const std::vector<Case> cases{
      {"phase and op differ only", other_op, true},
      {"operation", command(1, "add_f16", {0x50000, 0x54000}, 0x80000, {4}), false},
      {"output", command(1, "gemm_f16_accumulate", {0x50000, 0x54000}, 0x80004, {4}), false},
      {"inputs", command(1, "gemm_f16_accumulate", {0x50000}, 0x80000, {4}), false},
      {"arguments", command(1, "gemm_f16_accumulate", {0x50000, 0x54000}, 0x80000, {4, 0}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(same_compute_abi(base, c.other), c.same) << c.name;
    EXPECT_EQ(same_compute_abi(c.other, base), c.same) << c.name;
  }
}

}  // namespace
}  // namespace quarn::runtime::static_codegen
