#include "quarn/runtime/profile/tile_profile.hpp"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <variant>

#include "quarn/exchange/instructions.hpp"
#include "quarn/runtime/profile/builders.hpp"
#include "quarn/support/format.hpp"

namespace quarn::runtime {

namespace {

using compiler::LoweredTileStep;
using package::ProfileStep;

bool is_exchange(const LoweredTileStep& step) {
  return std::holds_alternative<LoweredTileStep::Exchange>(step);
}

}  // namespace

std::string to_string(ProfileGranularity granularity) {
  switch (granularity) {
    case ProfileGranularity::Graph:
      return "Graph";
    case ProfileGranularity::Phase:
      return "Phase";
    case ProfileGranularity::Step:
      return "Step";
  }
  throw std::logic_error("unknown profile granularity");
}

void append_exchange_profile(const compiler::Schedule& schedule,
                             const compiler::LoweredTileProgram& program,
                             std::vector<ProfileStep>& steps,
                             std::vector<ProfileBoundary>& boundaries, std::size_t step_index,
                             bool compact) {
  if (step_index >= program.steps.size() || step_index >= boundaries.size()) {
    throw std::logic_error("expected a lowered exchange step");
  }
  const auto* exchange = std::get_if<LoweredTileStep::Exchange>(&program.steps[step_index]);
  if (exchange == nullptr) throw std::logic_error("expected a lowered exchange step");

  // A missing row holds no words, and an empty row is active.
  std::span<const std::uint32_t> row;
  if (exchange->row) row = *exchange->row;
  const bool active = !exchange::is_inactive_row(row);

  steps.push_back(synchronization_profile_step(schedule, program.tile, steps.size(),
                                               exchange->phase, exchange->epoch, active));
  boundaries[step_index].after_sync = true;

  ProfileStep step = exchange_profile_step(schedule, program.tile, steps.size(), exchange->phase,
                                           exchange->epoch, active);
  if (compact) compact_exchange_profile(step);
  steps.push_back(std::move(step));
  boundaries[step_index].after_step = true;
}

ProfileSteps profile_steps(const compiler::Schedule& schedule,
                           const compiler::LoweredTileProgram& program,
                           ProfileGranularity granularity) {
  ProfileSteps result;
  result.boundaries.resize(program.steps.size());
  auto& steps = result.steps;
  auto& boundaries = result.boundaries;

  switch (granularity) {
    case ProfileGranularity::Graph:
      break;

    case ProfileGranularity::Step:
      steps.reserve(program.steps.size());
      for (std::size_t i = 0; i < program.steps.size(); ++i) {
        const LoweredTileStep& step = program.steps[i];
        if (is_exchange(step)) {
          append_exchange_profile(schedule, program, steps, boundaries, i, false);
        } else if (const auto* compute = std::get_if<LoweredTileStep::Compute>(&step)) {
          steps.push_back(compute_profile_step(steps.size(), *compute->command));
          boundaries[i].after_step = true;
        } else {
          const auto& idle = std::get<LoweredTileStep::IdleCompute>(step);
          steps.push_back(idle_compute_profile_step(schedule, steps.size(), idle.op, idle.phase));
          boundaries[i].after_step = true;
        }
      }
      break;

    case ProfileGranularity::Phase:
      for (std::size_t start = 0; start < program.steps.size();) {
        const std::size_t phase = compiler::lowered_step_phase(program.steps[start]);
        std::size_t end = start + 1;
        while (end < program.steps.size() &&
               compiler::lowered_step_phase(program.steps[end]) == phase) {
          ++end;
        }
        if (!is_exchange(program.steps[start])) {
          // A compute run: one step for the whole phase; the run's other steps are not examined.
          steps.push_back(phase_compute_profile_step(schedule, program.tile, steps.size(), phase));
          boundaries[end - 1].after_step = true;
        } else {
          const auto first = program.steps.begin() + static_cast<std::ptrdiff_t>(start);
          const auto last = program.steps.begin() + static_cast<std::ptrdiff_t>(end);
          if (!std::all_of(first, last, is_exchange)) {
            throw std::logic_error("one phase lowered to mixed step kinds");
          }
          for (std::size_t k = start; k < end; ++k) {
            append_exchange_profile(schedule, program, steps, boundaries, k, true);
          }
        }
        start = end;
      }
      break;
  }
  return result;
}

Result<void> annotate_semantic_regions(std::vector<ProfileStep>& steps,
                                       std::span<const StaticProfileRegion> regions) {
  for (ProfileStep& step : steps) {
    const std::size_t phase = step.phase;
    // The first region that ends after the phase; every region before it ends at or before it.
    const auto region = std::partition_point(
        regions.begin(), regions.end(),
        [phase](const StaticProfileRegion& r) { return r.phases.second <= phase; });
    if (region == regions.end() || region->phases.first > phase) {
      return fail(support::format("profile phase {} is outside the semantic regions", phase));
    }
    step.metadata.push_back(package::profile_metadata("semantic_region", region->name));
  }
  return {};
}

}  // namespace quarn::runtime
