// The reference encoder: valid, deterministic, ready for residual fusion, and usable by placement
// and the memory profile.
#include "quarn/workload/encoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quarn/exchange/instructions.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/package/tile_memory.hpp"
#include "quarn/runtime/memory/ranges.hpp"
#include "quarn/runtime/memory/relocation.hpp"
#include "quarn/runtime/profile/memory_profile.hpp"
#include "quarn/runtime/siglip/gemm_width.hpp"
#include "quarn/runtime/siglip/residual_fusion.hpp"

namespace {

using namespace quarn;
using compiler::AllocationKind;
using compiler::LIVE_TO_END;
using compiler::LoweredTileStep;
using compiler::Phase;
using workload::EncoderConfig;
using workload::EncoderWorkload;

const EncoderConfig SMALL{.layers = 3, .tiles = 48, .tokens = 40};

EncoderWorkload generate(const EncoderConfig& config) {
  auto generated = workload::generate_encoder(config);
  if (!generated) throw std::runtime_error(generated.error().message);
  return std::move(*generated);
}

// The card-scale workload, made once for the tests that only read it.
const EncoderWorkload& card() {
  static const EncoderWorkload workload = generate(EncoderConfig{});
  return workload;
}

// Checks what every generated workload must satisfy.
void expect_well_formed(const EncoderWorkload& w) {
  const auto& schedule = w.graph.schedule;
  ASSERT_TRUE(schedule.validate_allocations().has_value())
      << compiler::to_string(schedule.validate_allocations().error());
  EXPECT_EQ(schedule.tile_count, w.config.tiles);
  EXPECT_EQ(schedule.phases.size(), w.config.layers * workload::LAYER_PHASES + 1);
  ASSERT_EQ(w.programs.size(), w.config.tiles);
  for (std::size_t t = 0; t < w.programs.size(); ++t) {
    const auto& program = w.programs[t];
    ASSERT_EQ(program.tile, t);
    std::size_t previous = 0;
    std::vector<bool> seen(schedule.phases.size(), false);
    for (const LoweredTileStep& step : program.steps) {
      const std::size_t phase = compiler::lowered_step_phase(step);
      ASSERT_GE(phase, previous) << "tile " << t;
      ASSERT_LT(phase, schedule.phases.size());
      previous = phase;
      seen[phase] = true;
      // A step's family is its phase's kind.
      ASSERT_EQ(std::holds_alternative<LoweredTileStep::Exchange>(step),
                std::holds_alternative<Phase::Exchange>(schedule.phases[phase]));
      if (const auto* compute = std::get_if<LoweredTileStep::Compute>(&step)) {
        ASSERT_EQ(compute->command->tile(), t);
      }
    }
    // Every tile has a step in every phase (an idle slot or an inactive row without work).
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; })) << "tile " << t;
  }
}

TEST(EncoderWorkload, CardScaleIsValidAndOfTheRightSize) {
  const EncoderWorkload& w = card();
  expect_well_formed(w);
  const auto& schedule = w.graph.schedule;
  EXPECT_EQ(schedule.phases.size(), 27u * 20 + 1);

  // Hundreds of allocations per tile, each tile holding all three kinds with both kinds of range.
  struct Seen {
    std::size_t count = 0;
    bool home = false, alias = false, staging = false, finite = false, to_end = false;
  };
  std::vector<Seen> seen(schedule.tile_count);
  for (const auto& a : schedule.allocations) {
    Seen& s = seen[a.tile];
    ++s.count;
    s.home |= std::holds_alternative<AllocationKind::Home>(a.kind);
    s.alias |= std::holds_alternative<AllocationKind::HomeAlias>(a.kind);
    s.staging |= std::holds_alternative<AllocationKind::ExchangeStaging>(a.kind);
    s.finite |= a.live_until != LIVE_TO_END;
    s.to_end |= a.live_until == LIVE_TO_END;
  }
  for (std::size_t t = 0; t < seen.size(); ++t) {
    ASSERT_TRUE(seen[t].home && seen[t].alias && seen[t].staging && seen[t].finite &&
                seen[t].to_end)
        << "tile " << t;
    ASSERT_GE(seen[t].count, 100u) << "tile " << t;
    ASSERT_LE(seen[t].count, 1000u) << "tile " << t;
  }
  for (const auto& program : w.programs) {
    ASSERT_GE(program.steps.size(), 1500u);
    ASSERT_LE(program.steps.size(), 3000u);
  }
}

