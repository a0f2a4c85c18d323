// `placement::AddressSpace`: the free-space calculator behind every runtime placement.
//
// An address space is a window of one tile's memory plus any number of reserved ranges (fixed
// system areas, tensor allocations, earlier placements). The ranges may overlap, touch, lie partly
// or wholly outside the window, or be empty. `free_regions` widens every reservation outward to a
// power-of-two granularity and reports the ascending list of gaps left inside the window:
//
//   placement::AddressSpace space({0x4C018, 0x80000});
//   space.reserve_all(fixed_areas, allocation_ranges);
//   auto regions = std::move(space).free_regions(0x4000);
//
// An address space is built, given its reservations and consumed by one `free_regions` call.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "quarn/runtime/memory/ranges.hpp"

namespace quarn::runtime::placement {

// The smallest multiple of `alignment` (a nonzero power of two) not below `value`, computed as
// `value` + (`alignment` − 1) saturating at 0xFFFFFFFF with the low bits then cleared. A value
// within `alignment` − 1 of 2^32 therefore rounds to the highest multiple below 2^32 instead of
// wrapping to 0. Any other alignment is a caller error (`std::logic_error`).
constexpr std::uint32_t align_up(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    throw std::logic_error("assertion failed: alignment.is_power_of_two()");
  }
  const std::uint32_t mask = alignment - 1;
  const std::uint32_t bumped = value > UINT32_MAX - mask ? UINT32_MAX : value + mask;
  return bumped & ~mask;
}

struct AddressSpace {
  // The half-open window in which free gaps are reported.
  AddressRange bounds;
  // The nonempty reserved ranges, unchanged and in the order they were reserved. Widening,
  // sorting and merging happen only in `free_regions`.
  std::vector<AddressRange> reserved;

  // A window with no reservations.
  explicit AddressSpace(AddressRange window) : bounds(window) {}

  // Records `range` when its start is below its end; ignores an empty or inverted range.
  void reserve(AddressRange range) {
    if (range.first < range.second) reserved.push_back(range);
  }

  // Calls `reserve` on every (start, end) pair of every list, lists in argument order: one
  // array, one vector, or a chain of several.
  template <typename... Lists>
  void reserve_all(const Lists&... lists) {
    (reserve_list(lists), ...);
  }

  // The free regions of the window, ascending, nonempty and non-overlapping, after widening every
  // reservation to whole granules (start rounded down, end rounded up). Every region starts on a
  // granule boundary and ends on one or at the window's end. `granularity` must be a power of
  // two; anything else is a caller error (`std::logic_error`). Consumes the address space.
  std::vector<AddressRange> free_regions(std::uint32_t granularity) &&;

  friend bool operator==(const AddressSpace&, const AddressSpace&) = default;

 private:
  template <typename List>
  void reserve_list(const List& list) {
    for (const auto& [start, end] : list) {
      reserve(AddressRange{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
    }
  }
};

}  // namespace quarn::runtime::placement
