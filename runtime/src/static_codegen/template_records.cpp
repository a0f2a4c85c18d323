// The interning table of template record words.
#include "quarn/runtime/static_codegen/template_records.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "quarn/support/format.hpp"
#include "quarn/support/narrow.hpp"

namespace quarn::runtime::static_codegen {

namespace {

// A small 64-bit streaming hasher: every fed quantity is mixed into the state as one 64-bit
// number. Hash values only choose buckets; lookups always compare contents.
class Hasher {
 public:
  void feed(std::uint64_t value) {
    state_ = (state_ ^ value) * 0x9E3779B97F4A7C15ull;
    state_ ^= state_ >> 29;
  }
  void feed_text(std::string_view text) {
    feed(text.size());
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
      std::uint64_t chunk = 0;
      std::memcpy(&chunk, text.data() + at, 8);
      feed(chunk);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + at, text.size() - at);
    feed(tail);
  }
  void feed_word(const StaticTemplateRecordWord& word) {
    feed(word.index());
    if (const auto* value = std::get_if<StaticTemplateRecordWord::Value>(&word)) {
      feed(value->value);
    } else {
      feed_text(std::get<StaticTemplateRecordWord::Symbol>(word).name);
    }
  }
  std::uint64_t finish() const {
    std::uint64_t h = state_;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
  }

 private:
  std::uint64_t state_ = 0x243F6A8885A308D3ull;
};

std::uint64_t hash_deltas(std::span<const std::int64_t> deltas) {
  Hasher hasher;
  for (const std::int64_t delta : deltas) hasher.feed(static_cast<std::uint64_t>(delta));
  return hasher.finish();
}

RuntimeError integral_conversion_error() {
  return RuntimeError{std::string(support::INTEGRAL_CONVERSION_MESSAGE)};
}

bool is_value(const StaticTemplateRecordWord& word, std::uint32_t value) {
  const auto* literal = std::get_if<StaticTemplateRecordWord::Value>(&word);
  return literal != nullptr && literal->value == value;
}

}  // namespace

std::string debug_string(const StaticTemplateRecordWord& word) {
  if (const auto* value = std::get_if<StaticTemplateRecordWord::Value>(&word)) {
    return support::format("Value({})", value->value);
  }
  return support::format("Symbol(\"{}\")", std::get<StaticTemplateRecordWord::Symbol>(word).name);
}

std::string debug_string(const TemplateValue& value) {
  switch (value.index()) {
    case 0:
      return support::format("Constant({})", std::get<TemplateValue::Constant>(value).value);
    case 1:
      return support::format("Record({})", std::get<TemplateValue::Record>(value).slot);
    case 2: {
      const auto& offset = std::get<TemplateValue::RecordOffset>(value);
      return support::format("RecordOffset { slot: {}, offset: {} }", offset.slot, offset.offset);
    }
    default:
      return support::format("Shared({})", std::get<TemplateValue::Shared>(value).index);
  }
}

std::uint64_t hash_value_words(std::span<const std::uint32_t> values) {
  Hasher hasher;
  for (const std::uint32_t value : values) {
    hasher.feed(0);
    hasher.feed(value);
  }
  return hasher.finish();
}

std::uint64_t hash_record_words(std::span<const StaticTemplateRecordWord> words) {
  Hasher hasher;
  hasher.feed(words.size());
  for (const auto& word : words) hasher.feed_word(word);
  return hasher.finish();
}

TemplateRecords::TemplateRecords(std::size_t instances) : rows(instances) {
  if (instances == 0) throw std::logic_error("template records need at least one instance");
}

void TemplateRecords::check_request_length(std::size_t entries) const {
  if (entries != rows.size()) {
    throw std::logic_error(support::format(
        "template records request has {} entries for {} instances", entries, rows.size()));
  }
}

Result<std::uint16_t> TemplateRecords::push_column(std::vector<StaticTemplateRecordWord> words) {
  check_request_length(words.size());
  const auto slot = support::checked_narrow<std::uint16_t>(rows.front().size());
  if (!slot) return std::unexpected(integral_conversion_error());
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].push_back(std::move(words[i]));
  return *slot;
}

