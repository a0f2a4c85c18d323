// Identifiers of graph tensors and operations.
//
// `TensorId` and `OpId` wrap the index of a tensor or operation of the model graph. They compare
// and hash as the wrapped number; messages write a tensor as its bare number, debug text as
// 'TensorId(7)'.
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <string>

namespace quarn::compiler {

struct TensorId {
  std::size_t value = 0;
  friend auto operator<=>(const TensorId&, const TensorId&) = default;
};

struct OpId {
  std::size_t value = 0;
  friend auto operator<=>(const OpId&, const OpId&) = default;
};

// Debug text: 'TensorId(7)', 'OpId(3)'.
std::string debug_string(TensorId id);
std::string debug_string(OpId id);

}  // namespace quarn::compiler

template <>
struct std::hash<quarn::compiler::TensorId> {
  std::size_t operator()(quarn::compiler::TensorId id) const noexcept {
    return std::hash<std::size_t>{}(id.value);
  }
};

template <>
struct std::hash<quarn::compiler::OpId> {
  std::size_t operator()(quarn::compiler::OpId id) const noexcept {
    return std::hash<std::size_t>{}(id.value);
  }
};
