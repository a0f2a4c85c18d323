// A direct transcription of transient relocation, for tests and benchmarks only.
//
// `reference_relocate` searches every allocation of the schedule for each move, rewrites the
// graph step by step and scans the relocation list linearly. It works on a copy and hands the
// copy back only on success, so a failed call leaves the graph as it was. The indexed
// implementation must give exactly its results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "quarn/compiler/arena.hpp"
#include "quarn/runtime/memory/relocation.hpp"
#include "quarn/support/format.hpp"

namespace quarn::reference {

using namespace quarn::runtime;
using quarn::compiler::Allocation;
using quarn::compiler::AllocationKind;
using quarn::compiler::LIVE_TO_END;
using quarn::compiler::TensorId;
using quarn::exchange::Topology;
using quarn::support::format;

inline Result<std::size_t> reference_relocate(ExecutableGraph& original, const Topology& topology,
                                              const std::vector<TileReservations>& reservations) {
  ExecutableGraph graph = original;
  if (topology.tile_count() > 65535) return fail("out of range integral type conversion attempted");
  const auto count = static_cast<std::uint16_t>(topology.tile_count());
  std::unordered_map<std::uint32_t, std::uint16_t> tile_map;
  for (std::uint16_t l = 0; l < count; ++l) {
    const auto p = topology.physical(l);
    if (!p) return std::unexpected(RuntimeError::from(p.error()));
    tile_map[*p] = l;
  }
  if (reservations.size() < count) {
    return fail(
        format("reserved ranges are given for {} tiles but the topology has {} logical tiles",
               reservations.size(), count));
  }
  auto& allocations = graph.schedule.allocations;
  std::vector<std::pair<std::size_t, std::uint32_t>> candidates;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& a = allocations[i];
    if (!std::holds_alternative<AllocationKind::Home>(a.kind) || a.live_until == LIVE_TO_END ||
        a.size == 0) {
      continue;
    }
    if (a.tile >= reservations.size()) {
      return fail(
          format("transient tensor {} on tile {} has no reserved ranges: reserved ranges "
                 "are given for {} tiles",
                 a.tensor.value, a.tile, reservations.size()));
    }
    const std::uint64_t end =
        std::min<std::uint64_t>(std::uint64_t{a.address} + a.size, UINT32_MAX);
    const std::uint64_t up = (end + 0x3FFF) & ~std::uint64_t{0x3FFF};
    const AddressRange extent{a.address & ~0x3FFFu,
                              static_cast<std::uint32_t>(std::min<std::uint64_t>(up, UINT32_MAX))};
    if (ranges_overlap(extent, reservations[a.tile].first) ||
        ranges_overlap(extent, reservations[a.tile].second)) {
      candidates.emplace_back(i, a.size);
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto& x, const auto& y) { return x.second > y.second; });
  std::vector<RelocationEntry> entries;
  const quarn::compiler::MemoryArena arena[] = {
      quarn::compiler::MemoryArena::low(0x88000, 0xE8000)};
  for (const auto& [index, size] : candidates) {
    Allocation& a = allocations[index];
    const auto address = quarn::compiler::find_free_region_in_arenas(
        allocations, a.tile, size, a.live_from, a.live_until, arena, 32);
    if (!address) {
      return fail(format(
          "cannot relocate transient tensor {} on tile {} for measured executable placement: {}",
          a.tensor.value, a.tile, quarn::compiler::to_string(address.error())));
    }
    const std::uint64_t old_end = std::uint64_t{a.address} + size;
    if (old_end > UINT32_MAX) return fail("allocation relocation range overflow");
    entries.push_back({a.tensor, a.tile, a.address, static_cast<std::uint32_t>(old_end), *address});
    a.address = *address;
  }
  for (Allocation& a : allocations) {
    const auto* alias = std::get_if<AllocationKind::HomeAlias>(&a.kind);
    if (!alias) continue;
    const std::uint64_t end =
        std::min<std::uint64_t>(std::uint64_t{a.address} + a.size, UINT32_MAX);
    for (const RelocationEntry& e : entries) {
      if (e.tensor == alias->source && e.tile == a.tile && e.old_start <= a.address &&
          end <= e.old_end) {
        a.address = e.new_start + (a.address - e.old_start);
        break;
      }
    }
  }
  for (InitialBuffer& buffer : graph.initial_buffers) {
    relocate_literal_address(buffer.tile, buffer.address, entries);
  }
  for (auto* list :
       {&graph.outputs, &graph.host_weights, &graph.host_inputs, &graph.host_outputs}) {
    for (auto& binding : *list) {
      for (auto& slice : binding.slices) {
        const auto found = tile_map.find(slice.tile);
        if (found == tile_map.end()) {
          return fail("host binding references a physical tile outside the topology");
        }
        relocate_literal_address(found->second, slice.tile_address, entries);
      }
    }
  }
  if (const auto valid = graph.schedule.validate_allocations(); !valid) {
    return std::unexpected(RuntimeError::from(valid.error()));
  }
  original = std::move(graph);
  return entries.size();
}

}  // namespace quarn::reference
