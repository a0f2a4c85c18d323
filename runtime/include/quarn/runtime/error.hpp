// `RuntimeError`: the runtime library's failure value, one message text.
//
// Compiler and exchange errors are passed on as their display text.
#pragma once

#include <expected>
#include <string>

#include "quarn/compiler/error.hpp"
#include "quarn/exchange/error.hpp"

namespace quarn::runtime {

struct RuntimeError {
  std::string message;

  static RuntimeError from(const compiler::CompileError& error) {
    return RuntimeError{compiler::to_string(error)};
  }
  static RuntimeError from(const exchange::ExchangeError& error) {
    return RuntimeError{exchange::to_string(error)};
  }
  friend bool operator==(const RuntimeError&, const RuntimeError&) = default;
};

// The message.
inline std::string to_string(const RuntimeError& error) { return error.message; }
// 'RuntimeError("message")'.
inline std::string debug_string(const RuntimeError& error) {
  return "RuntimeError(\"" + error.message + "\")";
}

template <typename T>
using Result = std::expected<T, RuntimeError>;

// Shorthand for a failed result carrying `message`.
inline std::unexpected<RuntimeError> fail(std::string message) {
  return std::unexpected(RuntimeError{std::move(message)});
}

}  // namespace quarn::runtime
