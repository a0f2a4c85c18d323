// The static template planner.
//
// Failures, each ending the whole call:
//   "unused exchange plan while planning static templates" (and "... plan row ...", "... plan
//   patch ..."): a per-exchange list is longer than the number of exchange steps;
//   "template {} has no instances", "template {} instances must be ordered, contiguous, and
//   non-overlapping", "template {} instances have different phase counts", "template {} changes
//   phase kind in phase {}", "template {} changes exchange epoch count in phase {}": the
//   instances cannot share one template;
//   "static template phase range is empty", "static template phase range does not map to
//   contiguous tile steps", "static template steps are not ordered by phase": an instance's
//   phases do not match the tile's steps;
//   "template exchange has no normalized row", "template exchange has no plan address": a
//   template reaches an exchange step whose data is missing;
//   "static template record address overflow", "static template patch size overflow", "static
//   template patch address overflow": the data does not fit below 2^32 (a cursor that rounding up
//   to a multiple of 4 would wrap counts as overflowing);
//   the compute ABI messages of compute_step.hpp, and "out of range integral type conversion
//   attempted" when a table or a 16-bit field is full.
#include "quarn/runtime/static_codegen/planner.hpp"

#include <algorithm>
#include <stdexcept>

#include "quarn/exchange/instructions.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/narrow.hpp"
#include "tile_cursor.hpp"

namespace quarn::runtime::static_codegen {

namespace {

constexpr std::string_view RECORD_ADDRESS_OVERFLOW = "static template record address overflow";
constexpr std::string_view PATCH_SIZE_OVERFLOW = "static template patch size overflow";
constexpr std::string_view PATCH_ADDRESS_OVERFLOW = "static template patch address overflow";

using compiler::LoweredTileStep;

// The caller's data for one exchange step; null where the step received none.
struct ExchangeData {
  const std::uint32_t* plan_address = nullptr;
  const std::vector<std::uint32_t>* row = nullptr;
  const StaticPlanPatch* patch = nullptr;
};

RuntimeError integral_conversion_error() {
  return RuntimeError{std::string(support::INTEGRAL_CONVERSION_MESSAGE)};
}

bool is_active(const LoweredTileStep::Exchange& exchange) {
  return !exchange.row || !exchange::is_inactive_row(*exchange.row);
}

bool all_equal(std::span<const std::uint32_t> values) {
  return std::adjacent_find(values.begin(), values.end(), std::not_equal_to<>{}) == values.end();
}

// Threads the template requests of one region through its table.
class RegionPlanner {
 public:
  RegionPlanner(const compiler::LoweredTileProgram& program, std::span<const ExchangeData> data,
                const StaticTemplateRegion& region)
      : program_(program), data_(data), region_(region) {}

