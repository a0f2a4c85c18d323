// Every public operation on the reference encoder workload at card scale, at 1x, 2x and 4x the
// layers (27, 54 and 108 layers on 1472 tiles), each next to a baseline measured in the same run
// so that the figures read as ratios: allocation checking against a sort of as many sweep events,
// relocation against a direct transcription of the algorithm that scans every allocation for
// every move, the packers against a sort of the same sizes, F143 encoding and decoding against
// memcpy of the same values. bench/run.sh prints the ratios.
//
// The benchmarks are registered size by size, so that one workload is generated per size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quarn/compiler/arena.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/package/tile_memory.hpp"
#include "quarn/runtime/blocked_data.hpp"
#include "quarn/runtime/memory/packing.hpp"
#include "quarn/runtime/memory/relocation.hpp"
#include "quarn/runtime/profile/memory_profile.hpp"
#include "quarn/runtime/profile/tile_profile.hpp"
#include "quarn/runtime/static_codegen/planner.hpp"
#include "quarn/runtime/static_codegen/run_tables.hpp"
#include "quarn/support/format.hpp"
#include "quarn/workload/encoder.hpp"
#include "reference_relocation.hpp"

namespace {

using namespace quarn::runtime;
using quarn::compiler::Allocation;
using quarn::compiler::AllocationKind;
using quarn::compiler::LIVE_TO_END;
using quarn::exchange::Topology;
using quarn::support::format;
using quarn::workload::EncoderConfig;
using quarn::workload::EncoderWorkload;

using quarn::reference::reference_relocate;

constexpr int SIZES[] = {1, 2, 4};

// The workload of `size` times 27 layers; one is kept at a time.
const EncoderWorkload& workload(int size) {
  static int cached = 0;
  static std::unique_ptr<EncoderWorkload> held;
  if (cached != size) {
    held.reset();
    auto generated = quarn::workload::generate_encoder(
        EncoderConfig{.layers = 27 * static_cast<std::size_t>(size)});
    if (!generated) throw std::runtime_error(generated.error().message);
    held = std::make_unique<EncoderWorkload>(std::move(*generated));
    cached = size;
  }
  return *held;
}

void BM_WorkloadGenerate(benchmark::State& state, int size) {
  for (auto _ : state) {
    auto generated = quarn::workload::generate_encoder(
        EncoderConfig{.layers = 27 * static_cast<std::size_t>(size)});
    if (!generated) state.SkipWithError("generation failed");
    benchmark::DoNotOptimize(generated);
  }
}

void BM_WorkloadValidateAllocations(benchmark::State& state, int size) {
  const auto& schedule = workload(size).graph.schedule;
  for (auto _ : state) {
    auto result = schedule.validate_allocations();
    if (!result) state.SkipWithError("unexpected validation failure");
    benchmark::DoNotOptimize(result);
  }
  state.counters["allocations"] = static_cast<double>(schedule.allocations.size());
}

// The floor: one start and one end event per allocation, keyed by (tile, address), sorted.
void BM_WorkloadSortSweepEvents(benchmark::State& state, int size) {
  const auto& allocations = workload(size).graph.schedule.allocations;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> events;
  for (auto _ : state) {
    events.clear();
    events.reserve(allocations.size() * 2);
    for (std::uint32_t i = 0; i < allocations.size(); ++i) {
      const Allocation& a = allocations[i];
      const std::uint64_t tile = std::uint64_t{a.tile} << 33;
      events.emplace_back(tile | (std::uint64_t{a.address} << 1) | 1, i);
      events.emplace_back(tile | ((std::uint64_t{a.address} + a.size) << 1), i);
    }
    std::sort(events.begin(), events.end());
    benchmark::DoNotOptimize(events.data());
  }
  state.counters["allocations"] = static_cast<double>(allocations.size());
}

// Every 32nd tile's executable needs the memory element holding its residual stream.
std::vector<TileReservations> card_reservations() {
  std::vector<TileReservations> reservations(quarn::exchange::ZELK_TILE_COUNT, {{0, 0}, {0, 0}});
  for (std::size_t t = 0; t < reservations.size(); t += 32) {
    reservations[t] = {{0x54000, 0x58000}, {0, 0}};
  }
  return reservations;
}

template <bool Reference>
void BM_WorkloadRelocate(benchmark::State& state, int size) {
  const auto& original = workload(size).graph;
  const Topology topology = Topology::zelk();
  const auto reservations = card_reservations();
  std::size_t moved = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ExecutableGraph graph = original;
    state.ResumeTiming();
    auto result =
        Reference ? reference_relocate(graph, topology, reservations)
                  : relocate_transient_allocations_for_executables(graph, topology, reservations);
    if (!result) {
      state.SkipWithError(result.error().message.c_str());
      break;
    }
    moved = *result;
    state.PauseTiming();
    if (Reference) {
      // Identical results: the indexed relocation gives the same graph.
      ExecutableGraph indexed = original;
      const auto again =
          relocate_transient_allocations_for_executables(indexed, topology, reservations);
      if (!again || *again != moved || !(indexed == graph)) {
        state.SkipWithError("indexed and reference relocation differ");
      }
    }
    { const ExecutableGraph discard = std::move(graph); }
    state.ResumeTiming();
  }
  state.counters["moves"] = static_cast<double>(moved);
}