TEST(EncoderWorkload, GemmsUseTheChosenWidthsAndCarryBlockMetadata) {
  const EncoderWorkload& w = card();
  ASSERT_EQ(w.gemms.size(), 4u);
  for (const auto& gemm : w.gemms) {
    const auto width = runtime::siglip::choose_gemm_output_block_columns(
        gemm.rows, workload::GEMM_ROW_BLOCK_ROWS, workload::GEMM_INNER_BLOCK_COLUMNS, gemm.columns,
        w.config.tiles, compiler::GemmDataType::F16{}, 0);
    ASSERT_TRUE(width.has_value());
    EXPECT_EQ(gemm.output_block_columns, *width) << gemm.label;
  }
  // The MLP runs on its width rounded up to whole inner blocks.
  EXPECT_EQ(w.gemms[2].columns, 4352);
  EXPECT_EQ(w.gemms[3].inner, 4352);

  // The QKV GEMM of the first layer: one command per block, block coordinates row-major.
  const auto& qkv = std::get<Phase::Compute>(w.graph.schedule.phases[2]);
  ASSERT_EQ(qkv.commands.size(), w.gemms[0].blocks);
  const std::uint32_t column_blocks = w.gemms[0].columns / w.gemms[0].output_block_columns;
  std::vector<std::uint32_t> per_tile(w.config.tiles, 0);
  for (const auto& command : qkv.commands) {
    ASSERT_EQ(command->specialization.operation, "gemm_f16_accumulate");
    const std::uint32_t row = std::stoul(command->metadata.at("output_block_row"));
    const std::uint32_t column = std::stoul(command->metadata.at("output_block_column"));
    EXPECT_EQ((row * column_blocks + column) % w.config.tiles, command->tile);
    EXPECT_EQ(command->metadata.at("label"), "qkv projection");
    ++per_tile[command->tile];
  }
  // Every command of every phase is labelled.
  for (const auto& phase : w.graph.schedule.phases) {
    if (const auto* compute = std::get_if<Phase::Compute>(&phase)) {
      for (const auto& command : compute->commands)
        ASSERT_TRUE(command->metadata.contains("label"));
    }
  }
}

TEST(EncoderWorkload, LayersEndInAnEmptyExchangeAndAResidualAddBeforeALayerNorm) {
  const EncoderWorkload& w = card();
  const auto& phases = w.graph.schedule.phases;
  ASSERT_EQ(w.residual_add_phases.size(), 2 * w.config.layers);
  for (const std::size_t add : w.residual_add_phases) {
    const auto& exchange = std::get<Phase::Exchange>(phases.at(add - 1));
    EXPECT_TRUE(exchange.transfers.empty());
    const auto& compute = std::get<Phase::Compute>(phases.at(add));
    ASSERT_EQ(compute.commands.size(), 729u);
    for (const auto& c : compute.commands) ASSERT_EQ(c->specialization.operation, "add_f16");
    const auto& next = std::get<Phase::Compute>(phases.at(add + 1));
    for (const auto& c : next.commands) {
      ASSERT_EQ(c->specialization.operation, "layer_norm_affine_f16");
    }
  }
  ASSERT_EQ(w.layer_phases.size(), w.config.layers);
  EXPECT_EQ(w.layer_phases.back().second + 1, phases.size());
  EXPECT_EQ(w.residual_add_phases.back(), w.layer_phases.back().second - 1);

  // Tiles without exchange work have inactive rows: in the empty exchange every tile does.
  for (const auto& program : w.programs) {
    for (const auto& step : program.steps) {
      const auto* exchange = std::get_if<LoweredTileStep::Exchange>(&step);
      if (exchange == nullptr || exchange->phase != w.residual_add_phases[0] - 1) continue;
      ASSERT_TRUE(exchange::is_inactive_row(*exchange->row));
    }
  }
  // Tiles past the residual stream's rows idle in the residual additions.
  const auto& last = w.programs.back();
  const auto idle = std::find_if(last.steps.begin(), last.steps.end(), [&](const auto& step) {
    return compiler::lowered_step_phase(step) == w.residual_add_phases[0];
  });
  ASSERT_NE(idle, last.steps.end());
  EXPECT_TRUE(std::holds_alternative<LoweredTileStep::IdleCompute>(*idle));
}

