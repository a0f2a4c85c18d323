// Decoding of the cycle samples a profiled run writes back to the host.
//
// A `ProfileLayout` says where each tile's sample block lies in the host result and which profile
// steps it belongs to; `decode` pairs every step with its start and end cycle. A block holds
// unsigned 32-bit little-endian counter readings, either N + 1 boundary values (step i runs from
// value i to value i + 1) or N start/end pairs, for the N steps of the tile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarn/package/profile.hpp"
#include "quarn/runtime/error.hpp"

namespace quarn::runtime {

// Where one tile's samples lie and what they measure.
struct ProfileTileLayout {
  // Copied into the decoded `TileProfile`.
  std::uint32_t physical_tile = 0;
  // Byte offset of the tile's block from the start of the profile area.
  std::size_t file_offset = 0;
  // The tile's profile steps in order.
  std::vector<package::ProfileStep> steps;
  // True: N + 1 boundary values, (N + 1) × 4 bytes. False: N start/end pairs, N × 8 bytes.
  bool boundary_samples = false;
  friend bool operator==(const ProfileTileLayout&, const ProfileTileLayout&) = default;
};

struct ProfileLayout {
  // Byte offset of the profile area within the host result.
  std::size_t output_offset = 0;
  // In the order the report lists the tiles.
  std::vector<ProfileTileLayout> tiles;

  // The report of `output`, the host result, with `clock_hz` stored as given. Fails with
  // "profile output offset exceeds host result" when `output_offset` lies beyond the result,
  // "profile sample size overflow" when a block size is not a machine word, and "profile tile
  // range exceeds host result" when a block does not lie inside the profile area (also when its
  // end is not a machine word). Blocks may lie in any order and may overlap; bytes no block
  // covers are ignored. Reads do not depend on the host's byte order or on alignment.
  Result<package::ProfileReport> decode(std::span<const std::uint8_t> output,
                                        std::uint64_t clock_hz) const;

  friend bool operator==(const ProfileLayout&, const ProfileLayout&) = default;
};

}  // namespace quarn::runtime
