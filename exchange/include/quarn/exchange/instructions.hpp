// Exchange instruction words and transfer limits.
//
// `sans` encodes one exchange instruction word; a tile's exchange row whose first word is
// `sans(0)` is inactive (the tile has no exchange work of its own in that epoch), and
// `is_inactive_row` is the one place that test is made.
#pragma once

#include <cstdint>
#include <span>

namespace quarn::exchange {

// The largest number of 32-bit words one exchange transfer moves (16592 bytes).
inline constexpr std::uint32_t MAX_TRANSFER_WORDS = 4148;

// The instruction word 0x40C00000 with `selector` in its low 8 bits.
constexpr std::uint32_t sans(std::uint8_t selector) {
  return 0x40C00000u | static_cast<std::uint32_t>(selector);
}

// True when the row's first word is `sans(0)`. Every other row, the empty row included, is active.
constexpr bool is_inactive_row(std::span<const std::uint32_t> row) {
  return !row.empty() && row.front() == sans(0);
}

}  // namespace quarn::exchange
