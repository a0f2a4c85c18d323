// Schedule::validate_allocations: three passes over the allocations.
//   1. Index the allocations with a home address by (tensor, tile).
//   2. In schedule order: tile range, address overflow, alias backing; collect the non-alias
//      allocations that take part in the overlap sweep, per tile.
//   3. Per tile, sweep start and end events in phase order over an ordered live set keyed by
//      (address, index). The live set never holds two overlapping allocations, so comparing a new
//      allocation with its two address neighbours finds any conflict: O(n log n) per tile.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quarn/compiler/schedule.hpp"
#include "quarn/support/format.hpp"

namespace quarn::compiler {
namespace {

using support::format;
using support::Hex;

struct SourceKey {
  TensorId tensor;
  std::uint16_t tile;
  friend bool operator==(const SourceKey&, const SourceKey&) = default;
};

struct SourceKeyHash {
  std::size_t operator()(const SourceKey& key) const noexcept {
    // splitmix64 finaliser over the packed pair.
    std::uint64_t x = (static_cast<std::uint64_t>(key.tensor.value) << 16) ^ key.tile;
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return static_cast<std::size_t>(x);
  }
};

using SourceIndex = std::unordered_map<SourceKey, std::vector<std::size_t>, SourceKeyHash>;

std::uint64_t saturating_end(const Allocation& a) {
  return std::min<std::uint64_t>(static_cast<std::uint64_t>(a.address) + a.size, UINT32_MAX);
}

std::uint64_t end_of(const Allocation& a) {
  return static_cast<std::uint64_t>(a.address) + a.size;
}

// "{phase}:{operation}:{role}" for the first three compute commands that read or write `tensor`.
std::string tensor_uses(const Schedule& schedule, TensorId tensor) {
  std::vector<std::string> uses;
  for (std::size_t index = 0; index < schedule.phases.size() && uses.size() < 3; ++index) {
    const auto* compute = std::get_if<Phase::Compute>(&schedule.phases[index]);
    if (compute == nullptr) continue;
    for (const auto& command : compute->commands) {
      if (uses.size() == 3) break;
      if (!command) continue;
      const bool uses_tensor = command->output == tensor ||
                               std::find(command->inputs.begin(), command->inputs.end(), tensor) !=
                                   command->inputs.end();
      if (uses_tensor) {
        uses.push_back(format("{}:{}:{}", index, command->specialization.operation.view(),
                              command->specialization.role.view()));
      }
    }
  }
  return support::join(uses, ", ");
}

std::string unbacked_alias_message(const Schedule& schedule, const SourceIndex& sources,
                                   const Allocation& alias, TensorId source) {
  std::vector<std::string> local;
  if (const auto found = sources.find(SourceKey{source, alias.tile}); found != sources.end()) {
    for (const std::size_t index : found->second) {
      const Allocation& c = schedule.allocations[index];
      local.push_back(format("0x{}..0x{}@{}..{} {}", Hex{c.address}, Hex{saturating_end(c)},
                             c.live_from, c.live_until, debug_string(c.kind)));
    }
  }
  std::vector<std::string> global;
  for (const Allocation& c : schedule.allocations) {
    if (c.tensor != source) continue;
    global.push_back(format("tile{}:0x{}..0x{}@{}..{} {}", c.tile, Hex{c.address},
                            Hex{saturating_end(c)}, c.live_from, c.live_until,
                            debug_string(c.kind)));
  }
  return format(
      "tensor {} alias 0x{}..0x{}@{}..{} on tile {} is not backed by source tensor {} (local: {}; "
      "global: {})",
      alias.tensor.value, Hex{alias.address}, Hex{end_of(alias)}, alias.live_from, alias.live_until,
      alias.tile, source.value, support::join(local, ", "), support::join(global, ", "));
}

bool is_backed(const Schedule& schedule, const SourceIndex& sources, const Allocation& alias,
               TensorId source) {
  const auto found = sources.find(SourceKey{source, alias.tile});
  if (found == sources.end()) return false;
  const std::uint64_t alias_end = end_of(alias);
  return std::any_of(found->second.begin(), found->second.end(), [&](std::size_t index) {
    const Allocation& c = schedule.allocations[index];
    return c.address <= alias.address && saturating_end(c) >= alias_end &&
           c.live_from <= alias.live_from && c.live_until >= alias.live_until;
  });
}

struct SweepEvent {
  std::size_t phase;
  bool is_start;  // end events (false) sort before start events of the same phase
  std::size_t index;
  friend auto operator<=>(const SweepEvent&, const SweepEvent&) = default;
};

std::string overlap_message(const Schedule& schedule, std::uint16_t tile, const Allocation& a,
                            const Allocation& b) {
  return format(
      "live tensors {} ({}; {}) and {} ({}; {}) overlap on tile {}: 0x{}..0x{} at phases {}..{} "
      "and 0x{}..0x{} at phases {}..{}",
      a.tensor.value, debug_string(a.kind), tensor_uses(schedule, a.tensor), b.tensor.value,
      debug_string(b.kind), tensor_uses(schedule, b.tensor), tile, Hex{a.address}, Hex{end_of(a)},
      a.live_from, a.live_until, Hex{b.address}, Hex{end_of(b)}, b.live_from, b.live_until);
}

// Sweeps one tile's allocations; returns the (inserted, live) pair of the first conflict.
std::optional<std::pair<std::size_t, std::size_t>> find_overlap(
    const std::vector<Allocation>& allocations, const std::vector<std::size_t>& listed,
    std::vector<SweepEvent>& events) {
  events.clear();
  for (const std::size_t index : listed) {
    const Allocation& a = allocations[index];
    events.push_back({a.live_from, true, index});
    if (a.live_until != LIVE_TO_END) events.push_back({a.live_until, false, index});
  }
  std::sort(events.begin(), events.end());

  std::set<std::pair<std::uint32_t, std::size_t>> live;
  for (const SweepEvent& event : events) {
    const Allocation& a = allocations[event.index];
    const std::pair key{a.address, event.index};
    if (!event.is_start) {
      live.erase(key);
      continue;
    }
    const auto above = live.lower_bound(key);
    if (above != live.begin()) {
      const auto below = std::prev(above);
      if (end_of(allocations[below->second]) > a.address) {
        return std::pair{event.index, below->second};
      }
    }
    if (above != live.end() && allocations[above->second].address < end_of(a)) {
      return std::pair{event.index, above->second};
    }
    live.insert(above, key);
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, CompileError> Schedule::validate_allocations() const {
  // Only tensors that some alias names as its source are ever looked up, so only their
  // allocations are indexed; the answers are those of a full index.
  std::unordered_set<TensorId> alias_sources;
  for (const Allocation& a : allocations) {
    if (const auto* alias = std::get_if<AllocationKind::HomeAlias>(&a.kind)) {
      alias_sources.insert(alias->source);
    }
  }
  SourceIndex sources;
  if (!alias_sources.empty()) {
    for (std::size_t index = 0; index < allocations.size(); ++index) {
      const Allocation& a = allocations[index];
      if (a.kind.has_home_address() && alias_sources.contains(a.tensor)) {
        sources[SourceKey{a.tensor, a.tile}].push_back(index);
      }
    }
  }

  std::vector<std::vector<std::size_t>> per_tile(tile_count);
  for (std::size_t index = 0; index < allocations.size(); ++index) {
    const Allocation& a = allocations[index];
    if (a.tile >= tile_count) {
      return std::unexpected(
          memory_error(format("tensor {} is allocated on tile {}, outside the {}-tile schedule",
                              a.tensor.value, a.tile, tile_count)));
    }
    if (end_of(a) > UINT32_MAX) {
      return std::unexpected(memory_error(
          format("tensor {} allocation address overflows on tile {}", a.tensor.value, a.tile)));
    }
    if (a.size == 0 || a.live_from >= a.live_until) continue;
    const auto* alias = std::get_if<AllocationKind::HomeAlias>(&a.kind);
    if (alias == nullptr) {
      per_tile[a.tile].push_back(index);
      continue;
    }
    if (!is_backed(*this, sources, a, alias->source)) {
      return std::unexpected(
          memory_error(unbacked_alias_message(*this, sources, a, alias->source)));
    }
  }

  std::vector<SweepEvent> events;
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    if (const auto conflict = find_overlap(allocations, per_tile[tile], events)) {
      return std::unexpected(memory_error(overlap_message(*this, tile, allocations[conflict->first],
                                                          allocations[conflict->second])));
    }
  }
  return {};
}

}  // namespace quarn::compiler
