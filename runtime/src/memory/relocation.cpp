// Relocation of transient allocations: select, move largest first, carry addresses, validate.
//
// Nothing in the graph is written until every move and every carried address has been computed.
// The moves are then applied and the schedule validated; a failed validation puts the old
// addresses back. Each arena search sees only the allocations of its own tile, held in a per-tile
// index that is kept current as allocations move.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "quarn/compiler/arena.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/runtime/memory/relocation.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/narrow.hpp"

namespace quarn::runtime {
namespace {

using compiler::Allocation;
using compiler::AllocationKind;

constexpr std::int32_t kNoSlot = -1;

std::uint64_t saturating_end(std::uint32_t address, std::uint32_t size) {
  return std::min<std::uint64_t>(std::uint64_t{address} + size, UINT32_MAX);
}

// [align_down(address), align_up(address + size)) on memory elements. The end is computed from the
// saturated allocation end; an element end past 2^32 is held as the last address, which overlaps
// exactly the ranges 2^32 would.
AddressRange element_extent(const Allocation& allocation) {
  const auto end = static_cast<std::uint32_t>(saturating_end(allocation.address, allocation.size));
  return {align_down(allocation.address, MEMORY_ELEMENT_SIZE),
          align_up(end, MEMORY_ELEMENT_SIZE).value_or(UINT32_MAX)};
}

bool touches_arena(const Allocation& allocation) {
  const std::uint32_t start = std::max(allocation.address, RELOCATION_ARENA.base);
  const std::uint64_t end = std::min<std::uint64_t>(
      saturating_end(allocation.address, allocation.size), RELOCATION_ARENA.limit);
  return start < end;
}

// Per-tile views of the allocations and of the relocation entries, for the tiles that have
// candidates.
struct TileIndex {
  // Logical tile → slot, kNoSlot for tiles without candidates.
  std::vector<std::int32_t> slot_of_tile;
  // Per slot: copies of the tile's allocations an arena search can see (every candidate, and
  // every other allocation reaching into the arena). Kept current as candidates move.
  std::vector<std::vector<Allocation>> allocations;
  // Per slot: positions in the relocation list, in list order.
  std::vector<std::vector<std::size_t>> entries;

  std::int32_t slot(std::uint16_t tile) const {
    return tile < slot_of_tile.size() ? slot_of_tile[tile] : kNoSlot;
  }
};

// The relocated form of `address` on `tile`, or nothing when no entry holds it.
std::optional<std::uint32_t> relocated(const TileIndex& index,
                                       const std::vector<RelocationEntry>& entries,
                                       std::uint16_t tile, std::uint32_t address) {
  const std::int32_t slot = index.slot(tile);
  if (slot == kNoSlot) return std::nullopt;
  for (const std::size_t position : index.entries[slot]) {
    const RelocationEntry& entry = entries[position];
    if (entry.old_start <= address && address < entry.old_end) {
      return entry.new_start + (address - entry.old_start);
    }
  }
  return std::nullopt;
}

struct Candidate {
  std::size_t index;
  std::uint32_t size;
};

}  // namespace

void relocate_literal_address(std::uint16_t tile, std::uint32_t& address,
                              std::span<const RelocationEntry> entries) {
  for (const RelocationEntry& entry : entries) {
    if (entry.tile == tile && entry.old_start <= address && address < entry.old_end) {
      address = entry.new_start + (address - entry.old_start);
      return;
    }
  }
}

Result<std::size_t> relocate_transient_allocations_for_executables(
    ExecutableGraph& graph, const exchange::Topology& topology,
    std::span<const TileReservations> reservations) {
  // Tile map: physical → logical. Should two logical tiles share a physical number, the later
  // one wins.
  const auto tile_count = support::checked_narrow<std::uint16_t>(topology.tile_count());
  if (!tile_count) return fail(std::string(support::INTEGRAL_CONVERSION_MESSAGE));
  std::vector<std::int32_t> logical_of_physical;
  for (std::uint16_t logical = 0; logical < *tile_count; ++logical) {
    const auto physical = topology.physical(logical);
    if (!physical) return std::unexpected(RuntimeError::from(physical.error()));
    if (*physical >= logical_of_physical.size())
      logical_of_physical.resize(*physical + 1u, kNoSlot);
    logical_of_physical[*physical] = logical;
  }
  if (reservations.size() < *tile_count) {
    return fail(support::format(
        "reserved ranges are given for {} tiles but the topology has {} logical tiles",
        reservations.size(), *tile_count));
  }

  // Candidates: transient allocations of nonzero size whose elements touch a reservation.
  const std::vector<Allocation>& allocations = graph.schedule.allocations;
  std::vector<Candidate> candidates;
  std::vector<bool> is_candidate(allocations.size(), false);
  std::size_t highest_tile = 0;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& a = allocations[i];
    if (!std::holds_alternative<AllocationKind::Home>(a.kind)) continue;
    if (a.live_until == compiler::LIVE_TO_END || a.size == 0) continue;
    if (a.tile >= reservations.size()) {
      return fail(support::format(
          "transient tensor {} on tile {} has no reserved ranges: reserved ranges are given for "
          "{} tiles",
          a.tensor.value, a.tile, reservations.size()));
    }
    const AddressRange extent = element_extent(a);
    const auto& [first, second] = reservations[a.tile];
    if (ranges_overlap(extent, first) || ranges_overlap(extent, second)) {
      candidates.push_back({i, a.size});
      is_candidate[i] = true;
      highest_tile = std::max<std::size_t>(highest_tile, a.tile);
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& x, const Candidate& y) { return x.size > y.size; });

