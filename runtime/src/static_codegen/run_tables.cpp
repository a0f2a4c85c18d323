// Finding exchange/compute runs and filling their tables.
#include "quarn/runtime/static_codegen/run_tables.hpp"

#include <algorithm>
#include <optional>

#include "quarn/exchange/instructions.hpp"
#include "tile_cursor.hpp"

namespace quarn::runtime::static_codegen {

namespace {

constexpr std::string_view TABLE_SIZE_OVERFLOW = "compact exchange/compute run table size overflow";
constexpr std::string_view TABLE_ADDRESS_OVERFLOW =
    "compact exchange/compute run table address overflow";

const compiler::LoweredTileStep::Exchange* exchange_at(const compiler::LoweredTileProgram& program,
                                                       std::size_t step) {
  return std::get_if<compiler::LoweredTileStep::Exchange>(&program.steps[step]);
}

const compiler::LoweredComputeCommand* compute_at(const compiler::LoweredTileProgram& program,
                                                  std::size_t step) {
  const auto* compute = std::get_if<compiler::LoweredTileStep::Compute>(&program.steps[step]);
  return compute != nullptr ? &compute->command.get() : nullptr;
}

bool is_active(const compiler::LoweredTileStep::Exchange& exchange) {
  if (!exchange.row) return true;
  return !exchange::is_inactive_row(*exchange.row);
}

}  // namespace

bool same_compute_abi(const compiler::LoweredComputeCommand& left,
                      const compiler::LoweredComputeCommand& right) {
  return left.specialization().operation == right.specialization().operation &&
         left.output_address == right.output_address &&
         left.input_addresses == right.input_addresses && left.arguments() == right.arguments();
}

Result<std::uint32_t> run_table_end(std::uint32_t table_address, std::size_t entries) {
  return detail::word_area_end(table_address, entries, TABLE_SIZE_OVERFLOW, TABLE_ADDRESS_OVERFLOW);
}

Result<ExchangeComputeRuns> plan_exchange_compute_runs(
    const compiler::LoweredTileProgram& program, std::span<const std::uint32_t> plan_addresses,
    std::uint32_t cursor, bool enabled) {
  ExchangeComputeRuns result;
  result.cursor = cursor;
  if (!enabled) return result;

  const std::size_t count = program.steps.size();
  // Each step's plan address, when it is an exchange step that received one.
  std::vector<std::optional<std::uint32_t>> step_plan(count);
  std::size_t next_plan = 0;
  for (std::size_t step = 0; step < count; ++step) {
    if (exchange_at(program, step) == nullptr) continue;
    if (next_plan < plan_addresses.size()) step_plan[step] = plan_addresses[next_plan];
    ++next_plan;
  }
  if (next_plan < plan_addresses.size()) {
    return fail("unused exchange plan while finding compact compute runs");
  }

  std::size_t s = 0;
  while (s + 3 < count) {
    const compiler::LoweredComputeCommand* call = nullptr;
    if (exchange_at(program, s) != nullptr) call = compute_at(program, s + 1);
    if (call == nullptr || !call->arguments().empty() || call->input_addresses.size() != 2) {
      ++s;
      continue;
    }
    std::size_t e = s + 2;
    while (e + 1 < count && exchange_at(program, e) != nullptr) {
      const auto* next = compute_at(program, e + 1);
      if (next == nullptr || !same_compute_abi(*call, *next)) break;
      e += 2;
    }
    const std::size_t iterations = (e - s) / 2;
    if (iterations < 2) {
      ++s;
      continue;
    }

    const auto table_address = detail::round_cursor_to_word(result.cursor);
    if (!table_address) return fail(std::string(TABLE_ADDRESS_OVERFLOW));
    ExchangeComputeRun run{s, iterations, *table_address, {}};
    run.table_entries.reserve(iterations);
    for (std::size_t step = s; step < e; step += 2) {
      const auto& plan = step_plan[step];
      if (!plan) return fail("compact compute run exchange has no plan address");
      if (*plan % 4 != 0) return fail("exchange plan address is not word aligned");
      run.table_entries.push_back(*plan | (is_active(*exchange_at(program, step)) ? 1u : 0u));
    }
    const auto end = run_table_end(*table_address, run.table_entries.size());
    if (!end) return std::unexpected(end.error());
    result.cursor = *end;
    result.runs.push_back(std::move(run));
    s = e;
  }
  return result;
}

}  // namespace quarn::runtime::static_codegen
