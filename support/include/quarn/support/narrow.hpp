// Checked narrowing of counts and indices into fixed-width fields.
//
// A count or index that does not fit its 16-bit or 32-bit field is a reported failure with one
// text, `INTEGRAL_CONVERSION_MESSAGE`; `checked_narrow` gives the value or nothing.
#pragma once

#include <concepts>
#include <optional>
#include <string_view>
#include <utility>

namespace quarn::support {

inline constexpr std::string_view INTEGRAL_CONVERSION_MESSAGE =
    "out of range integral type conversion attempted";

template <std::integral To, std::integral From>
constexpr std::optional<To> checked_narrow(From value) {
  if (!std::in_range<To>(value)) return std::nullopt;
  return static_cast<To>(value);
}

}  // namespace quarn::support
