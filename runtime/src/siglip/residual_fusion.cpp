#include "quarn/runtime/siglip/residual_fusion.hpp"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "quarn/compiler/kernel_command.hpp"

namespace quarn::runtime::siglip {

namespace {

using compiler::KernelCommand;
using compiler::KernelCommandHandle;
using compiler::Phase;
using compiler::Schedule;
using compiler::TensorId;

// A null handle in a compute phase is a broken schedule, never a reportable condition.
const KernelCommand& command_of(const KernelCommandHandle& handle) {
  if (!handle) throw std::logic_error("compute phase holds a null kernel command");
  return *handle;
}

bool runs_kernel(const KernelCommandHandle& handle, std::string_view kernel) {
  return command_of(handle).specialization.operation == kernel;
}

// A tensor's presence on one tile.
struct Location {
  TensorId tensor;
  std::uint16_t tile = 0;
  friend bool operator==(const Location&, const Location&) = default;
};

struct LocationHash {
  std::size_t operator()(const Location& location) const noexcept {
    return std::hash<std::size_t>{}(location.tensor.value) * 0x9E3779B97F4A7C15ull ^ location.tile;
  }
};

// The first non-empty compute phase at or after `phase_start` whose commands all run the
// LayerNorm kernel; mixed phases and exchange phases are passed over.
std::optional<std::size_t> find_layer_norm_phase(const Schedule& schedule,
                                                 std::size_t phase_start) {
  for (std::size_t p = phase_start; p < schedule.phases.size(); ++p) {
    const auto* compute = std::get_if<Phase::Compute>(&schedule.phases[p]);
    if (compute == nullptr || compute->commands.empty()) continue;
    bool all_layer_norm = true;
    for (const auto& handle : compute->commands) {
      if (!runs_kernel(handle, LAYER_NORM_KERNEL)) {
        all_layer_norm = false;
        break;
      }
    }
    if (all_layer_norm) return p;
  }
  return std::nullopt;
}

}  // namespace

Result<std::optional<DeferredResidualAdd>> defer_terminal_residual_add(Schedule& schedule) {
  auto& phases = schedule.phases;
  if (phases.empty()) return std::nullopt;
  const auto* addition = std::get_if<Phase::Compute>(&phases.back());
  if (addition == nullptr || addition->commands.empty()) return std::nullopt;
  for (const auto& handle : addition->commands) {
    if (!runs_kernel(handle, ADD_KERNEL)) return std::nullopt;
  }
  // For a single phase this is the addition phase itself, which is no exchange phase.
  const Phase& before = phases[phases.size() < 2 ? 0 : phases.size() - 2];
  const auto* exchange = std::get_if<Phase::Exchange>(&before);
  if (exchange == nullptr || !exchange->transfers.empty()) return std::nullopt;

  DeferredResidualAdd deferred;
  deferred.sources.reserve(addition->commands.size());
  for (const auto& handle : addition->commands) {
    const KernelCommand& command = *handle;
    if (command.inputs.size() != 2 || command.output != command.inputs[0]) {
      return fail("terminal residual add has an incompatible command ABI");
    }
    deferred.sources.emplace_back(command.output, command.inputs[1]);
  }
  phases.erase(phases.end() - 2, phases.end());
  return deferred;
}

Result<void> fuse_deferred_residual_into_layer_norm(Schedule& schedule, std::size_t phase_start,
                                                    DeferredResidualAdd deferred) {
  const std::optional<std::size_t> found = find_layer_norm_phase(schedule, phase_start);
  if (!found) return fail("deferred residual add has no following affine LayerNorm");
  const std::size_t p = *found;
  auto& commands = std::get<Phase::Compute>(schedule.phases[p]).commands;

  if (commands.size() != deferred.sources.size()) {
    return fail("deferred residual add and LayerNorm shard counts differ");
  }
  std::unordered_map<TensorId, TensorId> source_of;
  source_of.reserve(deferred.sources.size());
  for (const auto& [destination, source] : deferred.sources) source_of.emplace(destination, source);
  if (source_of.size() < commands.size()) {
    return fail("deferred residual add has duplicate destination shards");
  }

  // Where each LayerNorm command needs its source, and which of those places hold the source
  // during phase p.
  std::unordered_set<Location, LocationHash> wanted;
  for (const auto& handle : commands) {
    const KernelCommand& command = *handle;
    if (command.inputs.empty()) continue;
    if (const auto it = source_of.find(command.inputs[0]); it != source_of.end()) {
      wanted.insert(Location{it->second, command.tile});
    }
  }
  std::unordered_set<Location, LocationHash> available;
  for (const auto& allocation : schedule.allocations) {
    if (allocation.live_from > p || p >= allocation.live_until) continue;
    const Location location{allocation.tensor, allocation.tile};
    if (wanted.contains(location)) available.insert(location);
  }

  // Check every command before changing any, so a failure leaves the schedule as it was.
  for (const auto& handle : commands) {
    const KernelCommand& command = *handle;
    const auto it = command.inputs.empty() ? source_of.end() : source_of.find(command.inputs[0]);
    if (it == source_of.end()) {
      return fail("deferred residual add has no source for a LayerNorm shard");
    }
    if (!available.contains(Location{it->second, command.tile})) {
      return fail("deferred residual source is not colocated with LayerNorm");
    }
  }

  for (auto& handle : commands) {
    KernelCommand& command = compiler::make_unique_command(handle);
    command.inputs.insert(command.inputs.begin() + 1, source_of.at(command.inputs[0]));
    command.specialization.operation = FUSED_KERNEL;
    command.specialization.role = FUSED_ROLE;
    command.metadata.insert_or_assign(LABEL_KEY, FUSED_LABEL);
  }
  return {};
}

}  // namespace quarn::runtime::siglip
