// Record patches and the sizes of their stored groups.
#include "quarn/runtime/static_codegen/record_patches.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "quarn/support/format.hpp"
#include "quarn/support/narrow.hpp"

namespace quarn::runtime::static_codegen {

namespace {

constexpr std::size_t SEGMENT = 32;

constexpr std::size_t ceil_div(std::size_t value, std::size_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

// The two halves of `range`; the first is ceil(floor(len / 2) / 32) × 32 slots, cut at the end.
std::array<SlotRange, 2> halves(SlotRange range) {
  const std::size_t length = range.second - range.first;
  const std::size_t half = ceil_div(length / 2, SEGMENT) * SEGMENT;
  const std::size_t mid = range.first + std::min(half, length);
  return {SlotRange{range.first, mid}, SlotRange{mid, range.second}};
}

// The entries of `patch` whose slot lies in `slots` (the patch is in ascending slot order).
std::span<const TemplatePatchEntry> entries_in(SlotRange slots, const TemplateRecordPatch& patch) {
  const auto below = [](const TemplatePatchEntry& entry, std::size_t slot) {
    return entry.slot < slot;
  };
  const auto first = std::lower_bound(patch.begin(), patch.end(), slots.first, below);
  const auto last = std::lower_bound(first, patch.end(), slots.second, below);
  return {first, last};
}

}  // namespace

std::string debug_string(const StaticTemplatePatchValue& value) {
  if (const auto* delta = std::get_if<StaticTemplatePatchValue::Delta>(&value)) {
    return support::format("Delta({})", delta->delta);
  }
  return support::format("Word({})",
                         debug_string(std::get<StaticTemplatePatchValue::Word>(value).word));
}

Result<TemplateRecordPatch> template_record_patch(
    std::span<const StaticTemplateRecordWord> previous,
    std::span<const StaticTemplateRecordWord> next) {
  TemplateRecordPatch patch;
  const std::size_t length = std::min(previous.size(), next.size());
  for (std::size_t i = 0; i < length; ++i) {
    if (previous[i] == next[i]) continue;
    const auto slot = support::checked_narrow<std::uint16_t>(i);
    if (!slot) return fail(std::string(support::INTEGRAL_CONVERSION_MESSAGE));
    const auto* before = std::get_if<StaticTemplateRecordWord::Value>(&previous[i]);
    const auto* after = std::get_if<StaticTemplateRecordWord::Value>(&next[i]);
    if (before != nullptr && after != nullptr) {
      const std::int64_t difference =
          static_cast<std::int64_t>(after->value) - static_cast<std::int64_t>(before->value);
      if (const auto delta = support::checked_narrow<std::int16_t>(difference)) {
        // Entries are built in place: constructing one from a temporary variant trips a false
        // maybe-uninitialized warning of the compiler.
        patch.emplace_back().slot = *slot;
        patch.back().value.emplace<StaticTemplatePatchValue::Delta>(*delta);
        continue;
      }
    }
    patch.emplace_back().slot = *slot;
    patch.back().value.emplace<StaticTemplatePatchValue::Word>(next[i]);
  }
  return patch;
}

std::vector<StaticTemplateRecordWord> apply_template_record_patch(
    std::span<const StaticTemplateRecordWord> record, const TemplateRecordPatch& patch) {
  std::vector<StaticTemplateRecordWord> result(record.begin(), record.end());
  for (const auto& entry : patch) {
    if (entry.slot >= result.size()) {
      throw std::logic_error(
          support::format("template record patch slot {} is beyond a record of {} words",
                          entry.slot, result.size()));
    }
    auto& word = result[entry.slot];
    if (const auto* delta = std::get_if<StaticTemplatePatchValue::Delta>(&entry.value)) {
      auto* value = std::get_if<StaticTemplateRecordWord::Value>(&word);
      if (value == nullptr) {
        throw std::logic_error(support::format(
            "template record patch delta at slot {} applies to a symbol word", entry.slot));
      }
      const std::int64_t sum = static_cast<std::int64_t>(value->value) + delta->delta;
      const auto narrowed = support::checked_narrow<std::uint32_t>(sum);
      if (!narrowed) {
        throw std::logic_error(
            support::format("template record patch delta at slot {} leaves 32 bits", entry.slot));
      }
      value->value = *narrowed;
    } else {
      word = std::get<StaticTemplatePatchValue::Word>(entry.value).word;
    }
  }
  return result;
}

std::array<SlotRange, 4> template_patch_ranges(std::size_t record_words, std::size_t split) {
  if (split > record_words) {
    throw std::logic_error(support::format(
        "template record split {} lies beyond a record of {} words", split, record_words));
  }
  const auto first = halves({0, split});
  const auto second = halves({split, record_words});
  return {first[0], first[1], second[0], second[1]};
}

std::optional<SlotRange> template_patch_group_span(SlotRange slots,
                                                   const TemplateRecordPatch& patch) {
  const auto entries = entries_in(slots, patch);
  if (entries.empty()) return std::nullopt;
  const std::size_t lo = entries.front().slot - slots.first;
  const std::size_t hi = entries.back().slot - slots.first;
  const std::size_t length = slots.second - slots.first;
  return SlotRange{lo / SEGMENT * SEGMENT, std::min(ceil_div(hi + 1, SEGMENT) * SEGMENT, length)};
}

std::size_t template_patch_storage_words_range(SlotRange slots, const TemplateRecordPatch& patch) {
  const auto entries = entries_in(slots, patch);
  const auto span = template_patch_group_span(slots, patch);
  if (!span) return 0;
  std::size_t deltas = 0;
  for (const auto& entry : entries) {
    if (std::holds_alternative<StaticTemplatePatchValue::Delta>(entry.value)) ++deltas;
  }
  const std::size_t whole_words = entries.size() - deltas;
  return ceil_div(span->second - span->first, SEGMENT) + 1 + ceil_div(entries.size(), SEGMENT) +
         ceil_div(deltas, 2) + whole_words;
}

}  // namespace quarn::runtime::static_codegen
