// Tile-memory cursor arithmetic shared by the run-table and template planners.
//
// Both planners place each table or record area at the cursor rounded up to a multiple of 4 and
// move the cursor past it; every step that could leave 32 bits is reported, never wrapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quarn/compiler/arena.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/support/narrow.hpp"

namespace quarn::runtime::static_codegen::detail {

// The cursor rounded up to a multiple of 4, or nothing above 0xFFFFFFFC (the rounding would wrap
// to address 0).
inline std::optional<std::uint32_t> round_cursor_to_word(std::uint32_t cursor) {
  return compiler::align_u32(cursor, 4);
}

// The end of an area of `words` 32-bit words from `address`: the word count narrowed to 32 bits
// (failing with the narrowing message), times 4 (failing with `size_overflow`), plus `address`
// (failing with `address_overflow`).
inline Result<std::uint32_t> word_area_end(std::uint32_t address, std::size_t words,
                                           std::string_view size_overflow,
                                           std::string_view address_overflow) {
  const auto count = support::checked_narrow<std::uint32_t>(words);
  if (!count) return fail(std::string(support::INTEGRAL_CONVERSION_MESSAGE));
  const std::uint64_t size = static_cast<std::uint64_t>(*count) * 4;
  if (size > UINT32_MAX) return fail(std::string(size_overflow));
  const std::uint64_t end = address + size;
  if (end > UINT32_MAX) return fail(std::string(address_overflow));
  return static_cast<std::uint32_t>(end);
}

}  // namespace quarn::runtime::static_codegen::detail
