// `CompileError`: the compiler library's failure value.
//
// `Graph` and `Memory` carry a message; `Exchange` wraps an `ExchangeError`, which is also its
// cause. `to_string` gives the display text ("SRAM allocation failed: {}"), `debug_string` the
// alternative with its payload.
#pragma once

#include <string>
#include <variant>

#include "quarn/exchange/error.hpp"

namespace quarn::compiler {

namespace compile_error {
// The graph is malformed.
struct Graph {
  std::string message;
  friend bool operator==(const Graph&, const Graph&) = default;
};
// An SRAM allocation or allocation check failed.
struct Memory {
  std::string message;
  friend bool operator==(const Memory&, const Memory&) = default;
};
// Lowering an exchange failed.
struct Exchange {
  exchange::ExchangeError error;
  friend bool operator==(const Exchange&, const Exchange&) = default;
};
}  // namespace compile_error

struct CompileError : std::variant<compile_error::Graph, compile_error::Memory,
                                   compile_error::Exchange> {
  using Graph = compile_error::Graph;
  using Memory = compile_error::Memory;
  using Exchange = compile_error::Exchange;
  using variant::variant;

  // The wrapped `ExchangeError` of an `Exchange` error; null for the other alternatives.
  const exchange::ExchangeError* cause() const {
    if (const auto* exchange = std::get_if<Exchange>(this)) return &exchange->error;
    return nullptr;
  }
};

// Shorthand for the common `CompileError::Memory` failure.
inline CompileError memory_error(std::string message) {
  return CompileError{CompileError::Memory{std::move(message)}};
}

// "invalid graph: {}", "SRAM allocation failed: {}" or "exchange lowering failed: {}".
std::string to_string(const CompileError& error);
// 'Memory("...")', 'Exchange(DuplicateTile)'.
std::string debug_string(const CompileError& error);

}  // namespace quarn::compiler
