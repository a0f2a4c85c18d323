// Executable and data regions of one tile's memory.
//
// Once the compiler's tensor allocations are fixed, these operations decide where executable code
// and static data may go. They combine the fixed reserved areas of tile memory, the tile's
// allocation ranges and the caller's extra reservations into a `placement::AddressSpace`, then
// pick one base address (first fit) or pack objects into the free gaps (best fit).
//
// Executable code takes whole 16 KiB memory elements: its free space is computed with element
// granularity inside [0x4C018, EXECUTABLE_MEMORY_LIMIT), requested sizes are rounded up to whole
// elements, and packed executable objects are reported with the elements they occupy. Static data
// is placed with byte granularity inside [TILE_MEMORY_BASE, TILE_MEMORY_END); whether packed data
// may use the interleaved window is the caller's choice.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "quarn/compiler/schedule.hpp"
#include "quarn/package/tile_memory.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/runtime/executable_graph.hpp"
#include "quarn/runtime/memory/packing.hpp"
#include "quarn/runtime/memory/ranges.hpp"

namespace quarn::runtime {

// The tile memory map, defined once in the package library.
using package::EXECUTABLE_MEMORY_LIMIT;
using package::MEMORY_ELEMENT_SIZE;
using package::QUARN21_INTERLEAVED_MEMORY_LIMIT;
using package::TILE_MEMORY_BASE;
using package::TILE_MEMORY_END;
using package::TILE_MEMORY_SIZE;

// The fixed areas of tile memory kept free of both placed code and placed data.
inline constexpr std::array<AddressRange, 2> FIXED_RESERVATIONS = {{
    {0x4C000, 0x4C018},
    {0x50000, 0x58000},
}};
// Where the runtime range [RUNTIME_RANGE_START, runtime_end) begins; it is kept free of code and
// data and is empty when runtime_end is at or below its start.
inline constexpr std::uint32_t RUNTIME_RANGE_START = 0x58000;
// Kept free of executable code and, unless the caller allows it, of packed static data.
inline constexpr AddressRange INTERLEAVED_WINDOW = {EXECUTABLE_MEMORY_LIMIT,
                                                    QUARN21_INTERLEAVED_MEMORY_LIMIT};
// The window searched for executable code (granularity MEMORY_ELEMENT_SIZE).
inline constexpr AddressRange EXECUTABLE_WINDOW = {0x4C018, EXECUTABLE_MEMORY_LIMIT};

// The runtime range for `runtime_end`.
constexpr AddressRange runtime_range(std::uint32_t runtime_end) {
  return {RUNTIME_RANGE_START, runtime_end};
}

// `value` with the low bits below `alignment` (a nonzero power of two) cleared. Any other
// alignment is a caller error (`std::logic_error`).
constexpr std::uint32_t align_down(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    throw std::logic_error("assertion failed: alignment.is_power_of_two()");
  }
  return value & ~(alignment - 1);
}

// (address, address + size) of an allocation, or "allocation address overflow" when the end does
// not fit in 32 bits.
Result<AddressRange> allocation_range(const compiler::Allocation& allocation);

// The free executable regions of a tile: ascending, each starting on a memory element, clear of
// the fixed reservations, the runtime range, `allocation_ranges` and `additional_reserved`.
std::vector<AddressRange> executable_regions_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint32_t runtime_end,
    std::span<const AddressRange> additional_reserved);

// The lowest executable region start with room for `required_size` bytes rounded up to whole
// elements. Fails with "no {}tile-memory interval can hold {} bytes of executable code: {}
// executable bytes free, {}-byte largest gap", the prefix "common " without a tile and "tile {} "
// with one. A size that rounds past 2^32 fits nowhere.
Result<std::uint32_t> executable_region_base_for_tile(
    std::span<const AddressRange> allocation_ranges, std::optional<std::uint16_t> tile,
    std::uint32_t runtime_end, std::uint32_t required_size,
    std::span<const AddressRange> additional_reserved);

// One executable base free on every tile: the regions left by every allocation of the schedule,
// of every tile, kind and live range. Fails with "allocation address overflow" on the first
// allocation whose end leaves 32 bits, before any region is computed.
Result<std::uint32_t> executable_region_base(const ExecutableGraph& graph,
                                             std::uint32_t runtime_end,
                                             std::uint32_t required_size);

// The lowest `alignment`-aligned base of a `required_size`-byte static data block in tile memory,
// clear of the fixed reservations, the runtime range, `allocation_ranges` and
// `additional_reserved` (the interleaved window may be used). Fails with "data region size must be
// nonzero and alignment must be a power of two", or "no tile-memory interval can hold {} bytes of
// static data on tile {}: {} free bytes, {}-byte largest gap".
Result<std::uint32_t> data_region_base_for_tile(std::span<const AddressRange> allocation_ranges,
                                                std::uint16_t tile, std::uint32_t runtime_end,
                                                std::uint32_t required_size,
                                                std::uint32_t alignment,
                                                std::span<const AddressRange> additional_reserved);

// Packs static data objects into the byte-granular free gaps of tile memory, keeping out of the
// interleaved window unless `allow_interleaved`. The packer's failure is returned as it is.
Result<PackedObjects> pack_data_objects_for_tile(std::span<const AddressRange> allocation_ranges,
                                                 std::uint16_t tile, std::uint32_t runtime_end,
                                                 std::span<const AddressRange> objects,
                                                 bool allow_interleaved,
                                                 std::span<const AddressRange> additional_reserved);

// The result of `pack_executable_objects_for_tile`.
struct PackedExecutableObjects {
  RelocationMap relocation_map;
  // The merged ranges the objects occupy.
  std::vector<AddressRange> placed;
  // The placed ranges widened to whole memory elements, sorted and merged: what the caller
  // reserves for the code.
  std::vector<AddressRange> elements;
  friend bool operator==(const PackedExecutableObjects&, const PackedExecutableObjects&) = default;
};

// Packs executable objects into the free executable regions of the tile followed by the caller's
// `additional_available` gaps (taken as they are: not widened, merged or sorted).
Result<PackedExecutableObjects> pack_executable_objects_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint16_t tile, std::uint32_t runtime_end,
    std::span<const AddressRange> objects, std::span<const AddressRange> additional_reserved,
    std::span<const AddressRange> additional_available);

}  // namespace quarn::runtime
