// The static template planner: the layer example, phase mapping and every failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "quarn/runtime/static_codegen/planner.hpp"
#include "static_codegen_fixtures.hpp"

namespace quarn::runtime::static_codegen {
namespace {

using namespace test_fixtures;
using Exchange = StaticTemplateStep::Exchange;
using Compute = StaticTemplateStep::Compute;
using Patch = TemplateRecordPatch;

constexpr std::uint32_t ACTIVE = 0x40C00001;
constexpr std::uint32_t INACTIVE = 0x40C00000;

// Tile 7's two encoder layers: an exchange then two calls, an exchange then one call.
struct LayerExample {
  LoweredTileProgram program = program_of({
      exchange(0, {ACTIVE}),
      compute(1, "gemm_f16_accumulate", {0x50000, 0x54000}),
      compute(1, "add_f16", {0x50000, 0x58000}),
      exchange(2, {INACTIVE}),
      compute(3, "add_f16", {0x50000, 0x5C000}),
  });
  std::vector<std::uint32_t> plan_addresses{0x52000, 0x52020};
  std::vector<std::vector<std::uint32_t>> plan_rows{{1, 2, 3}, {1, 2, 4}};
  std::vector<std::optional<StaticPlanPatch>> plan_patches{StaticPlanPatch{0x52004, 1, 0x78001238},
                                                           std::nullopt};
  std::vector<StaticTemplateRegion> regions{{"encoder_layer", {{0, 2}, {2, 4}}}};
  std::uint32_t cursor = 0x53002;