  Result<StaticTemplatePlan> plan(std::size_t& next_step, std::uint32_t& cursor, bool cyclic) {
    const auto& instances = region_.phase_instances;
    if (instances.empty())
      return fail(support::format("template {} has no instances", region_.name));

    StaticTemplatePlan plan;
    plan.name = region_.name;
    plan.instance_steps.reserve(instances.size());
    for (const auto& phases : instances) {
      auto steps = phase_range_to_step_range(program_, phases);
      if (!steps) return std::unexpected(steps.error());
      plan.instance_steps.push_back(*steps);
    }
    const auto& steps = plan.instance_steps;
    bool ordered = steps.front().first >= next_step;
    for (std::size_t i = 1; i < steps.size() && ordered; ++i) {
      ordered = steps[i].first == steps[i - 1].second;
    }
    if (!ordered) {
      return fail(support::format(
          "template {} instances must be ordered, contiguous, and non-overlapping", region_.name));
    }

    const std::size_t phase_count = instances.front().second - instances.front().first;
    const bool same_counts =
        phase_count != 0 && std::all_of(instances.begin(), instances.end(), [&](const auto& range) {
          return range.second - range.first == phase_count;
        });
    if (!same_counts) {
      return fail(
          support::format("template {} instances have different phase counts", region_.name));
    }

    // phase_ranges_[i][p]: instance i's steps of relative phase p.
    phase_ranges_.reserve(instances.size());
    for (std::size_t i = 0; i < instances.size(); ++i) {
      auto ranges = phase_step_ranges(program_, steps[i], instances[i]);
      if (!ranges) return std::unexpected(ranges.error());
      phase_ranges_.push_back(std::move(*ranges));
    }

    TemplateRecords records(instances.size());
    calls_.resize(instances.size());
    for (std::size_t p = 0; p < phase_count; ++p) {
      bool every_exchange = true;
      bool some_exchange = false;
      for (const auto& ranges : phase_ranges_) {
        const StepRange range = ranges[p];
        if (range.first == range.second) every_exchange = false;
        for (std::size_t s = range.first; s < range.second; ++s) {
          const bool exchange =
              std::holds_alternative<LoweredTileStep::Exchange>(program_.steps[s]);
          every_exchange = every_exchange && exchange;
          some_exchange = some_exchange || exchange;
        }
      }
      Result<void> planned;
      if (every_exchange) {
        planned = plan_exchange_phase(p, records, plan.steps);
      } else if (!some_exchange) {
        planned = plan_compute_phase(p, records, plan.steps);
      } else {
        return fail(support::format("template {} changes phase kind in phase {}", region_.name, p));
      }
      if (!planned) return std::unexpected(planned.error());
    }
    next_step = steps.back().second;

    auto placed = place_records_and_patches(records, cursor, cyclic, plan);
    if (!placed) return std::unexpected(placed.error());
    plan.record_addresses.assign(instances.size(), placed->first);
    plan.record_secondary_addresses.assign(instances.size(), placed->second);
    plan.records = std::move(records.rows);
    plan.shared_address = 0;
    plan.shared = std::move(records.shared);
    return plan;
  }

 private:
  Result<void> plan_exchange_phase(std::size_t p, TemplateRecords& records,
                                   std::vector<StaticTemplateStep>& out) {
    const std::size_t epochs = phase_ranges_.front()[p].second - phase_ranges_.front()[p].first;
    for (const auto& ranges : phase_ranges_) {
      if (ranges[p].second - ranges[p].first != epochs) {
        return fail(support::format("template {} changes exchange epoch count in phase {}",
                                    region_.name, p));
      }
    }
    TemplateValueBuffer active;
    TemplateValueBuffer column;
    support::SmallVector<const ExchangeData*, 32> data;
    for (std::size_t e = 0; e < epochs; ++e) {
      active.clear();
      data.clear();
      for (const auto& ranges : phase_ranges_) {
        const std::size_t step = ranges[p].first + e;
        active.push_back(is_active(std::get<LoweredTileStep::Exchange>(program_.steps[step])) ? 1
                                                                                              : 0);
        data.push_back(&data_[step]);
      }

      template_step::Exchange exchange;
      for (const auto* entry : data) {
        if (entry->patch != nullptr) {
          exchange.sender_word_offset = entry->patch->word_offset;
          break;
        }
      }
      const bool offsets_differ = std::any_of(data.begin(), data.end(), [&](const auto* entry) {
        return entry->patch != nullptr && entry->patch->word_offset != exchange.sender_word_offset;
      });
      if (offsets_differ) {
        column.clear();
        for (const auto* entry : data) {
          column.push_back(entry->patch != nullptr ? entry->patch->word_address : 0);
        }
        auto value = records.values(column.span());
        if (!value) return std::unexpected(value.error());
        exchange.sender_address = *value;
      }
      if (exchange.sender_word_offset) {
        column.clear();
        for (const auto* entry : data) {
          column.push_back(entry->patch != nullptr ? entry->patch->instruction : 0);
        }
        auto value = records.values(column.span());
        if (!value) return std::unexpected(value.error());
        exchange.sender_instruction = *value;
      }

      std::size_t longest = 0;
      for (const auto* entry : data) {
        if (entry->row == nullptr) return fail("template exchange has no normalized row");
        longest = std::max(longest, entry->row->size());
      }
      for (std::size_t w = 0; w < longest; ++w) {
        column.clear();
        for (const auto* entry : data) {
          column.push_back(w < entry->row->size() ? (*entry->row)[w] : 0);
        }
        if (all_equal(column.span())) continue;
        const auto index = support::checked_narrow<std::uint16_t>(w);
        if (!index) return std::unexpected(integral_conversion_error());
        auto value = records.values(column.span());
        if (!value) return std::unexpected(value.error());
        exchange.plan_words.emplace_back(*index, *value);
      }

      column.clear();
      for (const auto* entry : data) {
        if (entry->plan_address == nullptr) return fail("template exchange has no plan address");
        column.push_back(*entry->plan_address);
      }
      auto plan_address = records.values(column.span());
      if (!plan_address) return std::unexpected(plan_address.error());
      exchange.plan_address = *plan_address;

      auto is_active_value = records.values(active.span());
      if (!is_active_value) return std::unexpected(is_active_value.error());
      exchange.active = *is_active_value;
      out.emplace_back(std::move(exchange));
    }
    return {};
  }

