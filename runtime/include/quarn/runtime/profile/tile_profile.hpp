// The profile steps of one tile program, and their semantic regions.
//
// `profile_steps` turns a tile's lowered program into its profile step list at a chosen
// granularity, with one `ProfileBoundary` per lowered step saying after which lowered steps the
// profile advances. Its result always satisfies: step k has `local_index` k, and the number of
// steps equals the number of set flags; taking the set flags in lowered-step order (`after_sync`
// before `after_step` within one lowered step), the k-th set flag ends the k-th step.
// `annotate_semantic_regions` then labels every step with the named phase range it lies in.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/package/profile.hpp"
#include "quarn/runtime/error.hpp"

namespace quarn::runtime {

// How finely a tile program is profiled.
enum class ProfileGranularity {
  // No profile steps.
  Graph,
  // One step per compute phase of the tile; per exchange epoch a synchronisation step and an
  // exchange step with compacted metadata.
  Phase,
  // One step per compute or idle lowered step; per exchange epoch a synchronisation step and an
  // exchange step with full metadata.
  Step,
};

// "Graph", "Phase" or "Step".
std::string to_string(ProfileGranularity granularity);

// The profile boundaries of one lowered step (same index). Both flags are false by default.
struct ProfileBoundary {
  // A profile step ends after the synchronisation that opens this lowered exchange step.
  bool after_sync = false;
  // A profile step ends after this lowered step.
  bool after_step = false;
  friend bool operator==(const ProfileBoundary&, const ProfileBoundary&) = default;
};

// A half-open range [first, second) of phase indices.
using PhaseRange = std::pair<std::size_t, std::size_t>;

// A named range of schedule phases ("embedding", "encoder").
struct StaticProfileRegion {
  std::string name;
  PhaseRange phases;
  friend bool operator==(const StaticProfileRegion&, const StaticProfileRegion&) = default;
};

// The result of `profile_steps`: the steps, and one boundary per lowered step.
struct ProfileSteps {
  std::vector<package::ProfileStep> steps;
  std::vector<ProfileBoundary> boundaries;
  friend bool operator==(const ProfileSteps&, const ProfileSteps&) = default;
};

// The profile steps of `program` at `granularity`. `Phase` granularity walks the program in runs
// of equal phase: a run that starts with a compute or idle step gives one
// `phase_compute_profile_step` ending at the run's last lowered step; a run that starts with an
// exchange step gives the two steps of `append_exchange_profile` (compacted) per lowered step.
// Throws `std::logic_error` "one phase lowered to mixed step kinds" when an exchange run holds a
// compute or idle step.
ProfileSteps profile_steps(const compiler::Schedule& schedule,
                           const compiler::LoweredTileProgram& program,
                           ProfileGranularity granularity);

// Appends the synchronisation step and then the exchange step (compacted when `compact`) of the
// lowered exchange step at `step_index`, each with `local_index` the list length at that moment,
// and sets `after_sync` and `after_step` of boundary `step_index`. The tile is active unless its
// row is inactive (`exchange::is_inactive_row`). Throws `std::logic_error` "expected a lowered
// exchange step" when that step is not an exchange step, and when `step_index` is not a position
// of both the program and `boundaries`.
void append_exchange_profile(const compiler::Schedule& schedule,
                             const compiler::LoweredTileProgram& program,
                             std::vector<package::ProfileStep>& steps,
                             std::vector<ProfileBoundary>& boundaries, std::size_t step_index,
                             bool compact);

// Appends "semantic_region" with the region's name to every step, in order. `regions` must be
// sorted by phase range without overlaps; each lookup bisects it. A step whose phase lies in no
// region fails the call with "profile phase {} is outside the semantic regions"; the steps before
// it keep their new entry, it and the later steps are unchanged.
Result<void> annotate_semantic_regions(std::vector<package::ProfileStep>& steps,
                                       std::span<const StaticProfileRegion> regions);

}  // namespace quarn::runtime
