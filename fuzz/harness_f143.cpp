// The F143 functions against references built from the 255 byte values.
// - Decoding a byte other than 0x80 under a block scale (-32..31, what f143_scale produces) and
//   encoding the value under the same scale gives the byte back; so does any scale in -127..126
//   under which the decoded value stays a finite float.
// - f143_to_f32 is the byte's exact value times 2^scale in float; 0x80 is the NaN 0x7FC00000.
// - f143_from_scaled_f32 of any float is the nearest byte: the value is compared with the exact
//   midpoints of neighbouring byte values, ties go to the even byte, zero is 0x00, NaN 0x80, and
//   magnitudes from 240 saturate. f143_from_f32 is it applied to value times 2^-scale.
// - f143_scale of any floats is in -32..31 and puts the largest finite magnitude in (120, 240]
//   (a few float ulps above 240 allowed) unless the clamp applies; 0 without a nonzero magnitude.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/runtime/blocked_data.hpp"

using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;
using namespace quarn::runtime::blocked_data;

namespace {

// The exact value of a byte other than 0x80.
double exact(std::uint8_t b) {
  const int exponent = (b >> 3) & 0xF;
  const int mantissa = b & 7;
  const double magnitude =
      exponent == 0 ? std::ldexp(mantissa, -10) : std::ldexp(8 + mantissa, exponent - 8 - 3);
  return (b & 0x80) ? -magnitude : magnitude;
}

struct Entry {
  double value;
  std::uint8_t byte;
};

const std::vector<Entry>& table() {
  static const std::vector<Entry> entries = [] {
    std::vector<Entry> out;
    for (int b = 0; b < 256; ++b) {
      if (b == 0x80) continue;
      out.push_back({exact(static_cast<std::uint8_t>(b)), static_cast<std::uint8_t>(b)});
    }
    std::sort(out.begin(), out.end(),
              [](const Entry& a, const Entry& b) { return a.value < b.value; });
    return out;
  }();
  return entries;
}

std::uint8_t nearest(float value) {
  if (std::isnan(value)) return 0x80;
  const double v = value;
  const auto& t = table();
  if (v >= t.back().value) return t.back().byte;
  if (v <= t.front().value) return t.front().byte;
  const auto hi =
      std::lower_bound(t.begin(), t.end(), v, [](const Entry& e, double x) { return e.value < x; });
  if (hi->value == v) return hi->byte;
  const auto lo = hi - 1;
  const double mid = (lo->value + hi->value) / 2;  // exact: both have few significant bits
  if (v < mid) return lo->byte;
  if (v > mid) return hi->byte;
  return (lo->byte & 1) == 0 ? lo->byte : hi->byte;
}

float factor(int exponent_field) {
  return std::bit_cast<float>(static_cast<std::uint32_t>(exponent_field & 0xFF) << 23);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::uint8_t byte = in.u8();
  const std::int8_t scale = static_cast<std::int8_t>(in.u8());

  const float decoded = f143_to_f32(byte, scale);
  if (byte == 0x80) {
    require(std::bit_cast<std::uint32_t>(decoded) == 0x7FC00000u, "0x80 decodes as the quiet NaN");
  } else {
    const float two_to_scale = scale == -128 ? 0.0f : std::ldexp(1.0f, scale);
    require(std::bit_cast<std::uint32_t>(decoded) ==
                std::bit_cast<std::uint32_t>(static_cast<float>(exact(byte)) * two_to_scale),
            "decoded value");
    // Every block scale keeps the value a finite float; wider scales do while it does not overflow.
    if ((scale >= -32 && scale <= 31) ||
        (scale >= -127 && scale <= 126 && std::isfinite(decoded))) {
      require(f143_from_f32(decoded, scale) == byte, "decode then encode is not the identity");
    }
  }

  // Encoding arbitrary floats: every bit pattern, and values near the byte grid.
  const std::uint32_t count = 1 + in.below(8);
  std::vector<float> values;
  for (std::uint32_t i = 0; i < count; ++i) {
    float v = std::bit_cast<float>(in.u32());
    if (in.boolean()) {
      // A byte value nudged by a few ulps, scaled into a random binade of blocks.
      const auto& t = table();
      const float grid = static_cast<float>(t[in.below(t.size())].value);
      const int ulps = static_cast<int>(in.below(9)) - 4;
      std::uint32_t bits = std::bit_cast<std::uint32_t>(grid);
      if (grid != 0.0f) bits = static_cast<std::uint32_t>(static_cast<std::int64_t>(bits) + ulps);
      v = std::bit_cast<float>(bits);
    }
    values.push_back(v);
    const std::uint8_t got = f143_from_scaled_f32(v);
    require(got == nearest(v), "encoding is not the nearest byte");
    const std::int8_t s = static_cast<std::int8_t>(in.u8());
    require(f143_from_f32(v, s) == nearest(v * factor(127 - s)), "scaled encoding");
  }

  const std::int8_t block_scale = f143_scale(values);
  require(block_scale >= -32 && block_scale <= 31, "block scale out of -32..31");
  float largest = 0.0f;
  for (const float v : values) {
    if (std::isfinite(v)) largest = std::max(largest, std::fabs(v));
  }
  if (largest == 0.0f) {
    require(block_scale == 0, "scale of a block without magnitude");
  } else {
    const double ratio = std::ldexp(static_cast<double>(largest), -block_scale);
    if (block_scale > -32) require(ratio > 120.0, "largest magnitude at or below 120");
    if (block_scale < 31) require(ratio <= 240.0 * (1 + 0x1p-20), "largest magnitude above 240");
  }
  return 0;
}