TEST(EncoderWorkload, HostBindingSlicesNamePhysicalTiles) {
  const EncoderWorkload& w = card();
  const auto topology = exchange::Topology::zelk();
  ASSERT_EQ(w.graph.host_inputs.size(), 1u);
  const auto& input = w.graph.host_inputs[0];
  ASSERT_EQ(input.slices.size(), 729u);
  std::uint64_t bytes = 0;
  for (std::uint16_t s = 0; s < input.slices.size(); ++s) {
    EXPECT_EQ(input.slices[s].tile, topology.logical_to_physical[s]);
    EXPECT_EQ(input.slices[s].file_offset, bytes);
    bytes += input.slices[s].size;
  }
  EXPECT_EQ(bytes, 729u * 1152 * 2);
  EXPECT_EQ(w.graph.host_weights.at(0).slices.size(), 1472u);
  EXPECT_EQ(w.graph.host_outputs.at(0), w.graph.outputs.at(0));
  EXPECT_EQ(w.graph.initial_buffers.size(), 1472u);
}

TEST(EncoderWorkload, SharesRowsAndCommandsWithTheSchedule) {
  const EncoderWorkload& w = card();
  // The inactive row is one record for the whole card.
  const std::vector<std::uint32_t>* inactive = nullptr;
  for (const auto& program : w.programs) {
    for (const auto& step : program.steps) {
      const auto* exchange = std::get_if<LoweredTileStep::Exchange>(&step);
      if (exchange == nullptr || !exchange::is_inactive_row(*exchange->row)) continue;
      if (inactive == nullptr) inactive = exchange->row.get();
      ASSERT_EQ(exchange->row.get(), inactive);
    }
  }
  // A lowered command holds the schedule's own record.
  const auto& qkv = std::get<Phase::Compute>(w.graph.schedule.phases[2]);
  const auto& first = w.programs[0].steps;
  const auto found = std::find_if(first.begin(), first.end(), [](const auto& step) {
    return std::holds_alternative<LoweredTileStep::Compute>(step) &&
           compiler::lowered_step_phase(step) == 2;
  });
  ASSERT_NE(found, first.end());
  EXPECT_EQ(std::get<LoweredTileStep::Compute>(*found).command->command.get(),
            qkv.commands[0].get());
}

TEST(EncoderWorkload, IsDeterministic) {
  EXPECT_EQ(generate(SMALL), generate(SMALL));
  const EncoderWorkload other = generate(EncoderConfig{.layers = 3, .tiles = 48, .tokens = 41});
  EXPECT_NE(generate(SMALL).graph, other.graph);
}

TEST(EncoderWorkload, SmallerAndLargerInstancesAreWellFormed) {
  for (const EncoderConfig& config : {
           EncoderConfig{
               .layers = 1, .tiles = 1, .tokens = 4, .width = 128, .mlp_width = 200, .heads = 2},
           EncoderConfig{.layers = 2, .tiles = 16, .tokens = 32},
           EncoderConfig{.layers = 2, .tiles = 64, .tokens = 16},
           EncoderConfig{.layers = 4, .tiles = 1472, .tokens = 729},
       }) {
    SCOPED_TRACE(config.tiles);
    expect_well_formed(generate(config));
  }
}

TEST(EncoderWorkload, RejectsConfigurationsItCannotBuild) {
  const struct {
    EncoderConfig config;
    std::string message;
  } cases[] = {
      {{.layers = 0}, "encoder workload needs at least one layer, tile, token and head"},
      {{.tiles = 0}, "encoder workload needs at least one layer, tile, token and head"},
      {{.heads = 0}, "encoder workload needs at least one layer, tile, token and head"},
      {{.tiles = 1473}, "encoder workload has 1473 tiles but the zelk card has 1472"},
      {{.width = 1000}, "encoder width 1000 must be a multiple of 128 and of the head count 16"},
      {{.width = 1152, .heads = 7},
       "encoder width 1152 must be a multiple of 128 and of the head count 7"},
      {{.layers = 1, .tiles = 4, .tokens = 729},
       "encoder does not fit tile memory: 7134208 bytes per tile are needed"},
  };
  for (const auto& c : cases) {
    const auto result = workload::generate_encoder(c.config);
    ASSERT_FALSE(result.has_value()) << c.message;
    EXPECT_EQ(result.error().message, c.message);
  }
}

