// AddressSpace::free_regions on windows of at most 4096 addresses (low memory, the tile memory
// base, or the top of 2^32), against a bitmap: an address is free when it lies in the window at or
// above the window start rounded up to a granule and in no reservation widened to whole granules.
// The regions must be exactly the maximal runs of free addresses, so they are inside the window,
// ascending, disjoint from every widened reservation and cover every free granule. A granularity
// that is not a power of two is a caller error and throws.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/runtime/memory/address_space.hpp"

using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;
using quarn::runtime::AddressRange;
using quarn::runtime::placement::AddressSpace;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  constexpr std::uint32_t SPAN = 4096;
  const std::uint32_t bases[] = {0, 0x4C000, 0xFFFFFFFFu - (SPAN - 1)};
  const std::uint32_t base = bases[in.below(3)];
  // Addresses near the window: up to 256 below it (when there is room) and anywhere inside.
  const auto near = [&]() -> std::uint32_t {
    const std::uint32_t offset = in.below(SPAN + 256);
    if (offset < 256) return base >= 256 - offset ? base - (256 - offset) : 0;
    return base + (offset - 256);
  };
  const std::uint32_t window_start = base + in.below(SPAN);
  const std::uint32_t window_end = in.below(16) == 0 ? near() : base + in.below(SPAN);
  std::uint32_t granularity = 1u << in.below(11);
  const std::uint8_t granule_mode = in.below(32);
  if (granule_mode == 0) granularity = 1u << in.below(32);
  if (granule_mode == 1) granularity = in.u32();

  AddressSpace space({window_start, window_end});
  std::vector<AddressRange> reservations;
  const std::uint32_t count = in.below(12);
  for (std::uint32_t i = 0; i < count; ++i) {
    AddressRange r;
    switch (in.below(8)) {
      case 0:  // anything, including ranges far outside the window and up to 2^32 - 1
        r = {in.u32(), in.u32()};
        break;
      case 1:  // reaching the top of the address space
        r = {near(), 0xFFFFFFFFu};
        break;
      default:
        r.first = near();
        r.second = in.boolean() ? near() : r.first + in.below(64);
        if (r.second < r.first && in.boolean()) r.second = r.first;  // some empty ones
    }
    reservations.push_back(r);
  }
  space.reserve_all(reservations);
  require(space.reserved.size() == static_cast<std::size_t>(std::count_if(
                                       reservations.begin(), reservations.end(),
                                       [](const AddressRange& r) { return r.first < r.second; })),
          "reserve keeps exactly the nonempty ranges");

  const bool power_of_two = granularity != 0 && (granularity & (granularity - 1)) == 0;
  if (!power_of_two) {
    try {
      (void)std::move(space).free_regions(granularity);
    } catch (const std::logic_error& e) {
      require(std::string(e.what()) == "assertion failed: granularity.is_power_of_two()",
              "granularity error text");
      return 0;
    }
    require(false, "a granularity that is not a power of two was accepted");
  }
  const std::vector<AddressRange> kept = space.reserved;
  const std::vector<AddressRange> regions = std::move(space).free_regions(granularity);

  // The bitmap over [window_start, window_end), at most SPAN + 256 addresses.
  const std::uint64_t mask = granularity - 1;
  const auto round_up = [mask](std::uint64_t v) { return (v + mask) & ~mask; };
  const std::uint64_t first_free = round_up(window_start);
  const std::uint64_t length = window_end > window_start ? window_end - window_start : 0;
  std::vector<bool> free(length);
  for (std::uint64_t i = 0; i < length; ++i) free[i] = window_start + i >= first_free;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> widened;
  for (const auto& [start, end] : kept) {
    const std::uint64_t s = start & ~mask;
    const std::uint64_t e = round_up(end);
    widened.emplace_back(s, e);
    for (std::uint64_t a = std::max<std::uint64_t>(s, window_start);
         a < std::min<std::uint64_t>(e, window_end); ++a) {
      free[a - window_start] = false;
    }
  }
  std::vector<AddressRange> expected;
  for (std::uint64_t i = 0; i < length; ++i) {
    if (!free[i]) continue;
    const std::uint64_t start = i;
    while (i < length && free[i]) ++i;
    expected.emplace_back(static_cast<std::uint32_t>(window_start + start),
                          static_cast<std::uint32_t>(window_start + i));
  }

  // The properties first, so that a finding names the one that broke.
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const auto [start, end] = regions[i];
    require(start < end, "empty region");
    require(window_start <= start && end <= window_end, "region outside the window");
    require(i == 0 || regions[i - 1].second < start, "regions not ascending and separated");
    for (const auto& [s, e] : widened) {
      require(end <= s || e <= start, "region overlaps a widened reservation");
    }
    require(start % granularity == 0, "region start off a granule");
    require(end % granularity == 0 || end == window_end, "region end off a granule");
  }
  require(regions == expected, "regions differ from the free-address bitmap");
  return 0;
}
