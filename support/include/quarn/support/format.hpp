// Message formatting shared by every library.
//
// Messages are written from fixed templates in which "{}" marks an inserted value. Integers are
// inserted in decimal; wrap a value in `Hex` to insert it as lower-case hexadecimal digits without
// leading zeros (templates carry their own "0x" prefix). Texts are inserted as they are.
//
//   format("tensor {} allocation address overflows on tile {}", 5, 2)
//   format("tile address 0x{} is not encodable", Hex{0x9C000})   // "tile address 0x9c000 ..."
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace quarn::support {

// An integer to be written in lower-case hexadecimal without leading zeros ("0" for zero).
struct Hex {
  std::uint64_t value;
};

inline void append_decimal(std::string& out, std::uint64_t value) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) out.push_back(digits[--count]);
}

inline void append_value(std::string& out, Hex hex) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char digits[16];
  int count = 0;
  std::uint64_t value = hex.value;
  do {
    digits[count++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (count > 0) out.push_back(digits[--count]);
}

inline void append_value(std::string& out, std::string_view text) { out.append(text); }
inline void append_value(std::string& out, const std::string& text) { out.append(text); }
inline void append_value(std::string& out, const char* text) { out.append(text); }
inline void append_value(std::string& out, bool value) { out.append(value ? "true" : "false"); }

template <std::integral Integer>
  requires(!std::same_as<Integer, bool> && !std::same_as<Integer, char>)
void append_value(std::string& out, Integer value) {
  if constexpr (std::is_signed_v<Integer>) {
    if (value < 0) {
      out.push_back('-');
      append_decimal(out, static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(value));
      return;
    }
  }
  append_decimal(out, static_cast<std::uint64_t>(value));
}

// Any other value type that provides `to_string` (found by argument-dependent lookup).
template <typename Value>
  requires requires(const Value& value) {
    { to_string(value) } -> std::convertible_to<std::string>;
  }
void append_value(std::string& out, const Value& value) {
  out.append(to_string(value));
}

namespace detail {

inline void append_until_placeholder(std::string& out, std::string_view& rest) {
  const auto marker = rest.find("{}");
  if (marker == std::string_view::npos) {
    throw std::logic_error("message template has fewer placeholders than values");
  }
  out.append(rest.substr(0, marker));
  rest.remove_prefix(marker + 2);
}

}  // namespace detail

// Fills the "{}" placeholders of `pattern` with `values`, in order. The number of values must
// equal the number of placeholders.
template <typename... Values>
std::string format(std::string_view pattern, const Values&... values) {
  std::string out;
  out.reserve(pattern.size() + 16 * sizeof...(Values));
  std::string_view rest = pattern;
  ((detail::append_until_placeholder(out, rest), append_value(out, values)), ...);
  if (rest.find("{}") != std::string_view::npos) {
    throw std::logic_error("message template has more placeholders than values");
  }
  out.append(rest);
  return out;
}

// Joins already rendered items with `separator`.
template <typename Range>
std::string join(const Range& items, std::string_view separator) {
  std::string out;
  bool first = true;
  for (const auto& item : items) {
    if (!first) out.append(separator);
    first = false;
    append_value(out, item);
  }
  return out;
}

}  // namespace quarn::support