// Defers every residual addition and fuses it into the LayerNorm after it, last layer first so
// that the phases a fusion looks at are still numbered as generated; then renumbers the live
// ranges for the removed phases.
void defer_and_fuse(EncoderWorkload& w) {
  auto& schedule = w.graph.schedule;
  std::vector<std::size_t> removed;
  for (auto add = w.residual_add_phases.rbegin(); add != w.residual_add_phases.rend(); ++add) {
    std::vector<Phase> tail(std::make_move_iterator(schedule.phases.begin() + *add + 1),
                            std::make_move_iterator(schedule.phases.end()));
    schedule.phases.resize(*add + 1);
    auto deferred = runtime::siglip::defer_terminal_residual_add(schedule);
    ASSERT_TRUE(deferred.has_value()) << deferred.error().message;
    ASSERT_TRUE(deferred->has_value());
    const std::size_t next = schedule.phases.size();
    for (auto& phase : tail) schedule.phases.push_back(std::move(phase));
    auto fused = runtime::siglip::fuse_deferred_residual_into_layer_norm(schedule, next,
                                                                         std::move(**deferred));
    ASSERT_TRUE(fused.has_value()) << fused.error().message;
    removed.push_back(*add - 1);
    removed.push_back(*add);
  }
  std::sort(removed.begin(), removed.end());
  const auto renumber = [&](std::size_t& phase) {
    if (phase == LIVE_TO_END) return;
    phase -= static_cast<std::size_t>(std::lower_bound(removed.begin(), removed.end(), phase) -
                                      removed.begin());
  };
  for (auto& a : schedule.allocations) {
    renumber(a.live_from);
    renumber(a.live_until);
    if (auto* staging = std::get_if<AllocationKind::ExchangeStaging>(&a.kind)) {
      renumber(staging->phase);
    }
  }
}

TEST(EncoderWorkload, ResidualAdditionsDeferAndFuseIntoTheNextLayerNorm) {
  EncoderWorkload w = generate(SMALL);
  const std::size_t phases = w.graph.schedule.phases.size();
  defer_and_fuse(w);
  const auto& schedule = w.graph.schedule;
  ASSERT_EQ(schedule.phases.size(), phases - 2 * w.residual_add_phases.size());
  std::size_t fused = 0;
  for (const auto& phase : schedule.phases) {
    const auto* compute = std::get_if<Phase::Compute>(&phase);
    if (compute == nullptr) continue;
    for (const auto& c : compute->commands) {
      ASSERT_NE(c->specialization.operation, "add_f16");
      if (c->specialization.operation == "add_layer_norm_affine_f16") {
        ++fused;
        ASSERT_EQ(c->inputs.size(), 3u);
      }
    }
  }
  EXPECT_EQ(fused, w.residual_add_phases.size() * 40);
  EXPECT_TRUE(schedule.validate_allocations().has_value());
  // The lowered programs keep the unfused commands they share.
  const EncoderWorkload original = generate(SMALL);
  EXPECT_EQ(w.programs, original.programs);
}

// Overlaps between regions of one tile that live at the same time: only an alias and what it
// aliases, or a staging allocation and the transfer that stages into it, may share bytes.
std::size_t overlapping_live_regions(const package::memory_profile::TileMemory& tile) {
  std::size_t overlaps = 0;
  const auto& regions = tile.regions;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    for (std::size_t j = i + 1; j < regions.size(); ++j) {
      const auto& a = regions[i];
      const auto& b = regions[j];
      if (b.address >= a.address + a.size) break;  // sorted by address
      if (a.category == package::memory_profile::HOME_ALIAS_CATEGORY ||
          b.category == package::memory_profile::HOME_ALIAS_CATEGORY || a.tensor == b.tensor) {
        continue;
      }
      if (a.live_from < b.live_until && b.live_from < a.live_until &&
          runtime::ranges_overlap(a.address, a.address + a.size, b.address, b.address + b.size)) {
        ++overlaps;
      }
    }
  }
  return overlaps;
}