void BM_WorkloadMemoryProfile(benchmark::State& state, int size) {
  const auto& graph = workload(size).graph;
  for (auto _ : state) {
    auto profile = allocator_memory_profile(graph);
    if (!profile) state.SkipWithError("unexpected memory profile failure");
    benchmark::DoNotOptimize(profile);
  }
}

// Phase granularity over every tile program.
void BM_WorkloadProfileSteps(benchmark::State& state, int size) {
  const auto& w = workload(size);
  std::size_t steps = 0;
  for (auto _ : state) {
    steps = 0;
    for (const auto& program : w.programs) {
      auto result = profile_steps(w.graph.schedule, program, ProfileGranularity::Phase);
      steps += result.steps.size();
      benchmark::DoNotOptimize(result);
    }
  }
  state.counters["profile_steps"] = static_cast<double>(steps);
}

// Per tile, every allocation's size as an object for the gaps of a wide address window (so that
// all of them fit): objects grow with the layers.
struct PackingInput {
  std::vector<std::vector<std::uint32_t>> sizes;
  std::vector<std::vector<AddressRange>> objects;
  std::vector<AddressRange> gaps;
};

PackingInput packing_input(const EncoderWorkload& w) {
  PackingInput input;
  input.sizes.resize(w.config.tiles);
  input.objects.resize(w.config.tiles);
  std::uint64_t largest = 0;
  for (const Allocation& a : w.graph.schedule.allocations) {
    input.sizes[a.tile].push_back(std::max<std::uint32_t>(a.size, 8));
    input.objects[a.tile].push_back({a.address, a.address + std::max<std::uint32_t>(a.size, 8)});
  }
  for (const auto& sizes : input.sizes) {
    std::uint64_t total = 0;
    for (const auto s : sizes) total += s + 32;
    largest = std::max(largest, total);
  }
  // 64 gaps of 64 KiB apart, holding the largest tile's objects with room to spare.
  const std::uint64_t gap = (largest * 2) / 64 + 0x10000;
  for (std::uint64_t k = 0; k < 64; ++k) {
    const std::uint64_t start = 0x1000000 + k * (gap + 0x10000);
    input.gaps.push_back(
        {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(start + gap)});
  }
  return input;
}