  Result<void> plan_compute_phase(std::size_t p, TemplateRecords& records,
                                  std::vector<StaticTemplateStep>& out) {
    std::size_t call_count = 0;
    for (std::size_t i = 0; i < phase_ranges_.size(); ++i) {
      auto& calls = calls_[i];
      calls.clear();
      const StepRange range = phase_ranges_[i][p];
      for (std::size_t s = range.first; s < range.second; ++s) {
        if (const auto* compute = std::get_if<LoweredTileStep::Compute>(&program_.steps[s])) {
          calls.push_back(&compute->command.get());
        }
      }
      call_count = std::max(call_count, calls.size());
    }
    if (call_count == 0) {
      out.emplace_back(StaticTemplateStep::Idle{});
      return {};
    }
    for (std::size_t position = 0; position < call_count; ++position) {
      auto step = plan_template_compute_step(calls_, position, records, region_.name, p);
      if (!step) return std::unexpected(step.error());
      out.push_back(std::move(*step));
    }
    return {};
  }

  // Computes the patches, lays out the record parts and patch groups from `cursor` on, and
  // returns the two record part addresses.
  Result<std::pair<std::uint32_t, std::uint32_t>> place_records_and_patches(
      const TemplateRecords& records, std::uint32_t& cursor, bool cyclic,
      StaticTemplatePlan& plan) {
    const auto& rows = records.rows;
    const std::size_t length = rows.front().size();
    const auto split = support::checked_narrow<std::uint16_t>((length + 1) / 2);
    if (!split) return std::unexpected(integral_conversion_error());
    plan.record_split = *split;

    plan.patches.reserve(rows.size() + (cyclic ? 1 : 0));
    plan.patches.emplace_back();
    for (std::size_t i = 1; i < rows.size(); ++i) {
      auto patch = template_record_patch(rows[i - 1], rows[i]);
      if (!patch) return std::unexpected(patch.error());
      plan.patches.push_back(std::move(*patch));
    }
    if (cyclic) {
      auto patch = template_record_patch(rows.back(), rows.front());
      if (!patch) return std::unexpected(patch.error());
      plan.patches.push_back(std::move(*patch));
    }

    const auto first = detail::round_cursor_to_word(cursor);
    if (!first) return fail(std::string(RECORD_ADDRESS_OVERFLOW));
    const auto first_end =
        detail::word_area_end(*first, *split, RECORD_ADDRESS_OVERFLOW, RECORD_ADDRESS_OVERFLOW);
    if (!first_end) return std::unexpected(first_end.error());
    const auto second = detail::round_cursor_to_word(*first_end);
    if (!second) return fail(std::string(RECORD_ADDRESS_OVERFLOW));
    const auto second_end = detail::word_area_end(*second, length - *split, RECORD_ADDRESS_OVERFLOW,
                                                  RECORD_ADDRESS_OVERFLOW);
    if (!second_end) return std::unexpected(second_end.error());
    std::uint32_t at = *second_end;

    const auto groups = template_patch_ranges(length, *split);
    plan.patch_addresses.reserve(plan.patches.size());
    for (const auto& patch : plan.patches) {
      std::array<std::uint32_t, 4> addresses{};
      for (std::size_t g = 0; g < groups.size(); ++g) {
        const auto address = detail::round_cursor_to_word(at);
        if (!address) return fail(std::string(PATCH_ADDRESS_OVERFLOW));
        const auto end =
            patch_group_end(*address, template_patch_storage_words_range(groups[g], patch));
        if (!end) return std::unexpected(end.error());
        addresses[g] = *address;
        at = *end;
      }
      plan.patch_addresses.push_back(addresses);
    }
    cursor = at;
    return std::pair{*first, *second};
  }

