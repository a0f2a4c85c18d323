// Per-instance template records and the table that interns their words.
//
// A static code template is one generic code sequence that serves several instances of a
// repeating stretch of a tile program. Whatever differs between the instances lives in a record
// of 32-bit words per instance; whatever is the same is an immediate of the code or a word of a
// table shared by all instances. While a template is planned, every value the generic code needs
// is handed to a `TemplateRecords` table as its list across the instances (one entry per
// instance, in instance order), and the table answers where the generic code finds it:
//
//   TemplateRecords records(3);
//   records.values({10, 20, 30});   // Record(0): a new column of the records
//   records.values({11, 21, 31});   // RecordOffset{0, 1}: column 0 plus one add-immediate
//   records.values({7, 7, 7});      // Constant(7)
//
// A new column is created only when no cheaper answer exists; once created, columns and shared
// words never change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <ranges>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "quarn/runtime/error.hpp"
#include "quarn/support/small_vector.hpp"

namespace quarn::runtime::static_codegen {

namespace record_word {
// A literal word.
struct Value {
  std::uint32_t value = 0;
  friend bool operator==(const Value&, const Value&) = default;
};
// A word holding the value of the named symbol once the generated code is linked.
struct Symbol {
  std::string name;
  friend bool operator==(const Symbol&, const Symbol&) = default;
};
}  // namespace record_word

// One word of an instance record or of a template's shared table. Words are equal when variant
// and content are equal; they hash by variant index (0 for `Value`, 1 for `Symbol`) and content.
struct StaticTemplateRecordWord : std::variant<record_word::Value, record_word::Symbol> {
  using Value = record_word::Value;
  using Symbol = record_word::Symbol;
  using variant::variant;
};

// 'Value(10)', 'Symbol("quarn_stack_add_f16")'.
std::string debug_string(const StaticTemplateRecordWord& word);

namespace template_value {
// The same value in every instance, below 0x100000: an immediate of the generic code.
struct Constant {
  std::uint32_t value = 0;
  friend bool operator==(const Constant&, const Constant&) = default;
};
// Word `slot` of the current instance's record.
struct Record {
  std::uint16_t slot = 0;
  friend bool operator==(const Record&, const Record&) = default;
};
// Word `slot` of the current instance's record plus `offset`, added with add-immediate steps.
struct RecordOffset {
  std::uint16_t slot = 0;
  std::int32_t offset = 0;
  friend bool operator==(const RecordOffset&, const RecordOffset&) = default;
};
// Word `index` of the template's shared table.
struct Shared {
  std::uint16_t index = 0;
  friend bool operator==(const Shared&, const Shared&) = default;
};
}  // namespace template_value

// Where the generic code finds one value.
struct TemplateValue : std::variant<template_value::Constant, template_value::Record,
                                    template_value::RecordOffset, template_value::Shared> {
  using Constant = template_value::Constant;
  using Record = template_value::Record;
  using RecordOffset = template_value::RecordOffset;
  using Shared = template_value::Shared;
  using variant::variant;
};

// 'Constant(524288)', 'Record(3)', 'RecordOffset { slot: 0, offset: -2 }', 'Shared(0)'.
std::string debug_string(const TemplateValue& value);

// The largest immediate that the generic code uses as `Constant`, plus one (2^20).
inline constexpr std::uint32_t TEMPLATE_CONSTANT_LIMIT = 0x100000;

// A per-instance list of plain values being examined; inline room for 32 instances.
using TemplateValueBuffer = support::SmallVector<std::uint32_t, 32>;

}  // namespace quarn::runtime::static_codegen

template <>
struct std::hash<quarn::runtime::static_codegen::StaticTemplateRecordWord> {
  std::size_t operator()(
      const quarn::runtime::static_codegen::StaticTemplateRecordWord& word) const;
};