void BM_WorkloadPackSizedObjects(benchmark::State& state, int size) {
  const PackingInput input = packing_input(workload(size));
  for (auto _ : state) {
    for (std::uint16_t t = 0; t < input.sizes.size(); ++t) {
      auto placed = pack_sized_objects_in_gaps(t, input.sizes[t], input.gaps, 32, "static data");
      if (!placed) state.SkipWithError(placed.error().message.c_str());
      benchmark::DoNotOptimize(placed);
    }
  }
}

void BM_WorkloadPackObjects(benchmark::State& state, int size) {
  const PackingInput input = packing_input(workload(size));
  for (auto _ : state) {
    for (std::uint16_t t = 0; t < input.objects.size(); ++t) {
      auto placed = pack_objects_in_gaps(t, input.objects[t], input.gaps, "static data");
      if (!placed) state.SkipWithError(placed.error().message.c_str());
      benchmark::DoNotOptimize(placed);
    }
  }
}

// The floor of both packers: sorting the same sizes, largest first.
void BM_WorkloadSortObjectSizes(benchmark::State& state, int size) {
  const PackingInput input = packing_input(workload(size));
  std::vector<std::uint32_t> sizes;
  for (auto _ : state) {
    for (const auto& tile : input.sizes) {
      sizes.assign(tile.begin(), tile.end());
      std::sort(sizes.begin(), sizes.end(), std::greater<>());
      benchmark::DoNotOptimize(sizes.data());
    }
  }
}

// The per-layer template of every tile, with one plan address per exchange step.
void BM_WorkloadPlanStaticTemplates(benchmark::State& state, int size) {
  const auto& w = workload(size);
  std::vector<std::vector<std::uint32_t>> addresses(w.programs.size());
  std::vector<std::vector<std::vector<std::uint32_t>>> rows(w.programs.size());
  for (std::size_t t = 0; t < w.programs.size(); ++t) {
    std::size_t in_layer = 0;
    std::size_t layer = 0;
    for (const auto& step : w.programs[t].steps) {
      const auto* exchange = std::get_if<quarn::compiler::LoweredTileStep::Exchange>(&step);
      if (exchange == nullptr) continue;
      const std::size_t l = exchange->phase / quarn::workload::LAYER_PHASES;
      if (l != layer) in_layer = 0;
      layer = l;
      addresses[t].push_back(0xC0000 + 16 * static_cast<std::uint32_t>(in_layer++));
      rows[t].push_back(*exchange->row);
    }
  }
  for (auto _ : state) {
    for (std::size_t t = 0; t < w.programs.size(); ++t) {
      auto planned = static_codegen::plan_static_templates(w.programs[t], addresses[t], rows[t], {},
                                                           std::span(&w.template_regions[t], 1),
                                                           0xD0000, true);
      if (!planned) state.SkipWithError(planned.error().message.c_str());
      benchmark::DoNotOptimize(planned);
    }
  }
}

void BM_WorkloadPlanExchangeComputeRuns(benchmark::State& state, int size) {
  const auto& w = workload(size);
  std::vector<std::vector<std::uint32_t>> addresses(w.programs.size());
  for (std::size_t t = 0; t < w.programs.size(); ++t) {
    std::uint32_t k = 0;
    for (const auto& step : w.programs[t].steps) {
      if (std::holds_alternative<quarn::compiler::LoweredTileStep::Exchange>(step)) {
        addresses[t].push_back(0xC0000 + 16 * (k++ % 256));
      }
    }
  }
  for (auto _ : state) {
    for (std::size_t t = 0; t < w.programs.size(); ++t) {
      auto runs =
          static_codegen::plan_exchange_compute_runs(w.programs[t], addresses[t], 0xD0000, true);
      if (!runs) state.SkipWithError(runs.error().message.c_str());
      benchmark::DoNotOptimize(runs);
    }
  }
}

// F143 over as many values as the encoder's activations for all its layers (tokens x width x
// layers), one scale per 64-value block.
std::vector<float> activation_values(int size) {
  std::mt19937 random(143);
  std::normal_distribution<float> normal(0.0f, 40.0f);
  std::vector<float> values(std::size_t{729} * 1152 * 27 * static_cast<std::size_t>(size) / 4);
  for (auto& v : values) v = normal(random);
  return values;
}

