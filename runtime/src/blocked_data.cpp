#include "quarn/runtime/blocked_data.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

namespace quarn::runtime::blocked_data {

namespace {

// The only NaN byte, and the largest magnitude byte (240).
constexpr std::uint8_t NAN_BYTE = 0x80;
constexpr std::uint8_t MAX_MAGNITUDE_BYTE = 0x7F;

constexpr std::uint32_t FLOAT_MANTISSA_BITS = 23;
constexpr std::uint32_t FLOAT_EXPONENT_BIAS = 127;
constexpr std::uint32_t F143_EXPONENT_BIAS = 8;
constexpr std::uint32_t F143_MANTISSA_BITS = 3;
// Float bit patterns (sign cleared) of +infinity, 240 and 2^-7, the smallest normal F143 value.
constexpr std::uint32_t INFINITY_BITS = 0x7F800000;
constexpr std::uint32_t MAX_VALUE_BITS = 0x43700000;
constexpr std::uint32_t MIN_NORMAL_BITS = 0x3C000000;
static_assert(std::bit_cast<std::uint32_t>(240.0f) == MAX_VALUE_BITS);
static_assert(std::bit_cast<std::uint32_t>(0.0078125f) == MIN_NORMAL_BITS);

// value / 2^shift rounded to the nearest integer, ties to even; shift is 1..31 and value below
// 2^31. Adding half a step less one, plus the kept part's low bit, rounds without a branch on the
// (data-dependent, unpredictable) discarded bits.
constexpr std::uint32_t shift_right_round_even(std::uint32_t value, std::uint32_t shift) {
  const std::uint32_t odd = (value >> shift) & 1;
  return (value + (1u << (shift - 1)) - 1 + odd) >> shift;
}

// 2^scale as repeated doubling gives it: exact for -127..127; for -128 the reciprocal of an
// overflowed 2^128, that is 0.
float power_of_two(std::int8_t scale) {
  if (scale >= -126) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(FLOAT_EXPONENT_BIAS + scale)
                                << FLOAT_MANTISSA_BITS);
  }
  if (scale == -127) return std::bit_cast<float>(0x00400000u);  // 2^-127, a float subnormal
  return 0.0f;
}

// The unscaled value of every byte, 0x80 (NaN) included.
constexpr std::array<float, 256> BYTE_VALUES = [] {
  std::array<float, 256> values{};
  for (std::uint32_t bits = 0; bits < 256; ++bits) {
    const std::uint32_t exponent = (bits >> F143_MANTISSA_BITS) & 0xF;
    const std::uint32_t mantissa = bits & 0x7;
    float magnitude;
    if (exponent == 0) {
      magnitude = static_cast<float>(mantissa) * 0.0009765625f;  // M x 2^-10
    } else {
      // (1 + M/8) x 2^(E - 8): the same exponent and leading mantissa bits as a float.
      magnitude = std::bit_cast<float>(
          ((exponent - F143_EXPONENT_BIAS + FLOAT_EXPONENT_BIAS) << FLOAT_MANTISSA_BITS) |
          (mantissa << (FLOAT_MANTISSA_BITS - F143_MANTISSA_BITS)));
    }
    values[bits] = (bits & 0x80) != 0 ? -magnitude : magnitude;
  }
  values[NAN_BYTE] = std::bit_cast<float>(0x7FC00000u);
  return values;
}();

}  // namespace

float f143_to_f32(std::uint8_t bits, std::int8_t scale) {
  if (bits == NAN_BYTE) return BYTE_VALUES[NAN_BYTE];
  return BYTE_VALUES[bits] * power_of_two(scale);
}

std::uint8_t f143_from_f32(float value, std::int8_t scale) {
  // Exponent field 127 - scale (1..255), mantissa zero: 2^-scale, or +0.0 / +infinity at the ends.
  const float multiplier = std::bit_cast<float>(
      static_cast<std::uint32_t>(static_cast<std::int32_t>(FLOAT_EXPONENT_BIAS) - scale)
      << FLOAT_MANTISSA_BITS);
  return f143_from_scaled_f32(value * multiplier);
}

// Works on the float's bits rather than with float rounding, so the result does not depend on the
// thread's floating-point rounding mode.
std::uint8_t f143_from_scaled_f32(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const std::uint8_t sign = static_cast<std::uint8_t>((bits >> 24) & 0x80);
  const std::uint32_t magnitude = bits & 0x7FFFFFFF;
  if (magnitude > INFINITY_BITS) return NAN_BYTE;
  if (magnitude >= MAX_VALUE_BITS) return sign | MAX_MAGNITUDE_BYTE;

  if (magnitude >= MIN_NORMAL_BITS) {
    // Rebase the float exponent onto the F143 bias; the byte is then the top 3 mantissa bits with
    // the exponent above them, rounded at the 20th bit. A mantissa that rounds up to 8 carries
    // into the exponent by itself (7.75 gives 8.0).
    const std::uint32_t rebased =
        magnitude - ((FLOAT_EXPONENT_BIAS - F143_EXPONENT_BIAS) << FLOAT_MANTISSA_BITS);
    const std::uint32_t byte =
        shift_right_round_even(rebased, FLOAT_MANTISSA_BITS - F143_MANTISSA_BITS);
    return sign | static_cast<std::uint8_t>(std::min<std::uint32_t>(byte, MAX_MAGNITUDE_BYTE));
  }

  // Subnormal range: the byte is |value| x 2^10 rounded to an integer 0..8 (8 is 0x08, the
  // smallest normal value). |value| = significand x 2^(field - 150) for a normal float and
  // significand x 2^-149 for a float subnormal.
  const std::uint32_t field = magnitude >> FLOAT_MANTISSA_BITS;
  const std::uint32_t fraction = magnitude & ((1u << FLOAT_MANTISSA_BITS) - 1);
  const std::uint32_t significand = field == 0 ? fraction : fraction | (1u << FLOAT_MANTISSA_BITS);
  const std::uint32_t shift = field == 0 ? 139 : 140 - field;
  // Below 2^-11 (shift 25 and more, significand < 2^24) the value is under half the smallest
  // step and rounds to zero.
  const std::uint32_t steps = shift >= 25 ? 0 : shift_right_round_even(significand, shift);
  // Zero has no negative form: an underflow is 0x00 whatever the sign, since 0x80 is NaN.
  if (steps == 0) return 0x00;
  return sign | static_cast<std::uint8_t>(steps);
}

std::int8_t f143_scale(std::span<const float> values) {
  float largest = 0.0f;
  for (const float value : values) {
    if (std::isfinite(value)) largest = std::max(largest, std::fabs(value));
  }
  if (largest == 0.0f) return 0;
  const float ratio = largest / 240.0f;
  // A ratio that underflows to zero would give log2 = -infinity: clamped to -32 all the same.
  if (ratio == 0.0f) return -32;
  const float scale = std::ceil(std::log2(ratio));
  return static_cast<std::int8_t>(std::clamp(scale, -32.0f, 31.0f));
}

}  // namespace quarn::runtime::blocked_data
