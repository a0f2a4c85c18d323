// Memory arenas of tile SRAM and the allocators that search them.
//
// An arena is a half-open address window searched from its low or its high end. The allocators
// find an address for a new allocation that overlaps nothing occupied: either every allocation of
// the tile live at the same time (`find_free_region_in_arenas`), or a caller-kept occupied list
// (`allocate_from_occupied_arenas`, `allocate_from_occupied`). An occupied list is a list of
// half-open (start, end) ranges sorted by start, no two overlapping (they may touch). A successful
// call inserts the new range at its sorted position; a failed call leaves the list unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "quarn/compiler/error.hpp"
#include "quarn/compiler/schedule.hpp"

namespace quarn::compiler {

// Which end of an arena fills first.
enum class MemoryPlacement { Low, High };

// The half-open window [base, limit), searched from the end `placement` names.
struct MemoryArena {
  std::uint32_t base = 0;
  std::uint32_t limit = 0;
  MemoryPlacement placement = MemoryPlacement::Low;

  // The arena [base, limit) with `Low` placement.
  static constexpr MemoryArena low(std::uint32_t base, std::uint32_t limit) {
    return MemoryArena{base, limit, MemoryPlacement::Low};
  }
  friend bool operator==(const MemoryArena&, const MemoryArena&) = default;
};

// One request's window, alignment and direction.
struct MemoryConstraint {
  std::uint32_t base = 0;
  std::uint32_t limit = 0;
  std::uint32_t alignment = 0;
  MemoryPlacement placement = MemoryPlacement::Low;
  friend bool operator==(const MemoryConstraint&, const MemoryConstraint&) = default;
};

// The three kinds of tile SRAM. No operation of this library uses the type.
enum class Quarn21MemoryRegion { OrdinaryLow, Interleaved, OrdinaryHigh };

// A half-open (start, end) address range of an occupied list.
using OccupiedRange = std::pair<std::uint32_t, std::uint32_t>;

// The smallest multiple of `alignment` (nonzero, any value) not below `value`, or nothing when
// that multiple does not fit in 32 bits.
constexpr std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment) {
  const std::uint64_t rounded =
      (static_cast<std::uint64_t>(value) + alignment - 1) / alignment * alignment;
  if (rounded > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(rounded);
}

// The lowest (or, per arena, highest) `alignment`-aligned address in the first arena that can
// hold `size` bytes that no allocation of `tile` live during [live_from, live_until) occupies.
std::expected<std::uint32_t, CompileError> find_free_region_in_arenas(
    std::span<const Allocation> allocations, std::uint16_t tile, std::uint32_t size,
    std::size_t live_from, std::size_t live_until, std::span<const MemoryArena> arenas,
    std::uint32_t alignment);

// Allocates `size` bytes from the first arena with room, avoiding `occupied`, and inserts the new
// range into `occupied`.
std::expected<std::uint32_t, CompileError> allocate_from_occupied_arenas(
    std::vector<OccupiedRange>& occupied, std::uint32_t size, std::span<const MemoryArena> arenas,
    std::uint32_t alignment);

// Allocates `size` bytes inside one constraint's window, avoiding `occupied` (which must lie in the
// window; the alignment must be a power of two), and inserts the new range into `occupied`.
std::expected<std::uint32_t, CompileError> allocate_from_occupied(
    std::vector<OccupiedRange>& occupied, std::uint32_t size, const MemoryConstraint& constraint);

}  // namespace quarn::compiler
