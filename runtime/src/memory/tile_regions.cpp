// Executable and data regions of a tile, built on the address space and the gap packers.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "quarn/runtime/memory/address_space.hpp"
#include "quarn/runtime/memory/tile_regions.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/ranges.hpp"

namespace quarn::runtime {
namespace {

struct RegionTotals {
  std::uint64_t free_bytes = 0;
  std::uint64_t largest = 0;
};

RegionTotals totals(const std::vector<AddressRange>& regions) {
  RegionTotals result;
  for (const auto& [start, end] : regions) {
    result.free_bytes += end - start;
    result.largest = std::max<std::uint64_t>(result.largest, end - start);
  }
  return result;
}

// The data window [TILE_MEMORY_BASE, TILE_MEMORY_END), with the end computed under overflow
// detection.
Result<AddressRange> data_window() {
  const std::uint64_t end = std::uint64_t{TILE_MEMORY_BASE} + TILE_MEMORY_SIZE;
  if (end > UINT32_MAX) return fail("tile memory range overflow");
  return AddressRange{TILE_MEMORY_BASE, static_cast<std::uint32_t>(end)};
}

}  // namespace

Result<AddressRange> allocation_range(const compiler::Allocation& allocation) {
  const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size;
  if (end > UINT32_MAX) return fail("allocation address overflow");
  return AddressRange{allocation.address, static_cast<std::uint32_t>(end)};
}

std::vector<AddressRange> executable_regions_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint32_t runtime_end,
    std::span<const AddressRange> additional_reserved) {
  placement::AddressSpace space(EXECUTABLE_WINDOW);
  const AddressRange fixed[] = {INTERLEAVED_WINDOW, runtime_range(runtime_end)};
  space.reserved.reserve(FIXED_RESERVATIONS.size() + 2 + allocation_ranges.size() +
                         additional_reserved.size());
  space.reserve_all(FIXED_RESERVATIONS, fixed, allocation_ranges, additional_reserved);
  return std::move(space).free_regions(MEMORY_ELEMENT_SIZE);
}

Result<std::uint32_t> executable_region_base_for_tile(
    std::span<const AddressRange> allocation_ranges, std::optional<std::uint16_t> tile,
    std::uint32_t runtime_end, std::uint32_t required_size,
    std::span<const AddressRange> additional_reserved) {
  const auto regions =
      executable_regions_for_tile(allocation_ranges, runtime_end, additional_reserved);
  // A size within one element of 2^32 rounds past 32 bits: no region can hold it.
  const std::uint64_t required = (std::uint64_t{required_size} + MEMORY_ELEMENT_SIZE - 1) &
                                 ~std::uint64_t{MEMORY_ELEMENT_SIZE - 1};
  for (const auto& [start, end] : regions) {
    if (end - start >= required) return start;
  }
  const RegionTotals sums = totals(regions);
  const std::string prefix = tile ? support::format("tile {} ", *tile) : std::string("common ");
  return fail(support::format(
      "no {}tile-memory interval can hold {} bytes of executable code: {} executable bytes free, "
      "{}-byte largest gap",
      prefix, required, sums.free_bytes, sums.largest));
}

Result<std::uint32_t> executable_region_base(const ExecutableGraph& graph,
                                             std::uint32_t runtime_end,
                                             std::uint32_t required_size) {
  const auto& allocations = graph.schedule.allocations;
  std::vector<AddressRange> ranges;
  ranges.reserve(allocations.size());
  for (const compiler::Allocation& allocation : allocations) {
    const auto range = allocation_range(allocation);
    if (!range) return std::unexpected(range.error());
    ranges.push_back(*range);
  }
  return executable_region_base_for_tile(ranges, std::nullopt, runtime_end, required_size, {});
}

Result<std::uint32_t> data_region_base_for_tile(std::span<const AddressRange> allocation_ranges,
                                                std::uint16_t tile, std::uint32_t runtime_end,
                                                std::uint32_t required_size,
                                                std::uint32_t alignment,
                                                std::span<const AddressRange> additional_reserved) {
  if (required_size == 0 || !std::has_single_bit(alignment)) {
    return fail("data region size must be nonzero and alignment must be a power of two");
  }
  const auto window = data_window();
  if (!window) return std::unexpected(window.error());
  placement::AddressSpace space(*window);
  const AddressRange runtime[] = {runtime_range(runtime_end)};
  space.reserved.reserve(FIXED_RESERVATIONS.size() + 1 + allocation_ranges.size() +
                         additional_reserved.size());
  space.reserve_all(FIXED_RESERVATIONS, runtime, allocation_ranges, additional_reserved);
  const auto intervals = std::move(space).free_regions(1);
  for (const auto& [start, end] : intervals) {
    const auto base = align_up(start, alignment);
    if (base && std::uint64_t{*base} + required_size <= end) return *base;
  }
  const RegionTotals sums = totals(intervals);
  return fail(support::format(
      "no tile-memory interval can hold {} bytes of static data on tile {}: {} free bytes, "
      "{}-byte largest gap",
      required_size, tile, sums.free_bytes, sums.largest));
}

Result<PackedObjects> pack_data_objects_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint16_t tile, std::uint32_t runtime_end,
    std::span<const AddressRange> objects, bool allow_interleaved,
    std::span<const AddressRange> additional_reserved) {
  const auto window = data_window();
  if (!window) return std::unexpected(window.error());
  placement::AddressSpace space(*window);
  space.reserved.reserve(FIXED_RESERVATIONS.size() + 2 + allocation_ranges.size() +
                         additional_reserved.size());
  space.reserve_all(FIXED_RESERVATIONS);
  space.reserve(runtime_range(runtime_end));
  if (!allow_interleaved) space.reserve(INTERLEAVED_WINDOW);
  space.reserve_all(allocation_ranges, additional_reserved);
  return pack_objects_in_gaps(tile, objects, std::move(space).free_regions(1), "static data");
}

Result<PackedExecutableObjects> pack_executable_objects_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint16_t tile, std::uint32_t runtime_end,
    std::span<const AddressRange> objects, std::span<const AddressRange> additional_reserved,
    std::span<const AddressRange> additional_available) {
  auto gaps = executable_regions_for_tile(allocation_ranges, runtime_end, additional_reserved);
  gaps.insert(gaps.end(), additional_available.begin(), additional_available.end());
  auto packed = pack_objects_in_gaps(tile, objects, std::move(gaps), "static executable");
  if (!packed) return std::unexpected(packed.error());

  // Widen every placed range to whole elements. A placed end is at most 2^32 − 1, so its element
  // end can only leave 32 bits in an `additional_available` gap at the very top; such an element
  // is clamped to the last address rather than wrapped to 0.
  std::vector<AddressRange> widened;
  widened.reserve(packed->placed.size());
  for (const auto& [start, end] : packed->placed) {
    const std::uint32_t element_end = align_up(end, MEMORY_ELEMENT_SIZE).value_or(UINT32_MAX);
    widened.emplace_back(align_down(start, MEMORY_ELEMENT_SIZE), element_end);
  }
  std::vector<AddressRange> elements = support::merge_ranges(std::move(widened));
  return PackedExecutableObjects{std::move(packed->relocation_map), std::move(packed->placed),
                                 std::move(elements)};
}

}  // namespace quarn::runtime
