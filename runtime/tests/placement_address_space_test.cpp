// Free regions of a tile window and the saturating rounding behind them.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "internal_error.hpp"
#include "quarn/runtime/memory/address_space.hpp"

namespace {

using quarn::runtime::AddressRange;
using quarn::runtime::placement::AddressSpace;
using quarn::runtime::placement::align_up;
using Regions = std::vector<AddressRange>;

Regions free_regions(AddressRange window, const Regions& reserved, std::uint32_t granularity) {
  AddressSpace space(window);
  space.reserve_all(reserved);
  return std::move(space).free_regions(granularity);
}

TEST(PlacementAddressSpace, WidensReservationsToGranulesBeforeComputingGaps) {
  EXPECT_EQ(
      free_regions({4096, 8192}, {{2048, 4353}, {4592, 4864}, {4608, 5121}, {8064, 10240}}, 256),
      (Regions{{5376, 7936}}));
}

struct Case {
  const char* name;
  AddressRange window;
  Regions reserved;
  std::uint32_t granularity;
  Regions expected;
};

TEST(PlacementAddressSpace, ClipsMergesAndAlignsRegions) {
  const Case cases[] = {
      {"no reservations, aligned start", {0x1000, 0x3000}, {}, 0x1000, {{0x1000, 0x3000}}},
      {"window starts between granules", {0x4C018, 0x80000}, {}, 0x4000, {{0x50000, 0x80000}}},
      {"aligned start beyond the end", {0x4C018, 0x4E000}, {}, 0x4000, {}},
      {"window end need not be aligned", {0x1000, 0x2800}, {}, 0x1000, {{0x1000, 0x2800}}},
      {"empty and inverted reservations",
       {0x50000, 0x60000},
       {{0x58000, 0x58000}, {0x5C000, 0x5A000}},
       0x4000,
       {{0x50000, 0x60000}}},
      {"granularity 1 keeps exact bytes",
       {0, 100},
       {{10, 11}, {50, 60}},
       1,
       {{0, 10}, {11, 50}, {60, 100}}},
      {"touching reservations leave no gap",
       {0x0, 0x3000},
       {{0x1000, 0x1800}, {0x1800, 0x2000}},
       1,
       {{0x0, 0x1000}, {0x2000, 0x3000}}},
      {"partial granules merge",
       {0x0, 0x3000},
       {{0x1000, 0x1001}, {0x1FFF, 0x2000}},
       0x1000,
       {{0x0, 0x1000}, {0x2000, 0x3000}}},
      {"below only pushes the cursor",
       {0x2000, 0x4000},
       {{0x0, 0x2800}},
       0x1000,
       {{0x3000, 0x4000}}},
      {"above is ignored, straddling ends the gap",
       {0x0, 0x4000},
       {{0x5000, 0x6000}, {0x3800, 0x9000}},
       0x1000,
       {{0x0, 0x3000}}},
      {"nested reservation does not move the cursor back",
       {0x0, 0x8000},
       {{0x1000, 0x6000}, {0x2000, 0x3000}},
       1,
       {{0x0, 0x1000}, {0x6000, 0x8000}}},
      {"unsorted input",
       {0x0, 0x8000},
       {{0x6000, 0x7000}, {0x1000, 0x2000}},
       1,
       {{0x0, 0x1000}, {0x2000, 0x6000}, {0x7000, 0x8000}}},
      // A reservation ending within one granule of 2^32 widens to 2^32 and covers the top.
      {"reservation end near 2^32",
       {0xFFFF0000, 0xFFFFFFFF},
       {{0xFFFF8000, 0xFFFFFFF0}},
       0x1000,
       {{0xFFFF0000, 0xFFFF8000}}},
      // A window starting within one granule of 2^32 has no whole granule.
      {"window start near 2^32", {0xFFFFF001, 0xFFFFFFFF}, {}, 0x1000, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(free_regions(c.window, c.reserved, c.granularity), c.expected) << c.name;
  }
}

TEST(PlacementAddressSpace, ReportedRegionsNeverHoldReservedOrOutsideBytes) {
  // Near the top of the address space the saturating rounding would lose the widened end; every
  // reported byte must still be inside the window and outside every reservation.
  const AddressRange window{0xFFFFE000, 0xFFFFFFFF};
  const Regions reserved{{0xFFFFE100, 0xFFFFE200}, {0xFFFFFF00, 0xFFFFFFFF}};
  for (const std::uint32_t granularity : {1u, 0x10u, 0x100u, 0x1000u}) {
    for (const auto& [start, end] : free_regions(window, reserved, granularity)) {
      EXPECT_LT(start, end);
      EXPECT_GE(start, window.first);
      EXPECT_LE(end, window.second);
      for (const auto& r : reserved) {
        EXPECT_FALSE(quarn::runtime::ranges_overlap({start, end}, r))
            << granularity << ": " << start << ".." << end;
      }
    }
  }
}

TEST(PlacementAddressSpace, StoresOnlyNonemptyReservationsInOrder) {
  AddressSpace space({0, 0x1000});
  const std::array<AddressRange, 2> fixed{{{0x300, 0x400}, {0x10, 0x10}}};
  const std::vector<AddressRange> more{{0x200, 0x100}, {0x100, 0x180}};
  space.reserve_all(fixed, more);
  space.reserve({0x500, 0x501});
  EXPECT_EQ(space.reserved, (Regions{{0x300, 0x400}, {0x100, 0x180}, {0x500, 0x501}}));
}

TEST(PlacementAddressSpace, RejectsGranularityThatIsNotAPowerOfTwo) {
  for (const std::uint32_t granularity : {0u, 3u, 0x3000u}) {
    AddressSpace space({0, 0x1000});
    try {
      (void)std::move(space).free_regions(granularity);
      ADD_FAILURE() << granularity;
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(error.what(), "assertion failed: granularity.is_power_of_two()");
    }
  }
}

TEST(PlacementAddressSpace, AlignUpSaturatesBelow2To32) {
  EXPECT_EQ(align_up(0xFFFFFFF0, 0x100), 0xFFFFFF00u);
  EXPECT_EQ(align_up(0x4C018, 0x4000), 0x50000u);
  EXPECT_EQ(align_up(0x50000, 0x4000), 0x50000u);
  EXPECT_EQ(align_up(7, 1), 7u);
  EXPECT_EQ(quarn::test_support::internal_error_text([] { return align_up(5, 6); }),
            "assertion failed: alignment.is_power_of_two()");
}

}  // namespace