constexpr std::size_t F143_BLOCK = 64;

void BM_WorkloadF143Encode(benchmark::State& state, int size) {
  const std::vector<float> values = activation_values(size);
  std::vector<std::uint8_t> bytes(values.size());
  std::vector<std::int8_t> scales(values.size() / F143_BLOCK + 1);
  for (auto _ : state) {
    for (std::size_t b = 0; b * F143_BLOCK < values.size(); ++b) {
      const std::size_t first = b * F143_BLOCK;
      const std::size_t count = std::min(F143_BLOCK, values.size() - first);
      const std::int8_t scale = blocked_data::f143_scale({values.data() + first, count});
      scales[b] = scale;
      for (std::size_t i = first; i < first + count; ++i) {
        bytes[i] = blocked_data::f143_from_f32(values[i], scale);
      }
    }
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * values.size() * 4));
}

void BM_WorkloadF143Decode(benchmark::State& state, int size) {
  const std::vector<float> values = activation_values(size);
  std::vector<std::uint8_t> bytes(values.size());
  for (std::size_t i = 0; i < values.size(); ++i)
    bytes[i] = blocked_data::f143_from_f32(values[i], 3);
  std::vector<float> decoded(values.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      decoded[i] =
          blocked_data::f143_to_f32(bytes[i], static_cast<std::int8_t>(i / F143_BLOCK % 8));
    }
    benchmark::DoNotOptimize(decoded.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * values.size() * 4));
}

// memcpy of the same float values.
void BM_WorkloadMemcpy(benchmark::State& state, int size) {
  const std::vector<float> values = activation_values(size);
  std::vector<float> copy(values.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), values.data(), values.size() * sizeof(float));
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * values.size() * 4));
}

const bool REGISTERED = [] {
  using Function = void (*)(benchmark::State&, int);
  const std::pair<const char*, Function> benchmarks[] = {
      {"BM_WorkloadGenerate", BM_WorkloadGenerate},
      {"BM_WorkloadValidateAllocations", BM_WorkloadValidateAllocations},
      {"BM_WorkloadSortSweepEvents", BM_WorkloadSortSweepEvents},
      {"BM_WorkloadRelocate", BM_WorkloadRelocate<false>},
      {"BM_WorkloadRelocateReference", BM_WorkloadRelocate<true>},
      {"BM_WorkloadMemoryProfile", BM_WorkloadMemoryProfile},
      {"BM_WorkloadProfileSteps", BM_WorkloadProfileSteps},
      {"BM_WorkloadPackSizedObjects", BM_WorkloadPackSizedObjects},
      {"BM_WorkloadPackObjects", BM_WorkloadPackObjects},
      {"BM_WorkloadSortObjectSizes", BM_WorkloadSortObjectSizes},
      {"BM_WorkloadPlanStaticTemplates", BM_WorkloadPlanStaticTemplates},
      {"BM_WorkloadPlanExchangeComputeRuns", BM_WorkloadPlanExchangeComputeRuns},
      {"BM_WorkloadF143Encode", BM_WorkloadF143Encode},
      {"BM_WorkloadF143Decode", BM_WorkloadF143Decode},
      {"BM_WorkloadMemcpy", BM_WorkloadMemcpy},
  };
  for (const int size : SIZES) {
    for (const auto& [name, function] : benchmarks) {
      auto* b = benchmark::RegisterBenchmark(format("{}/{}x", name, size).c_str(), function, size);
      b->Unit(benchmark::kMillisecond)->UseRealTime();
      if (std::string(name) == "BM_WorkloadRelocateReference" ||
          std::string(name) == "BM_WorkloadGenerate") {
        b->Iterations(1);
      }
    }
  }
  return true;
}();

}  // namespace
