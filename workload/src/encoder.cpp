#include "quarn/workload/encoder.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "quarn/compiler/gemm.hpp"
#include "quarn/compiler/kernel_command.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/exchange/instructions.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/package/tile_memory.hpp"
#include "quarn/runtime/siglip/gemm_width.hpp"
#include "quarn/runtime/siglip/residual_fusion.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/narrow.hpp"

namespace quarn::workload {
namespace {

using compiler::Allocation;
using compiler::AllocationKind;
using compiler::KernelCommand;
using compiler::KernelCommandHandle;
using compiler::LIVE_TO_END;
using compiler::LoweredComputeCommand;
using compiler::LoweredTileStep;
using compiler::OpId;
using compiler::Phase;
using compiler::TensorId;
using support::format;

constexpr std::uint32_t ALIGNMENT = 32;
constexpr std::uint32_t CONSTANT_WORDS = 64;
constexpr std::uint32_t WEIGHT_WINDOW_BYTES = 16384;
constexpr std::uint8_t WORKERS = 6;

constexpr std::uint32_t align(std::uint64_t value) {
  return static_cast<std::uint32_t>((value + ALIGNMENT - 1) & ~std::uint64_t{ALIGNMENT - 1});
}

// A tensor piece on one tile, as commands and lowered commands see it.
struct Placed {
  TensorId tensor;
  std::uint32_t address = 0;
};

// What one tile does in the exchange phase being built.
enum Role : std::uint8_t { Idle = 0, Receives = 1, Sends = 2, Both = 3 };

class Builder {
 public:
  Builder(const EncoderConfig& config, std::vector<GemmShape> gemms)
      : config_(config), gemms_(std::move(gemms)) {}

  runtime::Result<EncoderWorkload> build();

 private:
  // Tile memory layout: one slot per purpose, reused layer after layer.
  struct Slots {
    std::uint32_t residual[2] = {0, 0};
    std::uint32_t layer_norm = 0;
    std::uint32_t gather_staging = 0;
    std::uint32_t weight_staging = 0;
    // Per GEMM (and attention, after the QKV accumulators): one block per wave.
    std::array<std::uint32_t, 5> blocks{};
    std::uint32_t final_output = 0;
    std::uint32_t weights = 0;
    std::uint32_t constants = 0;
  };

  runtime::Result<void> lay_out_memory();
  std::uint16_t shards() const { return std::min(config_.tokens, config_.tiles); }
  std::uint32_t shard_first_row(std::uint32_t s) const {
    return static_cast<std::uint32_t>(std::uint64_t{s} * config_.tokens / shards());
  }
  std::uint32_t shard_bytes(std::uint16_t s) const {
    return (shard_first_row(s + 1u) - shard_first_row(s)) * std::uint32_t{config_.width} * 2;
  }
  std::uint32_t block_bytes(std::size_t gemm) const {
    return align(std::uint32_t{GEMM_ROW_BLOCK_ROWS} * gemms_[gemm].output_block_columns * 2);
  }
  std::uint32_t waves(std::size_t gemm) const {
    return (gemms_[gemm].blocks + config_.tiles - 1) / config_.tiles;
  }
  std::uint32_t stage_bytes(std::size_t gemm) const {
    return align(std::uint32_t{GEMM_INNER_BLOCK_COLUMNS} * gemms_[gemm].output_block_columns * 2);
  }

  TensorId new_tensor() { return TensorId{next_tensor_++}; }
  void allocate(TensorId tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                std::size_t from, std::size_t until, AllocationKind kind = AllocationKind::Home{}) {
    schedule().allocations.push_back(Allocation{
        .tensor = tensor,
        .tile = tile,
        .address = address,
        .size = size,
        .live_from = from,
        .live_until = until,
        .kind = kind,
    });
  }
  compiler::Schedule& schedule() { return workload_.graph.schedule; }

