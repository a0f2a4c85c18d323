// Arena allocation: the lowest (or highest) aligned gap of an occupied list inside an arena.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "quarn/compiler/arena.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/ranges.hpp"

namespace quarn::compiler {
namespace {

constexpr const char* kInvalidArenaAllocation = "invalid SRAM arena allocation";

void insert_sorted(std::vector<OccupiedRange>& occupied, OccupiedRange range) {
  const auto position = std::lower_bound(
      occupied.begin(), occupied.end(), range.first,
      [](const OccupiedRange& entry, std::uint32_t start) { return entry.first < start; });
  occupied.insert(position, range);
}

std::optional<std::uint32_t> lowest_fit(const std::vector<OccupiedRange>& occupied,
                                        std::uint32_t size, const MemoryConstraint& constraint) {
  // A gap runs from the cursor up to the next occupied start; a rounding that leaves 32 bits is
  // no fit.
  const auto fits_below = [&](std::uint32_t cursor,
                              std::uint32_t bound) -> std::optional<std::uint32_t> {
    const auto aligned = align_u32(cursor, constraint.alignment);
    if (aligned && static_cast<std::uint64_t>(*aligned) + size <= bound) return aligned;
    return std::nullopt;
  };
  std::uint32_t cursor = constraint.base;
  for (const auto& [start, end] : occupied) {
    if (cursor < start) {
      if (const auto found = fits_below(cursor, start)) return found;
    }
    cursor = std::max(cursor, end);
  }
  return fits_below(cursor, constraint.limit);
}

std::optional<std::uint32_t> highest_fit(const std::vector<OccupiedRange>& occupied,
                                         std::uint32_t size, const MemoryConstraint& constraint) {
  const std::uint32_t mask = ~(constraint.alignment - 1);
  std::uint32_t cursor = constraint.limit;
  for (auto entry = occupied.rbegin(); entry != occupied.rend(); ++entry) {
    const auto [start, end] = *entry;
    if (end < cursor && size <= cursor) {
      const std::uint32_t candidate = (cursor - size) & mask;
      if (candidate >= end) return candidate;
    }
    cursor = std::min(cursor, start);
  }
  if (size <= cursor) {
    const std::uint32_t candidate = (cursor - size) & mask;
    if (candidate >= constraint.base) return candidate;
  }
  return std::nullopt;
}

}  // namespace

std::expected<std::uint32_t, CompileError> allocate_from_occupied(
    std::vector<OccupiedRange>& occupied, std::uint32_t size, const MemoryConstraint& constraint) {
  // The searches below round with the alignment; anything but a power of two would be meaningless
  // (and zero would divide by zero).
  if (!std::has_single_bit(constraint.alignment)) {
    return std::unexpected(memory_error(kInvalidArenaAllocation));
  }
  const auto answer = constraint.placement == MemoryPlacement::Low
                          ? lowest_fit(occupied, size, constraint)
                          : highest_fit(occupied, size, constraint);
  if (!answer) {
    return std::unexpected(memory_error(support::format("no {}-byte region in SRAM arena", size)));
  }
  insert_sorted(occupied, {*answer, *answer + size});
  return *answer;
}

std::expected<std::uint32_t, CompileError> allocate_from_occupied_arenas(
    std::vector<OccupiedRange>& occupied, std::uint32_t size, std::span<const MemoryArena> arenas,
    std::uint32_t alignment) {
  const bool inverted = std::any_of(arenas.begin(), arenas.end(),
                                    [](const MemoryArena& a) { return a.base >= a.limit; });
  if (size == 0 || arenas.empty() || !std::has_single_bit(alignment) || inverted) {
    return std::unexpected(memory_error(kInvalidArenaAllocation));
  }
  std::vector<OccupiedRange> clipped;
  clipped.reserve(occupied.size());
  for (const MemoryArena& arena : arenas) {
    clipped.clear();
    for (const auto& [start, end] : occupied) {
      const std::uint32_t clipped_start = std::max(start, arena.base);
      const std::uint32_t clipped_end = std::min(end, arena.limit);
      if (clipped_start < clipped_end) clipped.emplace_back(clipped_start, clipped_end);
    }
    const auto address = allocate_from_occupied(
        clipped, size, MemoryConstraint{arena.base, arena.limit, alignment, arena.placement});
    if (!address) continue;  // this arena has no room; try the next
    if (static_cast<std::uint64_t>(*address) + size > UINT32_MAX) {
      return std::unexpected(memory_error("SRAM arena allocation overflow"));
    }
    insert_sorted(occupied, {*address, *address + size});
    return *address;
  }
  return std::unexpected(
      memory_error(support::format("no arena can hold a {}-byte SRAM allocation", size)));
}

std::expected<std::uint32_t, CompileError> find_free_region_in_arenas(
    std::span<const Allocation> allocations, std::uint16_t tile, std::uint32_t size,
    std::size_t live_from, std::size_t live_until, std::span<const MemoryArena> arenas,
    std::uint32_t alignment) {
  if (arenas.empty()) return std::unexpected(memory_error("allocation requires an SRAM arena"));
  std::uint32_t low = arenas.front().base;
  std::uint32_t high = arenas.front().limit;
  for (const MemoryArena& arena : arenas) {
    low = std::min(low, arena.base);
    high = std::max(high, arena.limit);
  }

  std::vector<OccupiedRange> ranges;
  for (const Allocation& a : allocations) {
    if (a.tile != tile || !(live_from < a.live_until && a.live_from < live_until)) continue;
    const std::uint32_t start = std::max(a.address, low);
    const auto saturated = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{a.address} + a.size, UINT32_MAX));
    const std::uint32_t end = std::min(saturated, high);
    if (start < end) ranges.emplace_back(start, end);
  }
  // Merge overlapping and touching ranges so each arena search sees one entry per occupied run.
  std::vector<OccupiedRange> merged = support::merge_ranges(std::move(ranges));
  return allocate_from_occupied_arenas(merged, size, arenas, alignment);
}

}  // namespace quarn::compiler
