#include "quarn/runtime/siglip/gemm_width.hpp"

#include "quarn/exchange/instructions.hpp"
#include "quarn/support/format.hpp"

namespace quarn::runtime::siglip {

namespace {

using support::format;

constexpr std::uint32_t WEIGHT_TRANSFER_BYTES = exchange::MAX_TRANSFER_WORDS * 4;
constexpr std::uint16_t BASELINE_WIDTH = 64;
constexpr std::uint16_t CANDIDATE_WIDTHS[] = {32, 64, 128};

// With 16-bit arguments no product below leaves 32 bits: at most 65535 x 128 x 4 bytes for a
// weight block, and at most 2047 x 65535 blocks, times 4.
struct Shape {
  std::uint32_t inner_block_columns;
  std::uint32_t columns;
  std::uint32_t row_blocks;
  std::uint32_t tile_count;
  std::uint32_t element_bytes;

  std::uint32_t weight_block_bytes(std::uint32_t width) const {
    return inner_block_columns * width * element_bytes;
  }
  bool fits(std::uint32_t width) const {
    return weight_block_bytes(width) <= WEIGHT_TRANSFER_BYTES;
  }
  std::uint32_t output_blocks(std::uint32_t width) const { return columns / width * row_blocks; }
  // How many blocks the busiest tile computes one after another.
  std::uint32_t waves(std::uint32_t width) const {
    return (output_blocks(width) + tile_count - 1) / tile_count;
  }
  // Over all waves the tiles are at least three quarters busy.
  bool balanced(std::uint32_t width) const {
    return 4 * output_blocks(width) >= 3 * waves(width) * tile_count;
  }
};

}  // namespace

Result<std::uint16_t> choose_gemm_output_block_columns(
    std::uint16_t rows, std::uint16_t row_block_rows, std::uint16_t inner_block_columns,
    std::uint16_t columns, std::uint16_t tile_count, const compiler::GemmDataType& data_type,
    std::uint16_t requested) {
  const std::uint32_t element_bytes = data_type.weight_element_bytes();
  if (requested != 0) {
    const bool supported = requested == 32 || requested == 64 || requested == 128;
    const bool fits =
        std::uint32_t{inner_block_columns} * requested * element_bytes <= WEIGHT_TRANSFER_BYTES;
    if (supported && columns % requested == 0 && fits) return requested;
    return fail(
        format("GEMM output block width {} must be supported, divide {}, and fit one weight "
               "transfer",
               requested, columns));
  }

  if (columns % 64 != 0) {
    return fail(format("GEMM output columns {} are not divisible by 64", columns));
  }
  // Both are divisors below.
  if (row_block_rows == 0) return fail("GEMM row block rows must be positive");
  if (tile_count == 0) return fail("GEMM tile count must be positive");

  const Shape shape{
      .inner_block_columns = inner_block_columns,
      .columns = columns,
      .row_blocks = (std::uint32_t{rows} + row_block_rows - 1) / row_block_rows,
      .tile_count = tile_count,
      .element_bytes = element_bytes,
  };
  std::uint16_t best_width = BASELINE_WIDTH;
  std::uint32_t best_blocks = shape.output_blocks(BASELINE_WIDTH);
  std::uint32_t best_waves = shape.waves(BASELINE_WIDTH);
  bool best_balanced = shape.balanced(BASELINE_WIDTH);
  const std::uint32_t wave_limit = best_waves;

  for (const std::uint16_t width : CANDIDATE_WIDTHS) {
    if (columns % width != 0 || !shape.fits(width)) continue;
    if (!shape.balanced(width)) continue;
    const std::uint32_t blocks = shape.output_blocks(width);
    const std::uint32_t waves = shape.waves(width);
    if (waves > wave_limit) continue;
    // A balanced best gives way only to fewer waves, or to more, narrower blocks in as many.
    if (best_balanced && !(waves < best_waves || (waves == best_waves && blocks > best_blocks))) {
      continue;
    }
    best_width = width;
    best_blocks = blocks;
    best_waves = waves;
    best_balanced = true;
  }

  // 64 is never accepted as a candidate over itself, so 64 here is the unreplaced baseline.
  if (best_width == BASELINE_WIDTH && !shape.fits(BASELINE_WIDTH)) {
    return fail(format(
        "GEMM weight block of {} bytes at output block width 64 exceeds one weight transfer of "
        "{} bytes",
        shape.weight_block_bytes(BASELINE_WIDTH), WEIGHT_TRANSFER_BYTES));
  }
  return best_width;
}

}  // namespace quarn::runtime::siglip