namespace quarn::runtime::static_codegen {

// The words of one column with its slot, kept for exact lookups.
struct TemplateColumn {
  std::vector<StaticTemplateRecordWord> words;
  std::uint16_t slot = 0;
  friend bool operator==(const TemplateColumn&, const TemplateColumn&) = default;
};

// A column made from plain values, described by its value in instance 0 (`base`) and each
// instance's difference from it (`deltas`, the first always 0); kept for affine lookups.
struct AffineColumn {
  std::vector<std::int64_t> deltas;
  std::uint16_t slot = 0;
  std::uint32_t base = 0;
  friend bool operator==(const AffineColumn&, const AffineColumn&) = default;
};

// The interning table of one template's records. All rows have the same length; position s of
// every row forms column s. Slots and shared indices are handed out 0, 1, 2, ... and are 16-bit,
// so a table holds at most 65,536 columns and 65,536 shared words; a request beyond fails with
// "out of range integral type conversion attempted" and leaves the table unchanged.
//
// Every request carries exactly one entry per instance; any other length is a broken caller
// (std::logic_error).
struct TemplateRecords {
  // One record per instance.
  std::vector<std::vector<StaticTemplateRecordWord>> rows;
  // Content hash → the columns created under it (value path and word path hash differently).
  std::unordered_map<std::uint64_t, std::vector<TemplateColumn>> columns;
  // Delta-pattern hash → the plain-value columns with that pattern, in creation order.
  std::unordered_map<std::uint64_t, std::vector<AffineColumn>> affine_columns;
  // The shared table in index order; every word occurs once.
  std::vector<StaticTemplateRecordWord> shared;
  // Word → its index in `shared`.
  std::unordered_map<StaticTemplateRecordWord, std::uint16_t> shared_values;

  // An empty table with `instances` empty rows; `instances` must be at least 1.
  explicit TemplateRecords(std::size_t instances);

  // The place of one plain value per instance: `Constant` when all are equal and below 2^20,
  // `Shared` when all are equal otherwise, an existing column when one holds exactly these
  // values, an existing column plus an offset when that costs fewer add-immediate steps than
  // there are instances, and a new column otherwise.
  Result<TemplateValue> values(std::span<const std::uint32_t> values);
  Result<TemplateValue> values(std::initializer_list<std::uint32_t> values) {
    return this->values(std::span<const std::uint32_t>(values.begin(), values.size()));
  }
  // Any other sequence of values is first collected into an inline buffer.
  template <std::ranges::input_range Range>
  requires(!std::convertible_to<Range, std::span<const std::uint32_t>>)
      Result<TemplateValue> values(Range&& range) {
    TemplateValueBuffer buffer;
    for (auto&& value : range) buffer.push_back(static_cast<std::uint32_t>(value));
    return values(buffer.span());
  }

  // The place of one word per instance (words may be symbols): `Shared` when all are equal
  // (never `Constant`), an existing column with exactly these words, or a new column.
  Result<TemplateValue> words(std::vector<StaticTemplateRecordWord> words);

  // The shared index of `word`, added to the shared table when it is new.
  Result<TemplateValue> shared_word(StaticTemplateRecordWord word);

  // Appends one column (words[i] to row i) and returns its slot; registers it for no lookup.
  Result<std::uint16_t> push_column(std::vector<StaticTemplateRecordWord> words);

  friend bool operator==(const TemplateRecords&, const TemplateRecords&) = default;

 private:
  void check_request_length(std::size_t entries) const;
};

// Hash of plain values: each value fed as the byte 0 and then the 32-bit value, no length.
std::uint64_t hash_value_words(std::span<const std::uint32_t> values);

// Hash of words: the word count, then each word's variant index and content.
std::uint64_t hash_record_words(std::span<const StaticTemplateRecordWord> words);

// The number of add-immediate instructions (signed 16-bit immediates) that add `offset`:
// ceil(offset / 32767) for offset ≥ 0, ceil(|offset| / 32768) below 0.
constexpr std::size_t add_immediate_steps(std::int32_t offset) {
  if (offset >= 0) return (static_cast<std::size_t>(offset) + 32766) / 32767;
  const std::int64_t magnitude = -static_cast<std::int64_t>(offset);
  return static_cast<std::size_t>((magnitude + 32767) / 32768);
}

}  // namespace quarn::runtime::static_codegen