  Result<StaticTemplatePlans> plan(bool cyclic = true) const {
    return plan_static_templates(program, plan_addresses, plan_rows, plan_patches, regions, cursor,
                                 cyclic);
  }
};

TemplatePatchEntry delta(std::uint16_t slot, std::int16_t value) {
  return {slot, StaticTemplatePatchValue::Delta{value}};
}
TemplatePatchEntry word(std::uint16_t slot, Word value) {
  return {slot, StaticTemplatePatchValue::Word{std::move(value)}};
}

TEST(StaticCodegenPlanner, LayerExample) {
  const auto planned = LayerExample{}.plan();
  ASSERT_TRUE(planned.has_value()) << error_of(planned);
  ASSERT_EQ(planned->plans.size(), 1u);
  const StaticTemplatePlan& plan = planned->plans[0];
  EXPECT_EQ(plan.name, "encoder_layer");
  EXPECT_EQ(plan.instance_steps, (std::vector<StepRange>{{0, 3}, {3, 5}}));

  ASSERT_EQ(plan.steps.size(), 3u);
  EXPECT_EQ(plan.steps[0], StaticTemplateStep(Exchange{1,
                                                       std::nullopt,
                                                       Value::Record{0},
                                                       {{2, Value::Record{1}}},
                                                       Value::Record{2},
                                                       Value::Record{3}}));
  EXPECT_EQ(plan.steps[1], StaticTemplateStep(Compute{"gemm_f16_accumulate",
                                                      {Value::Constant{0x80000},
                                                       Value::Constant{0x50000}, Value::Record{5}},
                                                      Value::Record{4},
                                                      std::nullopt}));
  EXPECT_EQ(plan.steps[2],
            StaticTemplateStep(Compute{
                "add_f16",
                {Value::Constant{0x80000}, Value::Constant{0x50000}, Value::Constant{0x58000}},
                std::nullopt,
                Value::Record{3}}));

  const std::vector<std::vector<Word>> records{
      {value_word(0x78001238), value_word(3), value_word(0x52000), value_word(1),
       symbol_word("quarn_stack_gemm_f16_accumulate"), value_word(0x54000)},
      {value_word(0), value_word(4), value_word(0x52020), value_word(0),
       symbol_word("quarn_stack_add_f16"), value_word(0x5C000)},
  };
  EXPECT_EQ(plan.records, records);
  EXPECT_EQ(plan.record_split, 3);
  EXPECT_EQ(plan.record_addresses, (std::vector<std::uint32_t>{0x53004, 0x53004}));
  EXPECT_EQ(plan.record_secondary_addresses, (std::vector<std::uint32_t>{0x53010, 0x53010}));
  EXPECT_EQ(plan.shared, std::vector<Word>{});
  EXPECT_EQ(plan.shared_address, 0u);

  EXPECT_EQ(plan.patches,
            (std::vector<Patch>{
                {},
                {word(0, value_word(0)), delta(1, 1), delta(2, 32), delta(3, -1),
                 word(4, symbol_word("quarn_stack_add_f16")), word(5, value_word(0x5C000))},
                {word(0, value_word(0x78001238)), delta(1, -1), delta(2, -32), delta(3, 1),
                 word(4, symbol_word("quarn_stack_gemm_f16_accumulate")), delta(5, -32768)},
            }));
  EXPECT_EQ(template_patch_ranges(6, plan.record_split),
            (std::array<SlotRange, 4>{{{0, 3}, {3, 3}, {3, 6}, {6, 6}}}));
  EXPECT_EQ(plan.patch_addresses, (std::vector<std::array<std::uint32_t, 4>>{
                                      {0x5301C, 0x5301C, 0x5301C, 0x5301C},
                                      {0x5301C, 0x53030, 0x53030, 0x53048},
                                      {0x53048, 0x5305C, 0x5305C, 0x53070},
                                  }));
  EXPECT_EQ(planned->cursor, 0x53070u);

  // Applying each patch to its predecessor gives exactly the next record, round the cycle.
  EXPECT_EQ(apply_template_record_patch(records[0], plan.patches[0]), records[0]);
  EXPECT_EQ(apply_template_record_patch(records[0], plan.patches[1]), records[1]);
  EXPECT_EQ(apply_template_record_patch(records[1], plan.patches[2]), records[0]);
}

TEST(StaticCodegenPlanner, LayerExampleWithoutCycle) {
  const auto cyclic = LayerExample{}.plan(true);
  const auto planned = LayerExample{}.plan(false);
  ASSERT_TRUE(planned.has_value()) << error_of(planned);
  const auto& plan = planned->plans[0];
  ASSERT_EQ(plan.patches.size(), 2u);
  EXPECT_EQ(plan.patches[1], cyclic->plans[0].patches[1]);
  EXPECT_EQ(plan.patch_addresses, (std::vector<std::array<std::uint32_t, 4>>(
                                      cyclic->plans[0].patch_addresses.begin(),
                                      cyclic->plans[0].patch_addresses.begin() + 2)));
  EXPECT_EQ(planned->cursor, 0x53048u);
}

TEST(StaticCodegenPlanner, PhaseRangesMapToStepsByBinarySearch) {
  const auto program = program_of({exchange(0, {ACTIVE}), compute(2, "a", {1}),
                                   compute(2, "a", {1}), idle(3), exchange(5, {ACTIVE})});
  EXPECT_EQ(phase_range_to_step_range(program, {0, 1}), StepRange(0, 1));
  EXPECT_EQ(phase_range_to_step_range(program, {1, 4}), StepRange(1, 4));
  EXPECT_EQ(phase_range_to_step_range(program, {0, 9}), StepRange(0, 5));
  for (const PhaseRange& empty : {PhaseRange{2, 2}, PhaseRange{3, 1}}) {
    EXPECT_EQ(error_of(phase_range_to_step_range(program, empty)),
              "static template phase range is empty");
  }
  EXPECT_EQ(error_of(phase_range_to_step_range(program, {4, 5})),
            "static template phase range does not map to contiguous tile steps");
  // Steps out of phase order can put a foreign phase inside the range found.
  EXPECT_EQ(error_of(phase_range_to_step_range(
                program_of({compute(2, "a", {1}), compute(0, "a", {1})}), {0, 1})),
            "static template phase range does not map to contiguous tile steps");

  EXPECT_EQ(phase_step_ranges(program, {1, 4}, {1, 4}),
            (std::vector<StepRange>{{1, 1}, {1, 3}, {3, 4}}));
  const auto unordered = program_of(
      {compute(0, "a", {1}), compute(1, "a", {1}), compute(0, "a", {1}), compute(2, "a", {1})});
  EXPECT_EQ(phase_range_to_step_range(unordered, {0, 2}), StepRange(0, 3));
  EXPECT_EQ(error_of(phase_step_ranges(unordered, {0, 3}, {0, 2})),
            "static template steps are not ordered by phase");
  EXPECT_THROW((void)phase_step_ranges(program, {2, 6}, {0, 1}), std::logic_error);
}

// Two-instance programs for the failure table: phases 0..2 and 2..4 unless a case says otherwise.
struct FailureCase {
  const char* name;
  std::vector<LoweredTileStep> steps;
  std::vector<StaticTemplateRegion> regions;
  std::string message;
  std::vector<std::uint32_t> plan_addresses = {};
  std::vector<std::vector<std::uint32_t>> plan_rows = {};
  std::vector<std::optional<StaticPlanPatch>> plan_patches = {};
  std::uint32_t cursor = 0x53000;
};

std::vector<LoweredTileStep> layers(std::uint32_t second_output = 0x81000) {
  return {exchange(0, {ACTIVE}), compute(1, "add_f16", {0x50000}), exchange(2, {ACTIVE}),
          compute(3, "add_f16", {0x50000}, second_output)};
}

TEST(StaticCodegenPlanner, Failures) {
  const std::vector<std::uint32_t> addresses{0x52000, 0x52020};
  const std::vector<std::vector<std::uint32_t>> rows{{1}, {2}};
  const std::vector<StaticTemplateRegion> two{{"layer", {{0, 2}, {2, 4}}}};
  std::vector<FailureCase> cases;
  cases.push_back({"extra plan address, no regions",
                   layers(),
                   {},
                   "unused exchange plan while planning static templates",
                   {1, 2, 3}});
  cases.push_back({"extra plan row",
                   layers(),
                   two,
                   "unused exchange plan row while planning static templates",
                   addresses,
                   {{1}, {2}, {3}}});
  cases.push_back({"extra absent plan patch",
                   layers(),
                   two,
                   "unused exchange plan patch while planning static templates",
                   addresses,
                   rows,
                   {std::nullopt, std::nullopt, std::nullopt}});
  cases.push_back({"no instances", layers(), {{"layer", {}}}, "template layer has no instances"});
  cases.push_back({"empty phase range",
                   layers(),
                   {{"layer", {{0, 2}, {2, 2}}}},
                   "static template phase range is empty"});
  cases.push_back({"phases without steps",
                   layers(),
                   {{"layer", {{0, 2}, {6, 8}}}},
                   "static template phase range does not map to contiguous tile steps"});
  cases.push_back({"steps out of phase order",
                   {compute(0, "a", {1}), compute(1, "a", {1}), compute(0, "a", {1})},
                   {{"layer", {{0, 2}}}},
                   "static template steps are not ordered by phase"});
  cases.push_back({"second instance skips a phase that has steps",
                   {compute(0, "a", {1}), compute(1, "a", {1}), compute(2, "a", {1})},
                   {{"layer", {{0, 1}, {2, 3}}}},
                   "template layer instances must be ordered, contiguous, and non-overlapping"});
  cases.push_back({"second region overlaps the first",
                   layers(),
                   {{"first", {{0, 2}, {2, 4}}}, {"second", {{2, 4}}}},
                   "template second instances must be ordered, contiguous, and non-overlapping",
                   addresses,
                   rows});
  cases.push_back({"instances in reverse order",
                   layers(),
                   {{"layer", {{2, 4}, {0, 2}}}},
                   "template layer instances must be ordered, contiguous, and non-overlapping"});
  cases.push_back({"instances of 2 and 3 phases",
                   {compute(0, "a", {1}), compute(1, "a", {1}), compute(2, "a", {1}),
                    compute(3, "a", {1}), compute(4, "a", {1})},
                   {{"layer", {{0, 2}, {2, 5}}}},
                   "template layer instances have different phase counts"});
  cases.push_back(
      {"exchange against compute",
       {exchange(0, {ACTIVE}), compute(1, "a", {1}), compute(2, "a", {1}), compute(3, "a", {1})},
       {{"layer", {{0, 2}, {2, 4}}}},
       "template layer changes phase kind in phase 0",
       {0x52000},
       {{1}}});
  cases.push_back({"exchange against no steps",
                   {exchange(0, {ACTIVE}), compute(1, "a", {1}), compute(3, "a", {1})},
                   {{"layer", {{0, 2}, {2, 4}}}},
                   "template layer changes phase kind in phase 0",
                   {0x52000},
                   {{1}}});
  cases.push_back({"one and two epochs",
                   {exchange(0, {ACTIVE}), compute(1, "a", {1}), exchange(2, {ACTIVE}),
                    exchange(2, {ACTIVE}, 1), compute(3, "a", {1})},
                   two,
                   "template layer changes exchange epoch count in phase 0",
                   {1, 2, 3},
                   {{1}, {2}, {3}}});
  cases.push_back({"missing normalized row",
                   layers(),
                   two,
                   "template exchange has no normalized row",
                   addresses,
                   {{1}}});
  cases.push_back({"missing plan address",
                   layers(),
                   two,
                   "template exchange has no plan address",
                   {0x52000},
                   rows});
  cases.push_back({"calls with different input counts",
                   {exchange(0, {ACTIVE}), compute(1, "a", {1}), exchange(2, {ACTIVE}),
                    compute(3, "a", {1, 2})},
                   two,
                   "template layer changes compute ABI in phase 1 call 0",
                   addresses,
                   rows});
  cases.push_back(
      {"call without inputs",
       {exchange(0, {ACTIVE}), compute(1, "a", {}), exchange(2, {ACTIVE}), compute(3, "a", {})},
       two,
       "template layer has unsupported compute ABI in phase 1 call 0",
       addresses,
       rows});
  cases.push_back({"plan word index beyond 16 bits", layers(), two,
                   "out of range integral type conversion attempted", addresses, [] {
                     std::vector<std::vector<std::uint32_t>> wide(
                         2, std::vector<std::uint32_t>(65537, 0));
                     wide[1][65536] = 1;
                     return wide;
                   }()});
  cases.push_back({"cursor that rounding would wrap",
                   layers(),
                   two,
                   "static template record address overflow",
                   addresses,
                   rows,
                   {},
                   0xFFFFFFFD});
  cases.push_back({"records ending beyond 32 bits",
                   layers(),
                   two,
                   "static template record address overflow",
                   addresses,
                   rows,
                   {},
                   0xFFFFFFFC});
  // Records of 3 words fill [0xFFFFFFF0, 0xFFFFFFFC); the second patch's first group does not fit.
  cases.push_back({"patch groups ending beyond 32 bits",
                   layers(),
                   two,
                   "static template patch address overflow",
                   addresses,
                   rows,
                   {},
                   0xFFFFFFF0});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto program = program_of(c.steps);
    EXPECT_EQ(error_of(plan_static_templates(program, c.plan_addresses, c.plan_rows, c.plan_patches,
                                             c.regions, c.cursor, false)),
              c.message);
  }
}

TEST(StaticCodegenPlanner, SkippedPhaseWithoutStepsKeepsInstancesContiguous) {
  // The exchange in phase 3 has no plan address, which is fine while no template reaches it.
  const auto program =
      program_of({compute(0, "a", {1}), compute(2, "a", {1}), exchange(3, {ACTIVE})});
  const std::vector<StaticTemplateRegion> regions{{"layer", {{0, 1}, {2, 3}}}};
  const auto planned = plan_static_templates(program, {}, {}, {}, regions, 0x53000, false);
  ASSERT_TRUE(planned.has_value()) << error_of(planned);
  EXPECT_EQ(planned->plans[0].instance_steps, (std::vector<StepRange>{{0, 1}, {1, 2}}));
}

TEST(StaticCodegenPlanner, IdenticalInstancesNeedNoRecordWords) {
  const auto program = program_of({idle(0), compute(1, "a", {1}), idle(2), compute(3, "a", {1})});
  const std::vector<StaticTemplateRegion> regions{{"layer", {{0, 2}, {2, 4}}}};
  const auto planned = plan_static_templates(program, {}, {}, {}, regions, 0x53001, true);
  ASSERT_TRUE(planned.has_value()) << error_of(planned);
  const auto& plan = planned->plans[0];
  EXPECT_EQ(plan.steps, (std::vector<StaticTemplateStep>{
                            StaticTemplateStep::Idle{},
                            Compute{"a", {Value::Constant{0x80000}, Value::Constant{1}}, {}, {}}}));
  EXPECT_EQ(plan.records, (std::vector<std::vector<Word>>{{}, {}}));
  EXPECT_EQ(plan.record_split, 0);
  EXPECT_EQ(plan.record_addresses, (std::vector<std::uint32_t>{0x53004, 0x53004}));
  EXPECT_EQ(plan.record_secondary_addresses, (std::vector<std::uint32_t>{0x53004, 0x53004}));
  EXPECT_EQ(plan.patches, (std::vector<Patch>(3)));
  EXPECT_EQ(plan.patch_addresses,
            (std::vector<std::array<std::uint32_t, 4>>(3, {0x53004, 0x53004, 0x53004, 0x53004})));
  EXPECT_EQ(planned->cursor, 0x53004u);
}

TEST(StaticCodegenPlanner, SenderAddressWhenPatchOffsetsDiffer) {
  const auto program =
      program_of({exchange(0, {ACTIVE}), exchange(1, {ACTIVE}), exchange(2, {ACTIVE})});
  const std::vector<std::optional<StaticPlanPatch>> patches{
      std::nullopt, StaticPlanPatch{0x52024, 1, 7}, StaticPlanPatch{0x52048, 2, 7}};
  const std::vector<StaticTemplateRegion> regions{{"layer", {{0, 1}, {1, 2}, {2, 3}}}};
  const auto planned = plan_static_templates(
      program, std::vector<std::uint32_t>{0x52000, 0x52020, 0x52040},
      std::vector<std::vector<std::uint32_t>>{{5}, {5}, {5}}, patches, regions, 0x53000, false);
  ASSERT_TRUE(planned.has_value()) << error_of(planned);
  EXPECT_EQ(planned->plans[0].steps[0],
            StaticTemplateStep(Exchange{
                1, Value::Record{0}, Value::Record{1}, {}, Value::Record{2}, Value::Constant{1}}));
  EXPECT_EQ(planned->plans[0].records[1],
            (std::vector<Word>{value_word(0x52024), value_word(7), value_word(0x52020)}));
}

TEST(StaticCodegenPlanner, RegionsFollowEachOtherInMemory) {
  const auto program = program_of(layers());
  const std::vector<StaticTemplateRegion> regions{{"first", {{0, 2}}}, {"second", {{2, 4}}}};
  const auto planned = plan_static_templates(program, std::vector<std::uint32_t>{0x52000, 0x52020},
                                             std::vector<std::vector<std::uint32_t>>{{1}, {2}}, {},
                                             regions, 0x53000, false);
  ASSERT_TRUE(planned.has_value()) << error_of(planned);
  ASSERT_EQ(planned->plans.size(), 2u);
  const auto& first = planned->plans[0];
  const auto& second = planned->plans[1];
  EXPECT_EQ(first.patch_addresses.back()[3] <= second.record_addresses[0], true);
  EXPECT_EQ(second.instance_steps, (std::vector<StepRange>{{2, 4}}));
  EXPECT_EQ(error_of(patch_group_end(0, std::size_t{1} << 30)),
            "static template patch size overflow");
  EXPECT_EQ(error_of(patch_group_end(0, std::size_t{1} << 32)),
            "out of range integral type conversion attempted");
  EXPECT_EQ(patch_group_end(0x53000, 5), 0x53014u);
}

}  // namespace
}  // namespace quarn::runtime::static_codegen
