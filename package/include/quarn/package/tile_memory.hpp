// The tile memory map: the constants every placement and profile computation shares.
//
// Tile memory is [TILE_MEMORY_BASE, TILE_MEMORY_BASE + TILE_MEMORY_SIZE) = [0x4C000, 0xE8000).
// Executable code is searched for below EXECUTABLE_MEMORY_LIMIT and takes memory in whole
// MEMORY_ELEMENT_SIZE elements; [EXECUTABLE_MEMORY_LIMIT, QUARN21_INTERLEAVED_MEMORY_LIMIT) is
// the interleaved window.
#pragma once

#include <cstdint>

namespace quarn::package {

inline constexpr std::uint32_t TILE_MEMORY_BASE = 0x4C000;
inline constexpr std::uint32_t TILE_MEMORY_SIZE = 0x9C000;
inline constexpr std::uint32_t TILE_MEMORY_END = TILE_MEMORY_BASE + TILE_MEMORY_SIZE;
inline constexpr std::uint32_t MEMORY_ELEMENT_SIZE = 0x4000;
inline constexpr std::uint32_t EXECUTABLE_MEMORY_LIMIT = 0x80000;
inline constexpr std::uint32_t QUARN21_INTERLEAVED_MEMORY_LIMIT = 0x88000;

}  // namespace quarn::package
