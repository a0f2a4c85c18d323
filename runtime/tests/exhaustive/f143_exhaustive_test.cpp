// Checks `f143_from_scaled_f32` against an independent oracle for every one of the 2^32 float bit
// patterns. The oracle knows only the values of the 128 non-negative bytes: it finds the two
// neighbours of |x| among them by search, takes the nearer (the even byte on a tie), saturates
// at 240, and then applies the sign rules (NaN is 0x80, zero is only 0x00).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "quarn/runtime/blocked_data.hpp"

namespace {

using quarn::runtime::blocked_data::f143_from_scaled_f32;

// The value of each byte 0x00..0x7F from the format's definition, in doubles.
std::array<double, 128> non_negative_byte_values() {
  std::array<double, 128> values{};
  for (int byte = 0; byte < 128; ++byte) {
    const int exponent = byte >> 3;
    const int mantissa = byte & 7;
    values[byte] =
        exponent == 0 ? std::ldexp(mantissa, -10) : std::ldexp(1.0 + mantissa / 8.0, exponent - 8);
  }
  return values;
}

struct Oracle {
  std::array<double, 128> values = non_negative_byte_values();

  std::uint8_t encode(float x) const {
    if (std::isnan(x)) return 0x80;
    const double magnitude = std::fabs(static_cast<double>(x));
    // The first byte value above the magnitude; the one before it is at or below.
    const auto above = std::upper_bound(values.begin(), values.end(), magnitude);
    int byte;
    if (above == values.end()) {
      byte = 127;  // 240 and beyond, infinity included
    } else {
      const int high = static_cast<int>(above - values.begin());
      const int low = high - 1;
      // The midpoint of two byte values is exact in a double.
      const double midpoint = (values[low] + values[high]) / 2;
      if (magnitude < midpoint) {
        byte = low;
      } else if (magnitude > midpoint) {
        byte = high;
      } else {
        byte = low % 2 == 0 ? low : high;
      }
    }
    if (byte == 0) return 0x00;
    return static_cast<std::uint8_t>((std::signbit(x) ? 0x80 : 0x00) | byte);
  }
};

struct Mismatch {
  std::uint32_t bits;
  std::uint8_t got;
  std::uint8_t expected;
};

TEST(F143Exhaustive, EveryFloatEncodesAsTheNearestByte) {
  const Oracle oracle;
  ASSERT_TRUE(std::is_sorted(oracle.values.begin(), oracle.values.end()));
  ASSERT_EQ(oracle.values[127], 240.0);

  // The 2^32 patterns in 256 chunks, handed out to the threads as they finish.
  constexpr std::uint64_t CHUNKS = 256;
  constexpr std::uint64_t CHUNK_SIZE = (std::uint64_t{1} << 32) / CHUNKS;
  std::atomic<std::uint64_t> next_chunk{0};
  std::atomic<std::uint64_t> mismatch_count{0};
  std::mutex examples_mutex;
  std::vector<Mismatch> examples;

  const unsigned thread_count = std::max(2u, std::thread::hardware_concurrency());
  {
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < thread_count; ++t) {
      threads.emplace_back([&] {
        for (std::uint64_t chunk; (chunk = next_chunk.fetch_add(1)) < CHUNKS;) {
          std::uint64_t local_mismatches = 0;
          for (std::uint64_t i = chunk * CHUNK_SIZE; i < (chunk + 1) * CHUNK_SIZE; ++i) {
            const auto bits = static_cast<std::uint32_t>(i);
            const float x = std::bit_cast<float>(bits);
            const std::uint8_t got = f143_from_scaled_f32(x);
            const std::uint8_t expected = oracle.encode(x);
            if (got == expected) continue;
            if (local_mismatches++ < 4) {
              const std::lock_guard lock(examples_mutex);
              if (examples.size() < 16) examples.push_back({bits, got, expected});
            }
          }
          mismatch_count += local_mismatches;
        }
      });
    }
  }

  EXPECT_EQ(mismatch_count.load(), 0u);
  for (const auto& m : examples) {
    ADD_FAILURE() << "float bits 0x" << std::hex << m.bits << " (" << std::bit_cast<float>(m.bits)
                  << ") encodes as 0x" << int{m.got} << ", nearest byte is 0x" << int{m.expected};
  }
}

}  // namespace