  // The per-tile index of the tiles with candidates.
  TileIndex index;
  if (!candidates.empty()) index.slot_of_tile.assign(highest_tile + 1, kNoSlot);
  for (const Candidate& candidate : candidates) {
    std::int32_t& slot = index.slot_of_tile[allocations[candidate.index].tile];
    if (slot == kNoSlot) {
      slot = static_cast<std::int32_t>(index.allocations.size());
      index.allocations.emplace_back();
    }
  }
  index.entries.resize(index.allocations.size());
  std::vector<std::size_t> position_in_tile(allocations.size(), 0);
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& a = allocations[i];
    const std::int32_t slot = index.slot(a.tile);
    if (slot == kNoSlot) continue;
    // Allocations that never reach into the arena are clipped away by every search; candidates
    // are kept because they move into it.
    if (!is_candidate[i] && !touches_arena(a)) continue;
    position_in_tile[i] = index.allocations[slot].size();
    index.allocations[slot].push_back(a);
  }

  // Moves, largest first, each to the lowest free address of its tile at that moment.
  std::vector<RelocationEntry> entries;
  entries.reserve(candidates.size());
  const compiler::MemoryArena arenas[] = {RELOCATION_ARENA};
  for (const Candidate& candidate : candidates) {
    const Allocation& a = allocations[candidate.index];
    const std::int32_t slot = index.slot(a.tile);
    std::vector<Allocation>& tile_allocations = index.allocations[slot];
    const auto address =
        compiler::find_free_region_in_arenas(tile_allocations, a.tile, candidate.size, a.live_from,
                                             a.live_until, arenas, RELOCATION_ALIGNMENT);
    if (!address) {
      return fail(support::format(
          "cannot relocate transient tensor {} on tile {} for measured executable placement: {}",
          a.tensor.value, a.tile, compiler::to_string(address.error())));
    }
    const std::uint64_t old_end = std::uint64_t{a.address} + candidate.size;
    if (old_end > UINT32_MAX) return fail("allocation relocation range overflow");
    tile_allocations[position_in_tile[candidate.index]].address = *address;
    index.entries[slot].push_back(entries.size());
    entries.push_back({a.tensor, a.tile, a.address, static_cast<std::uint32_t>(old_end), *address});
  }

  // Aliases move with the first moved allocation of their source that holds them whole.
  std::vector<std::pair<std::size_t, std::uint32_t>> alias_moves;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& a = allocations[i];
    const auto* alias = std::get_if<AllocationKind::HomeAlias>(&a.kind);
    if (!alias) continue;
    const std::int32_t slot = index.slot(a.tile);
    if (slot == kNoSlot) continue;
    const std::uint64_t end = saturating_end(a.address, a.size);
    for (const std::size_t position : index.entries[slot]) {
      const RelocationEntry& entry = entries[position];
      if (entry.tensor == alias->source && entry.old_start <= a.address && end <= entry.old_end) {
        alias_moves.emplace_back(i, entry.new_start + (a.address - entry.old_start));
        break;
      }
    }
  }

  std::vector<std::pair<std::size_t, std::uint32_t>> buffer_moves;
  for (std::size_t i = 0; i < graph.initial_buffers.size(); ++i) {
    const InitialBuffer& buffer = graph.initial_buffers[i];
    if (const auto moved = relocated(index, entries, buffer.tile, buffer.address)) {
      buffer_moves.emplace_back(i, *moved);
    }
  }

  std::vector<std::pair<package::RegionSlice*, std::uint32_t>> slice_moves;
  for (auto* bindings :
       {&graph.outputs, &graph.host_weights, &graph.host_inputs, &graph.host_outputs}) {
    for (package::Binding& binding : *bindings) {
      for (package::RegionSlice& slice : binding.slices) {
        if (slice.tile >= logical_of_physical.size() ||
            logical_of_physical[slice.tile] == kNoSlot) {
          return fail("host binding references a physical tile outside the topology");
        }
        const auto logical = static_cast<std::uint16_t>(logical_of_physical[slice.tile]);
        if (const auto moved = relocated(index, entries, logical, slice.tile_address)) {
          slice_moves.emplace_back(&slice, *moved);
        }
      }
    }
  }

  // Apply the schedule's moves and validate; a failure puts the old addresses back.
  std::vector<Allocation>& writable = graph.schedule.allocations;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    writable[candidates[c].index].address = entries[c].new_start;
  }
  std::vector<std::uint32_t> alias_old;
  alias_old.reserve(alias_moves.size());
  for (const auto& [i, address] : alias_moves) {
    alias_old.push_back(writable[i].address);
    writable[i].address = address;
  }
  if (const auto valid = graph.schedule.validate_allocations(); !valid) {
    for (std::size_t c = 0; c < candidates.size(); ++c) {
      writable[candidates[c].index].address = entries[c].old_start;
    }
    for (std::size_t k = 0; k < alias_moves.size(); ++k) {
      writable[alias_moves[k].first].address = alias_old[k];
    }
    return std::unexpected(RuntimeError::from(valid.error()));
  }

  for (const auto& [i, address] : buffer_moves) graph.initial_buffers[i].address = address;
  for (const auto& [slice, address] : slice_moves) slice->tile_address = address;
  return entries.size();
}

}  // namespace quarn::runtime
