// Output block widths of encoder GEMMs: the requested path, the automatic choice and their errors.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <variant>

#include "quarn/compiler/gemm.hpp"
#include "quarn/runtime/siglip/gemm_width.hpp"

namespace {

using quarn::compiler::GemmDataType;
using quarn::runtime::siglip::choose_gemm_output_block_columns;

struct WidthCase {
  const char* what;
  std::uint16_t rows, row_block_rows, inner_block_columns, columns, tile_count;
  GemmDataType data_type;
  std::uint16_t requested;
  // The expected width, or 0 when `message` is expected.
  std::uint16_t width;
  std::string message;
};

const GemmDataType F16 = GemmDataType::F16{};
const GemmDataType F32 = GemmDataType::F32{};
const GemmDataType F8 = GemmDataType::F8F143{.input_scale = -3, .weight_scale = 2};

const std::string WIDTH_ERROR_128 =
    "GEMM output block width 128 must be supported, divide 1152, and fit one weight transfer";

TEST(SiglipGemmWidth, ValidatesRequestedWidthsAndChoosesAutomatically) {
  const WidthCase cases[] = {
      // 228 row blocks, 4104 blocks of 64 in 3 balanced waves; 32 needs 6, 128 does not fit.
      {"encoder shape", 4096, 18, 128, 1152, 1472, F16, 0, 64, ""},
      {"requested too wide to fit", 4096, 18, 128, 1152, 1472, F16, 128, 0, WIDTH_ERROR_128},
      {"requested 64", 4096, 18, 128, 1152, 1472, F16, 64, 64, ""},
      {"requested 32", 4096, 18, 128, 1152, 1472, F16, 32, 32, ""},
      {"requested unsupported", 4096, 18, 128, 1152, 1472, F16, 48, 0,
       "GEMM output block width 48 must be supported, divide 1152, and fit one weight transfer"},
      {"requested not dividing", 64, 64, 64, 96, 16, F16, 64, 0,
       "GEMM output block width 64 must be supported, divide 96, and fit one weight transfer"},
      // 64 x 130 x 2 = 16640 bytes is above 16592; 64 x 128 x 2 = 16384 is within.
      {"requested just over the limit", 64, 64, 130, 1024, 16, F16, 64, 0,
       "GEMM output block width 64 must be supported, divide 1024, and fit one weight transfer"},
      {"requested needs no multiple of 64", 64, 64, 128, 96, 16, F16, 32, 32, ""},
      // 64 gives 8 blocks in 1 unbalanced wave; 32 gives 16, balanced.
      {"narrower balances", 64, 64, 128, 512, 16, F16, 0, 32, ""},
      // 64 gives 32 blocks in 2 waves; 128 gives 16 in 1 and fits (16384 bytes).
      {"wider saves a wave", 64, 64, 64, 2048, 16, F16, 0, 128, ""},
      {"wider does not fit in F32", 64, 64, 64, 2048, 16, F32, 0, 64, ""},
      {"wider fits in F8", 64, 64, 128, 2048, 16, F8, 0, 128, ""},
      {"columns not multiple of 64", 64, 64, 128, 100, 16, F16, 0, 0,
       "GEMM output columns 100 are not divisible by 64"},
      {"nothing balanced", 64, 64, 128, 1024, 1472, F16, 0, 64, ""},
      // 64 x 130 x 2 = 16640 bytes; 32 fits but leaves 14 of 16 tiles idle, so nothing replaces 64.
      {"automatic 64 does not fit", 64, 64, 130, 64, 16, F16, 0, 0,
       "GEMM weight block of 16640 bytes at output block width 64 exceeds one weight transfer of "
       "16592 bytes"},
      // The requested path divides by neither row_block_rows nor tile_count.
      {"requested with zero divisors", 64, 0, 128, 1024, 0, F16, 64, 64, ""},
  };
  for (const auto& c : cases) {
    const auto width =
        choose_gemm_output_block_columns(c.rows, c.row_block_rows, c.inner_block_columns, c.columns,
                                         c.tile_count, c.data_type, c.requested);
    if (c.width != 0) {
      ASSERT_TRUE(width.has_value()) << c.what << ": " << width.error().message;
      EXPECT_EQ(*width, c.width) << c.what;
    } else {
      ASSERT_FALSE(width.has_value()) << c.what << ": got " << *width;
      EXPECT_EQ(width.error().message, c.message) << c.what;
    }
  }
}

TEST(SiglipGemmWidth, AutomaticChoiceRejectsZeroDivisors) {
  const auto no_rows = choose_gemm_output_block_columns(64, 0, 128, 1024, 16, F16, 0);
  ASSERT_FALSE(no_rows.has_value());
  EXPECT_EQ(no_rows.error().message, "GEMM row block rows must be positive");
  const auto no_tiles = choose_gemm_output_block_columns(64, 64, 128, 1024, 0, F16, 0);
  ASSERT_FALSE(no_tiles.has_value());
  EXPECT_EQ(no_tiles.error().message, "GEMM tile count must be positive");
  // The column check comes first, as it does with positive divisors.
  const auto both = choose_gemm_output_block_columns(64, 0, 128, 100, 0, F16, 0);
  ASSERT_FALSE(both.has_value());
  EXPECT_EQ(both.error().message, "GEMM output columns 100 are not divisible by 64");
}

TEST(SiglipGemmWidth, AutomaticChoiceNeverReturnsABaselineThatDoesNotFit) {
  // 256 x 64 x 2 = 32768 bytes. No candidate is balanced on 1472 tiles, so 64 would stay.
  const auto stuck = choose_gemm_output_block_columns(64, 64, 256, 1024, 1472, F16, 0);
  ASSERT_FALSE(stuck.has_value());
  EXPECT_EQ(stuck.error().message,
            "GEMM weight block of 32768 bytes at output block width 64 exceeds one weight "
            "transfer of 16592 bytes");
  // When a narrower width that fits is accepted, it is the answer: 32 x 256 x 2 = 16384 bytes.
  const auto narrower = choose_gemm_output_block_columns(64, 64, 256, 512, 16, F16, 0);
  ASSERT_TRUE(narrower.has_value()) << narrower.error().message;
  EXPECT_EQ(*narrower, 32);
}

}  // namespace
