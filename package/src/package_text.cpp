#include "package_text.hpp"

#include <limits>

#include "quarn/support/format.hpp"

namespace quarn::package::text {

void append_numbers(std::string& out, const std::vector<std::uint32_t>& numbers) {
  out.push_back('[');
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (i != 0) out.push_back(',');
    support::append_decimal(out, numbers[i]);
  }
  out.push_back(']');
}

std::string encode_numbers(const std::vector<std::uint32_t>& numbers) {
  std::string out;
  append_numbers(out, numbers);
  return out;
}

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

bool decode_numbers(std::string_view json, std::vector<std::uint32_t>& numbers) {
  numbers.clear();
  std::size_t at = 0;
  auto skip_space = [&] {
    while (at < json.size() && is_space(json[at])) ++at;
  };
  auto consume = [&](char c) {
    skip_space();
    if (at < json.size() && json[at] == c) {
      ++at;
      return true;
    }
    return false;
  };
  auto number = [&]() -> bool {
    skip_space();
    const std::size_t start = at;
    std::uint64_t value = 0;
    while (at < json.size() && json[at] >= '0' && json[at] <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(json[at] - '0');
      if (value > std::numeric_limits<std::uint32_t>::max()) return false;
      ++at;
    }
    const std::size_t length = at - start;
    // JSON writes no leading zeros.
    if (length == 0 || (length > 1 && json[start] == '0')) return false;
    numbers.push_back(static_cast<std::uint32_t>(value));
    return true;
  };
  if (!consume('[')) return false;
  if (!consume(']')) {
    do {
      if (!number()) return false;
    } while (consume(','));
    if (!consume(']')) return false;
  }
  skip_space();
  return at == json.size();
}

}  // namespace quarn::package::text
