// Logical-to-physical tile numbering.
//
// Programs and schedules number tiles logically and densely; the hardware addresses them by
// physical number. `Topology` holds the map; `Topology::zelk()` is the 1472-tile zelk card, built
// from `zelk_logical_to_physical`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <vector>

#include "quarn/exchange/error.hpp"

namespace quarn::exchange {

// The number of tiles on the zelk card.
inline constexpr std::uint16_t ZELK_TILE_COUNT = 1472;

// The zelk card's fixed numbering rule. The logical tiles form pairs (2k, 2k + 1) that fill 32
// columns of 23 pairs, running down the even columns and up the odd ones; each group of 64
// physical numbers holds one row of all 32 columns. No range check: inputs above 1471 give
// numbers no tile has.
constexpr std::uint16_t zelk_logical_to_physical(std::uint16_t logical) {
  const std::uint32_t pair = logical / 2u;
  const std::uint32_t lane = logical % 2u;
  const std::uint32_t column = pair / 23u;
  std::uint32_t row = pair % 23u;
  if (column % 2u == 1u) row = 22u - row;
  return static_cast<std::uint16_t>(row * 64u + (column / 2u) * 4u + (column % 2u) + lane * 2u);
}

struct Topology {
  // Element l is the physical number of logical tile l.
  std::vector<std::uint16_t> logical_to_physical;

  // The 1472-tile zelk card.
  static Topology zelk();

  // Number of logical tiles.
  std::size_t tile_count() const { return logical_to_physical.size(); }

  // The physical number of `logical`, or `ExchangeError::Tile` when it is not below the tile count.
  std::expected<std::uint16_t, ExchangeError> physical(std::uint16_t logical) const {
    if (logical >= logical_to_physical.size()) {
      return std::unexpected(ExchangeError{ExchangeError::Tile{logical}});
    }
    return logical_to_physical[logical];
  }

  friend bool operator==(const Topology&, const Topology&) = default;
};

}  // namespace quarn::exchange
