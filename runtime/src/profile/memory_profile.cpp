#include "quarn/runtime/profile/memory_profile.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "quarn/exchange/topology.hpp"
#include "quarn/runtime/memory/ranges.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/small_vector.hpp"

namespace quarn::runtime {

namespace {

using compiler::Allocation;
using compiler::AllocationKind;
using compiler::KernelCommand;
using compiler::Phase;
using package::memory_profile::MemoryRegion;
using support::format;

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

std::uint32_t saturating_end(std::uint32_t start, std::uint64_t length) {
  const std::uint64_t end =
      static_cast<std::uint64_t>(start) + std::min<std::uint64_t>(length, U32_MAX);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, U32_MAX));
}

// The bytes of one binding slice on one physical tile.
struct BindingInterval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::string_view name;
};

// One physical tile's intervals sorted by (start, end), with `reach[i]` the greatest end among
// intervals 0 to i.
struct TileIntervals {
  std::vector<BindingInterval> intervals;
  std::vector<std::uint32_t> reach;

  void finish() {
    std::sort(intervals.begin(), intervals.end(),
              [](const BindingInterval& a, const BindingInterval& b) {
                return a.start != b.start ? a.start < b.start : a.end < b.end;
              });
    reach.resize(intervals.size());
    std::uint32_t running = 0;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
      running = std::max(running, intervals[i].end);
      reach[i] = running;
    }
  }

  // The distinct names of the intervals overlapping [start, end), sorted. Bisects for the
  // intervals that start before `end`, then walks back until no earlier interval can reach past
  // `start`.
  void names_overlapping(std::uint32_t start, std::uint32_t end,
                         support::SmallVector<std::string_view, 4>& names) const {
    const auto before_end = std::partition_point(
        intervals.begin(), intervals.end(),
        [end](const BindingInterval& interval) { return interval.start < end; });
    for (auto i = static_cast<std::size_t>(before_end - intervals.begin()); i > 0; --i) {
      if (reach[i - 1] <= start) break;
      const BindingInterval& interval = intervals[i - 1];
      if (!ranges_overlap({interval.start, interval.end}, {start, end})) continue;
      if (std::find(names.begin(), names.end(), interval.name) == names.end()) {
        names.push_back(interval.name);
      }
    }
    std::sort(names.begin(), names.end());
  }
};

std::string_view category_of(const AllocationKind& kind) {
  switch (kind.index()) {
    case 0:
      return package::memory_profile::HOME_CATEGORY;
    case 1:
      return package::memory_profile::HOME_ALIAS_CATEGORY;
    default:
      return package::memory_profile::EXCHANGE_STAGING_CATEGORY;
  }
}

std::string_view label_or_kernel(const KernelCommand& command) {
  const auto label = command.metadata.find("label");
  if (label != command.metadata.end()) return label->second;
  return command.specialization.operation.view();
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string allocation_command_name(const KernelCommand& command) {
  const std::string_view kernel = command.specialization.operation.view();
  if (starts_with(kernel, "gemm_")) {
    const auto row = command.metadata.find("output_block_row");
    const auto column = command.metadata.find("output_block_column");
    if (row != command.metadata.end() && column != command.metadata.end()) {
      return format("GEMM accumulator block ({}, {})", row->second, column->second);
    }
  }
  return format("output of {}", label_or_kernel(command));
}

std::string allocation_profile_name(const ExecutableGraph& graph, const Allocation& allocation,
                                    std::span<const std::string_view> binding_names,
                                    const OutputNameMap& output_names) {
  if (!binding_names.empty()) return support::join(binding_names, ", ");

  const auto output = output_names.find(TileTensor{allocation.tile, allocation.tensor});
  if (output != output_names.end()) return output->second;

  const auto& phases = graph.schedule.phases;
  if (const auto* staging = std::get_if<AllocationKind::ExchangeStaging>(&allocation.kind)) {
    // Written so that a phase index at the largest machine word does not wrap to phase 0.
    if (staging->phase < phases.size() && staging->phase + 1 < phases.size()) {
      if (const auto* reader = std::get_if<Phase::Compute>(&phases[staging->phase + 1])) {
        for (const auto& command : reader->commands) {
          if (!command || command->tile != allocation.tile) continue;
          const auto& inputs = command->inputs;
          if (std::find(inputs.begin(), inputs.end(), allocation.tensor) != inputs.end()) {
            return format("input to {}", label_or_kernel(*command));
          }
        }
      }
    }
  }

  return std::visit(
      [&](const auto& kind) -> std::string {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<Kind, AllocationKind::Home>) {
          return format("tensor {} home", allocation.tensor.value);
        } else if constexpr (std::is_same_v<Kind, AllocationKind::HomeAlias>) {
          return format("tensor {} alias of {}", allocation.tensor.value, kind.source.value);
        } else {
          return format("tensor {} staging for phase {}", allocation.tensor.value, kind.phase);
        }
      },
      allocation.kind);
}

