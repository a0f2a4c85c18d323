#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quarn/exchange/error.hpp"
#include "quarn/exchange/instructions.hpp"
#include "quarn/exchange/topology.hpp"

namespace quarn::exchange {
namespace {

TEST(ZelkMap, KnownTiles) {
  const std::pair<std::uint16_t, std::uint16_t> cases[] = {
      {0, 0},     {1, 2},  {2, 64}, {3, 66}, {44, 1408}, {45, 1410}, {46, 1409},
      {47, 1411}, {90, 1}, {91, 3}, {92, 4}, {93, 6},    {1470, 61}, {1471, 63},
  };
  for (const auto& [logical, physical] : cases) {
    EXPECT_EQ(zelk_logical_to_physical(logical), physical) << "logical " << logical;
  }
}

TEST(ZelkMap, IsABijectionOfTheCard) {
  std::vector<int> seen(ZELK_TILE_COUNT, 0);
  for (std::uint16_t logical = 0; logical < ZELK_TILE_COUNT; ++logical) {
    const std::uint16_t physical = zelk_logical_to_physical(logical);
    ASSERT_LT(physical, ZELK_TILE_COUNT);
    ++seen[physical];
  }
  for (std::size_t physical = 0; physical < seen.size(); ++physical) {
    EXPECT_EQ(seen[physical], 1) << "physical " << physical;
  }
}

TEST(Topology, ZelkMapsAndRangeChecks) {
  const Topology zelk = Topology::zelk();
  EXPECT_EQ(zelk.tile_count(), 1472u);
  EXPECT_EQ(zelk.physical(1471), 63);
  const auto outside = zelk.physical(1472);
  ASSERT_FALSE(outside);
  EXPECT_EQ(outside.error(), ExchangeError{ExchangeError::Tile{1472}});
  EXPECT_EQ(to_string(outside.error()), "logical tile 1472 is out of range");
  EXPECT_FALSE(Topology{}.physical(0));
}

TEST(Sans, EncodesTheSelector) {
  EXPECT_EQ(sans(0), 0x40C00000u);
  EXPECT_EQ(sans(1), 0x40C00001u);
  EXPECT_EQ(sans(255), 0x40C000FFu);
}

TEST(InactiveRow, OnlyAFirstWordOfSansZero) {
  using Row = std::vector<std::uint32_t>;
  EXPECT_TRUE(is_inactive_row(Row{0x40C00000}));
  EXPECT_TRUE(is_inactive_row(Row{0x40C00000, 0x40C00001}));
  EXPECT_FALSE(is_inactive_row(Row{0x40C00001}));
  EXPECT_FALSE(is_inactive_row(Row{0x40C00001, 0x40C00000}));
  EXPECT_FALSE(is_inactive_row(Row{}));
}

TEST(ExchangeError, TextsAndDebugNames) {
  struct Case {
    ExchangeError error;
    const char* text;
    const char* debug;
  };
  const Case cases[] = {
      {ExchangeError::Tile{7}, "logical tile 7 is out of range", "Tile(7)"},
      {ExchangeError::DuplicateTile{}, "exchange endpoints must be distinct", "DuplicateTile"},
      {ExchangeError::Count{0}, "exchange count 0 is outside 1..=4148", "Count(0)"},
      {ExchangeError::ReceiverSet{}, "invalid multicast receiver set", "ReceiverSet"},
      {ExchangeError::Schedule{"two senders"}, "exchange schedule is not encodable: two senders",
       "Schedule(\"two senders\")"},
      {ExchangeError::Address{0x9C000}, "tile address 0x9c000 is not encodable", "Address(638976)"},
      {ExchangeError::HostPacket{}, "host exchange address or length is not encodable",
       "HostPacket"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_string(c.error), c.text);
    EXPECT_EQ(debug_string(c.error), c.debug);
  }
}

}  // namespace
}  // namespace quarn::exchange
