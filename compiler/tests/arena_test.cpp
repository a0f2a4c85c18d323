#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quarn/compiler/arena.hpp"

namespace quarn::compiler {
namespace {

Allocation home(std::uint16_t tile, std::uint32_t address, std::uint32_t size, std::size_t from = 0,
                std::size_t until = LIVE_TO_END) {
  return Allocation{TensorId{1}, tile, address, size, from, until, AllocationKind::Home{}};
}

std::string message(const CompileError& error) {
  return std::get<CompileError::Memory>(error).message;
}

constexpr MemoryArena kHigh(std::uint32_t base, std::uint32_t limit) {
  return MemoryArena{base, limit, MemoryPlacement::High};
}

TEST(AlignU32, RoundsUpToAnyAlignmentWithoutWrapping) {
  EXPECT_EQ(align_u32(0x88001, 32), 0x88020u);
  EXPECT_EQ(align_u32(0x88000, 32), 0x88000u);
  EXPECT_EQ(align_u32(10, 3), 12u);
  EXPECT_EQ(align_u32(0xFFFFFFFF, 1), 0xFFFFFFFFu);
  EXPECT_EQ(align_u32(0xFFFFFFE1, 32), std::nullopt);
  EXPECT_EQ(align_u32(0xFFFFFFE0, 32), 0xFFFFFFE0u);
}

TEST(FindFreeRegion, LowArenaAboveTheClippedAllocations) {
  const MemoryArena arena[] = {MemoryArena::low(0x88000, 0xE8000)};
  std::vector<Allocation> allocations{home(0, 0x80000, 0x8000)};  // ends where the arena starts
  EXPECT_EQ(find_free_region_in_arenas(allocations, 0, 0x40, 0, 5, arena, 32), 0x88000u);
  allocations.push_back(home(0, 0x88000, 0x40));
  EXPECT_EQ(find_free_region_in_arenas(allocations, 0, 0x40, 0, 5, arena, 32), 0x88040u);
  allocations.back().size = 0x41;
  EXPECT_EQ(find_free_region_in_arenas(allocations, 0, 0x40, 0, 5, arena, 32), 0x88060u);
}

TEST(FindFreeRegion, OtherTilesAndEarlierLiveRangesNeverBlock) {
  const MemoryArena arena[] = {MemoryArena::low(0x88000, 0x89000)};
  const std::vector<Allocation> allocations{
      home(1, 0x88000, 0x1000), home(0, 0x88000, 0x1000, 0, 3), home(0, 0x88000, 0x1000, 7, 9)};
  EXPECT_EQ(find_free_region_in_arenas(allocations, 0, 0x1000, 3, 7, arena, 32), 0x88000u);
  EXPECT_FALSE(find_free_region_in_arenas(allocations, 0, 0x1000, 2, 7, arena, 32));
}

TEST(FindFreeRegion, TouchingAllocationsMergeAndHighArenasFillFromTheTop) {
  const std::vector<Allocation> allocations{home(0, 0x1000, 0x80), home(0, 0x1080, 0x80),
                                            home(0, 0x1180, 0x80)};
  const MemoryArena low[] = {MemoryArena::low(0x1000, 0x2000)};
  EXPECT_EQ(find_free_region_in_arenas(allocations, 0, 0x80, 0, 1, low, 16), 0x1100u);
  const MemoryArena high[] = {kHigh(0x1000, 0x2000)};
  EXPECT_EQ(find_free_region_in_arenas(allocations, 0, 0x80, 0, 1, high, 16), 0x1F80u);
}

TEST(FindFreeRegion, RequiresAnArena) {
  const auto result = find_free_region_in_arenas({}, 0, 0x40, 0, 1, {}, 32);
  ASSERT_FALSE(result);
  EXPECT_EQ(to_string(result.error()), "SRAM allocation failed: allocation requires an SRAM arena");
}

TEST(AllocateFromOccupied, LowAndHighEdges) {
  std::vector<OccupiedRange> occupied{{0x1000, 0x1100}, {0x1180, 0x1200}};
  EXPECT_EQ(allocate_from_occupied(occupied, 0x80, {0x1000, 0x2000, 16, MemoryPlacement::Low}),
            0x1100u);
  EXPECT_EQ(occupied,
            (std::vector<OccupiedRange>{{0x1000, 0x1100}, {0x1100, 0x1180}, {0x1180, 0x1200}}));

  std::vector<OccupiedRange> top{{0x1F00, 0x2000}};
  EXPECT_EQ(allocate_from_occupied(top, 0x100, {0x1000, 0x2000, 16, MemoryPlacement::High}),
            0x1E00u);
  // Size larger than the cursor: no underflow, no answer.
  std::vector<OccupiedRange> none;
  const auto too_big =
      allocate_from_occupied(none, 0x3000, {0x1000, 0x2000, 16, MemoryPlacement::High});
  ASSERT_FALSE(too_big);
  EXPECT_EQ(message(too_big.error()), "no 12288-byte region in SRAM arena");
  EXPECT_TRUE(none.empty());
}

TEST(AllocateFromOccupied, AlignmentThatIsNotAPowerOfTwoIsRefused) {
  std::vector<OccupiedRange> occupied;
  for (const std::uint32_t alignment : {0u, 24u}) {
    for (const auto placement : {MemoryPlacement::Low, MemoryPlacement::High}) {
      const auto result =
          allocate_from_occupied(occupied, 0x10, {0x1000, 0x2000, alignment, placement});
      ASSERT_FALSE(result);
      EXPECT_EQ(message(result.error()), "invalid SRAM arena allocation");
    }
  }
}

TEST(AllocateFromOccupied, LowSearchNearTheTopOfTheAddressSpaceDoesNotWrap) {
  // The cursor rounds past 2^32: that is no fit, never an address below the cursor.
  std::vector<OccupiedRange> occupied{{0xFFFFFF00, 0xFFFFFFE1}};
  const auto result =
      allocate_from_occupied(occupied, 0x10, {0xFFFFFF00, 0xFFFFFFFF, 32, MemoryPlacement::Low});
  ASSERT_FALSE(result);
  EXPECT_EQ(message(result.error()), "no 16-byte region in SRAM arena");
  EXPECT_EQ(occupied.size(), 1u);
  // A gap whose start rounds past 2^32 is skipped rather than wrapped.
  std::vector<OccupiedRange> gap{{0xFFFFFF00, 0xFFFFFFE1}, {0xFFFFFFF0, 0xFFFFFFF8}};
  EXPECT_FALSE(allocate_from_occupied(gap, 4, {0xFFFFFF00, 0xFFFFFFFF, 32, MemoryPlacement::Low}));
}

TEST(AllocateFromOccupiedArenas, InvalidRequestsFailBeforeAnySearch) {
  std::vector<OccupiedRange> occupied{{0x1000, 0x1010}};
  const MemoryArena good[] = {MemoryArena::low(0x1000, 0x2000)};
  const MemoryArena empty_arena[] = {MemoryArena::low(0x1000, 0x1000)};
  const MemoryArena inverted[] = {MemoryArena::low(0x1000, 0x2000),
                                  MemoryArena::low(0x3000, 0x2000)};
  struct Case {
    std::uint32_t size;
    std::span<const MemoryArena> arenas;
    std::uint32_t alignment;
  };
  const Case cases[] = {{0, good, 16},    {0x10, {}, 16},          {0x10, good, 0},
                        {0x10, good, 24}, {0x10, empty_arena, 16}, {0x10, inverted, 16}};
  for (const Case& c : cases) {
    const auto result = allocate_from_occupied_arenas(occupied, c.size, c.arenas, c.alignment);
    ASSERT_FALSE(result);
    EXPECT_EQ(to_string(result.error()), "SRAM allocation failed: invalid SRAM arena allocation");
  }
  EXPECT_EQ(occupied, (std::vector<OccupiedRange>{{0x1000, 0x1010}}));
}

TEST(AllocateFromOccupiedArenas, FallsThroughToTheNextArenaAndReportsWhenNoneFits) {
  std::vector<OccupiedRange> occupied{{0x1000, 0x1F00}};
  const MemoryArena arenas[] = {MemoryArena::low(0x1000, 0x2000), MemoryArena::low(0x4000, 0x5000)};
  EXPECT_EQ(allocate_from_occupied_arenas(occupied, 0x200, arenas, 32), 0x4000u);
  EXPECT_EQ(occupied, (std::vector<OccupiedRange>{{0x1000, 0x1F00}, {0x4000, 0x4200}}));
  // A second identical request gets a different, disjoint region.
  EXPECT_EQ(allocate_from_occupied_arenas(occupied, 0x200, arenas, 32), 0x4200u);

  const auto result = allocate_from_occupied_arenas(occupied, 0x2000, arenas, 32);
  ASSERT_FALSE(result);
  EXPECT_EQ(to_string(result.error()),
            "SRAM allocation failed: no arena can hold a 8192-byte SRAM allocation");
  EXPECT_EQ(occupied.size(), 3u);
}

// Brute force over small windows: the lowest (or highest) multiple of the alignment whose range
// lies in the arena and misses every occupied byte, arena by arena.
std::optional<std::uint32_t> brute_force(const std::vector<OccupiedRange>& occupied,
                                         std::uint32_t size, std::span<const MemoryArena> arenas,
                                         std::uint32_t alignment) {
  for (const MemoryArena& arena : arenas) {
    auto is_free = [&](std::uint32_t a) {
      if (a < arena.base || std::uint64_t{a} + size > arena.limit) return false;
      for (const auto& [start, end] : occupied) {
        if (a < end && start < a + size) return false;
      }
      return true;
    };
    std::optional<std::uint32_t> best;
    for (std::uint32_t a = arena.base / alignment * alignment; a < arena.limit; a += alignment) {
      if (!is_free(a)) continue;
      if (arena.placement == MemoryPlacement::Low) return a;
      best = a;
    }
    if (best) return best;
  }
  return std::nullopt;
}

TEST(FindFreeRegion, AgreesWithBruteForceOnSmallWindows) {
  std::mt19937 random(5);
  for (int round = 0; round < 3000; ++round) {
    std::vector<Allocation> allocations;
    const int count = static_cast<int>(random() % 8);
    for (int i = 0; i < count; ++i) {
      const std::size_t from = random() % 4;
      allocations.push_back(home(static_cast<std::uint16_t>(random() % 2),
                                 0x100 + 4 * (random() % 64), 4 * (random() % 12), from,
                                 from + 1 + random() % 3));
    }
    std::vector<MemoryArena> arenas;
    const int arena_count = 1 + static_cast<int>(random() % 2);
    for (int i = 0; i < arena_count; ++i) {
      const std::uint32_t base = 0x100 + 4 * (random() % 48);
      arenas.push_back(MemoryArena{base, base + 4 + 4 * static_cast<std::uint32_t>(random() % 32),
                                   random() % 2 ? MemoryPlacement::Low : MemoryPlacement::High});
    }
    const std::uint32_t size = 1 + random() % 40;
    const std::uint32_t alignment = 1u << (random() % 5);
    const std::size_t from = random() % 4;
    const std::size_t until = from + 1 + random() % 2;

    std::vector<OccupiedRange> occupied;
    for (const Allocation& a : allocations) {
      if (a.tile == 0 && a.size != 0 && from < a.live_until && a.live_from < until) {
        occupied.emplace_back(a.address, a.address + a.size);
      }
    }
    const auto expected = brute_force(occupied, size, arenas, alignment);
    const auto actual =
        find_free_region_in_arenas(allocations, 0, size, from, until, arenas, alignment);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << "round " << round;
    if (expected) {
      EXPECT_EQ(*actual, *expected) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace quarn::compiler
