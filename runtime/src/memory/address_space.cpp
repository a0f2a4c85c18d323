// Free regions of an address window: widen, sort, one sweep.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "quarn/runtime/memory/address_space.hpp"

namespace quarn::runtime::placement {
namespace {

// A widened reservation. The end is held in 64 bits: rounding an end within one granule of 2^32
// up to the next granule yields 2^32 itself, which must stay above every 32-bit address rather
// than saturate below the reservation's own end.
struct Widened {
  std::uint32_t start;
  std::uint64_t end;
};

}  // namespace

std::vector<AddressRange> AddressSpace::free_regions(std::uint32_t granularity) && {
  if (granularity == 0 || (granularity & (granularity - 1)) != 0) {
    throw std::logic_error("assertion failed: granularity.is_power_of_two()");
  }
  const std::uint64_t mask = granularity - 1;
  const auto round_up = [mask](std::uint64_t value) { return (value + mask) & ~mask; };

  std::vector<Widened> widened;
  widened.reserve(reserved.size());
  for (const auto& [start, end] : reserved) {
    widened.push_back({static_cast<std::uint32_t>(start & ~mask), round_up(end)});
  }
  std::sort(widened.begin(), widened.end(),
            [](const Widened& a, const Widened& b) { return a.start < b.start; });

  const std::uint32_t window_end = bounds.second;
  // A window starting between granules starts at the next granule, which may be 2^32.
  std::uint64_t cursor = round_up(bounds.first);
  std::vector<AddressRange> regions;
  for (const Widened& range : widened) {
    if (range.end <= cursor) continue;        // wholly below the part already covered
    if (range.start >= window_end) continue;  // wholly above the window
    if (cursor < range.start) {
      // cursor < start < window_end, so both bounds fit in 32 bits.
      regions.emplace_back(static_cast<std::uint32_t>(cursor), range.start);
    }
    cursor = std::max(cursor, range.end);
  }
  if (cursor < window_end) regions.emplace_back(static_cast<std::uint32_t>(cursor), window_end);
  return regions;
}

}  // namespace quarn::runtime::placement
