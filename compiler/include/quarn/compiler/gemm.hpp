// Data types of GEMM kernels.
#pragma once

#include <cstdint>
#include <variant>

namespace quarn::compiler {

namespace gemm_data_type {
// 16-bit float data and weights.
struct F16 {
  friend bool operator==(const F16&, const F16&) = default;
};
// 16-bit float data with 8-bit weights and the weights' scale.
struct F16F8Weights {
  std::int8_t scale = 0;
  friend bool operator==(const F16F8Weights&, const F16F8Weights&) = default;
};
// Data and weights in the 8-bit F143 format, each with its scale.
struct F8F143 {
  std::int8_t input_scale = 0;
  std::int8_t weight_scale = 0;
  friend bool operator==(const F8F143&, const F8F143&) = default;
};
// 32-bit float data and weights.
struct F32 {
  friend bool operator==(const F32&, const F32&) = default;
};
}  // namespace gemm_data_type

struct GemmDataType : std::variant<gemm_data_type::F16, gemm_data_type::F16F8Weights,
                                   gemm_data_type::F8F143, gemm_data_type::F32> {
  using F16 = gemm_data_type::F16;
  using F16F8Weights = gemm_data_type::F16F8Weights;
  using F8F143 = gemm_data_type::F8F143;
  using F32 = gemm_data_type::F32;
  using variant::variant;

  // Bytes per weight element: 2 for F16, 1 for the two 8-bit weight types, 4 for F32.
  constexpr std::uint32_t weight_element_bytes() const {
    switch (index()) {
      case 0:
        return 2;
      case 1:
      case 2:
        return 1;
      default:
        return 4;
    }
  }
};

}  // namespace quarn::compiler
