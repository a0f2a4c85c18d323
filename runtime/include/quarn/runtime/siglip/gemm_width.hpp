// The output block width of an encoder GEMM.
//
// A GEMM's `rows` x `columns` output is cut into blocks of `row_block_rows` rows and w columns,
// one task per tile; each weight block a tile receives has `inner_block_columns` x w elements and
// must travel in one exchange transfer (at most 16592 bytes). The width is either the caller's,
// validated, or chosen among 32, 64 and 128 to keep the tiles busy in as few waves as possible.
#pragma once

#include <cstdint>

#include "quarn/compiler/gemm.hpp"
#include "quarn/runtime/error.hpp"

namespace quarn::runtime::siglip {

// With `requested` nonzero: `requested` when it is 32, 64 or 128, divides `columns` and its
// weight block fits one transfer; otherwise "GEMM output block width {requested} must be
// supported, divide {columns}, and fit one weight transfer".
//
// With `requested` 0, the automatic choice: `columns` must be a multiple of 64 ("GEMM output
// columns {} are not divisible by 64"), `row_block_rows` and `tile_count` nonzero ("GEMM row
// block rows must be positive", "GEMM tile count must be positive"). Starting from 64, a width
// that divides `columns`, fits, keeps the tiles at least three quarters busy and needs no more
// waves than 64 replaces the best when the best is unbalanced, or when it needs fewer waves, or
// as many waves with more blocks. When nothing replaces 64 and 64 itself does not fit: "GEMM
// weight block of {} bytes at output block width 64 exceeds one weight transfer of 16592 bytes".
Result<std::uint16_t> choose_gemm_output_block_columns(
    std::uint16_t rows, std::uint16_t row_block_rows, std::uint16_t inner_block_columns,
    std::uint16_t columns, std::uint16_t tile_count, const compiler::GemmDataType& data_type,
    std::uint16_t requested);

}  // namespace quarn::runtime::siglip
