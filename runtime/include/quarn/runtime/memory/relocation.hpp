// Relocation of transient tensor allocations out of the way of measured executables.
//
// Once the executable placement of every tile is measured, the memory it needs (two reserved
// ranges per logical tile) may collide with tensors the compiler placed there. Every transient
// allocation (`Home`, with a finite live range, of nonzero size) whose 16 KiB memory elements
// touch a reserved range of its tile is moved, largest first, to the lowest free 32-byte-aligned
// address of the relocation arena [QUARN21_INTERLEAVED_MEMORY_LIMIT, TILE_MEMORY_END). The
// addresses that point into a moved allocation follow it: its aliases, initial buffers and the
// tile addresses of host binding slices. The schedule is then validated again.
//
// The call is all-or-nothing: on any error the graph is exactly as it was before the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "quarn/compiler/arena.hpp"
#include "quarn/compiler/ids.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/runtime/executable_graph.hpp"
#include "quarn/runtime/memory/ranges.hpp"
#include "quarn/runtime/memory/tile_regions.hpp"

namespace quarn::runtime {

// Where moved allocations go: the lowest free address first.
inline constexpr compiler::MemoryArena RELOCATION_ARENA =
    compiler::MemoryArena::low(QUARN21_INTERLEAVED_MEMORY_LIMIT, TILE_MEMORY_END);
// The alignment of every moved allocation.
inline constexpr std::uint32_t RELOCATION_ALIGNMENT = 32;

// The two ranges of one logical tile to clear of transient tensors; (0, 0) reserves nothing.
using TileReservations = std::pair<AddressRange, AddressRange>;

// One moved allocation, in the order the allocations were moved.
struct RelocationEntry {
  compiler::TensorId tensor;
  // Logical tile.
  std::uint16_t tile = 0;
  // The moved range was [old_start, old_end); it now starts at new_start.
  std::uint32_t old_start = 0;
  std::uint32_t old_end = 0;
  std::uint32_t new_start = 0;
  friend bool operator==(const RelocationEntry&, const RelocationEntry&) = default;
};

// Moves `address` with the first entry, in list order, on `tile` whose old range holds it: it
// becomes new_start + (address − old_start). Otherwise leaves it unchanged. The entry's tensor
// plays no part.
void relocate_literal_address(std::uint16_t tile, std::uint32_t& address,
                              std::span<const RelocationEntry> entries);

// Moves the transient allocations whose memory elements touch `reservations[tile]` (indexed by
// logical tile) into the relocation arena and carries aliases, initial buffers and binding slices
// along; returns the number of moved allocations. Fails, leaving the graph unchanged, with:
// - "out of range integral type conversion attempted" for a topology of more than 65535 tiles;
// - the topology's text when it cannot map a logical tile;
// - "reserved ranges are given for {} tiles but the topology has {} logical tiles" when
//   `reservations` is shorter than the topology;
// - "transient tensor {} on tile {} has no reserved ranges: reserved ranges are given for {}
//   tiles" for a transient allocation on a tile past the end of `reservations`;
// - "cannot relocate transient tensor {} on tile {} for measured executable placement: {}" when
//   the arena has no room (the last part is the arena search's error text);
// - "allocation relocation range overflow" when a moved allocation's old end leaves 32 bits;
// - "host binding references a physical tile outside the topology";
// - the allocation check's text when the updated schedule is inconsistent.
Result<std::size_t> relocate_transient_allocations_for_executables(
    ExecutableGraph& graph, const exchange::Topology& topology,
    std::span<const TileReservations> reservations);

}  // namespace quarn::runtime
