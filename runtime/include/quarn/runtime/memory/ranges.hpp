// The one overlap test of half-open address ranges.
//
// Ranges are (start, end) pairs meaning [start, end). Ranges that only touch do not overlap, and
// an empty range overlaps nothing, not even a range it lies inside. Every overlap question of the
// runtime is answered here.
#pragma once

#include <cstdint>
#include <utility>

namespace quarn::runtime {

using AddressRange = std::pair<std::uint32_t, std::uint32_t>;

constexpr bool ranges_overlap(AddressRange a, AddressRange b) {
  if (a.first >= a.second || b.first >= b.second) return false;
  return a.first < b.second && b.first < a.second;
}

}  // namespace quarn::runtime
