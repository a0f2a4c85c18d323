#include "quarn/runtime/profile/decode.hpp"

#include <limits>
#include <optional>

namespace quarn::runtime {

namespace {

// The unsigned 32-bit little-endian value at `bytes[offset]`, assembled byte by byte so that
// neither the host's byte order nor the alignment of `offset` matters.
std::uint32_t read_u32_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

// (N + 1) × 4 or N × 8, or nothing when it is not a machine word.
std::optional<std::size_t> block_size(std::size_t steps, bool boundary_samples) {
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  if (boundary_samples) {
    if (steps == max || steps + 1 > max / 4) return std::nullopt;
    return (steps + 1) * 4;
  }
  if (steps > max / 8) return std::nullopt;
  return steps * 8;
}

}  // namespace

Result<package::ProfileReport> ProfileLayout::decode(std::span<const std::uint8_t> output,
                                                     std::uint64_t clock_hz) const {
  if (output_offset > output.size()) return fail("profile output offset exceeds host result");
  const std::span<const std::uint8_t> area = output.subspan(output_offset);

  package::ProfileReport report;
  report.clock_hz = clock_hz;
  report.tiles.reserve(tiles.size());
  for (const ProfileTileLayout& tile : tiles) {
    const std::optional<std::size_t> size = block_size(tile.steps.size(), tile.boundary_samples);
    if (!size) return fail("profile sample size overflow");
    // Compared without forming file_offset + size, which may not be a machine word.
    if (tile.file_offset > area.size() || *size > area.size() - tile.file_offset) {
      return fail("profile tile range exceeds host result");
    }
    const std::span<const std::uint8_t> block = area.subspan(tile.file_offset, *size);

    package::TileProfile profile;
    profile.physical_tile = tile.physical_tile;
    profile.samples.reserve(tile.steps.size());
    for (std::size_t i = 0; i < tile.steps.size(); ++i) {
      const std::size_t start = tile.boundary_samples ? 4 * i : 8 * i;
      const std::size_t end = tile.boundary_samples ? 4 * (i + 1) : 8 * i + 4;
      profile.samples.push_back(package::CycleSample{
          .step = tile.steps[i],
          .start_cycle = read_u32_le(block, start),
          .end_cycle = read_u32_le(block, end),
      });
    }
    report.tiles.push_back(std::move(profile));
  }
  return report;
}

}  // namespace quarn::runtime
