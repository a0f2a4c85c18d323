// Sorting and merging of half-open address ranges.
//
// Several placement steps reduce a list of occupied or placed (start, end) ranges to its sorted
// union, where ranges that overlap or only touch become one. `merge_ranges` is that one step.
#pragma once

#include <algorithm>
#include <utility>
#include <vector>

namespace quarn::support {

// Sorts `ranges` by (start, end) and merges every range whose start is not above the previous
// end (overlapping or touching) into it. Returns the merged list, ascending and disjoint.
template <typename Address>
std::vector<std::pair<Address, Address>> merge_ranges(
    std::vector<std::pair<Address, Address>> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<Address, Address>> merged;
  merged.reserve(ranges.size());
  for (const auto& range : ranges) {
    if (!merged.empty() && merged.back().second >= range.first) {
      merged.back().second = std::max(merged.back().second, range.second);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

}  // namespace quarn::support
