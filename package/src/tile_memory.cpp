// Compile-time checks of the tile memory map.
#include "quarn/package/tile_memory.hpp"

namespace quarn::package {

static_assert(TILE_MEMORY_END == 0xE8000);
static_assert(TILE_MEMORY_BASE % MEMORY_ELEMENT_SIZE == 0);
static_assert(TILE_MEMORY_BASE < EXECUTABLE_MEMORY_LIMIT);
static_assert(EXECUTABLE_MEMORY_LIMIT < QUARN21_INTERLEAVED_MEMORY_LIMIT);
static_assert(QUARN21_INTERLEAVED_MEMORY_LIMIT < TILE_MEMORY_END);

}  // namespace quarn::package