Result<TemplateValue> TemplateRecords::shared_word(StaticTemplateRecordWord word) {
  if (const auto found = shared_values.find(word); found != shared_values.end()) {
    return TemplateValue::Shared{found->second};
  }
  const auto index = support::checked_narrow<std::uint16_t>(shared.size());
  if (!index) return std::unexpected(integral_conversion_error());
  shared.push_back(word);
  shared_values.emplace(std::move(word), *index);
  return TemplateValue::Shared{*index};
}

Result<TemplateValue> TemplateRecords::words(std::vector<StaticTemplateRecordWord> words) {
  check_request_length(words.size());
  if (std::adjacent_find(words.begin(), words.end(), std::not_equal_to<>{}) == words.end()) {
    return shared_word(std::move(words.front()));
  }
  const std::uint64_t hash = hash_record_words(words);
  if (const auto bucket = columns.find(hash); bucket != columns.end()) {
    for (const auto& column : bucket->second) {
      if (column.words == words) return TemplateValue::Record{column.slot};
    }
  }
  const auto slot = push_column(words);
  if (!slot) return std::unexpected(slot.error());
  columns[hash].push_back(TemplateColumn{std::move(words), *slot});
  return TemplateValue::Record{*slot};
}

Result<TemplateValue> TemplateRecords::values(std::span<const std::uint32_t> values) {
  check_request_length(values.size());
  const std::size_t count = values.size();
  const std::uint32_t base = values.front();

  if (std::all_of(values.begin(), values.end(), [&](std::uint32_t v) { return v == base; })) {
    if (base < TEMPLATE_CONSTANT_LIMIT) return TemplateValue::Constant{base};
    return shared_word(StaticTemplateRecordWord::Value{base});
  }

  // Exact reuse: a column holding these very values.
  const std::uint64_t hash = hash_value_words(values);
  if (const auto bucket = columns.find(hash); bucket != columns.end()) {
    for (const auto& column : bucket->second) {
      if (column.words.size() != count) continue;
      bool same = true;
      for (std::size_t i = 0; i < count && same; ++i) same = is_value(column.words[i], values[i]);
      if (same) return TemplateValue::Record{column.slot};
    }
  }

  // Affine reuse: a column with the same differences from instance 0, when the add-immediate
  // steps that shift it cost less than a record word in every instance.
  support::SmallVector<std::int64_t, 32> deltas;
  for (const std::uint32_t value : values) {
    deltas.push_back(static_cast<std::int64_t>(value) - static_cast<std::int64_t>(base));
  }
  const std::uint64_t affine_hash = hash_deltas(deltas);
  if (const auto bucket = affine_columns.find(affine_hash); bucket != affine_columns.end()) {
    const auto match =
        std::find_if(bucket->second.begin(), bucket->second.end(), [&](const AffineColumn& column) {
          return std::equal(column.deltas.begin(), column.deltas.end(), deltas.begin(),
                            deltas.end());
        });
    if (match != bucket->second.end()) {
      const std::int64_t offset =
          static_cast<std::int64_t>(base) - static_cast<std::int64_t>(match->base);
      if (const auto narrow = support::checked_narrow<std::int32_t>(offset)) {
        if (add_immediate_steps(*narrow) < rows.size()) {
          return TemplateValue::RecordOffset{match->slot, *narrow};
        }
      }
    }
  }

  std::vector<StaticTemplateRecordWord> column;
  column.reserve(count);
  for (const std::uint32_t value : values)
    column.emplace_back(StaticTemplateRecordWord::Value{value});
  const auto slot = push_column(column);
  if (!slot) return std::unexpected(slot.error());
  columns[hash].push_back(TemplateColumn{std::move(column), *slot});
  affine_columns[affine_hash].push_back(
      AffineColumn{std::vector<std::int64_t>(deltas.begin(), deltas.end()), *slot, base});
  return TemplateValue::Record{*slot};
}

}  // namespace quarn::runtime::static_codegen

std::size_t std::hash<quarn::runtime::static_codegen::StaticTemplateRecordWord>::operator()(
    const quarn::runtime::static_codegen::StaticTemplateRecordWord& word) const {
  return static_cast<std::size_t>(quarn::runtime::static_codegen::hash_record_words({&word, 1}));
}
