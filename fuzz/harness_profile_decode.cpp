// ProfileLayout::decode on arbitrary host results and layouts. Failure: exactly the message of
// the first broken condition (offset past the result, then each tile's block in order outside the
// profile area). Success: one tile per layout in order, one sample per step, and every reading
// equal to a direct little-endian re-reading of the bytes at the block's position.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/runtime/profile/decode.hpp"

using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;
using namespace quarn::runtime;

namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | bytes.at(at + static_cast<std::size_t>(i));
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  ProfileLayout layout;
  const std::uint32_t tile_count = in.below(5);
  const std::uint8_t offset_mode = in.below(16);
  const std::uint32_t offset_pick = in.u16();
  std::vector<std::uint32_t> offset_picks;
  for (std::uint32_t t = 0; t < tile_count; ++t) {
    ProfileTileLayout tile;
    tile.physical_tile = in.u32();
    tile.boundary_samples = in.boolean();
    const std::uint32_t steps = in.below(6);
    for (std::uint32_t s = 0; s < steps; ++s) {
      quarn::package::ProfileStep step;
      step.local_index = s;
      step.phase = in.below(4);
      step.operation = "step " + std::to_string(s);
      step.kind = static_cast<quarn::package::ProfileStepKind>(in.below(4));
      tile.steps.push_back(step);
    }
    const std::uint8_t mode = in.below(16);
    const std::uint32_t pick = in.u16();
    tile.file_offset = mode == 0 ? std::numeric_limits<std::size_t>::max() - pick % 64 : pick;
    offset_picks.push_back(mode == 0 ? 0 : 1);
    layout.tiles.push_back(std::move(tile));
  }
  const std::uint64_t clock = in.u64();
  const auto rest = in.rest();
  const std::vector<std::uint8_t> output(rest.begin(), rest.end());
  // Offsets are taken modulo a little more than the result, so all three outcomes are common.
  layout.output_offset = offset_mode == 0 ? std::numeric_limits<std::size_t>::max()
                                          : offset_pick % (output.size() + 4);
  for (std::size_t t = 0; t < layout.tiles.size(); ++t) {
    if (offset_picks[t] != 0) layout.tiles[t].file_offset %= output.size() + 8;
  }

  const auto report = layout.decode(output, clock);

  std::string expected;
  if (layout.output_offset > output.size()) {
    expected = "profile output offset exceeds host result";
  } else {
    const std::size_t area = output.size() - layout.output_offset;
    for (const ProfileTileLayout& tile : layout.tiles) {
      const std::size_t block =
          tile.boundary_samples ? (tile.steps.size() + 1) * 4 : tile.steps.size() * 8;
      if (tile.file_offset > area || block > area - tile.file_offset) {
        expected = "profile tile range exceeds host result";
        break;
      }
    }
  }
  if (!expected.empty()) {
    require(!report.has_value(), "an impossible layout decoded");
    require(report.error().message == expected, "failure message");
    return 0;
  }
  require(report.has_value(), "a layout inside the result was refused");
  require(report->clock_hz == clock, "clock");
  require(report->tiles.size() == layout.tiles.size(), "tile count");
  for (std::size_t t = 0; t < layout.tiles.size(); ++t) {
    const ProfileTileLayout& tile = layout.tiles[t];
    const auto& got = report->tiles[t];
    require(got.physical_tile == tile.physical_tile, "physical tile");
    require(got.samples.size() == tile.steps.size(), "sample count");
    const std::size_t at = layout.output_offset + tile.file_offset;
    for (std::size_t i = 0; i < tile.steps.size(); ++i) {
      require(got.samples[i].step == tile.steps[i], "step copied");
      const std::size_t start = tile.boundary_samples ? at + 4 * i : at + 8 * i;
      const std::size_t end = tile.boundary_samples ? at + 4 * (i + 1) : at + 8 * i + 4;
      require(got.samples[i].start_cycle == le32(output, start), "start reading");
      require(got.samples[i].end_cycle == le32(output, end), "end reading");
    }
  }
  return 0;
}
