// Executable and data regions of one tile.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "internal_error.hpp"
#include "quarn/runtime/memory/tile_regions.hpp"

namespace {

using namespace quarn::runtime;
using quarn::compiler::Allocation;
using quarn::compiler::AllocationKind;
using quarn::compiler::TensorId;
using Ranges = std::vector<AddressRange>;

Allocation allocation(std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                      AllocationKind kind = AllocationKind::Home{}) {
  return Allocation{.tensor = TensorId{0},
                    .tile = tile,
                    .address = address,
                    .size = size,
                    .live_from = 0,
                    .live_until = 1,
                    .kind = kind};
}

TEST(PlacementTileRegions, RangesOverlapOnlyWhenSharingAnAddress) {
  EXPECT_FALSE(ranges_overlap(0, 10, 10, 20));
  EXPECT_TRUE(ranges_overlap(0, 11, 10, 20));
  EXPECT_FALSE(ranges_overlap(5, 5, 0, 10));  // an empty range inside another
  EXPECT_FALSE(ranges_overlap(0, 10, 7, 3));  // an inverted range
  EXPECT_TRUE(ranges_overlap(0, 10, 2, 3));
}

TEST(PlacementTileRegions, AllocationRangeAndAlignDown) {
  Allocation a = allocation(0, 0x60000, 4);
  EXPECT_EQ(allocation_range(a), (AddressRange{0x60000, 0x60004}));
  a.address = 0xFFFFFFF0;
  a.size = 0x0F;
  EXPECT_EQ(allocation_range(a), (AddressRange{0xFFFFFFF0, 0xFFFFFFFF}));
  a.size = 0x10;
  ASSERT_FALSE(allocation_range(a));
  EXPECT_EQ(allocation_range(a).error().message, "allocation address overflow");
  EXPECT_EQ(align_down(0x63FFF, 0x4000), 0x60000u);
  EXPECT_EQ(quarn::test_support::internal_error_text([] { return align_down(1, 3); }),
            "assertion failed: alignment.is_power_of_two()");
}

TEST(PlacementTileRegions, EmptyTileMemoryMap) {
  EXPECT_EQ(executable_regions_for_tile({}, 0x58000, {}), (Ranges{{0x58000, 0x80000}}));
  // Data blocks: the first interval is the 0x3FE8 bytes above the first fixed reservation.
  EXPECT_EQ(data_region_base_for_tile({}, 0, 0x58000, 0x3FE8, 1, {}), 0x4C018u);
  EXPECT_EQ(data_region_base_for_tile({}, 0, 0x58000, 0x3FE9, 1, {}), 0x58000u);
  const auto whole = data_region_base_for_tile({}, 0, 0x58000, 0x90001, 1, {});
  ASSERT_FALSE(whole);
  EXPECT_EQ(whole.error().message,
            "no tile-memory interval can hold 589825 bytes of static data on tile 0: 606184 free "
            "bytes, 589824-byte largest gap");

  // The packed-data gaps: objects of exactly their sizes fill them, and the failure message of
  // one more byte gives their total and the largest.
  const auto exact = pack_data_objects_for_tile(
      {}, 0, 0x58000, Ranges{{0x10, 0x3FF8}, {0x20, 0x28020}, {0x30, 0x60030}}, false, {});
  ASSERT_TRUE(exact) << exact.error().message;
  EXPECT_EQ(exact->placed, (Ranges{{0x4C018, 0x50000}, {0x58000, 0x80000}, {0x88000, 0xE8000}}));
  const auto beyond = pack_data_objects_for_tile({}, 0, 0x58000, Ranges{{0, 0x60001}}, false, {});
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().message,
            "no tile-memory gap can hold a 393217-byte static data object on tile 0: 573416 free "
            "bytes, 393216-byte largest gap");
  const auto interleaved =
      pack_data_objects_for_tile({}, 0, 0x58000, Ranges{{0x10, 0x3FF8}, {0x20, 0x90020}}, true, {});
  ASSERT_TRUE(interleaved) << interleaved.error().message;
  EXPECT_EQ(interleaved->placed, (Ranges{{0x4C018, 0x50000}, {0x58000, 0xE8000}}));
}

