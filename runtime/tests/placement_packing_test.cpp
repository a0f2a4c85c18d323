// Largest-first, best-fit packing into gaps, and the runtime's rounding.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "internal_error.hpp"
#include "quarn/runtime/memory/packing.hpp"

namespace {

using quarn::runtime::AddressRange;
using quarn::runtime::align_up;
using quarn::runtime::pack_objects_in_gaps;
using quarn::runtime::pack_sized_objects_in_gaps;
using quarn::runtime::RelocationMap;
using Ranges = std::vector<AddressRange>;
using Sizes = std::vector<std::uint32_t>;

TEST(PlacementPacking, AlignUpReportsRoundingPast32Bits) {
  EXPECT_EQ(align_up(0x10001, 8), 0x10008u);
  EXPECT_EQ(align_up(0x10000, 8), 0x10000u);
  EXPECT_EQ(align_up(0xFFFFFFF8, 8), 0xFFFFFFF8u);
  EXPECT_EQ(align_up(0xFFFFFFF9, 8), std::nullopt);
  EXPECT_EQ(align_up(0xFFFFC001, 0x4000), std::nullopt);
  EXPECT_EQ(quarn::test_support::internal_error_text([] { return align_up(1, 0); }),
            "assertion failed: alignment.is_power_of_two()");
}

TEST(PlacementPacking, SizedPlacesLargestFirstIntoTightestGap) {
  const auto placed = pack_sized_objects_in_gaps(
      0, Sizes{0x4000, 0x8000}, {{0x10000, 0x18000}, {0x20000, 0x24000}}, 0x4000, "executable");
  ASSERT_TRUE(placed) << placed.error().message;
  EXPECT_EQ(*placed, (Ranges{{0x20000, 0x24000}, {0x10000, 0x18000}}));
}

TEST(PlacementPacking, SizedRoundsSizesAndAppliesAlignmentToGapStarts) {
  const auto placed = pack_sized_objects_in_gaps(0, Sizes{3, 17}, {{0x1001, 0x1100}}, 16, "record");
  ASSERT_TRUE(placed) << placed.error().message;
  EXPECT_EQ(*placed, (Ranges{{0x1030, 0x1040}, {0x1010, 0x1030}}));
}

TEST(PlacementPacking, SizedRefusesBadRequests) {
  const Ranges gaps{{0x1000, 0x2000}};
  for (const auto& [sizes, alignment] :
       std::vector<std::pair<Sizes, std::uint32_t>>{{{16}, 0}, {{16}, 12}, {{16, 0}, 8}}) {
    const auto placed = pack_sized_objects_in_gaps(3, sizes, gaps, alignment, "table");
    ASSERT_FALSE(placed);
    EXPECT_EQ(placed.error().message, "invalid table placement request");
  }
}

TEST(PlacementPacking, SizedSizeRoundingPast32BitsFitsNowhere) {
  // 0xFFFFFFF1 rounds to 2^32: it must not become a 0-byte object that fits anywhere.
  const auto placed =
      pack_sized_objects_in_gaps(2, Sizes{0xFFFFFFF1}, {{0x1000, 0x2000}}, 16, "table");
  ASSERT_FALSE(placed);
  EXPECT_EQ(placed.error().message,
            "no tile-memory gap can hold a 4294967296-byte table object on tile 2: 4096 free "
            "bytes, 4096-byte largest gap");
}

TEST(PlacementPacking, GapStartNear2To32IsUnusable) {
  // Rounding 0xFFFFFFF9 up to 8 leaves 32 bits; it must not place the object at address 0.
  const Ranges gaps{{0xFFFFFFF9, 0xFFFFFFFF}};
  const auto sized = pack_sized_objects_in_gaps(1, Sizes{1}, gaps, 8, "table");
  ASSERT_FALSE(sized);
  EXPECT_EQ(sized.error().message,
            "no tile-memory gap can hold a 8-byte table object on tile 1: 6 free bytes, 6-byte "
            "largest gap");
  const auto objects = pack_objects_in_gaps(1, Ranges{{0, 0}}, gaps, "static data");
  ASSERT_FALSE(objects);
  EXPECT_EQ(objects.error().message,
            "no tile-memory gap can hold a 0-byte static data object on tile 1: 6 free bytes, "
            "6-byte largest gap");
  // The same empty object finds the next gap.
  const auto later =
      pack_objects_in_gaps(1, Ranges{{0, 0}}, {{0xFFFFFFF9, 0xFFFFFFFF}, {0x10, 0x20}}, "data");
  ASSERT_TRUE(later);
  EXPECT_EQ(later->relocation_map, (RelocationMap{{0, 0x10}}));
}

TEST(PlacementPacking, ObjectsTieOnSlackGoToTheLowerGap) {
  const auto packed = pack_objects_in_gaps(0, Ranges{{0x1000, 0x1080}, {0x2000, 0x2080}},
                                           {{0x90000, 0x900A0}, {0x90200, 0x902A0}}, "static data");
  ASSERT_TRUE(packed) << packed.error().message;
  EXPECT_EQ(packed->placed, (Ranges{{0x90000, 0x90080}, {0x90200, 0x90280}}));
  ASSERT_EQ(packed->relocation_map.size(), 2u);
  EXPECT_EQ(packed->relocation_map.at(0x1000), 0x90000u);
  EXPECT_EQ(packed->relocation_map.at(0x2000), 0x90200u);
}

TEST(PlacementPacking, ObjectsInOneGapMergeAndSkipAlignmentBytes) {
  // 0x40 first at 0x1008 (gap start 0x1003 rounded to 8), then 0x18 at 0x1048, then 0x10 at
  // 0x1060: one merged placed range.
  const auto packed = pack_objects_in_gaps(0, Ranges{{0x10, 0x20}, {0x100, 0x140}, {0x200, 0x218}},
                                           {{0x1003, 0x2000}}, "static data");
  ASSERT_TRUE(packed) << packed.error().message;
  EXPECT_EQ(packed->relocation_map,
            (RelocationMap{{0x10, 0x1060}, {0x100, 0x1008}, {0x200, 0x1048}}));
  EXPECT_EQ(packed->placed, (Ranges{{0x1008, 0x1070}}));
}

TEST(PlacementPacking, ZeroLengthObjectGetsAnAddressAndIsAbsorbed) {
  const auto packed = pack_objects_in_gaps(0, Ranges{{0x500, 0x500}, {0x100, 0x120}},
                                           {{0x1000, 0x1020}, {0x3000, 0x4000}}, "static data");
  ASSERT_TRUE(packed) << packed.error().message;
  // The 0x20 object fills the first gap exactly; the empty one then lands where least room is
  // left: the first gap's end, inside the previous placed range's end.
  EXPECT_EQ(packed->relocation_map, (RelocationMap{{0x100, 0x1000}, {0x500, 0x1020}}));
  EXPECT_EQ(packed->placed, (Ranges{{0x1000, 0x1020}}));
}

TEST(PlacementPacking, SameStartKeepsTheLastPlacedObject) {
  const auto packed = pack_objects_in_gaps(0, Ranges{{0x100, 0x140}, {0x100, 0x110}},
                                           {{0x1000, 0x2000}}, "static data");
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->relocation_map, (RelocationMap{{0x100, 0x1040}}));
  EXPECT_EQ(packed->placed, (Ranges{{0x1000, 0x1050}}));
}

TEST(PlacementPacking, FailureCountsGapsAsAlreadyShrunk) {
  const auto packed = pack_objects_in_gaps(7, Ranges{{0, 0x80}, {0x100, 0x160}, {0x200, 0x240}},
                                           {{0x1000, 0x1100}}, "static data");
  ASSERT_FALSE(packed);
  EXPECT_EQ(packed.error().message,
            "no tile-memory gap can hold a 64-byte static data object on tile 7: 32 free bytes, "
            "32-byte largest gap");
}

TEST(PlacementPacking, EmptyGapListFailsEveryObject) {
  const auto packed = pack_objects_in_gaps(0, Ranges{{0, 8}}, {}, "static executable");
  ASSERT_FALSE(packed);
  EXPECT_EQ(packed.error().message,
            "no tile-memory gap can hold a 8-byte static executable object on tile 0: 0 free "
            "bytes, 0-byte largest gap");
  const auto sized = pack_sized_objects_in_gaps(0, Sizes{8}, {}, 8, "table");
  ASSERT_FALSE(sized);
  EXPECT_EQ(sized.error().message,
            "no tile-memory gap can hold a 8-byte table object on tile 0: 0 free bytes, 0-byte "
            "largest gap");
}

}  // namespace
