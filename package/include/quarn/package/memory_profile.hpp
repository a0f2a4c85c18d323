// The memory profile: a per-tile map of tile memory for people and tools.
//
// For every logical tile of a schedule it lists each allocation on the tile and each exchange
// staging buffer a transfer uses there, with address, size, live range, a category and a readable
// name. The runtime builds it from an executable graph; the application-package writer stores it
// as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarn/package/tile_memory.hpp"

namespace quarn::package::memory_profile {

// The `category` texts of a region.
// An allocation of kind `Home`.
inline constexpr std::string_view HOME_CATEGORY = "home";
// An allocation of kind `HomeAlias`.
inline constexpr std::string_view HOME_ALIAS_CATEGORY = "home_alias";
// An allocation of kind `ExchangeStaging`, or the staging buffer of a transfer.
inline constexpr std::string_view EXCHANGE_STAGING_CATEGORY = "exchange_staging";

// One named piece of a tile's memory over a span of phases.
struct MemoryRegion {
  // Tile address of the first byte.
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  // One of the category texts above.
  std::string category;
  // What the bytes are: a host binding, a command's output, a staged input, or a tensor.
  std::string name;
  // The tensor id (a graph tensor index).
  std::optional<std::size_t> tensor;
  // Half-open live range of phase indices, as for an allocation.
  std::size_t live_from = 0;
  std::size_t live_until = 0;
  friend bool operator==(const MemoryRegion&, const MemoryRegion&) = default;
};

// The regions of one logical tile, sorted by (address, live_from, live_until).
struct TileMemory {
  std::uint16_t logical_tile = 0;
  std::uint16_t physical_tile = 0;
  std::vector<MemoryRegion> regions;
  friend bool operator==(const TileMemory&, const TileMemory&) = default;
};

// The map of every logical tile of a schedule, tile 0 first; tiles without regions are listed.
struct MemoryProfile {
  // Always TILE_MEMORY_BASE.
  std::uint32_t memory_base = TILE_MEMORY_BASE;
  // Always TILE_MEMORY_SIZE; memory ends at TILE_MEMORY_END.
  std::uint32_t memory_size = TILE_MEMORY_SIZE;
  std::vector<TileMemory> tiles;
  friend bool operator==(const MemoryProfile&, const MemoryProfile&) = default;
};

}  // namespace quarn::package::memory_profile
