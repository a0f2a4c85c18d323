// The text of the internal error (`std::logic_error`) a call throws, for exact-text assertions.
#pragma once

#include <stdexcept>
#include <string>

namespace quarn::test_support {

// What `call()` throws as a `std::logic_error`, or "no internal error" when it returns.
template <typename Call>
std::string internal_error_text(Call&& call) {
  try {
    (void)call();
  } catch (const std::logic_error& error) {
    return error.what();
  }
  return "no internal error";
}

}  // namespace quarn::test_support
