// Deferral of a layer's trailing residual addition and its fusion into the next LayerNorm.
//
// An encoder layer's schedule can end with a residual addition: an exchange phase that moves
// nothing, then a compute phase of "add_f16" commands that each add a residual tensor into a shard
// of the layer output in place. Instead of running it as a phase of its own, the addition is cut
// from the end of the schedule and folded into the first affine LayerNorm phase that follows,
// whose commands then run "add_layer_norm_affine_f16":
//
//   auto deferred = defer_terminal_residual_add(schedule);     // after one layer
//   if (!deferred) return deferred.error();
//   const std::size_t next = schedule.phases.size();
//   append_next_layer(schedule);
//   if (*deferred) {
//     auto fused = fuse_deferred_residual_into_layer_norm(schedule, next, std::move(**deferred));
//     ...
//   }
//
// Commands are changed only through `compiler::make_unique_command`, so lowered programs that
// share a `KernelCommand` keep seeing the unfused command.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "quarn/compiler/ids.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/runtime/error.hpp"

namespace quarn::runtime::siglip {

// The kernel names, role and label text involved.
inline constexpr char ADD_KERNEL[] = "add_f16";
inline constexpr char LAYER_NORM_KERNEL[] = "layer_norm_affine_f16";
inline constexpr char FUSED_KERNEL[] = "add_layer_norm_affine_f16";
inline constexpr char FUSED_ROLE[] = "add-and-normalize";
inline constexpr char LABEL_KEY[] = "label";
inline constexpr char FUSED_LABEL[] = "fused residual add and LayerNorm";

// A residual addition removed from the end of a schedule, waiting to be fused.
struct DeferredResidualAdd {
  // (destination, source) per removed "add_f16" command, in command order: the destination is
  // the tensor updated in place (the command's output and first input), the source the residual
  // tensor added to it (the command's second input).
  std::vector<std::pair<compiler::TensorId, compiler::TensorId>> sources;
  friend bool operator==(const DeferredResidualAdd&, const DeferredResidualAdd&) = default;
};

// Removes a terminal residual addition: when the last phase is a non-empty compute phase of only
// "add_f16" commands and the phase before it is an exchange phase without transfers, both phases
// are removed and their pairs returned. Otherwise nothing is deferred (nullopt) and the schedule
// is untouched. Fails with "terminal residual add has an incompatible command ABI", leaving the
// schedule unchanged, when a command does not have exactly two inputs with its output first.
// Allocations are never changed.
Result<std::optional<DeferredResidualAdd>> defer_terminal_residual_add(
    compiler::Schedule& schedule);

// Fuses `deferred` into the first compute phase at or after `phase_start` whose commands (at least
// one) are all "layer_norm_affine_f16": each command gets the source of its first input inserted
// as its second input, kernel "add_layer_norm_affine_f16", role "add-and-normalize" and the
// "label" "fused residual add and LayerNorm". Every command is checked before any is changed, so
// on failure the schedule is exactly as it was. Messages:
// "deferred residual add has no following affine LayerNorm",
// "deferred residual add and LayerNorm shard counts differ",
// "deferred residual add has duplicate destination shards",
// "deferred residual add has no source for a LayerNorm shard" (also for a command with no inputs),
// "deferred residual source is not colocated with LayerNorm" (no allocation of the source on the
// command's tile is live in the LayerNorm phase).
Result<void> fuse_deferred_residual_into_layer_norm(compiler::Schedule& schedule,
                                                    std::size_t phase_start,
                                                    DeferredResidualAdd deferred);

}  // namespace quarn::runtime::siglip
