// Writes a small demonstration application package to look at with the `quarn` tool:
//   quarn_package_example demo.quarn && quarn trace demo.quarn -o trace.json
#include <cstdio>
#include <limits>
#include <string>

#include "quarn/package/application_package.hpp"
#include "quarn/support/format.hpp"

using namespace quarn::package;
using quarn::support::format;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quarn_package_example PACKAGE\n");
    return 2;
  }
  ApplicationPackage package;
  package.host_inputs = {Binding{"input", "f16", {729, 1152}, {{0, 0xA0000, 0, 0x8000}}}};
  package.host_outputs = {Binding{"output", "f16", {729, 1152}, {{0, 0xC0000, 0, 0x8000}}}};
  package.profile_report.clock_hz = 1'850'000'000;
  for (std::uint32_t tile = 0; tile < 4; ++tile) {
    ProfileTileSteps steps{tile, {}};
    TileProfile samples{tile, {}};
    // Starts near the top of the 32-bit counter so that the readings wrap midway.
    std::uint32_t cycle = 0xFFFF0000u + tile * 100;
    for (std::uint32_t i = 0; i < 24; ++i) {
      const bool exchange = i % 3 == 0;
      ProfileStep step{i,
                       i / 3,
                       0,
                       exchange ? format("exchange for layer {} gemm", i / 6)
                                : format("layer {} gemm (inner)", i / 6),
                       exchange ? ProfileStepKind::Exchange : ProfileStepKind::Compute,
                       exchange ? "" : "gemm_f16",
                       {{"semantic_region", "encoder"}, {"layer", format("{}", i / 6)}}};
      const std::uint32_t length = exchange ? 3000 + tile * 50 : 12000 + (i % 5) * 700;
      samples.samples.push_back(CycleSample{step, cycle, cycle + length});
      cycle += length;
      steps.steps.push_back(std::move(step));
    }
    package.profile_steps.push_back(std::move(steps));
    package.profile_report.tiles.push_back(std::move(samples));
  }
  memory_profile::TileMemory tile0{0, 0, {}};
  tile0.regions.push_back(
      {0xA0000, 0x8000, "home", "input", 1, 0, std::numeric_limits<std::size_t>::max()});
  tile0.regions.push_back({0xC0000, 0x8000, "home", "output", 2, 6, 12});
  for (std::uint32_t layer = 0; layer < 4; ++layer) {
    tile0.regions.push_back({0x88000 + layer * 0x4000, 0x3000, "exchange_staging",
                             format("input to layer {} gemm", layer), 10 + layer, layer * 3,
                             layer * 3 + 1});
    tile0.regions.push_back({0x60000 + layer * 0x2000, 0x1800, "home",
                             format("GEMM accumulator block ({}, 0)", layer), 20 + layer, layer * 3,
                             layer * 3 + 3});
    tile0.regions.push_back({0x60000 + layer * 0x2000, 0x400, "home_alias",
                             format("tensor {} alias of {}", 30 + layer, 20 + layer), 30 + layer,
                             layer * 3 + 1, layer * 3 + 2});
  }
  package.memory_profile.tiles = {tile0, memory_profile::TileMemory{1, 1, {}}};
  if (auto written = write_application_package(package, argv[1]); !written) {
    std::fprintf(stderr, "%s\n", written.error().message.c_str());
    return 1;
  }
  return 0;
}
