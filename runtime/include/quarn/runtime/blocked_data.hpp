// The F143 8-bit float format and its per-block power-of-two scales.
//
// An F143 byte has 1 sign bit, 4 exponent bits (bias 8; 0 means subnormal) and 3 mantissa bits.
// Its values run from 2^-10 to 240 in magnitude; 0x80 is the format's only NaN, so there is no
// negative zero, and there are no infinities (0x7F and 0xFF are +240 and -240). A group of values
// (a block) shares a signed scale s: each value is stored as the F143 byte of value / 2^s.
//
//   const std::int8_t s = f143_scale(block);          // block's largest magnitude -> (120, 240]
//   const std::uint8_t b = f143_from_f32(block[0], s);
//   const float back = f143_to_f32(b, s);
//
// Every function is total: every input has a result.
#pragma once

#include <cstdint>
#include <span>

namespace quarn::runtime::blocked_data {

// The value of the F143 byte `bits` times 2^scale, in 32-bit float arithmetic. 0x80 decodes as
// the quiet NaN 0x7FC00000. 2^scale is exact for -127..127; scale -128 gives the factor 0 (its
// reciprocal 2^128 overflows), so every byte then decodes as a zero of its sign.
float f143_to_f32(std::uint8_t bits, std::int8_t scale);

// The F143 byte of `value` / 2^scale. The value is multiplied by the float whose exponent field
// is 127 - scale and whose mantissa is zero: exactly 2^-scale for -127..126, +0.0 for scale 127
// and +infinity for scale -128. Then as `f143_from_scaled_f32`.
std::uint8_t f143_from_f32(float value, std::int8_t scale);

// The F143 byte nearest to `value` (already divided by 2^scale), ties to the even byte. NaN gives
// 0x80; magnitudes of 240 and above, infinities included, saturate to 0x7F or 0xFF; a value that
// rounds to zero gives 0x00 whatever its sign.
std::uint8_t f143_from_scaled_f32(float value);

// The block scale for `values`: ceil(log2(m / 240)) in 32-bit floats, clamped to -32..31, where m
// is the largest finite magnitude (infinities and NaNs are skipped). 0 when m is 0. The block's
// largest magnitude then lands in (120, 240] unless the clamp applies; because `log2` is computed
// in floats, a maximum a few ulps above 240 * 2^k can get scale k and saturate.
std::int8_t f143_scale(std::span<const float> values);

}  // namespace quarn::runtime::blocked_data
