// The interning table of template records: reuse rules, limits and add-immediate costs.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "quarn/runtime/static_codegen/template_records.hpp"
#include "static_codegen_fixtures.hpp"

namespace quarn::runtime::static_codegen {
namespace {

using namespace test_fixtures;

std::vector<std::uint32_t> counting(std::uint32_t from, std::uint32_t count) {
  std::vector<std::uint32_t> values;
  for (std::uint32_t i = 0; i < count; ++i) values.push_back(from + i);
  return values;
}

TEST(StaticCodegenTemplateRecords, ThreeInstancesReuseExactAndShiftedColumns) {
  TemplateRecords records(3);
  EXPECT_EQ(records.values({10, 20, 30}), Value(Value::Record{0}));
  EXPECT_EQ(records.values({10, 20, 30}), Value(Value::Record{0}));
  EXPECT_EQ(records.values({11, 21, 31}), Value(Value::RecordOffset{0, 1}));
  EXPECT_EQ(records.values({0x3F800000, 0x3F800000, 0x3F800000}), Value(Value::Shared{0}));

  const std::vector<std::vector<Word>> rows{{value_word(10)}, {value_word(20)}, {value_word(30)}};
  EXPECT_EQ(records.rows, rows);
  EXPECT_EQ(records.shared, std::vector<Word>{value_word(0x3F800000)});
}

// Affine reuse is taken only when its add-immediate steps are fewer than the instances, only
// when the offset fits 32 signed bits, and only against the first column with the same deltas.
TEST(StaticCodegenTemplateRecords, AffineReuseOnlyWhenItSavesMemory) {
  struct Case {
    const char* name;
    std::vector<std::vector<std::uint32_t>> requests;
    std::vector<Value> expected;
  };
  const std::vector<Case> cases{
      {"offset 0x20000 costs 5 steps, not fewer than 2 instances",
       {{1, 2}, {0x20001, 0x20002}},
       {Value::Record{0}, Value::Record{1}}},
      {"offset 0x20000 costs 5 steps, fewer than 27 instances",
       {counting(1, 27), counting(1 + 0x20000, 27)},
       {Value::Record{0}, Value::RecordOffset{0, 0x20000}}},
      {"negative offset", {{7, 5}, {5, 3}}, {Value::Record{0}, Value::RecordOffset{0, -2}}},
      {"offset beyond signed 32 bits",
       {counting(0, 40), counting(0xFFFFFF00u, 40)},
       {Value::Record{0}, Value::Record{1}}},
      {"only the first column with the deltas is considered",
       {{0, 1}, {0x40000, 0x40001}, {0x40002, 0x40003}},
       {Value::Record{0}, Value::Record{1}, Value::Record{2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TemplateRecords records(c.requests.front().size());
    for (std::size_t i = 0; i < c.requests.size(); ++i) {
      EXPECT_EQ(records.values(c.requests[i]), c.expected[i]) << "request " << i;
    }
  }
}

TEST(StaticCodegenTemplateRecords, AllEqualListsAreConstantsOrSharedWords) {
  TemplateRecords records(2);
  EXPECT_EQ(records.values({0xFFFFF, 0xFFFFF}), Value(Value::Constant{0xFFFFF}));
  EXPECT_EQ(records.values({0x100000, 0x100000}), Value(Value::Shared{0}));
  EXPECT_EQ(records.values({0x100000, 0x100000}), Value(Value::Shared{0}));
  // The word path never yields a constant, and shares the shared table with the value path.
  EXPECT_EQ(records.words({value_word(5), value_word(5)}), Value(Value::Shared{1}));
  EXPECT_EQ(records.words({value_word(0x100000), value_word(0x100000)}), Value(Value::Shared{0}));
  EXPECT_EQ(records.shared_word(symbol_word("s")), Value(Value::Shared{2}));
  EXPECT_EQ(records.shared,
            (std::vector<Word>{value_word(0x100000), value_word(5), symbol_word("s")}));
  EXPECT_EQ(records.rows, (std::vector<std::vector<Word>>{{}, {}}));
}

TEST(StaticCodegenTemplateRecords, SingleInstanceTableCreatesNoColumn) {
  TemplateRecords records(1);
  EXPECT_EQ(records.values({5}), Value(Value::Constant{5}));
  EXPECT_EQ(records.values({0x200000}), Value(Value::Shared{0}));
  EXPECT_EQ(records.words({symbol_word("quarn_stack_add_f16")}), Value(Value::Shared{1}));
  EXPECT_EQ(records.rows, std::vector<std::vector<Word>>{{}});
}

TEST(StaticCodegenTemplateRecords, WordPathReusesEqualColumnsOnly) {
  TemplateRecords records(2);
  EXPECT_EQ(records.words({symbol_word("a"), symbol_word("b")}), Value(Value::Record{0}));
  EXPECT_EQ(records.words({symbol_word("a"), symbol_word("b")}), Value(Value::Record{0}));
  EXPECT_EQ(records.words({symbol_word("a"), value_word(0)}), Value(Value::Record{1}));
  // The value path and the word path keep separate columns even for the same content.
  EXPECT_EQ(records.values({1, 2}), Value(Value::Record{2}));
  EXPECT_EQ(records.words({value_word(1), value_word(2)}), Value(Value::Record{3}));
  EXPECT_EQ(records.values({1, 2}), Value(Value::Record{2}));
  EXPECT_EQ(records.rows[1],
            (std::vector<Word>{symbol_word("b"), value_word(0), value_word(2), value_word(2)}));
}

TEST(StaticCodegenTemplateRecords, FullTablesFailAndStayUnchanged) {
  TemplateRecords records(2);
  for (std::uint32_t i = 0; i < 65536; ++i) {
    ASSERT_EQ(records.push_column({value_word(i), value_word(i + 1)}), i);
  }
  const TemplateRecords before = records;
  const std::string message = "out of range integral type conversion attempted";
  EXPECT_EQ(error_of(records.push_column({value_word(1), value_word(2)})), message);
  EXPECT_EQ(error_of(records.values({1, 2})), message);
  EXPECT_EQ(error_of(records.words({symbol_word("a"), symbol_word("b")})), message);
  EXPECT_EQ(records, before);
  // Answers that need no new column still work.
  EXPECT_EQ(records.values({3, 3}), Value(Value::Constant{3}));

  TemplateRecords shared(1);
  for (std::uint32_t i = 0; i < 65536; ++i) {
    ASSERT_EQ(shared.shared_word(value_word(i)),
              Value(Value::Shared{static_cast<std::uint16_t>(i)}));
  }
  const TemplateRecords shared_before = shared;
  EXPECT_EQ(error_of(shared.values({0x7FFFFFFF})), message);
  EXPECT_EQ(error_of(shared.words({symbol_word("x")})), message);
  EXPECT_EQ(shared, shared_before);
  EXPECT_EQ(shared.shared_word(value_word(65535)), Value(Value::Shared{65535}));
}

TEST(StaticCodegenTemplateRecords, RequestsOfTheWrongLengthAreCallerErrors) {
  EXPECT_THROW(TemplateRecords(0), std::logic_error);
  TemplateRecords records(3);
  EXPECT_THROW((void)records.values({1, 2}), std::logic_error);
  EXPECT_THROW((void)records.words({value_word(1)}), std::logic_error);
  EXPECT_THROW((void)records.push_column({}), std::logic_error);
  EXPECT_EQ(records.rows, (std::vector<std::vector<Word>>(3)));
}

TEST(StaticCodegenTemplateRecords, AnySequenceOfValuesIsAccepted) {
  TemplateRecords records(3);
  const std::uint16_t narrow[] = {4, 8, 12};
  EXPECT_EQ(records.values(narrow), Value(Value::Record{0}));
  EXPECT_EQ(records.values(std::vector<std::uint32_t>{5, 9, 13}), Value(Value::RecordOffset{0, 1}));
}

TEST(StaticCodegenTemplateRecords, AddImmediateSteps) {
  const std::vector<std::pair<std::int32_t, std::size_t>> cases{
      {0, 0},
      {1, 1},
      {32767, 1},
      {32768, 2},
      {-1, 1},
      {-32768, 1},
      {-32769, 2},
      {0x20000, 5},
      {std::numeric_limits<std::int32_t>::max(), 65539},
      {std::numeric_limits<std::int32_t>::min(), 65536},
  };
  for (const auto& [offset, steps] : cases) {
    EXPECT_EQ(add_immediate_steps(offset), steps) << offset;
  }
}

}  // namespace
}  // namespace quarn::runtime::static_codegen
