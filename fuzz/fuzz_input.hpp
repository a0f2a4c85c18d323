// Decoding of fuzz input bytes into small numbers, and the oracle check shared by the harnesses.
//
// `FuzzInput` hands out little-endian integers from the input and zeros once it is exhausted, so
// every input decodes to some records. `require` aborts with a message when an oracle fails;
// the fuzzing engine and the replay program both treat the abort as a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace quarn::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, data ? size : 0) {}

  bool empty() const { return position_ >= bytes_.size(); }
  std::size_t remaining() const { return empty() ? 0 : bytes_.size() - position_; }

  std::uint8_t u8() { return empty() ? 0 : bytes_[position_++]; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::uint32_t u32() {
    return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16);
  }
  std::uint64_t u64() {
    return static_cast<std::uint64_t>(u32()) | (static_cast<std::uint64_t>(u32()) << 32);
  }
  bool boolean() { return (u8() & 1) != 0; }
  // A number in [0, bound), bound > 0.
  std::uint32_t below(std::uint32_t bound) { return bound <= 256 ? u8() % bound : u32() % bound; }
  // The rest of the input.
  std::span<const std::uint8_t> rest() {
    const auto out = bytes_.subspan(empty() ? bytes_.size() : position_);
    position_ = bytes_.size();
    return out;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

inline void require(bool condition, std::string_view what) {
  if (condition) return;
  std::fprintf(stderr, "oracle failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace quarn::fuzz
