// Record patches: computing them, applying them, and the sizes of their stored groups.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "quarn/runtime/static_codegen/record_patches.hpp"
#include "static_codegen_fixtures.hpp"

namespace quarn::runtime::static_codegen {
namespace {

using namespace test_fixtures;
using Patch = TemplateRecordPatch;

TemplatePatchEntry delta(std::uint16_t slot, std::int16_t value) {
  return {slot, StaticTemplatePatchValue::Delta{value}};
}
TemplatePatchEntry word(std::uint16_t slot, Word value) {
  return {slot, StaticTemplatePatchValue::Word{std::move(value)}};
}

// The patch of two records, checked to turn the first into the second.
Patch patch_between(const std::vector<Word>& previous, const std::vector<Word>& next) {
  auto patch = template_record_patch(previous, next);
  EXPECT_TRUE(patch.has_value());
  if (!patch) return {};
  EXPECT_EQ(apply_template_record_patch(previous, *patch), next);
  return *patch;
}

TEST(StaticCodegenRecordPatches, ChangedSlotsBecomeDeltasOrWords) {
  const std::vector<Word> record{value_word(10), value_word(7), symbol_word("s")};
  EXPECT_EQ(patch_between(record, record), Patch{});
  EXPECT_EQ(patch_between(record, {value_word(20), value_word(70000), symbol_word("t")}),
            (Patch{delta(0, 10), word(1, value_word(70000)), word(2, symbol_word("t"))}));
  // Changes between a value and a symbol are whole words whatever the value.
  EXPECT_EQ(patch_between({value_word(1), symbol_word("s")}, {symbol_word("s"), value_word(1)}),
            (Patch{word(0, symbol_word("s")), word(1, value_word(1))}));
}

TEST(StaticCodegenRecordPatches, DeltaLimitsAreSixteenSignedBits) {
  struct Case {
    std::uint32_t from;
    std::uint32_t to;
    Patch expected;
  };
  const std::vector<Case> cases{
      {100000, 100000 - 32768, {delta(0, -32768)}},
      {100000, 100000 + 32767, {delta(0, 32767)}},
      {100000, 100000 - 32769, {word(0, value_word(100000 - 32769))}},
      {100000, 100000 + 32768, {word(0, value_word(100000 + 32768))}},
      {0, 0xFFFFFFFF, {word(0, value_word(0xFFFFFFFF))}},
      {0xFFFFFFFF, 0xFFFFFFFE, {delta(0, -1)}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(patch_between({value_word(c.from)}, {value_word(c.to)}), c.expected)
        << c.from << " -> " << c.to;
  }
}

TEST(StaticCodegenRecordPatches, RecordsAreComparedAsFarAsTheShorterReaches) {
  EXPECT_EQ(template_record_patch(std::vector<Word>{value_word(1), value_word(2)},
                                  std::vector<Word>{value_word(1)}),
            Patch{});
  EXPECT_EQ(template_record_patch(std::vector<Word>{value_word(1)},
                                  std::vector<Word>{value_word(3), value_word(9)}),
            (Patch{delta(0, 2)}));
}

TEST(StaticCodegenRecordPatches, ChangeBeyondSixteenBitSlotsFails) {
  std::vector<Word> previous(65537, value_word(0));
  std::vector<Word> next = previous;
  next[65535] = value_word(1);
  EXPECT_EQ(patch_between(previous, next), (Patch{delta(65535, 1)}));
  next[65536] = value_word(1);
  EXPECT_EQ(error_of(template_record_patch(previous, next)),
            "out of range integral type conversion attempted");
}

TEST(StaticCodegenRecordPatches, PatchesThatDoNotFitTheRecordAreCallerErrors) {
  const std::vector<Word> record{value_word(0xFFFFFFFF), symbol_word("s")};
  const auto message_of = [&](const Patch& patch) -> std::string {
    try {
      (void)apply_template_record_patch(record, patch);
    } catch (const std::logic_error& error) {
      return error.what();
    }
    return "<applied>";
  };
  EXPECT_EQ(message_of({delta(2, 1)}),
            "template record patch slot 2 is beyond a record of 2 words");
  EXPECT_EQ(message_of({delta(1, 1)}),
            "template record patch delta at slot 1 applies to a symbol word");
  EXPECT_EQ(message_of({delta(0, 1)}), "template record patch delta at slot 0 leaves 32 bits");
}

TEST(StaticCodegenRecordPatches, PatchRangesSplitEachPartIntoSegmentHalves) {
  using Ranges = std::array<SlotRange, 4>;
  EXPECT_EQ(template_patch_ranges(100, 50), (Ranges{{{0, 32}, {32, 50}, {50, 82}, {82, 100}}}));
  EXPECT_EQ(template_patch_ranges(3, 2), (Ranges{{{0, 2}, {2, 2}, {2, 2}, {2, 3}}}));
  // A part of one slot has an empty first half.
  EXPECT_EQ(template_patch_ranges(2, 1), (Ranges{{{0, 0}, {0, 1}, {1, 1}, {1, 2}}}));
  EXPECT_EQ(template_patch_ranges(0, 0), (Ranges{}));
  EXPECT_EQ(template_patch_ranges(6, 3), (Ranges{{{0, 3}, {3, 3}, {3, 6}, {6, 6}}}));
  EXPECT_EQ(template_patch_ranges(200, 100),
            (Ranges{{{0, 64}, {64, 100}, {100, 164}, {164, 200}}}));
  EXPECT_THROW((void)template_patch_ranges(3, 4), std::logic_error);
}

TEST(StaticCodegenRecordPatches, GroupSpansAndStorageSizes) {
  struct Case {
    const char* name;
    SlotRange group;
    Patch patch;
    std::optional<SlotRange> span;
    std::size_t words;
  };
  Patch dense;
  for (std::uint16_t slot = 0; slot <= 32; ++slot) dense.push_back(delta(slot, 1));
  const std::vector<Case> cases{
      {"one segment in the middle of a group",
       {64, 256},
       {delta(131, 4), word(134, value_word(9))},
       SlotRange{64, 96},
       5},
      {"untouched group", {0, 64}, {delta(131, 4)}, std::nullopt, 0},
      {"last segment cut at the group's length", {0, 40}, {delta(39, 1)}, SlotRange{32, 40}, 4},
      {"entries outside the group are ignored",
       {32, 40},
       {delta(31, 1), word(35, value_word(1)), delta(40, 1)},
       SlotRange{0, 8},
       4},
      // 2 segments + 1 + 2 entry words (33 entries) + 17 delta words.
      {"33 deltas across two segments", {0, 100}, dense, SlotRange{0, 64}, 22},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(template_patch_group_span(c.group, c.patch), c.span);
    EXPECT_EQ(template_patch_storage_words_range(c.group, c.patch), c.words);
  }
}

}  // namespace
}  // namespace quarn::runtime::static_codegen
