// The model graph the compiler starts from: tensors and operations.
//
// No operation of this library reads a graph; the records give `TensorId` and `OpId` their
// referents and are carried along by whoever builds a schedule.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quarn/compiler/ids.hpp"

namespace quarn::compiler {

enum class TensorKind { Input, Weight, Intermediate, Output };

enum class DType { F32 };

struct Tensor {
  TensorId id;
  std::string name;
  DType dtype = DType::F32;
  std::vector<std::size_t> shape;
  TensorKind kind = TensorKind::Intermediate;
  // The operation that computes the tensor; absent for inputs and weights.
  std::optional<OpId> producer;
  friend bool operator==(const Tensor&, const Tensor&) = default;
};

namespace op_kind {
struct MatMul {
  friend bool operator==(const MatMul&, const MatMul&) = default;
};
struct Add {
  friend bool operator==(const Add&, const Add&) = default;
};
struct Mul {
  friend bool operator==(const Mul&, const Mul&) = default;
};
struct Reshape {
  std::vector<std::size_t> shape;
  friend bool operator==(const Reshape&, const Reshape&) = default;
};
struct Transpose {
  std::vector<std::size_t> permutation;
  friend bool operator==(const Transpose&, const Transpose&) = default;
};
struct LayerNorm {
  float epsilon = 0.0f;
  friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
};
struct Softmax {
  std::size_t axis = 0;
  friend bool operator==(const Softmax&, const Softmax&) = default;
};
struct Gelu {
  friend bool operator==(const Gelu&, const Gelu&) = default;
};
}  // namespace op_kind

struct OpKind : std::variant<op_kind::MatMul, op_kind::Add, op_kind::Mul, op_kind::Reshape,
                             op_kind::Transpose, op_kind::LayerNorm, op_kind::Softmax,
                             op_kind::Gelu> {
  using MatMul = op_kind::MatMul;
  using Add = op_kind::Add;
  using Mul = op_kind::Mul;
  using Reshape = op_kind::Reshape;
  using Transpose = op_kind::Transpose;
  using LayerNorm = op_kind::LayerNorm;
  using Softmax = op_kind::Softmax;
  using Gelu = op_kind::Gelu;
  using variant::variant;
};

struct Op {
  OpId id;
  std::string name;
  OpKind kind;
  std::vector<TensorId> inputs;
  TensorId output;
  friend bool operator==(const Op&, const Op&) = default;
};

struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  // The graph results.
  std::vector<TensorId> outputs;
  friend bool operator==(const Graph&, const Graph&) = default;
};

}  // namespace quarn::compiler
