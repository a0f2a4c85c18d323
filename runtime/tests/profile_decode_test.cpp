#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "quarn/runtime/profile/decode.hpp"

namespace {

using namespace quarn;
using package::ProfileStep;
using runtime::ProfileLayout;
using runtime::ProfileTileLayout;
using Bytes = std::vector<std::uint8_t>;
using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

std::vector<ProfileStep> steps(std::size_t count) {
  std::vector<ProfileStep> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i].local_index = static_cast<std::uint32_t>(i);
    out[i].operation = "step " + std::to_string(i);
  }
  return out;
}

ProfileTileLayout tile(std::uint32_t physical, std::size_t file_offset, std::size_t step_count,
                       bool boundary_samples) {
  return ProfileTileLayout{.physical_tile = physical,
                           .file_offset = file_offset,
                           .steps = steps(step_count),
                           .boundary_samples = boundary_samples};
}

Pairs cycles(const package::TileProfile& profile) {
  Pairs out;
  for (const auto& sample : profile.samples) out.emplace_back(sample.start_cycle, sample.end_cycle);
  return out;
}

const Bytes ELEVEN_23_47 = {0x0B, 0, 0, 0, 0x17, 0, 0, 0, 0x2F, 0, 0, 0};

TEST(ProfileDecode, BoundarySamplesShareReadings) {
  const ProfileLayout layout{.output_offset = 0, .tiles = {tile(7, 0, 2, true)}};
  const auto report = layout.decode(ELEVEN_23_47, 1500000000);
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_EQ(report->clock_hz, 1500000000u);
  ASSERT_EQ(report->tiles.size(), 1u);
  EXPECT_EQ(report->tiles[0].physical_tile, 7u);
  EXPECT_EQ(cycles(report->tiles[0]), (Pairs{{11, 23}, {23, 47}}));
  EXPECT_EQ(report->tiles[0].samples[1].step, layout.tiles[0].steps[1]);
}

TEST(ProfileDecode, PairSamples) {
  const ProfileLayout layout{.output_offset = 0, .tiles = {tile(7, 0, 2, false)}};
  const auto short_block = layout.decode(ELEVEN_23_47, 1);
  ASSERT_FALSE(short_block);
  EXPECT_EQ(short_block.error().message, "profile tile range exceeds host result");

  // An end below its start is stored as read.
  const Bytes pairs = {1, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, 3, 0, 0, 0};
  const auto report = layout.decode(pairs, 1);
  ASSERT_TRUE(report);
  EXPECT_EQ(cycles(report->tiles[0]), (Pairs{{1, 2}, {4, 3}}));
}

TEST(ProfileDecode, ReadsLittleEndianAtAnyAlignment) {
  // Profile area from byte 1; tile block at area offset 2, so the values lie at odd addresses.
  Bytes output = {0xEE, 0xEE, 0xEE, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE};
  const ProfileLayout layout{.output_offset = 1, .tiles = {tile(3, 2, 1, true)}};
  const auto report = layout.decode(output, 0);
  ASSERT_TRUE(report);
  EXPECT_EQ(cycles(report->tiles[0]), (Pairs{{0x12345678, 0xFFFFFFFF}}));
}

TEST(ProfileDecode, TilesInAnyOrderAndOverlapping) {
  // Two tiles whose blocks lie in reverse order and share the reading 23; a third reads the same
  // bytes as pairs. The report follows the layout's order.
  const ProfileLayout layout{
      .output_offset = 0,
      .tiles = {tile(9, 4, 1, true), tile(2, 0, 1, true), tile(5, 0, 1, false)}};
  const auto report = layout.decode(ELEVEN_23_47, 0);
  ASSERT_TRUE(report);
  ASSERT_EQ(report->tiles.size(), 3u);
  EXPECT_EQ(report->tiles[0].physical_tile, 9u);
  EXPECT_EQ(cycles(report->tiles[0]), (Pairs{{23, 47}}));
  EXPECT_EQ(cycles(report->tiles[1]), (Pairs{{11, 23}}));
  EXPECT_EQ(cycles(report->tiles[2]), (Pairs{{11, 23}}));
}

TEST(ProfileDecode, EmptyBlocksAndOffsets) {
  struct Case {
    const char* what;
    ProfileLayout layout;
    std::size_t output_length;
    const char* error;  // null: succeeds
  };
  const std::size_t max = std::numeric_limits<std::size_t>::max();
  const Case cases[] = {
      {"no tiles", {0, {}}, 0, nullptr},
      {"no steps with boundaries needs one reading",
       {0, {tile(1, 0, 0, true)}},
       3,
       "profile tile range exceeds host result"},
      {"no steps with boundaries, one reading", {0, {tile(1, 0, 0, true)}}, 4, nullptr},
      {"no steps without boundaries needs nothing", {0, {tile(1, 0, 0, false)}}, 0, nullptr},
      {"offset one past the end", {13, {}}, 12, "profile output offset exceeds host result"},
      {"offset at the end, empty block", {12, {tile(1, 0, 0, false)}}, 12, nullptr},
      {"offset at the end, empty block beyond it",
       {12, {tile(1, 1, 0, false)}},
       12,
       "profile tile range exceeds host result"},
      {"block offset past the area",
       {4, {tile(1, 9, 0, false)}},
       12,
       "profile tile range exceeds host result"},
      {"block end wraps the machine word",
       {0, {tile(1, max - 3, 1, true)}},
       12,
       "profile tile range exceeds host result"},
      {"block at the largest offset",
       {0, {tile(1, max, 0, true)}},
       12,
       "profile tile range exceeds host result"},
      {"later tile out of range",
       {0, {tile(1, 0, 2, true), tile(2, 8, 1, false)}},
       12,
       "profile tile range exceeds host result"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes output(c.output_length, 0);
    const auto report = c.layout.decode(output, 5);
    if (c.error == nullptr) {
      ASSERT_TRUE(report) << report.error().message;
      EXPECT_EQ(report->tiles.size(), c.layout.tiles.size());
      for (const auto& t : report->tiles) EXPECT_TRUE(t.samples.empty());
      EXPECT_EQ(report->clock_hz, 5u);
    } else {
      ASSERT_FALSE(report);
      EXPECT_EQ(report.error().message, c.error);
    }
  }
}

}  // namespace
