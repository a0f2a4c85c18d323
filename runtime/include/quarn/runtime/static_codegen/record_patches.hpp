// Record patches: how one instance's record becomes the next instance's record.
//
// All instances of a template share one record in tile memory. The first instance's record is
// stored whole; before each further instance runs, a patch brings the record from the previous
// instance's words to the next one's. A patch lists only the slots that change; a plain value
// that changes by a small amount is stored as a 16-bit delta. A record's slots are divided into
// four patch groups (two per record part), and each patch is stored as one piece per group; the
// storage size of a piece is what the template planner lays out in tile memory.
//
//   auto patch = template_record_patch(previous, next);          // the changed slots
//   assert(apply_template_record_patch(previous, *patch) == next);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "quarn/runtime/error.hpp"
#include "quarn/runtime/static_codegen/template_records.hpp"

namespace quarn::runtime::static_codegen {

namespace patch_value {
// The slot holds a `Value` word before and after; the new value is the old one plus `delta`.
struct Delta {
  std::int16_t delta = 0;
  friend bool operator==(const Delta&, const Delta&) = default;
};
// The slot's new word.
struct Word {
  StaticTemplateRecordWord word;
  friend bool operator==(const Word&, const Word&) = default;
};
}  // namespace patch_value

// The new content of one changed record word.
struct StaticTemplatePatchValue : std::variant<patch_value::Delta, patch_value::Word> {
  using Delta = patch_value::Delta;
  using Word = patch_value::Word;
  using variant::variant;
};

// 'Delta(-1)', 'Word(Value(70000))'.
std::string debug_string(const StaticTemplatePatchValue& value);

// One changed slot of a record.
struct TemplatePatchEntry {
  std::uint16_t slot = 0;
  StaticTemplatePatchValue value;
  friend bool operator==(const TemplatePatchEntry&, const TemplatePatchEntry&) = default;
};

// A record patch: the changed slots in ascending order, at most one entry per slot. Empty when
// the record does not change.
using TemplateRecordPatch = std::vector<TemplatePatchEntry>;

// A half-open range of record slots [first, second).
using SlotRange = std::pair<std::size_t, std::size_t>;

// The patch turning `previous` into `next`, compared position by position as far as the shorter
// list reaches. A changed `Value` whose difference lies in -32768 ..= 32767 becomes a `Delta`;
// every other change a `Word` with the new word. A change at slot 65,536 or beyond fails with
// "out of range integral type conversion attempted".
Result<TemplateRecordPatch> template_record_patch(
    std::span<const StaticTemplateRecordWord> previous,
    std::span<const StaticTemplateRecordWord> next);

// The record that `patch` makes of `record`: each `Delta` slot's value plus the delta (exactly,
// never wrapped), each `Word` slot the given word, every other slot unchanged. A patch that does
// not fit the record (a slot beyond its end, a delta on a symbol, a sum outside 32 bits) is a
// broken caller: std::logic_error.
std::vector<StaticTemplateRecordWord> apply_template_record_patch(
    std::span<const StaticTemplateRecordWord> record, const TemplateRecordPatch& patch);

// The four patch groups of a record of `record_words` slots whose second part begins at `split`:
// the two halves of 0 .. split followed by the two halves of split .. record_words. A range's
// first half is a whole number of 32-slot segments (about half its length) cut at its end.
// 100 words, split 50 → [0..32, 32..50, 50..82, 82..100]. A split beyond the record is a broken
// caller (std::logic_error).
std::array<SlotRange, 4> template_patch_ranges(std::size_t record_words, std::size_t split);

// The part of group `slots` that a stored patch piece covers, relative to the group's start:
// from the 32-slot segment of the lowest changed slot to the end of the segment of the highest,
// cut at the group's length. Absent when the patch changes no slot of the group.
std::optional<SlotRange> template_patch_group_span(SlotRange slots,
                                                   const TemplateRecordPatch& patch);

// The 32-bit words that the piece of `patch` for group `slots` occupies: 0 when the group is
// untouched, otherwise one per 32-slot segment of the span, one more, one per 32 entries, one
// per two deltas and one per whole word.
std::size_t template_patch_storage_words_range(SlotRange slots, const TemplateRecordPatch& patch);

}  // namespace quarn::runtime::static_codegen