  const compiler::LoweredTileProgram& program_;
  std::span<const ExchangeData> data_;
  const StaticTemplateRegion& region_;
  std::vector<std::vector<StepRange>> phase_ranges_;
  std::vector<TemplateCallList> calls_;
};

}  // namespace

Result<std::uint32_t> patch_group_end(std::uint32_t address, std::size_t storage_words) {
  return detail::word_area_end(address, storage_words, PATCH_SIZE_OVERFLOW, PATCH_ADDRESS_OVERFLOW);
}

Result<StepRange> phase_range_to_step_range(const compiler::LoweredTileProgram& program,
                                            PhaseRange phases) {
  if (phases.first >= phases.second) return fail("static template phase range is empty");
  const auto phase_below = [](const LoweredTileStep& step, std::size_t phase) {
    return step_phase(step) < phase;
  };
  const auto& steps = program.steps;
  const std::size_t start = static_cast<std::size_t>(
      std::lower_bound(steps.begin(), steps.end(), phases.first, phase_below) - steps.begin());
  const std::size_t end = static_cast<std::size_t>(
      std::lower_bound(steps.begin(), steps.end(), phases.second, phase_below) - steps.begin());
  bool contiguous = start < end;
  for (std::size_t s = start; s < end && contiguous; ++s) {
    const std::size_t phase = step_phase(steps[s]);
    contiguous = phase >= phases.first && phase < phases.second;
  }
  if (!contiguous) return fail("static template phase range does not map to contiguous tile steps");
  return StepRange{start, end};
}

Result<std::vector<StepRange>> phase_step_ranges(const compiler::LoweredTileProgram& program,
                                                 StepRange steps, PhaseRange phases) {
  if (steps.first > steps.second || steps.second > program.steps.size()) {
    throw std::logic_error(support::format("step range {}..{} lies outside a program of {} steps",
                                           steps.first, steps.second, program.steps.size()));
  }
  std::vector<StepRange> ranges;
  std::size_t c = steps.first;
  for (std::size_t p = phases.first; p < phases.second; ++p) {
    const std::size_t begin = c;
    while (c < steps.second && step_phase(program.steps[c]) == p) ++c;
    ranges.emplace_back(begin, c);
  }
  if (c != steps.second) return fail("static template steps are not ordered by phase");
  return ranges;
}

Result<StaticTemplatePlans> plan_static_templates(
    const compiler::LoweredTileProgram& program, std::span<const std::uint32_t> plan_addresses,
    std::span<const std::vector<std::uint32_t>> plan_rows,
    std::span<const std::optional<StaticPlanPatch>> plan_patches,
    std::span<const StaticTemplateRegion> regions, std::uint32_t cursor, bool cyclic) {
  // Each exchange step's data, found in constant time by step index.
  std::vector<ExchangeData> data(program.steps.size());
  std::size_t k = 0;
  for (std::size_t step = 0; step < program.steps.size(); ++step) {
    if (!std::holds_alternative<LoweredTileStep::Exchange>(program.steps[step])) continue;
    auto& entry = data[step];
    if (k < plan_addresses.size()) entry.plan_address = &plan_addresses[k];
    if (k < plan_rows.size()) entry.row = &plan_rows[k];
    if (k < plan_patches.size() && plan_patches[k]) entry.patch = &*plan_patches[k];
    ++k;
  }
  if (k < plan_addresses.size()) {
    return fail("unused exchange plan while planning static templates");
  }
  if (k < plan_rows.size()) return fail("unused exchange plan row while planning static templates");
  if (k < plan_patches.size()) {
    return fail("unused exchange plan patch while planning static templates");
  }

  StaticTemplatePlans result;
  result.cursor = cursor;
  result.plans.reserve(regions.size());
  std::size_t next_step = 0;
  for (const auto& region : regions) {
    auto plan = RegionPlanner(program, data, region).plan(next_step, result.cursor, cyclic);
    if (!plan) return std::unexpected(plan.error());
    result.plans.push_back(std::move(*plan));
  }
  return result;
}

}  // namespace quarn::runtime::static_codegen