TEST(PlacementTileRegions, ExecutableBaseSkipsTooSmallRegions) {
  ExecutableGraph graph;
  graph.schedule.tile_count = 1;
  graph.schedule.allocations.push_back(allocation(0, 0x60000, 4));
  const AddressRange allocation[] = {{0x60000, 0x60004}};
  EXPECT_EQ(executable_regions_for_tile(allocation, 0x5A000, {}),
            (Ranges{{0x5C000, 0x60000}, {0x64000, 0x80000}}));
  EXPECT_EQ(executable_region_base(graph, 0x5A000, 0x4001), 0x64000u);
  EXPECT_EQ(executable_region_base(graph, 0x5A000, 0x4000), 0x5C000u);

  const auto too_big = executable_region_base(graph, 0x5A000, 0x1D000);
  ASSERT_FALSE(too_big);
  EXPECT_EQ(too_big.error().message,
            "no common tile-memory interval can hold 131072 bytes of executable code: 131072 "
            "executable bytes free, 114688-byte largest gap");
  const auto on_tile = executable_region_base_for_tile(allocation, 4, 0x5A000, 0x1D000, {});
  ASSERT_FALSE(on_tile);
  EXPECT_EQ(on_tile.error().message,
            "no tile 4 tile-memory interval can hold 131072 bytes of executable code: 131072 "
            "executable bytes free, 114688-byte largest gap");
}

TEST(PlacementTileRegions, ExecutableSizeRoundingPast32BitsFitsNowhere) {
  // Rounded with wrapping, 0xFFFFC001 would become 0 bytes and fit at 0x58000.
  const auto base = executable_region_base_for_tile({}, std::nullopt, 0x58000, 0xFFFFC001, {});
  ASSERT_FALSE(base);
  EXPECT_EQ(base.error().message,
            "no common tile-memory interval can hold 4294967296 bytes of executable code: 163840 "
            "executable bytes free, 163840-byte largest gap");
}

TEST(PlacementTileRegions, ExecutableBaseChecksEveryAllocationForOverflowFirst) {
  ExecutableGraph graph;
  graph.schedule.allocations = {allocation(0, 0x60000, 4), allocation(0, 0xFFFFFFF0, 0x10)};
  const auto base = executable_region_base(graph, 0x58000, 0x10);
  ASSERT_FALSE(base);
  EXPECT_EQ(base.error().message, "allocation address overflow");
}

TEST(PlacementTileRegions, ExecutableBaseIsFreeOnEveryTileAndKind) {
  ExecutableGraph graph;
  graph.schedule.tile_count = 3;
  graph.schedule.allocations = {
      allocation(0, 0x58000, 0x100),
      allocation(1, 0x5C100, 0x10, AllocationKind::HomeAlias{TensorId{0}}),
      allocation(2, 0x60000, 0x8000, AllocationKind::ExchangeStaging{1}),
  };
  graph.schedule.allocations[1].live_until = quarn::compiler::LIVE_TO_END;
  EXPECT_EQ(executable_region_base(graph, 0x58000, 0x4000), 0x68000u);
}

TEST(PlacementTileRegions, DataBaseFirstFitWithReservations) {
  const Ranges allocations{{0x4C008, 0x50000}, {0x59014, 0x5A014}};
  EXPECT_EQ(data_region_base_for_tile(allocations, 0, 0x59000, 16, 4, {}), 0x59000u);
  const Ranges earlier{{0x59000, 0x59010}};
  EXPECT_EQ(data_region_base_for_tile(allocations, 0, 0x59000, 16, 4, earlier), 0x5A014u);
  // The interleaved window is open to a data block.
  const Ranges below_interleaved{{0x4C000, 0x80000}};
  EXPECT_EQ(data_region_base_for_tile(below_interleaved, 0, 0x58000, 16, 4, {}), 0x80000u);
}

