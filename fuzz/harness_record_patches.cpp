// Template record patches on sequences of equally long records (the shape the template planner
// gives them): the patch from each record to the next, and from the last back to the first, lists
// exactly the changed slots in ascending order, uses a delta only between two values that differ
// by -32768..32767, and applying the patches in order reproduces every record and, cyclically,
// the first again. The four patch groups of a record partition its slots, and each group's stored
// span holds every changed slot of that group.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/runtime/static_codegen/record_patches.hpp"

using namespace quarn::runtime::static_codegen;
using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;
using Word = StaticTemplateRecordWord;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::size_t length = in.below(8) == 0 ? in.below(200) : in.below(80);
  const std::uint32_t record_count = 1 + in.below(5);
  std::vector<std::vector<Word>> records;
  for (std::uint32_t r = 0; r < record_count; ++r) {
    std::vector<Word> record;
    for (std::size_t s = 0; s < length; ++s) {
      // Mostly the previous record's word, moved a little or replaced.
      const bool inherit = r > 0 && in.below(4) != 0;
      Word word = inherit ? records.back()[s] : Word{Word::Value{in.u8()}};
      switch (in.below(8)) {
        case 0:
          word = Word{Word::Symbol{"s" + std::to_string(in.below(3))}};
          break;
        case 1:
          word = Word{Word::Value{in.u32()}};
          break;
        case 2:
          if (const auto* v = std::get_if<Word::Value>(&word)) {
            const std::int64_t moved = std::int64_t{v->value} + (std::int64_t{in.u16()} - 32768) +
                                       (in.below(4) == 0 ? in.below(3) : 0);
            word = Word{Word::Value{static_cast<std::uint32_t>(moved)}};
          }
          break;
        default:
          break;
      }
      record.push_back(std::move(word));
    }
    records.push_back(std::move(record));
  }

  std::vector<Word> current = records.front();
  for (std::uint32_t r = 1; r <= record_count; ++r) {
    const auto& next = records[r % record_count];
    const auto patch = template_record_patch(current, next);
    require(patch.has_value(), "a patch within 65536 slots failed");
    std::size_t changed = 0;
    for (std::size_t s = 0; s < length; ++s) changed += current[s] == next[s] ? 0 : 1;
    require(patch->size() == changed, "patch lists other than the changed slots");
    for (std::size_t e = 0; e < patch->size(); ++e) {
      const TemplatePatchEntry& entry = (*patch)[e];
      require(e == 0 || (*patch)[e - 1].slot < entry.slot, "slots not strictly ascending");
      require(entry.slot < length && current[entry.slot] != next[entry.slot], "unchanged slot");
      const auto* old_value = std::get_if<Word::Value>(&current[entry.slot]);
      const auto* new_value = std::get_if<Word::Value>(&next[entry.slot]);
      const bool small = old_value && new_value &&
                         std::int64_t{new_value->value} - old_value->value >= -32768 &&
                         std::int64_t{new_value->value} - old_value->value <= 32767;
      require(std::holds_alternative<StaticTemplatePatchValue::Delta>(entry.value) == small,
              "delta chosen other than for a small value change");
    }
    current = apply_template_record_patch(current, *patch);
    require(current == next, "applying the patch does not give the next record");

    const std::size_t split = in.below(static_cast<std::uint32_t>(length) + 1);
    const auto groups = template_patch_ranges(length, split);
    require(groups[0].first == 0 && groups[3].second == length, "groups do not span the record");
    for (std::size_t g = 1; g < 4; ++g) {
      require(groups[g - 1].second == groups[g].first, "groups not contiguous");
    }
    require(groups[1].second == split, "second part does not begin at the split");
    for (const SlotRange& group : groups) {
      require(group.first <= group.second, "inverted group");
      const auto span = template_patch_group_span(group, *patch);
      const bool touched = std::any_of(patch->begin(), patch->end(), [&](const auto& entry) {
        return group.first <= entry.slot && entry.slot < group.second;
      });
      require(span.has_value() == touched, "group span present exactly when the group changes");
      require(!touched || template_patch_storage_words_range(group, *patch) > 0,
              "a touched group stores nothing");
      if (!span) continue;
      for (const auto& entry : *patch) {
        if (entry.slot < group.first || entry.slot >= group.second) continue;
        const std::size_t relative = entry.slot - group.first;
        require(span->first <= relative && relative < span->second, "changed slot outside span");
      }
      require(span->second <= group.second - group.first, "span beyond the group");
    }
  }
  return 0;
}
