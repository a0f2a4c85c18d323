// The compiled schedule: layouts, phases, and every tensor allocation in tile SRAM.
//
// A schedule says which tiles hold which tensor, in which order the tiles compute and exchange,
// and where in each tile's SRAM every tensor lives and for how long. Phase indices are positions
// in `Schedule::phases`; live ranges are half-open [`live_from`, `live_until`), with
// `LIVE_TO_END` for memory in use to the end of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quarn/compiler/error.hpp"
#include "quarn/compiler/ids.hpp"
#include "quarn/compiler/kernel_command.hpp"

namespace quarn::compiler {

// The `live_until` of memory that stays in use to the end of the program.
inline constexpr std::size_t LIVE_TO_END = std::numeric_limits<std::size_t>::max();

// How a tensor is divided over its tiles.
enum class Sharding { Replicated, Rows, Columns, Heads };

// The tile distribution of one tensor. Carried along; nothing in this library reads it.
struct Layout {
  TensorId tensor;
  std::vector<std::uint16_t> tiles;
  Sharding sharding = Sharding::Replicated;
  std::uint32_t alignment = 0;
  friend bool operator==(const Layout&, const Layout&) = default;
};

// One tensor copy between two tiles in an exchange phase.
struct Transfer {
  std::uint16_t source_tile = 0;
  std::uint16_t destination_tile = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;
  // The address on the destination tile of the staging buffer the bytes are received into.
  std::optional<std::uint32_t> staging_address;
  friend bool operator==(const Transfer&, const Transfer&) = default;
};

namespace phase {
// Every tile runs its kernel calls for `op`; `commands` may list several calls per tile.
struct Compute {
  OpId op;
  std::vector<KernelCommandHandle> commands;
  // Commands compare by content: two phases are equal when they list equal calls.
  friend bool operator==(const Compute& a, const Compute& b) {
    if (a.op != b.op || a.commands.size() != b.commands.size()) return false;
    for (std::size_t i = 0; i < a.commands.size(); ++i) {
      const auto& x = a.commands[i];
      const auto& y = b.commands[i];
      if (x != y && (!x || !y || !(*x == *y))) return false;
    }
    return true;
  }
};
// Tiles copy tensors to one another.
struct Exchange {
  std::vector<Transfer> transfers;
  friend bool operator==(const Exchange&, const Exchange&) = default;
};
}  // namespace phase

struct Phase : std::variant<phase::Compute, phase::Exchange> {
  using Compute = phase::Compute;
  using Exchange = phase::Exchange;
  using variant::variant;
};

namespace allocation_kind {
// The tensor's own memory on the tile.
struct Home {
  friend bool operator==(const Home&, const Home&) = default;
};
// Bytes inside an allocation of `source` on the same tile; takes no memory of its own.
struct HomeAlias {
  TensorId source;
  friend bool operator==(const HomeAlias&, const HomeAlias&) = default;
};
// A receive buffer used by the exchange in `phase`.
struct ExchangeStaging {
  std::size_t phase = 0;
  friend bool operator==(const ExchangeStaging&, const ExchangeStaging&) = default;
};
}  // namespace allocation_kind

struct AllocationKind
    : std::variant<allocation_kind::Home, allocation_kind::HomeAlias,
                   allocation_kind::ExchangeStaging> {
  using Home = allocation_kind::Home;
  using HomeAlias = allocation_kind::HomeAlias;
  using ExchangeStaging = allocation_kind::ExchangeStaging;
  using variant::variant;

  // True for `Home` and `HomeAlias`: the kinds that can back an alias.
  constexpr bool has_home_address() const { return !std::holds_alternative<ExchangeStaging>(*this); }
};

// 'Home', 'HomeAlias { source: TensorId(7) }', 'ExchangeStaging { phase: 3 }'.
std::string debug_string(const AllocationKind& kind);

// One tensor's piece of SRAM on one tile for a span of phases.
struct Allocation {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  // The byte range is [address, address + size).
  std::uint32_t size = 0;
  std::size_t live_from = 0;
  std::size_t live_until = 0;
  AllocationKind kind;
  friend bool operator==(const Allocation&, const Allocation&) = default;
};

struct Schedule {
  // Carried along; nothing in this library reads them.
  std::vector<Layout> layouts;
  // In execution order; a phase's position is its phase index.
  std::vector<Phase> phases;
  // In no particular order; a position is the allocation's index.
  std::vector<Allocation> allocations;
  // Every tile number in the schedule is below it.
  std::uint16_t tile_count = 0;
  // The compiler's record of each tile's highest SRAM use. Carried along.
  std::map<std::uint16_t, std::uint32_t> peak_sram;

  // Checks that every allocation lies on a tile of the schedule, fits in 32 bits, that every
  // alias lies inside an allocation of its source on the same tile in address and time, and that
  // no two non-alias allocations of one tile overlap in address and time. Reports the first
  // violation as `CompileError::Memory`.
  std::expected<void, CompileError> validate_allocations() const;

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

}  // namespace quarn::compiler
