// Planning one call position of a template's compute phase.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "quarn/runtime/static_codegen/compute_step.hpp"
#include "static_codegen_fixtures.hpp"

namespace quarn::runtime::static_codegen {
namespace {

using namespace test_fixtures;
using Compute = StaticTemplateStep::Compute;

// Each instance's calls of one phase, held for the call lists that point into them.
struct Calls {
  std::vector<std::vector<LoweredComputeCommand>> instances;
  std::vector<TemplateCallList> lists() const {
    std::vector<TemplateCallList> result;
    for (const auto& calls : instances) {
      TemplateCallList list;
      for (const auto& call : calls) list.push_back(&call);
      result.push_back(list);
    }
    return result;
  }
};

Result<StaticTemplateStep> plan(const Calls& calls, TemplateRecords& records,
                                std::size_t index = 0) {
  const auto lists = calls.lists();
  return plan_template_compute_step(lists, index, records, "encoder_layer", 2);
}

Compute planned_compute(const Calls& calls, TemplateRecords& records, std::size_t index = 0) {
  auto step = plan(calls, records, index);
  EXPECT_TRUE(step.has_value()) << error_of(step);
  if (!step) return {};
  EXPECT_TRUE(std::holds_alternative<Compute>(*step));
  return std::get<Compute>(*step);
}

TEST(StaticCodegenComputeStep, SevenOperandsWithVaryingOutput) {
  const std::vector<std::uint32_t> inputs{0x50000, 0x54000, 0x58000};
  const std::vector<std::uint32_t> arguments{8, 64, 1024};
  Calls calls{{{command(1, "gemm_f16_accumulate", inputs, 0x80000, arguments)},
               {command(5, "gemm_f16_accumulate", inputs, 0x81000, arguments)}}};
  TemplateRecords records(2);
  const Compute step = planned_compute(calls, records);
  EXPECT_EQ(step.operation, "gemm_f16_accumulate");
  EXPECT_EQ(step.operands,
            (std::vector<Value>{Value::Record{0}, Value::Constant{0x50000},
                                Value::Constant{0x54000}, Value::Constant{0x58000},
                                Value::Constant{8}, Value::Constant{64}, Value::Constant{1024}}));
  EXPECT_EQ(step.kernel, std::nullopt);
  EXPECT_EQ(step.condition, std::nullopt);
}

TEST(StaticCodegenComputeStep, OperandCountLimits) {
  struct Case {
    std::size_t inputs;
    std::size_t arguments;
    bool accepted;
  };
  const std::vector<Case> cases{{4, 4, false}, {0, 0, false}, {0, 3, false}, {1, 6, true},
                                {7, 0, true},  {2, 6, false}, {1, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.inputs) + " inputs, " + std::to_string(c.arguments) +
                 " arguments");
    const std::vector<std::uint32_t> inputs(c.inputs, 0x50000);
    const std::vector<std::uint32_t> arguments(c.arguments, 3);
    Calls calls{{{command(1, "add_f16", inputs, 0x80000, arguments)},
                 {command(1, "add_f16", inputs, 0x80000, arguments)}}};
    TemplateRecords records(2);
    const auto step = plan(calls, records);
    if (c.accepted) {
      ASSERT_TRUE(step.has_value()) << error_of(step);
      EXPECT_EQ(std::get<Compute>(*step).operands.size(), 1 + c.inputs + c.arguments);
    } else {
      EXPECT_EQ(error_of(step),
                "template encoder_layer has unsupported compute ABI in phase 2 call 0");
    }
  }
}

TEST(StaticCodegenComputeStep, InstancesMustAgreeOnTheAbi) {
  const std::string message = "template encoder_layer changes compute ABI in phase 2 call 1";
  TemplateRecords records(2);
  Calls inputs{{{command(1, "add_f16", {1}), command(1, "add_f16", {0x50000, 0x54000})},
                {command(3, "add_f16", {1}), command(3, "add_f16", {0x50000})}}};
  EXPECT_EQ(error_of(plan(inputs, records, 1)), message);
  Calls arguments{{{command(1, "add_f16", {1}), command(1, "add_f16", {0x50000}, 0x80000, {1})},
                   {command(3, "add_f16", {1}), command(3, "add_f16", {0x50000}, 0x80000, {})}}};
  EXPECT_EQ(error_of(plan(arguments, records, 1)), message);
  // The agreement check comes first: a call without inputs next to one with an input is a
  // change, not an unsupported ABI.
  Calls mixed{{{command(1, "add_f16", {}), command(1, "add_f16", {})},
               {command(3, "add_f16", {}), command(3, "add_f16", {0x50000})}}};
  EXPECT_EQ(error_of(plan(mixed, records, 1)), message);
}

TEST(StaticCodegenComputeStep, DifferentOperationsGiveAKernelColumn) {
  Calls calls{{{command(1, "gemm_f16_accumulate", {0x50000, 0x54000})},
               {command(3, "add_f16", {0x50000, 0x54000})}}};
  TemplateRecords records(2);
  const Compute step = planned_compute(calls, records);
  EXPECT_EQ(step.operation, "gemm_f16_accumulate");
  EXPECT_EQ(step.kernel, Value(Value::Record{0}));
  EXPECT_EQ(step.condition, std::nullopt);
  EXPECT_EQ(records.rows,
            (std::vector<std::vector<Word>>{{symbol_word("quarn_stack_gemm_f16_accumulate")},
                                            {symbol_word("quarn_stack_add_f16")}}));
}

TEST(StaticCodegenComputeStep, MissingCallsAreConditionalAndRepeatTheFirstOperands) {
  Calls calls{{{command(1, "add_f16", {0x50000, 0x200000})}, {}}};
  TemplateRecords records(2);
  const Compute step = planned_compute(calls, records);
  EXPECT_EQ(step.condition, Value(Value::Record{0}));
  EXPECT_EQ(step.kernel, std::nullopt);
  EXPECT_EQ(step.operands, (std::vector<Value>{Value::Constant{0x80000}, Value::Constant{0x50000},
                                               Value::Shared{0}}));
  EXPECT_EQ(records.rows, (std::vector<std::vector<Word>>{{value_word(1)}, {value_word(0)}}));
}

TEST(StaticCodegenComputeStep, IdenticalCallsCreateNoColumn) {
  Calls calls{{{command(1, "add_f16", {0x50000, 0x3F800000}, 0x80000, {16})},
               {command(3, "add_f16", {0x50000, 0x3F800000}, 0x80000, {16})}}};
  TemplateRecords records(2);
  const Compute step = planned_compute(calls, records);
  EXPECT_EQ(step, (Compute{"add_f16",
                           {Value::Constant{0x80000}, Value::Constant{0x50000}, Value::Shared{0},
                            Value::Constant{16}},
                           std::nullopt,
                           std::nullopt}));
  EXPECT_EQ(records.rows, (std::vector<std::vector<Word>>{{}, {}}));
}

// Requests reach the table as condition, kernel, then operands in order; the slots show it.
TEST(StaticCodegenComputeStep, RequestOrderDecidesSlots) {
  Calls calls{{{command(1, "gemm_f16_accumulate", {0x50000, 0x54000}, 0x80000)},
               {command(3, "add_f16", {0x50000, 0x58000}, 0x81000)},
               {}}};
  TemplateRecords records(3);
  const Compute step = planned_compute(calls, records);
  EXPECT_EQ(step.condition, Value(Value::Record{0}));
  EXPECT_EQ(step.kernel, Value(Value::Record{1}));
  EXPECT_EQ(step.operands,
            (std::vector<Value>{Value::Record{2}, Value::Constant{0x50000}, Value::Record{3}}));
  EXPECT_EQ(records.rows[2], (std::vector<Word>{value_word(0), value_word(0), value_word(0x80000),
                                                value_word(0x54000)}));
}

TEST(StaticCodegenComputeStep, FullTableFails) {
  TemplateRecords records(2);
  for (std::uint32_t i = 0; i < 65536; ++i)
    ASSERT_TRUE(records.push_column({value_word(i), value_word(0)}));
  Calls calls{{{command(1, "add_f16", {0x50000})}, {command(3, "add_f16", {0x50004})}}};
  EXPECT_EQ(error_of(plan(calls, records)), "out of range integral type conversion attempted");
}

TEST(StaticCodegenComputeStep, CallerErrorsThrow) {
  Calls calls{{{command(1, "add_f16", {0x50000})}, {}}};
  TemplateRecords records(2);
  EXPECT_THROW((void)plan(calls, records, 1), std::logic_error);
  TemplateRecords three(3);
  EXPECT_THROW((void)plan(calls, three), std::logic_error);
}

}  // namespace
}  // namespace quarn::runtime::static_codegen
