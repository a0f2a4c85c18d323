// Application package writing and reading at card scale: a 1472-tile memory profile with a few
// hundred regions per tile, and a profile report of about three million samples.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "quarn/package/application_package.hpp"
#include "quarn/support/format.hpp"

namespace {

using namespace quarn::package;
using quarn::support::format;
using quarn::support::Hex;

constexpr std::uint32_t TILES = 1472;

ApplicationPackage memory_package(std::uint32_t regions_per_tile) {
  ApplicationPackage package;
  package.memory_profile.tiles.reserve(TILES);
  for (std::uint32_t tile = 0; tile < TILES; ++tile) {
    memory_profile::TileMemory entry{
        static_cast<std::uint16_t>(tile), static_cast<std::uint16_t>(tile ^ 1), {}};
    entry.regions.reserve(regions_per_tile);
    for (std::uint32_t r = 0; r < regions_per_tile; ++r) {
      const std::size_t tensor = std::size_t{tile} * regions_per_tile + r;
      entry.regions.push_back(memory_profile::MemoryRegion{
          0x4C000 + r * 0x800, 0x800, r % 3 == 0 ? "home" : "exchange_staging",
          r % 3 == 0 ? format("output of layer {} GeLU", r / 10) : format("tensor {} home", tensor),
          tensor, r / 4, r / 4 + 3});
    }
    package.memory_profile.tiles.push_back(std::move(entry));
  }
  return package;
}

ApplicationPackage profile_package(std::uint32_t steps_per_tile) {
  ApplicationPackage package;
  package.profile_report.clock_hz = 1'850'000'000;
  for (std::uint32_t tile = 0; tile < TILES; ++tile) {
    ProfileTileSteps list{tile, {}};
    TileProfile samples{tile, {}};
    list.steps.reserve(steps_per_tile);
    samples.samples.reserve(steps_per_tile);
    std::uint32_t cycle = tile * 7;
    for (std::uint32_t i = 0; i < steps_per_tile; ++i) {
      ProfileStep step{
          i,          i / 2, 0, format("layer {} gemm (inner)", i / 60), ProfileStepKind::Compute,
          "gemm_f16", {}};
      step.metadata = {{"role", "inner"},
                       {"shape", "64x64x64"},
                       {"worker_count", "6"},
                       {"output_tensor", format("{}", i)},
                       {"output_address", format("0x{}", Hex{0x60000 + i * 16})},
                       {"label", format("layer {} qkv", i / 60)},
                       {"semantic_region", "encoder"}};
      samples.samples.push_back(CycleSample{step, cycle, cycle + 400 + i % 50});
      cycle += 450;
      list.steps.push_back(std::move(step));
    }
    package.profile_steps.push_back(std::move(list));
    package.profile_report.tiles.push_back(std::move(samples));
  }
  return package;
}

std::filesystem::path bench_path(const char* name) {
  return std::filesystem::temp_directory_path() /
         (std::string(name) + "-" + std::to_string(::getpid()) + ".quarn");
}

void write_and_read(benchmark::State& state, const ApplicationPackage& package, bool read) {
  const auto path = bench_path(read ? "quarn-bench-read" : "quarn-bench-write");
  if (!write_application_package(package, path)) state.SkipWithError("write failed");
  for (auto _ : state) {
    if (read) {
      auto loaded = read_application_package(path);
      if (!loaded) state.SkipWithError(loaded.error().message.c_str());
      benchmark::DoNotOptimize(loaded);
    } else {
      if (!write_application_package(package, path)) state.SkipWithError("write failed");
    }
  }
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
  std::filesystem::remove(path);
}

void BM_WriteMemoryProfile(benchmark::State& state) {
  const auto package = memory_package(static_cast<std::uint32_t>(state.range(0)));
  write_and_read(state, package, false);
}
void BM_ReadMemoryProfile(benchmark::State& state) {
  const auto package = memory_package(static_cast<std::uint32_t>(state.range(0)));
  write_and_read(state, package, true);
}
void BM_WriteProfileReport(benchmark::State& state) {
  const auto package = profile_package(static_cast<std::uint32_t>(state.range(0)));
  write_and_read(state, package, false);
}
void BM_ReadProfileReport(benchmark::State& state) {
  const auto package = profile_package(static_cast<std::uint32_t>(state.range(0)));
  write_and_read(state, package, true);
}

// The floor of reading: copying the same records in memory (every allocation, no SQLite).
void BM_CopyProfileReport(benchmark::State& state) {
  const auto package = profile_package(static_cast<std::uint32_t>(state.range(0)));
  for (auto _ : state) {
    ApplicationPackage copy = package;
    benchmark::DoNotOptimize(copy);
  }
}

BENCHMARK(BM_WriteMemoryProfile)->Arg(300)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReadMemoryProfile)->Arg(300)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WriteProfileReport)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReadProfileReport)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_CopyProfileReport)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