TEST(EncoderWorkload, RelocatesOutOfExecutableReservationsAndProfilesWithoutOverlaps) {
  EncoderWorkload w = generate(SMALL);
  const auto topology = exchange::Topology::zelk();
  // Every tile's executable needs two elements where the accumulators were placed.
  std::vector<runtime::TileReservations> reservations(topology.tile_count(),
                                                      {{0x50000, 0x54000}, {0x58000, 0x5C000}});
  const runtime::ExecutableGraph before = w.graph;
  const auto moved =
      runtime::relocate_transient_allocations_for_executables(w.graph, topology, reservations);
  ASSERT_TRUE(moved.has_value()) << moved.error().message;
  EXPECT_GT(*moved, 100u);
  ASSERT_TRUE(w.graph.schedule.validate_allocations().has_value());
  for (const auto& a : w.graph.schedule.allocations) {
    if (!std::holds_alternative<AllocationKind::Home>(a.kind) || a.live_until == LIVE_TO_END)
      continue;
    const std::uint32_t first = a.address & ~0x3FFFu;
    const std::uint32_t last = (a.address + a.size + 0x3FFF) & ~0x3FFFu;
    ASSERT_FALSE(runtime::ranges_overlap(first, last, 0x50000, 0x54000)) << a.tensor.value;
    ASSERT_FALSE(runtime::ranges_overlap(first, last, 0x58000, 0x5C000)) << a.tensor.value;
  }
  EXPECT_NE(before.schedule.allocations, w.graph.schedule.allocations);

  for (const runtime::ExecutableGraph* graph : {&before, &std::as_const(w.graph)}) {
    const auto profile = runtime::allocator_memory_profile(*graph);
    ASSERT_TRUE(profile.has_value()) << profile.error().message;
    ASSERT_EQ(profile->tiles.size(), SMALL.tiles);
    for (const auto& tile : profile->tiles) {
      EXPECT_EQ(overlapping_live_regions(tile), 0u) << "tile " << tile.logical_tile;
      EXPECT_EQ(tile.physical_tile, topology.logical_to_physical[tile.logical_tile]);
    }
  }
  // The profile names regions for people: the input binding, GEMM blocks, staged inputs.
  const auto profile = runtime::allocator_memory_profile(w.graph);
  const auto& regions = profile->tiles[0].regions;
  const auto named = [&](const std::string& name) {
    return std::any_of(regions.begin(), regions.end(),
                       [&](const auto& r) { return r.name == name; });
  };
  EXPECT_TRUE(named("patch_embeddings"));
  EXPECT_TRUE(named("last_hidden_state"));
  EXPECT_TRUE(named("weights"));
  EXPECT_TRUE(named("GEMM accumulator block (0, 0)"));
  EXPECT_TRUE(named("input to qkv projection"));
}

}  // namespace

namespace {

// Plans the layer template of `tile` with one plan address per exchange step (the same for the
// same step of every layer) and the lowered rows as plan rows.
quarn::runtime::Result<quarn::runtime::static_codegen::StaticTemplatePlans> plan_layer_template(
    const EncoderWorkload& w, std::size_t tile) {
  const auto& program = w.programs[tile];
  std::vector<std::uint32_t> addresses;
  std::vector<std::vector<std::uint32_t>> rows;
  std::size_t in_layer = 0;
  std::size_t layer = 0;
  for (const auto& step : program.steps) {
    const auto* exchange = std::get_if<LoweredTileStep::Exchange>(&step);
    if (exchange == nullptr) continue;
    const std::size_t l = exchange->phase / workload::LAYER_PHASES;
    if (l != layer) in_layer = 0;
    layer = l;
    addresses.push_back(0xC0000 + 16 * static_cast<std::uint32_t>(in_layer++));
    rows.push_back(*exchange->row);
  }
  return quarn::runtime::static_codegen::plan_static_templates(
      program, addresses, rows, {}, std::span(&w.template_regions[tile], 1), 0xD0000, true);
}

TEST(EncoderWorkload, OneLayerTemplatePerTilePlansEveryLayer) {
  const EncoderWorkload w = generate(SMALL);
  ASSERT_EQ(w.template_regions.size(), SMALL.tiles);
  for (std::size_t t : {std::size_t{0}, std::size_t{39}, std::size_t{47}}) {
    const auto& region = w.template_regions[t];
    EXPECT_EQ(region.name, "encoder_layer");
    EXPECT_EQ(region.phase_instances, w.layer_phases);
    const auto planned = plan_layer_template(w, t);
    ASSERT_TRUE(planned.has_value()) << planned.error().message;
    ASSERT_EQ(planned->plans.size(), 1u);
    const auto& plan = planned->plans[0];
    EXPECT_EQ(plan.instance_steps.size(), SMALL.layers);
    EXPECT_EQ(plan.instance_steps.front().first, 0u);
    // The final LayerNorm is the one step after the last layer.
    EXPECT_EQ(plan.instance_steps.back().second + 1, w.programs[t].steps.size());
    EXPECT_EQ(plan.patches.size(), SMALL.layers + 1);
  }
}

}  // namespace