TEST(PlacementTileRegions, DataBaseRefusesBadRequests) {
  for (const auto& [size, alignment] :
       std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 4}, {16, 0}, {16, 3}}) {
    const auto base = data_region_base_for_tile({}, 0, 0x58000, size, alignment, {});
    ASSERT_FALSE(base);
    EXPECT_EQ(base.error().message,
              "data region size must be nonzero and alignment must be a power of two");
  }
}

TEST(PlacementTileRegions, PackedDataUsesNarrowGapsAndKeepsOutOfInterleaved) {
  const Ranges allocations{{0x4C000, 0x90000}, {0x900A0, 0x90200}, {0x902A0, 0xE8000}};
  const auto packed = pack_data_objects_for_tile(
      allocations, 0, 0x58000, Ranges{{0x1000, 0x1080}, {0x2000, 0x2080}}, false, {});
  ASSERT_TRUE(packed) << packed.error().message;
  EXPECT_EQ(packed->placed, (Ranges{{0x90000, 0x90080}, {0x90200, 0x90280}}));

  const Ranges low_full{{0x4C000, 0x80000}};
  const Ranges object{{0, 0x100}};
  const auto outside = pack_data_objects_for_tile(low_full, 0, 0x58000, object, false, {});
  ASSERT_TRUE(outside);
  EXPECT_EQ(outside->placed, (Ranges{{0x88000, 0x88100}}));
  const auto inside = pack_data_objects_for_tile(low_full, 0, 0x58000, object, true, {});
  ASSERT_TRUE(inside);
  EXPECT_EQ(inside->placed, (Ranges{{0x80000, 0x80100}}));
}

TEST(PlacementTileRegions, PackedExecutableReportsWholeElements) {
  const Ranges allocation{{0x60080, 0x60100}};
  const auto packed = pack_executable_objects_for_tile(
      allocation, 5, 0x58000, Ranges{{0x1000, 0x1080}, {0x2000, 0x2080}}, {}, {});
  ASSERT_TRUE(packed) << packed.error().message;
  EXPECT_EQ(packed->relocation_map, (RelocationMap{{0x1000, 0x58000}, {0x2000, 0x58080}}));
  EXPECT_EQ(packed->placed, (Ranges{{0x58000, 0x58100}}));
  EXPECT_EQ(packed->elements, (Ranges{{0x58000, 0x5C000}}));
  for (const auto& element : packed->elements) {
    EXPECT_FALSE(ranges_overlap(element, allocation.front()));
  }
}

TEST(PlacementTileRegions, PackedExecutableUsesExtraGapsAsTheyAre) {
  // Everything executable is taken; the extra gap is used unwidened and its element is reported.
  const Ranges taken{{0x4C000, 0x80000}};
  const Ranges extra{{0x90010, 0x90100}};
  const auto packed =
      pack_executable_objects_for_tile(taken, 0, 0x58000, Ranges{{0, 0x40}}, {}, extra);
  ASSERT_TRUE(packed) << packed.error().message;
  EXPECT_EQ(packed->placed, (Ranges{{0x90010, 0x90050}}));
  EXPECT_EQ(packed->elements, (Ranges{{0x90000, 0x94000}}));

  const auto failed =
      pack_executable_objects_for_tile(taken, 9, 0x58000, Ranges{{0, 0x1000}}, {}, extra);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message,
            "no tile-memory gap can hold a 4096-byte static executable object on tile 9: 240 free "
            "bytes, 240-byte largest gap");
}

TEST(PlacementTileRegions, EmptyObjectListPacksToNothing) {
  const auto data = pack_data_objects_for_tile({}, 0, 0x58000, {}, false, {});
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->relocation_map.empty() && data->placed.empty());
  const auto code = pack_executable_objects_for_tile({}, 0, 0x58000, {}, {}, {});
  ASSERT_TRUE(code);
  EXPECT_TRUE(code->relocation_map.empty() && code->placed.empty() && code->elements.empty());
}

}  // namespace
