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

// The same test on the four bounds [left_start, left_end) and [right_start, right_end).
constexpr bool ranges_overlap(std::uint32_t left_start, std::uint32_t left_end,
                              std::uint32_t right_start, std::uint32_t right_end) {
  return ranges_overlap(AddressRange{left_start, left_end}, AddressRange{right_start, right_end});
}

}  // namespace quarn::runtime
