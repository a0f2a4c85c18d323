// Lowered tile programs: what each tile does, phase by phase.
//
// A compute phase becomes, per tile, its kernel calls with every operand resolved to a tile
// address (`LoweredTileStep::Compute`) or an idle slot (`IdleCompute`); an exchange phase becomes,
// per exchange epoch, the tile's row of instruction words (`Exchange`). A
// `LoweredComputeCommand` reads through to its shared `KernelCommand`. `lowered_step_phase` is
// the one rule giving the phase of a step. The exchange lowering records that accompany the
// programs are listed at the end; nothing in this library reads them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <variant>
#include <vector>

#include "quarn/compiler/ids.hpp"
#include "quarn/compiler/kernel_command.hpp"
#include "quarn/support/box.hpp"

namespace quarn::compiler {

// A tile's row of exchange instruction words for one epoch; shared, never changed after lowering.
using ExchangeRow = std::shared_ptr<const std::vector<std::uint32_t>>;

inline ExchangeRow make_exchange_row(std::vector<std::uint32_t> words) {
  return std::make_shared<const std::vector<std::uint32_t>>(std::move(words));
}

// One kernel call with resolved addresses. Reads of the kernel command's fields go through to the
// shared record behind `command`.
struct LoweredComputeCommand {
  OpId op;
  std::size_t phase = 0;
  KernelCommandHandle command;
  std::uint32_t output_address = 0;
  // Element i is the address of `inputs()[i]`; readers pair the lists and stop at the shorter.
  std::vector<std::uint32_t> input_addresses;

  std::uint16_t tile() const { return command->tile; }
  TensorId output() const { return command->output; }
  const std::vector<TensorId>& inputs() const { return command->inputs; }
  const std::vector<std::uint32_t>& arguments() const { return command->arguments; }
  const SpecializationKey& specialization() const { return command->specialization; }
  const Metadata& metadata() const { return command->metadata; }

  friend bool operator==(const LoweredComputeCommand& a, const LoweredComputeCommand& b) {
    return a.op == b.op && a.phase == b.phase && a.output_address == b.output_address &&
           a.input_addresses == b.input_addresses &&
           (a.command == b.command || (a.command && b.command && *a.command == *b.command));
  }
};

namespace lowered_tile_step {
// The tile's row of exchange words for one epoch of exchange phase `phase`.
struct Exchange {
  std::size_t phase = 0;
  std::size_t epoch = 0;
  ExchangeRow row;
  friend bool operator==(const Exchange& a, const Exchange& b) {
    return a.phase == b.phase && a.epoch == b.epoch &&
           (a.row == b.row || (a.row && b.row && *a.row == *b.row));
  }
};
// One kernel call, held in its own allocation.
struct Compute {
  support::Box<LoweredComputeCommand> command;
  friend bool operator==(const Compute&, const Compute&) = default;
};
// The tile has no call in compute phase `phase` of operation `op`.
struct IdleCompute {
  OpId op;
  std::size_t phase = 0;
  friend bool operator==(const IdleCompute&, const IdleCompute&) = default;
};
}  // namespace lowered_tile_step

struct LoweredTileStep : std::variant<lowered_tile_step::Exchange, lowered_tile_step::Compute,
                                      lowered_tile_step::IdleCompute> {
  using Exchange = lowered_tile_step::Exchange;
  using Compute = lowered_tile_step::Compute;
  using IdleCompute = lowered_tile_step::IdleCompute;
  using variant::variant;
};

// The phase of a step: an exchange step's `phase`, a compute step's command's `phase`, an idle
// step's `phase`.
inline std::size_t lowered_step_phase(const LoweredTileStep& step) {
  switch (step.index()) {
    case 0:
      return std::get<LoweredTileStep::Exchange>(step).phase;
    case 1:
      return std::get<LoweredTileStep::Compute>(step).command->phase;
    default:
      return std::get<LoweredTileStep::IdleCompute>(step).phase;
  }
}

// The program of one tile. Phases never decrease along `steps`, and all steps of one phase are
// of one family (exchange, or compute and idle).
struct LoweredTileProgram {
  std::uint16_t tile = 0;
  std::vector<LoweredTileStep> steps;
  friend bool operator==(const LoweredTileProgram&, const LoweredTileProgram&) = default;
};

// Exchange lowering records, one per exchange phase.

enum class ExchangeAddressing { Relative, Absolute };

struct ExchangeCost {
  std::uint64_t estimated_cycles = 0;
  std::uint64_t payload_words = 0;
  std::uint32_t launches = 0;
  friend bool operator==(const ExchangeCost&, const ExchangeCost&) = default;
};

// One tensor sent from one tile to one or more tiles.
struct LoweredExchangeGroup {
  std::uint16_t source_tile = 0;
  std::vector<std::uint16_t> destination_tiles;
  TensorId tensor;
  std::uint32_t bytes = 0;
  ExchangeAddressing addressing = ExchangeAddressing::Relative;
  // The sender's exchange plan.
  std::array<std::uint32_t, 9> sender{};
  // The receivers' plans.
  std::vector<std::array<std::uint32_t, 9>> receivers;
  friend bool operator==(const LoweredExchangeGroup&, const LoweredExchangeGroup&) = default;
};

struct LoweredExchangeEpoch {
  std::vector<LoweredExchangeGroup> groups;
  // Each tile's row for the epoch.
  std::map<std::uint16_t, std::vector<std::uint32_t>> tile_rows;
  ExchangeCost cost;
  friend bool operator==(const LoweredExchangeEpoch&, const LoweredExchangeEpoch&) = default;
};

struct LoweredExchangePhase {
  std::size_t phase = 0;
  // Position is the epoch number.
  std::vector<LoweredExchangeEpoch> epochs;
  ExchangeCost cost;
  friend bool operator==(const LoweredExchangePhase&, const LoweredExchangePhase&) = default;
};

}  // namespace quarn::compiler
