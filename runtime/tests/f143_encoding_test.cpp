// F143 conversions and block scales: rounding, saturation, NaN and zero rules, decoding, the
// extreme scales, and the round trip of every byte.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "quarn/runtime/blocked_data.hpp"

namespace {

using namespace quarn::runtime::blocked_data;

constexpr float INF = std::numeric_limits<float>::infinity();

std::uint32_t bits_of(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

struct EncodeCase {
  float value;
  std::uint8_t byte;
};

TEST(F143Encoding, RoundsToNearestWithTiesToEvenAndSaturates) {
  const EncodeCase cases[] = {
      {7.0f, 0x56},
      {7.25f, 0x56},  // tie between 7.0 and 7.5: the even byte
      {7.5f, 0x57},
      {7.75f, 0x58},  // tie between 7.5 and 8.0, carrying into the next exponent
      {8.0f, 0x58},
      {8.5f, 0x58},  // tie between 8.0 and 9.0
      {9.0f, 0x59},
      {9.5f, 0x5A},  // tie between 9.0 and 10.0
      {239.0f, 0x7F},
      {232.0f, 0x7E},  // tie between 224 and 240
      {240.0f, 0x7F},
      {248.0f, 0x7F},
      {1e9f, 0x7F},
      {INF, 0x7F},
      {-INF, 0xFF},
      {-240.0f, 0xFF},
      {-7.75f, 0xD8},
      {std::ldexp(1.0f, -11), 0x00},      // tie between 0 and the smallest subnormal
      {3 * std::ldexp(1.0f, -12), 0x01},  // 0.75 steps of 2^-10
      {3 * std::ldexp(1.0f, -11), 0x02},  // tie between 1 and 2 steps
      {-3 * std::ldexp(1.0f, -11), 0x82},
      {std::ldexp(15.0f, -11), 0x08},  // 7.5 steps: up to the smallest normal value
      {0.0078125f, 0x08},
      {std::numeric_limits<float>::denorm_min(), 0x00},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f143_from_f32(c.value, 0), c.byte) << c.value;
    EXPECT_EQ(f143_from_scaled_f32(c.value), c.byte) << c.value;
  }
}

TEST(F143Encoding, ZeroHasNoNegativeFormAndEveryNaNIsTheNaNByte) {
  EXPECT_EQ(f143_from_f32(-1e-4f, 0), 0x00);
  EXPECT_EQ(f143_from_f32(-0.0f, 0), 0x00);
  EXPECT_EQ(f143_from_f32(0.0f, 0), 0x00);
  EXPECT_EQ(f143_from_f32(-std::numeric_limits<float>::denorm_min(), 0), 0x00);
  for (const std::uint32_t nan : {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(f143_from_f32(std::bit_cast<float>(nan), 0), 0x80) << std::hex << nan;
  }
}

TEST(F143Encoding, DecodesBytesAtScaleZero) {
  const EncodeCase cases[] = {
      {240.0f, 0x7F},        {-240.0f, 0xFF}, {0.0078125f, 0x08}, {0.0068359375f, 0x07},
      {0.0009765625f, 0x01}, {0.5f, 0x38},    {1.0f, 0x40},       {0.0f, 0x00},
  };
  for (const auto& c : cases) EXPECT_EQ(f143_to_f32(c.byte, 0), c.value) << int{c.byte};
  EXPECT_EQ(bits_of(f143_to_f32(0x80, 0)), 0x7FC00000u);
  EXPECT_EQ(bits_of(f143_to_f32(0x80, -128)), 0x7FC00000u);
}

// 2^scale built as the decoding rule states it: repeated doubling, and for a negative scale the
// reciprocal of 2^-scale.
float doubled_power_of_two(int scale) {
  float power = 1.0f;
  for (int i = 0; i < (scale < 0 ? -scale : scale); ++i) power *= 2.0f;
  return scale < 0 ? 1.0f / power : power;
}

TEST(F143Encoding, DecodingAppliesTheScaleAsRepeatedDoublingForEveryScale) {
  for (int scale = -128; scale <= 127; ++scale) {
    for (int byte = 0; byte < 256; ++byte) {
      if (byte == 0x80) continue;
      const float unscaled = f143_to_f32(static_cast<std::uint8_t>(byte), 0);
      const float expected = unscaled * doubled_power_of_two(scale);
      ASSERT_EQ(
          bits_of(f143_to_f32(static_cast<std::uint8_t>(byte), static_cast<std::int8_t>(scale))),
          bits_of(expected))
          << "byte " << byte << " scale " << scale;
    }
  }
  // Scale -128 multiplies by 1 / infinity: zeros of the byte's sign.
  EXPECT_EQ(bits_of(f143_to_f32(0x7F, -128)), bits_of(0.0f));
  EXPECT_EQ(bits_of(f143_to_f32(0xFF, -128)), bits_of(-0.0f));
}

TEST(F143Encoding, ExtremeScalesMultiplyByZeroOrInfinity) {
  // Scale 127: the multiplier is +0.0.
  EXPECT_EQ(f143_from_f32(5.0f, 127), 0x00);
  EXPECT_EQ(f143_from_f32(-5.0f, 127), 0x00);
  EXPECT_EQ(f143_from_f32(INF, 127), 0x80);  // infinity x 0 is NaN
  // Scale -128: the multiplier is +infinity.
  EXPECT_EQ(f143_from_f32(1e-30f, -128), 0x7F);
  EXPECT_EQ(f143_from_f32(-1e-30f, -128), 0xFF);
  EXPECT_EQ(f143_from_f32(0.0f, -128), 0x80);  // 0 x infinity is NaN
  // In between, the multiplier is exactly 2^-scale.
  EXPECT_EQ(f143_from_f32(std::ldexp(1.0f, 126), 126), 0x40);
  EXPECT_EQ(f143_from_f32(std::ldexp(1.0f, -127), -127), 0x40);
  EXPECT_EQ(f143_from_f32(std::ldexp(7.75f, 20), 20), 0x58);
}

TEST(F143Encoding, EveryByteButNaNRoundTripsUnderEveryBlockScale) {
  for (int scale = -32; scale <= 31; ++scale) {
    for (int byte = 0; byte < 256; ++byte) {
      if (byte == 0x80) continue;
      const auto b = static_cast<std::uint8_t>(byte);
      const auto s = static_cast<std::int8_t>(scale);
      ASSERT_EQ(f143_from_f32(f143_to_f32(b, s), s), b) << "byte " << byte << " scale " << scale;
    }
  }
}

struct ScaleCase {
  std::vector<float> values;
  int scale;
};

TEST(F143Scale, PutsTheLargestMagnitudeInTheTopBinade) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const ScaleCase cases[] = {
      {{0.001f, -0.001f}, -17},
      {{0.1f, -0.1f}, -11},
      {{1.0f, -1.0f}, -7},
      {{100.0f, -100.0f}, -1},
      {{10000.0f, -10000.0f}, 6},
      {{0.0f, -0.0f, 0.0f}, 0},
      {{}, 0},
      {{INF, -INF, nan}, 0},
      {{INF, 3.0f, nan}, -6},  // only the finite value counts
      {{240.0f}, 0},
      {{480.0f}, 1},
      {{240.1f}, 1},
      {{1e30f}, 31},    // clamped
      {{1e-30f}, -32},  // clamped
      {{std::numeric_limits<float>::max()}, 31},
      {{std::numeric_limits<float>::denorm_min()}, -32},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f143_scale(c.values), c.scale) << (c.values.empty() ? 0.0f : c.values[0]);
  }
  for (const float v : {0.001f, 0.1f, 1.0f, 100.0f, 10000.0f}) {
    const float pair[] = {v, -v};
    const float scaled = std::ldexp(v, -f143_scale(pair));
    EXPECT_GT(scaled, 120.0f) << v;
    EXPECT_LE(scaled, 240.0f) << v;
  }
}

TEST(F143Scale, FloatLog2CanKeepAScaleWhoseMaximumSaturates) {
  // Just above 240 x 2^20 the float log2 rounds to exactly 20: the scale stays 20 and the
  // maximum encodes as 240, a few ulps below its value.
  const float maximum = std::nextafter(std::ldexp(240.0f, 20), INF);
  const float block[] = {maximum, 1.0f};
  ASSERT_EQ(f143_scale(block), 20);
  EXPECT_EQ(f143_from_f32(maximum, 20), 0x7F);
}

}  // namespace