  // Compute phases: commands are collected per tile, then the phase and its lowered steps are
  // emitted together.
  void begin_compute() { pending_.clear(); }
  void add_command(std::uint16_t tile, Placed output, std::vector<Placed> inputs,
                   const char* kernel, const char* role, const char* label,
                   std::vector<std::size_t> shape, std::vector<std::uint32_t> arguments = {},
                   std::optional<std::pair<std::uint32_t, std::uint32_t>> block = std::nullopt);
  void end_compute();
  // Exchange phases: `roles[t]` says whether tile t takes part; every tile gets `epochs` steps.
  void exchange(std::vector<compiler::Transfer> transfers, std::size_t row_set, std::size_t epochs);
  compiler::ExchangeRow row(std::size_t row_set, Role role, std::size_t epoch);

  std::size_t phase() const { return workload_.graph.schedule.phases.size(); }

  void gemm(std::size_t gemm, std::size_t live_until_offset, std::vector<Placed>& outputs);
  void layer(std::size_t index);

  EncoderConfig config_;
  std::vector<GemmShape> gemms_;
  EncoderWorkload workload_;
  Slots slots_;
  std::size_t next_tensor_ = 0;
  // The current residual stream, one tensor per shard.
  std::vector<Placed> residual_;
  std::vector<Placed> constants_;
  std::vector<Placed> weights_;
  std::vector<std::pair<std::uint16_t, LoweredComputeCommand>> pending_;
  std::vector<KernelCommandHandle> pending_commands_;
  std::vector<Role> roles_;
  // Shared exchange rows: [row set][role][epoch].
  std::vector<std::array<std::vector<compiler::ExchangeRow>, 4>> rows_;
  compiler::ExchangeRow inactive_ = compiler::make_exchange_row({exchange::sans(0)});
};

runtime::Result<void> Builder::lay_out_memory() {
  std::uint32_t shard_slot = 0;
  for (std::uint16_t s = 0; s < shards(); ++s) shard_slot = std::max(shard_slot, shard_bytes(s));
  shard_slot = align(shard_slot);
  std::uint64_t low = package::TILE_MEMORY_BASE;
  const auto take = [&](std::uint64_t bytes) {
    const auto address = static_cast<std::uint32_t>(std::min<std::uint64_t>(low, UINT32_MAX));
    low += align(bytes);
    return address;
  };
  slots_.weight_staging =
      take(std::max({stage_bytes(0), stage_bytes(1), stage_bytes(2), stage_bytes(3)}));
  // Accumulators: QKV, attention context (QKV's blocks), output, MLP up, MLP down.
  const std::size_t block_gemm[5] = {0, 0, 1, 2, 3};
  for (std::size_t k = 0; k < 5; ++k) {
    slots_.blocks[k] = take(std::uint64_t{block_bytes(block_gemm[k])} * waves(block_gemm[k]));
  }
  slots_.residual[0] = take(shard_slot);
  slots_.residual[1] = take(shard_slot);
  slots_.layer_norm = take(shard_slot);
  slots_.gather_staging = take(shard_slot);
  // Memory in use to the end sits at the top, clear of the relocation arena's low end.
  std::uint64_t high = package::TILE_MEMORY_END;
  const auto take_high = [&](std::uint64_t bytes) {
    high -= std::min<std::uint64_t>(high, align(bytes));
    return static_cast<std::uint32_t>(high);
  };
  slots_.constants = take_high(CONSTANT_WORDS * 4);
  slots_.weights = take_high(WEIGHT_WINDOW_BYTES);
  slots_.final_output = take_high(shard_slot);
  const std::uint64_t needed =
      (low - package::TILE_MEMORY_BASE) + (package::TILE_MEMORY_END - high);
  if (low > high || needed > package::TILE_MEMORY_SIZE) {
    return runtime::fail(
        format("encoder does not fit tile memory: {} bytes per tile are needed", needed));
  }
  return {};
}

compiler::ExchangeRow Builder::row(std::size_t row_set, Role role, std::size_t epoch) {
  if (role == Idle) return inactive_;
  if (rows_.size() <= row_set) rows_.resize(row_set + 1);
  auto& list = rows_[row_set][role];
  while (list.size() <= epoch) {
    const auto e = static_cast<std::uint32_t>(list.size());
    list.push_back(compiler::make_exchange_row({exchange::sans(static_cast<std::uint8_t>(role)),
                                                static_cast<std::uint32_t>(row_set), e,
                                                exchange::sans(0xFF)}));
  }
  return list[epoch];
}

void Builder::add_command(std::uint16_t tile, Placed output, std::vector<Placed> inputs,
                          const char* kernel, const char* role, const char* label,
                          std::vector<std::size_t> shape, std::vector<std::uint32_t> arguments,
                          std::optional<std::pair<std::uint32_t, std::uint32_t>> block) {
  KernelCommand command;
  command.tile = tile;
  command.output = output.tensor;
  command.inputs.reserve(inputs.size());
  std::vector<std::uint32_t> addresses;
  addresses.reserve(inputs.size());
  for (const Placed& input : inputs) {
    command.inputs.push_back(input.tensor);
    addresses.push_back(input.address);
  }
  command.arguments = std::move(arguments);
  command.specialization = compiler::SpecializationKey{
      .operation = compiler::Text::constant(kernel),
      .shape = std::move(shape),
      .worker_count = WORKERS,
      .role = compiler::Text::constant(role),
      .alignment = ALIGNMENT,
  };
  command.metadata.emplace(runtime::siglip::LABEL_KEY, label);
  if (block) {
    command.metadata.emplace("output_block_row", std::to_string(block->first));
    command.metadata.emplace("output_block_column", std::to_string(block->second));
  }
  auto handle = compiler::make_kernel_command(std::move(command));
  pending_commands_.push_back(handle);
  pending_.emplace_back(tile, LoweredComputeCommand{
                                  .op = OpId{phase()},
                                  .phase = phase(),
                                  .command = std::move(handle),
                                  .output_address = output.address,
                                  .input_addresses = std::move(addresses),
                              });
}

void Builder::end_compute() {
  const std::size_t p = phase();
  // Commands in tile order (stable: a tile's calls keep their order), so each program takes its
  // calls from one contiguous run.
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t next = 0;
  for (std::uint16_t t = 0; t < config_.tiles; ++t) {
    auto& steps = workload_.programs[t].steps;
    if (next == pending_.size() || pending_[next].first != t) {
      steps.emplace_back(LoweredTileStep::IdleCompute{.op = OpId{p}, .phase = p});
      continue;
    }
    while (next < pending_.size() && pending_[next].first == t) {
      steps.emplace_back(LoweredTileStep::Compute{.command = std::move(pending_[next].second)});
      ++next;
    }
  }
  schedule().phases.emplace_back(
      Phase::Compute{.op = OpId{p}, .commands = std::move(pending_commands_)});
  pending_commands_.clear();
  pending_.clear();
}

void Builder::exchange(std::vector<compiler::Transfer> transfers, std::size_t row_set,
                       std::size_t epochs) {
  const std::size_t p = phase();
  roles_.assign(config_.tiles, Idle);
  for (const auto& transfer : transfers) {
    roles_[transfer.source_tile] = static_cast<Role>(roles_[transfer.source_tile] | Sends);
    roles_[transfer.destination_tile] =
        static_cast<Role>(roles_[transfer.destination_tile] | Receives);
  }
  for (std::uint16_t t = 0; t < config_.tiles; ++t) {
    auto& steps = workload_.programs[t].steps;
    for (std::size_t e = 0; e < epochs; ++e) {
      steps.emplace_back(
          LoweredTileStep::Exchange{.phase = p, .epoch = e, .row = row(row_set, roles_[t], e)});
    }
  }
  schedule().phases.emplace_back(Phase::Exchange{.transfers = std::move(transfers)});
}

// A weight exchange (one epoch per inner block) and the GEMM phase after it. `outputs` receives
// one accumulator per block, in block order; each lives until `live_until_offset` phases after
// the GEMM phase.
void Builder::gemm(std::size_t g, std::size_t live_until_offset, std::vector<Placed>& outputs) {
  const GemmShape& shape = gemms_[g];
  const std::size_t x = phase();
  const TensorId stage = new_tensor();
  const std::uint16_t busy =
      static_cast<std::uint16_t>(std::min<std::uint32_t>(shape.blocks, config_.tiles));
  std::vector<compiler::Transfer> transfers;
  transfers.reserve(busy);
  for (std::uint16_t t = 0; t < busy; ++t) {
    allocate(stage, t, slots_.weight_staging, stage_bytes(g), x, x + 2,
             AllocationKind::ExchangeStaging{.phase = x});
    transfers.push_back(compiler::Transfer{
        .source_tile = static_cast<std::uint16_t>((t + 1u) % config_.tiles),
        .destination_tile = t,
        .tensor = stage,
        .bytes = stage_bytes(g),
        .staging_address = slots_.weight_staging,
    });
  }
  exchange(std::move(transfers), g, shape.inner / GEMM_INNER_BLOCK_COLUMNS);

  const std::size_t c = phase();
  const std::size_t slot = g == 0 ? 0 : g + 1;
  const std::uint32_t column_blocks = shape.columns / shape.output_block_columns;
  std::vector<TensorId> wave_tensors(waves(g));
  for (auto& tensor : wave_tensors) tensor = new_tensor();
  outputs.clear();
  outputs.reserve(shape.blocks);
  begin_compute();
  for (std::uint32_t b = 0; b < shape.blocks; ++b) {
    const auto tile = static_cast<std::uint16_t>(b % config_.tiles);
    const std::uint32_t wave = b / config_.tiles;
    const Placed out{wave_tensors[wave], slots_.blocks[slot] + wave * block_bytes(g)};
    allocate(out.tensor, tile, out.address, block_bytes(g), c, c + live_until_offset);
    add_command(tile, out, {Placed{stage, slots_.weight_staging}, weights_[tile]},
                "gemm_f16_accumulate", "inner-block", shape.label.c_str(),
                {GEMM_ROW_BLOCK_ROWS, GEMM_INNER_BLOCK_COLUMNS, shape.output_block_columns},
                {static_cast<std::uint32_t>(shape.inner / GEMM_INNER_BLOCK_COLUMNS)},
                std::pair{b / column_blocks, b % column_blocks});
    outputs.push_back(out);
  }
  end_compute();
}

void Builder::layer(std::size_t index) {
  const std::size_t base = phase();
  const std::size_t end = base + LAYER_PHASES;
  const std::uint16_t n = shards();
  const auto width = std::size_t{config_.width};
  const std::size_t total_phases = config_.layers * LAYER_PHASES + 1;

  // A token-row phase: one command per shard.
  const auto layer_norm = [&](const char* label) {
    const TensorId out = new_tensor();
    begin_compute();
    for (std::uint16_t s = 0; s < n; ++s) {
      allocate(out, s, slots_.layer_norm, shard_bytes(s), phase(), phase() + 2);
      add_command(s, Placed{out, slots_.layer_norm}, {residual_[s], constants_[s]},
                  runtime::siglip::LAYER_NORM_KERNEL, "row", label,
                  {shard_first_row(s + 1u) - shard_first_row(s), width});
    }
    end_compute();
  };
  // Gather of a GEMM's output rows onto the stream's tiles, then the gathered sum's new tensors.
  const auto gather = [&](std::size_t row_set, std::uint32_t slot, std::size_t live_until,
                          const char* label) {
    const TensorId stage = new_tensor();
    const std::size_t x = phase();
    std::vector<compiler::Transfer> transfers;
    transfers.reserve(n);
    for (std::uint16_t s = 0; s < n; ++s) {
      allocate(stage, s, slots_.gather_staging, shard_bytes(s), x, x + 2,
               AllocationKind::ExchangeStaging{.phase = x});
      transfers.push_back(compiler::Transfer{
          .source_tile = static_cast<std::uint16_t>((s + n) % config_.tiles),
          .destination_tile = s,
          .tensor = stage,
          .bytes = shard_bytes(s),
          .staging_address = slots_.gather_staging,
      });
    }
    exchange(std::move(transfers), row_set, 1);
    std::vector<Placed> gathered(n);
    begin_compute();
    for (std::uint16_t s = 0; s < n; ++s) {
      gathered[s] = Placed{new_tensor(), slot};
      allocate(gathered[s].tensor, s, slot, shard_bytes(s), phase(),
               std::min(live_until, total_phases));
      add_command(s, gathered[s], {Placed{stage, slots_.gather_staging}}, "gather_rows_f16", "row",
                  label, {shard_first_row(s + 1u) - shard_first_row(s), width});
    }
    end_compute();
    return gathered;
  };
  // The residual addition: an exchange that moves nothing, then "add_f16" into `sum` in place.
  const auto residual_add = [&](const std::vector<Placed>& sum, const char* label) {
    exchange({}, 6, 1);
    workload_.residual_add_phases.push_back(phase());
    begin_compute();
    for (std::uint16_t s = 0; s < n; ++s) {
      add_command(s, sum[s], {sum[s], residual_[s]}, runtime::siglip::ADD_KERNEL, "row", label,
                  {shard_first_row(s + 1u) - shard_first_row(s), width});
    }
    end_compute();
    residual_ = sum;
  };

  // The layer's input stays in residual slot 0 until the MLP LayerNorm; the attention sum takes
  // slot 1 and the MLP sum (the next layer's input) slot 0 again.
  (void)index;

  // Attention.
  layer_norm("attention LayerNorm");  // 0
  std::vector<Placed> qkv;
  gemm(0, 2, qkv);  // 1, 2
  {
    const std::size_t p = phase();  // 3
    std::vector<TensorId> tensors(waves(0));
    for (auto& tensor : tensors) tensor = new_tensor();
    begin_compute();
    for (std::uint32_t b = 0; b < gemms_[0].blocks; ++b) {
      const auto tile = static_cast<std::uint16_t>(b % config_.tiles);
      const std::uint32_t wave = b / config_.tiles;
      const Placed out{tensors[wave], slots_.blocks[1] + wave * block_bytes(0)};
      allocate(out.tensor, tile, out.address, block_bytes(0), p, p + 2);
      add_command(tile, out, {qkv[b]}, "attention_f16", "head-block", "self-attention",
                  {GEMM_ROW_BLOCK_ROWS, gemms_[0].output_block_columns}, {config_.heads});
    }
    end_compute();
  }
  std::vector<Placed> projected;
  gemm(1, 2, projected);  // 4, 5
  // The sum lives until the next layer's first phase, where a fused LayerNorm reads it.
  const auto attention = gather(4, slots_.residual[1], base + 21, "attention output rows");  // 6, 7
  residual_add(attention, "attention residual");                                             // 8, 9

  // MLP.
  layer_norm("MLP LayerNorm");  // 10
  std::vector<Placed> up;
  gemm(2, 3, up);  // 11, 12
  {
    const std::size_t p = phase();  // 13
    std::vector<TensorId> tensors(waves(2));
    for (auto& tensor : tensors) tensor = new_tensor();
    begin_compute();
    for (std::uint32_t b = 0; b < gemms_[2].blocks; ++b) {
      const auto tile = static_cast<std::uint16_t>(b % config_.tiles);
      const std::uint32_t wave = b / config_.tiles;
      const Placed out{tensors[wave], up[b].address};
      allocate(out.tensor, tile, out.address, block_bytes(2), p, p + 2,
               AllocationKind::HomeAlias{.source = up[b].tensor});
      add_command(tile, out, {up[b]}, "gelu_f16", "in-place", "MLP activation",
                  {GEMM_ROW_BLOCK_ROWS, gemms_[2].output_block_columns});
    }
    end_compute();
  }
  std::vector<Placed> down;
  gemm(3, 2, down);  // 14, 15
  // The next layer's input lives through its MLP LayerNorm (relative phase 10 of that layer).
  const auto mlp = gather(5, slots_.residual[0], end + 11,
                          "MLP output rows");  // 16, 17
  residual_add(mlp, "MLP residual");           // 18, 19
  workload_.layer_phases.emplace_back(base, end);
}

runtime::Result<EncoderWorkload> Builder::build() {
  if (auto laid = lay_out_memory(); !laid) return std::unexpected(laid.error());
  workload_.config = config_;
  workload_.gemms = gemms_;
  const std::uint16_t tiles = config_.tiles;
  const std::uint16_t n = shards();
  const exchange::Topology topology = exchange::Topology::zelk();
  auto& graph = workload_.graph;
  auto& sched = graph.schedule;
  sched.tile_count = tiles;
  workload_.programs.resize(tiles);
  for (std::uint16_t t = 0; t < tiles; ++t) {
    workload_.programs[t].tile = t;
    workload_.programs[t].steps.reserve(config_.layers * 90 + 4);
  }
  sched.phases.reserve(config_.layers * LAYER_PHASES + 1);
  sched.allocations.reserve(static_cast<std::size_t>(tiles) * (config_.layers * 16 + 4));

  // Memory in use to the end: each tile's kernel constants and weight window; the input rows.
  const TensorId constants = new_tensor();
  const TensorId weights = new_tensor();
  constants_.resize(tiles);
  weights_.resize(tiles);
  package::Binding weight_binding{
      .name = "weights", .dtype = "f16", .shape = {tiles, WEIGHT_WINDOW_BYTES / 2}, .slices = {}};
  weight_binding.slices.reserve(tiles);
  graph.initial_buffers.reserve(tiles);
  for (std::uint16_t t = 0; t < tiles; ++t) {
    constants_[t] = Placed{constants, slots_.constants};
    weights_[t] = Placed{weights, slots_.weights};
    allocate(constants, t, slots_.constants, CONSTANT_WORDS * 4, 0, LIVE_TO_END);
    allocate(weights, t, slots_.weights, WEIGHT_WINDOW_BYTES, 0, LIVE_TO_END);
    std::vector<std::uint32_t> words(CONSTANT_WORDS);
    for (std::uint32_t i = 0; i < CONSTANT_WORDS; ++i)
      words[i] = 0x3C000000u | (i << 8) | (t & 0xFF);
    graph.initial_buffers.push_back(
        runtime::InitialBuffer{.tile = t, .address = slots_.constants, .words = std::move(words)});
    weight_binding.slices.push_back(package::RegionSlice{
        .tile = topology.logical_to_physical[t],
        .tile_address = slots_.weights,
        .file_offset = std::uint64_t{t} * WEIGHT_WINDOW_BYTES,
        .size = WEIGHT_WINDOW_BYTES,
    });
  }
  graph.host_weights.push_back(std::move(weight_binding));

  const std::size_t total_phases = config_.layers * LAYER_PHASES + 1;
  package::Binding input{.name = "patch_embeddings",
                         .dtype = "f16",
                         .shape = {config_.tokens, config_.width},
                         .slices = {}};
  residual_.resize(n);
  for (std::uint16_t s = 0; s < n; ++s) {
    residual_[s] = Placed{new_tensor(), slots_.residual[0]};
    allocate(residual_[s].tensor, s, slots_.residual[0], shard_bytes(s), 0,
             std::min<std::size_t>(11, total_phases));
    sched.layouts.push_back(compiler::Layout{.tensor = residual_[s].tensor,
                                             .tiles = {s},
                                             .sharding = compiler::Sharding::Rows,
                                             .alignment = ALIGNMENT});
    input.slices.push_back(package::RegionSlice{
        .tile = topology.logical_to_physical[s],
        .tile_address = slots_.residual[0],
        .file_offset = std::uint64_t{shard_first_row(s)} * config_.width * 2,
        .size = shard_bytes(s),
    });
  }
  graph.host_inputs.push_back(std::move(input));

  for (std::size_t l = 0; l < config_.layers; ++l) layer(l);
  // Every layer runs the same steps on a tile, so one template serves all of them.
  workload_.template_regions.assign(
      tiles, runtime::StaticTemplateRegion{.name = LAYER_TEMPLATE,
                                           .phase_instances = workload_.layer_phases});

  // The final LayerNorm writes the output rows, kept to the end for the host.
  const TensorId out = new_tensor();
  package::Binding output{.name = "last_hidden_state",
                          .dtype = "f16",
                          .shape = {config_.tokens, config_.width},
                          .slices = {}};
  begin_compute();
  for (std::uint16_t s = 0; s < n; ++s) {
    allocate(out, s, slots_.final_output, shard_bytes(s), phase(), LIVE_TO_END);
    add_command(s, Placed{out, slots_.final_output}, {residual_[s], constants_[s]},
                runtime::siglip::LAYER_NORM_KERNEL, "row", "post LayerNorm",
                {shard_first_row(s + 1u) - shard_first_row(s), config_.width});
    output.slices.push_back(package::RegionSlice{
        .tile = topology.logical_to_physical[s],
        .tile_address = slots_.final_output,
        .file_offset = std::uint64_t{shard_first_row(s)} * config_.width * 2,
        .size = shard_bytes(s),
    });
  }
  end_compute();
  sched.layouts.push_back(compiler::Layout{
      .tensor = out, .tiles = {}, .sharding = compiler::Sharding::Rows, .alignment = ALIGNMENT});
  for (std::uint16_t s = 0; s < n; ++s) sched.layouts.back().tiles.push_back(s);
  graph.outputs.push_back(output);
  graph.host_outputs.push_back(std::move(output));

  // Each tile's highest use: the top of the stack of slots it touches.
  for (const Allocation& a : sched.allocations) {
    auto& peak = sched.peak_sram[a.tile];
    peak = std::max(peak, a.address + a.size - package::TILE_MEMORY_BASE);
  }
  return std::move(workload_);
}

}  // namespace

runtime::Result<EncoderWorkload> generate_encoder(const EncoderConfig& config) {
  if (config.layers == 0 || config.tiles == 0 || config.tokens == 0 || config.heads == 0) {
    return runtime::fail("encoder workload needs at least one layer, tile, token and head");
  }
  if (config.tiles > exchange::ZELK_TILE_COUNT) {
    return runtime::fail(
        format("encoder workload has {} tiles but the zelk card has 1472", config.tiles));
  }
  if (config.width % GEMM_INNER_BLOCK_COLUMNS != 0 || config.width % config.heads != 0) {
    return runtime::fail(
        format("encoder width {} must be a multiple of 128 and of the head count {}", config.width,
               config.heads));
  }
  const std::uint32_t mlp = (std::uint32_t{config.mlp_width} + GEMM_INNER_BLOCK_COLUMNS - 1) /
                            GEMM_INNER_BLOCK_COLUMNS * GEMM_INNER_BLOCK_COLUMNS;
  const auto mlp_columns = support::checked_narrow<std::uint16_t>(mlp);
  if (!mlp_columns) return runtime::fail(std::string(support::INTEGRAL_CONVERSION_MESSAGE));
  const auto qkv_columns = support::checked_narrow<std::uint16_t>(std::uint32_t{config.width} * 3);
  if (!qkv_columns) return runtime::fail(std::string(support::INTEGRAL_CONVERSION_MESSAGE));

  const struct {
    const char* label;
    std::uint16_t columns;
    std::uint16_t inner;
  } shapes[] = {
      {"qkv projection", *qkv_columns, config.width},
      {"attention output projection", config.width, config.width},
      {"MLP up projection", *mlp_columns, config.width},
      {"MLP down projection", config.width, *mlp_columns},
  };
  std::vector<GemmShape> gemms;
  for (const auto& shape : shapes) {
    const auto width = runtime::siglip::choose_gemm_output_block_columns(
        config.tokens, GEMM_ROW_BLOCK_ROWS, GEMM_INNER_BLOCK_COLUMNS, shape.columns, config.tiles,
        compiler::GemmDataType::F16{}, 0);
    if (!width) return std::unexpected(width.error());
    const std::uint32_t row_blocks =
        (config.tokens + GEMM_ROW_BLOCK_ROWS - 1) / GEMM_ROW_BLOCK_ROWS;
    gemms.push_back(GemmShape{
        .label = shape.label,
        .rows = config.tokens,
        .columns = shape.columns,
        .inner = shape.inner,
        .output_block_columns = *width,
        .blocks = row_blocks * (shape.columns / *width),
    });
  }
  return Builder(config, std::move(gemms)).build();
}

}  // namespace quarn::workload
