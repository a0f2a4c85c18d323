// The static template planner: repeated regions of a tile program become template plans.
//
// A tile program may repeat one stretch of work several times (once per encoder layer, say),
// with different addresses and sometimes a different arrangement of kernel calls. A
// `StaticTemplateRegion` names such a stretch by the global phase ranges of its instances;
// `plan_static_templates` turns it into a `StaticTemplatePlan`: one list of generic steps
// (compute_step.hpp) for every instance, the per-instance records that feed them
// (template_records.hpp), the patches from each record to the next (record_patches.hpp), and the
// tile addresses of these data, allocated upward from a memory cursor:
//
//   auto planned = plan_static_templates(program, plan_addresses, plan_rows, plan_patches,
//                                        regions, cursor, /*cyclic=*/true);
//   // planned->plans[i] for regions[i]; planned->cursor is the first free address after them
//
// Instances are aligned phase by phase (relative phase p of every instance is planned together)
// and, within a compute phase, call by call. The per-exchange inputs (plan address, normalized
// plan row, optional sender patch of every exchange step, in program order) come from exchange
// planning, which is done elsewhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/runtime/static_codegen/compute_step.hpp"
#include "quarn/runtime/static_codegen/record_patches.hpp"
#include "quarn/runtime/static_codegen/template_records.hpp"

namespace quarn::runtime {

// A repeated stretch of one tile program, to be served by one static code template.
struct StaticTemplateRegion {
  // The template's name, copied into its plan and used in messages.
  std::string name;
  // One half-open range [first, second) of global phase indices per instance, in instance order.
  std::vector<std::pair<std::size_t, std::size_t>> phase_instances;
  friend bool operator==(const StaticTemplateRegion&, const StaticTemplateRegion&) = default;
};

}  // namespace quarn::runtime

namespace quarn::runtime::static_codegen {

// A half-open range [first, second) of indices into a program's steps.
using StepRange = std::pair<std::size_t, std::size_t>;
// A half-open range [first, second) of global phase indices.
using PhaseRange = std::pair<std::size_t, std::size_t>;

// The phase of a step: the one rule of the lowered programs.
inline std::size_t step_phase(const compiler::LoweredTileStep& step) {
  return compiler::lowered_step_phase(step);
}

// How one exchange plan's sender instruction is patched.
struct StaticPlanPatch {
  // Tile address of the patched word.
  std::uint32_t word_address = 0;
  // Index of that word within the exchange plan (plan address + 4 × word_offset).
  std::uint16_t word_offset = 0;
  // The instruction word written there.
  std::uint32_t instruction = 0;
  friend bool operator==(const StaticPlanPatch&, const StaticPlanPatch&) = default;
};

// The plan of one region.
struct StaticTemplatePlan {
  // The region's name.
  std::string name;
  // Each instance's steps; consecutive ranges touch.
  std::vector<StepRange> instance_steps;
  // Per instance (all equal): the tile address of the record's first part.
  std::vector<std::uint32_t> record_addresses;
  // Per instance (all equal): the tile address of the record's second part.
  std::vector<std::uint32_t> record_secondary_addresses;
  // Slots below it lie in the first part (slot s at 4 × s), the others in the second part (slot s
  // at 4 × (s − record_split)).
  std::uint16_t record_split = 0;
  // One record per instance, all of one length.
  std::vector<std::vector<StaticTemplateRecordWord>> records;
  // Per patch, the tile addresses of its four stored groups.
  std::vector<std::array<std::uint32_t, 4>> patch_addresses;
  // Entry 0 is empty; entry i turns record i − 1 into record i; a cyclic plan has one more entry
  // turning the last record back into the first.
  std::vector<TemplateRecordPatch> patches;
  // Always 0 here: the shared table is placed elsewhere.
  std::uint32_t shared_address = 0;
  // The template's shared table.
  std::vector<StaticTemplateRecordWord> shared;
  // The generic steps in execution order.
  std::vector<StaticTemplateStep> steps;
  friend bool operator==(const StaticTemplatePlan&, const StaticTemplatePlan&) = default;
};

// The plans, one per region in region order, and the first free address after their data.
struct StaticTemplatePlans {
  std::vector<StaticTemplatePlan> plans;
  std::uint32_t cursor = 0;
  friend bool operator==(const StaticTemplatePlans&, const StaticTemplatePlans&) = default;
};

// Plans every region of `program` (see the header comment). `plan_addresses`, `plan_rows` and
// `plan_patches` give, in program order, the data of the program's `Exchange` steps; a list may
// be shorter than the number of exchange steps, but not longer. Each template's records, then
// its patch groups, patch by patch, are placed at the cursor rounded up to a multiple of 4. Every
// failure ends the call with one message and no plans; the messages are listed in the source.
Result<StaticTemplatePlans> plan_static_templates(
    const compiler::LoweredTileProgram& program, std::span<const std::uint32_t> plan_addresses,
    std::span<const std::vector<std::uint32_t>> plan_rows,
    std::span<const std::optional<StaticPlanPatch>> plan_patches,
    std::span<const StaticTemplateRegion> regions, std::uint32_t cursor, bool cyclic);

// The steps holding exactly the phases `phases` (found by binary search over the phase-ordered
// steps). Fails with "static template phase range is empty" when phases.first is not below
// phases.second, and with "static template phase range does not map to contiguous tile steps"
// when no step, or a step of another phase, lies in the range found.
Result<StepRange> phase_range_to_step_range(const compiler::LoweredTileProgram& program,
                                            PhaseRange phases);

// One step range per phase of `phases` within `steps` (empty for a phase without steps). Fails
// with "static template steps are not ordered by phase" when some step of `steps` is left over.
// `steps` must lie within the program (std::logic_error otherwise).
Result<std::vector<StepRange>> phase_step_ranges(const compiler::LoweredTileProgram& program,
                                                 StepRange steps, PhaseRange phases);

// The end of a stored patch group of `storage_words` words at `address`: fails with "out of
// range integral type conversion attempted" when the count leaves 32 bits, "static template
// patch size overflow" when 4 × storage_words does, and "static template patch address
// overflow" when the end does.
Result<std::uint32_t> patch_group_end(std::uint32_t address, std::size_t storage_words);

}  // namespace quarn::runtime::static_codegen
