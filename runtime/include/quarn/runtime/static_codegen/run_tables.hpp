// Exchange/compute run tables: regular exchange-then-call stretches emitted as a table loop.
//
// Many tile programs contain stretches in which the same kernel call follows each of several
// exchanges, only the exchange plan changing between iterations. Such a run is emitted as a loop
// over a table in tile memory holding, per iteration, the exchange plan's address with bit 0 set
// when that exchange is active. `plan_exchange_compute_runs` finds the runs of one tile program,
// places their tables upward from a tile-memory cursor and fills them:
//
//   auto runs = plan_exchange_compute_runs(program, plan_addresses, 0x53002, true);
//   // runs->runs[0].table_address == 0x53004, runs->cursor just past the last table
//
// Only calls with exactly two inputs and no arguments start a run; planning can be switched off
// (as when the program is profiled), and then nothing is looked at and the cursor is unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/runtime/error.hpp"

namespace quarn::runtime::static_codegen {

// One run: `iterations` (at least 2) exchange/compute pairs from step `start_step` on.
struct ExchangeComputeRun {
  // Index in the program's steps of the run's first step, an `Exchange`.
  std::size_t start_step = 0;
  // The run covers 2 × iterations steps, alternately `Exchange` and `Compute`.
  std::size_t iterations = 0;
  // Tile address of the table (a multiple of 4); it occupies 4 × iterations bytes.
  std::uint32_t table_address = 0;
  // Per iteration: the exchange plan address, with bit 0 set when the exchange is active.
  std::vector<std::uint32_t> table_entries;
  friend bool operator==(const ExchangeComputeRun&, const ExchangeComputeRun&) = default;
};

// The runs of a program in program order, and the cursor after their tables.
struct ExchangeComputeRuns {
  std::vector<ExchangeComputeRun> runs;
  std::uint32_t cursor = 0;
  friend bool operator==(const ExchangeComputeRuns&, const ExchangeComputeRuns&) = default;
};

// True when the two commands make the same call: equal operation, output address, input
// addresses and arguments (phases and ops are not compared).
bool same_compute_abi(const compiler::LoweredComputeCommand& left,
                      const compiler::LoweredComputeCommand& right);

// Finds the exchange/compute runs of `program`; `plan_addresses` gives, in program order, each
// `Exchange` step's plan address. When no run is found the cursor comes back exactly as given.
// Failures: "unused exchange plan while finding compact compute runs" (more plan addresses than
// exchange steps), "compact compute run exchange has no plan address", "exchange plan address is
// not word aligned" (for exchanges inside runs only), "compact exchange/compute run table size
// overflow", and "compact exchange/compute run table address overflow" (the table, or the cursor
// rounded up to a multiple of 4, leaves 32 bits).
Result<ExchangeComputeRuns> plan_exchange_compute_runs(
    const compiler::LoweredTileProgram& program, std::span<const std::uint32_t> plan_addresses,
    std::uint32_t cursor, bool enabled);

// The end of a run table of `entries` words at `table_address`: fails with "out of range integral
// type conversion attempted" when the count leaves 32 bits, "compact exchange/compute run table
// size overflow" when 4 × entries does, and "compact exchange/compute run table address overflow"
// when the end does.
Result<std::uint32_t> run_table_end(std::uint32_t table_address, std::size_t entries);

}  // namespace quarn::runtime::static_codegen