Result<package::memory_profile::MemoryProfile> allocator_memory_profile(
    const ExecutableGraph& graph) {
  const compiler::Schedule& schedule = graph.schedule;
  const exchange::Topology topology = exchange::Topology::zelk();

  // Binding intervals per physical tile. A slice on a tile number the card lacks would index past
  // these tables, so it fails the call.
  std::vector<TileIntervals> tiles(topology.tile_count());
  for (const auto* bindings :
       {&graph.host_weights, &graph.host_inputs, &graph.host_outputs, &graph.outputs}) {
    for (const package::Binding& binding : *bindings) {
      for (const package::RegionSlice& slice : binding.slices) {
        if (slice.tile >= tiles.size()) {
          return fail("host binding references a physical tile outside the topology");
        }
        tiles[slice.tile].intervals.push_back(BindingInterval{
            .start = slice.tile_address,
            .end = saturating_end(slice.tile_address, slice.size),
            .name = binding.name,
        });
      }
    }
  }
  for (TileIntervals& tile : tiles) tile.finish();

  // Every logical tile of the schedule must be on the card; the first that is not fails the call.
  std::vector<std::uint16_t> physical(schedule.tile_count);
  for (std::uint16_t t = 0; t < schedule.tile_count; ++t) {
    const auto mapped = topology.physical(t);
    if (!mapped) return std::unexpected(RuntimeError::from(mapped.error()));
    physical[t] = *mapped;
  }

  OutputNameMap output_names;
  std::size_t command_count = 0;
  for (const Phase& phase : schedule.phases) {
    if (const auto* compute = std::get_if<Phase::Compute>(&phase)) {
      command_count += compute->commands.size();
    }
  }
  output_names.reserve(command_count);
  for (const Phase& phase : schedule.phases) {
    const auto* compute = std::get_if<Phase::Compute>(&phase);
    if (compute == nullptr) continue;
    for (const auto& command : compute->commands) {
      if (!command) continue;
      const TileTensor key{command->tile, command->output};
      if (!output_names.contains(key)) output_names.emplace(key, allocation_command_name(*command));
    }
  }

  // Each tile's allocations and staging transfers, in list and phase order.
  std::vector<std::vector<const Allocation*>> allocations(schedule.tile_count);
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tile < schedule.tile_count) allocations[allocation.tile].push_back(&allocation);
  }
  struct Staged {
    std::size_t phase;
    const compiler::Transfer* transfer;
  };
  std::vector<std::vector<Staged>> staged(schedule.tile_count);
  for (std::size_t k = 0; k < schedule.phases.size(); ++k) {
    const auto* exchange = std::get_if<Phase::Exchange>(&schedule.phases[k]);
    if (exchange == nullptr) continue;
    for (const auto& transfer : exchange->transfers) {
      if (transfer.staging_address && transfer.destination_tile < schedule.tile_count) {
        staged[transfer.destination_tile].push_back(Staged{k, &transfer});
      }
    }
  }

  package::memory_profile::MemoryProfile profile;
  profile.memory_base = package::TILE_MEMORY_BASE;
  profile.memory_size = package::TILE_MEMORY_SIZE;
  profile.tiles.reserve(schedule.tile_count);
  support::SmallVector<std::string_view, 4> names;
  for (std::uint16_t t = 0; t < schedule.tile_count; ++t) {
    const std::uint16_t p = physical[t];
    std::vector<MemoryRegion> regions;
    regions.reserve(allocations[t].size() + staged[t].size());
    for (const Allocation* allocation : allocations[t]) {
      names.clear();
      tiles[p].names_overlapping(allocation->address,
                                 saturating_end(allocation->address, allocation->size), names);
      regions.push_back(MemoryRegion{
          .address = allocation->address,
          .size = allocation->size,
          .category = std::string(category_of(allocation->kind)),
          .name = allocation_profile_name(graph, *allocation, names, output_names),
          .tensor = allocation->tensor.value,
          .live_from = allocation->live_from,
          .live_until = allocation->live_until,
      });
    }
    for (const Staged& s : staged[t]) {
      regions.push_back(MemoryRegion{
          .address = *s.transfer->staging_address,
          .size = s.transfer->bytes,
          .category = std::string(package::memory_profile::EXCHANGE_STAGING_CATEGORY),
          .name = format("exchange staging tensor {}", s.transfer->tensor.value),
          .tensor = s.transfer->tensor.value,
          .live_from = s.phase,
          .live_until = s.phase + 1,
      });
    }
    std::stable_sort(regions.begin(), regions.end(),
                     [](const MemoryRegion& a, const MemoryRegion& b) {
                       if (a.address != b.address) return a.address < b.address;
                       if (a.live_from != b.live_from) return a.live_from < b.live_from;
                       return a.live_until < b.live_until;
                     });
    profile.tiles.push_back(package::memory_profile::TileMemory{
        .logical_tile = t,
        .physical_tile = p,
        .regions = std::move(regions),
    });
  }
  return profile;
}

}  // namespace quarn::runtime
