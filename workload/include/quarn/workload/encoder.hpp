// A reference vision-transformer encoder, compiled for the zelk card: what the compiler hands
// over for a real model, made deterministically so that the library can be run and measured on a
// workload of the size it exists for.
//
//   auto workload = quarn::workload::generate_encoder();            // 27 layers on 1472 tiles
//   auto small = quarn::workload::generate_encoder({.layers = 2, .tiles = 16, .tokens = 32});
//
// The residual stream is split by token rows over the first min(tokens, tiles) tiles. Each layer
// is 20 phases: an affine LayerNorm, the QKV projection (weight exchange, GEMM), attention, the
// output projection, a gather of the output rows onto the stream's tiles, an exchange that moves
// nothing and an "add_f16" residual phase; then the same again for the MLP (LayerNorm, up
// projection, GELU in place, down projection, gather, empty exchange, "add_f16"). The schedule
// ends with the final affine LayerNorm, so every residual addition is followed by an affine
// LayerNorm that it can be fused into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/runtime/executable_graph.hpp"
#include "quarn/runtime/static_codegen/planner.hpp"

namespace quarn::workload {

// The size of the encoder. The defaults are the card-scale model.
struct EncoderConfig {
  std::size_t layers = 27;
  // Logical tiles used, 1 .. 1472 (the zelk card).
  std::uint16_t tiles = 1472;
  std::uint16_t tokens = 729;
  // Model width; a multiple of 128 (the inner block of every GEMM).
  std::uint16_t width = 1152;
  // MLP width; its GEMMs run on it rounded up to a multiple of 128.
  std::uint16_t mlp_width = 4304;
  // Attention heads; divides `width`.
  std::uint16_t heads = 16;
  friend bool operator==(const EncoderConfig&, const EncoderConfig&) = default;
};

// The phases of one layer, relative to the layer's first phase.
inline constexpr std::size_t LAYER_PHASES = 20;
// The relative phases of a layer's two empty exchanges; each is followed by "add_f16" and that
// by "layer_norm_affine_f16".
inline constexpr std::size_t ATTENTION_RESIDUAL_EXCHANGE = 8;
inline constexpr std::size_t MLP_RESIDUAL_EXCHANGE = 18;

// The name of the per-layer static template region.
inline constexpr char LAYER_TEMPLATE[] = "encoder_layer";

// The rows of every GEMM output block and the inner block of every weight transfer.
inline constexpr std::uint16_t GEMM_ROW_BLOCK_ROWS = 16;
inline constexpr std::uint16_t GEMM_INNER_BLOCK_COLUMNS = 128;

// One of a layer's four GEMMs as it was cut into output blocks.
struct GemmShape {
  std::string label;
  std::uint16_t rows = 0;
  std::uint16_t columns = 0;
  // The inner (reduction) dimension.
  std::uint16_t inner = 0;
  // From `runtime::siglip::choose_gemm_output_block_columns`.
  std::uint16_t output_block_columns = 0;
  // Output blocks, numbered row-major; block b runs on tile b % tiles in wave b / tiles.
  std::uint32_t blocks = 0;
  friend bool operator==(const GemmShape&, const GemmShape&) = default;
};

// The compiled encoder.
struct EncoderWorkload {
  EncoderConfig config;
  // The schedule (with its allocations), initial buffers and host bindings.
  runtime::ExecutableGraph graph;
  // One program per logical tile, tile 0 first.
  std::vector<compiler::LoweredTileProgram> programs;
  // Half-open phase range of each layer, in order; the final LayerNorm follows the last.
  std::vector<std::pair<std::size_t, std::size_t>> layer_phases;
  // The phase of every "add_f16" residual phase, ascending.
  std::vector<std::size_t> residual_add_phases;
  // One static template region per tile (same index as `programs`), named "encoder_layer", with
  // one instance per layer: `layer_phases`.
  std::vector<runtime::StaticTemplateRegion> template_regions;
  // QKV, attention output, MLP up and MLP down projections.
  std::vector<GemmShape> gemms;
  friend bool operator==(const EncoderWorkload&, const EncoderWorkload&) = default;
};

// Generates the encoder. Fails, with the GEMM width chooser's text passed on, or with
// "encoder workload needs at least one layer, tile, token and head",
// "encoder workload has {} tiles but the zelk card has 1472",
// "encoder width {} must be a multiple of 128 and of the head count {}",
// "encoder does not fit tile memory: {} bytes per tile are needed".
runtime::Result<EncoderWorkload> generate_encoder(const EncoderConfig& config = {});

}  // namespace quarn::workload
