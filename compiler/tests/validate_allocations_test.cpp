#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "quarn/compiler/schedule.hpp"

namespace quarn::compiler {
namespace {

using Kind = AllocationKind;

Allocation alloc(std::size_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                 std::size_t from, std::size_t until, AllocationKind kind = Kind::Home{}) {
  return Allocation{TensorId{tensor}, tile, address, size, from, until, kind};
}

Schedule schedule_with(std::uint16_t tiles, std::vector<Allocation> allocations) {
  Schedule schedule;
  schedule.tile_count = tiles;
  schedule.allocations = std::move(allocations);
  return schedule;
}

// The message of a failed validation, or "ok".
std::string check(const Schedule& schedule) {
  const auto result = schedule.validate_allocations();
  if (result) return "ok";
  EXPECT_TRUE(std::holds_alternative<CompileError::Memory>(result.error()));
  return to_string(result.error());
}

TEST(ValidateAllocations, TileOutsideTheScheduleEvenWhenEmpty) {
  EXPECT_EQ(check(schedule_with(2, {alloc(5, 2, 0x100, 0, 0, 1)})),
            "SRAM allocation failed: tensor 5 is allocated on tile 2, outside the 2-tile schedule");
  EXPECT_EQ(check(schedule_with(0, {alloc(1, 0, 0, 4, 0, 1)})),
            "SRAM allocation failed: tensor 1 is allocated on tile 0, outside the 0-tile schedule");
}

TEST(ValidateAllocations, AddressOverflowAtTheTopOfThe32BitSpace) {
  EXPECT_EQ(check(schedule_with(1, {alloc(3, 0, 0xFFFFFFF0, 0x10, 0, 1)})),
            "SRAM allocation failed: tensor 3 allocation address overflows on tile 0");
  EXPECT_EQ(check(schedule_with(1, {alloc(3, 0, 0xFFFFFFF0, 0x0F, 0, 1)})), "ok");
  EXPECT_EQ(check(schedule_with(1, {alloc(3, 0, 0xFFFFFFFF, 0, 0, 1)})), "ok");
}

TEST(ValidateAllocations, LiveRangesAreHalfOpen) {
  EXPECT_EQ(
      check(schedule_with(1, {alloc(1, 0, 0x100, 0x100, 1, 3), alloc(2, 0, 0x100, 0x100, 3, 5)})),
      "ok");
  EXPECT_EQ(
      check(schedule_with(1, {alloc(1, 0, 0x100, 0x100, 1, 3), alloc(2, 0, 0x100, 0x100, 2, 5)})),
      "SRAM allocation failed: live tensors 2 (Home; ) and 1 (Home; ) overlap on tile 0: "
      "0x100..0x200 at phases 2..5 and 0x100..0x200 at phases 1..3");
}

TEST(ValidateAllocations, AddressRangesThatTouchDoNotOverlap) {
  EXPECT_EQ(
      check(schedule_with(1, {alloc(1, 0, 0x100, 0x100, 0, 4), alloc(2, 0, 0x200, 0x100, 0, 4)})),
      "ok");
  EXPECT_EQ(
      check(schedule_with(1, {alloc(1, 0, 0x100, 0x101, 0, 4), alloc(2, 0, 0x200, 0x100, 1, 4)})),
      "SRAM allocation failed: live tensors 2 (Home; ) and 1 (Home; ) overlap on tile 0: "
      "0x200..0x300 at phases 1..4 and 0x100..0x201 at phases 0..4");
  // The neighbour above the new allocation is found too.
  EXPECT_EQ(
      check(schedule_with(1, {alloc(1, 0, 0x200, 0x100, 0, 4), alloc(2, 0, 0x100, 0x101, 1, 4)})),
      "SRAM allocation failed: live tensors 2 (Home; ) and 1 (Home; ) overlap on tile 0: "
      "0x100..0x201 at phases 1..4 and 0x200..0x300 at phases 0..4");
}

TEST(ValidateAllocations, StagingAndLiveToTheEndTakePartInTheSweep) {
  EXPECT_EQ(
      check(schedule_with(1, {alloc(1, 0, 0x100, 0x100, 0, 9),
                              alloc(2, 0, 0x180, 0x10, 4, 5, Kind::ExchangeStaging{4})})),
      "SRAM allocation failed: live tensors 2 (ExchangeStaging { phase: 4 }; ) and 1 (Home; ) "
      "overlap on tile 0: 0x180..0x190 at phases 4..5 and 0x100..0x200 at phases 0..9");
  EXPECT_EQ(check(schedule_with(1, {alloc(1, 0, 0x100, 0x100, 0, LIVE_TO_END),
                                    alloc(2, 0, 0x1FF, 0x10, 1000000, 1000001)})),
            "SRAM allocation failed: live tensors 2 (Home; ) and 1 (Home; ) overlap on tile 0: "
            "0x1ff..0x20f at phases 1000000..1000001 and 0x100..0x200 at phases "
            "0..18446744073709551615");
}

TEST(ValidateAllocations, EmptyAllocationsAndOtherTilesNeverConflict) {
  EXPECT_EQ(
      check(schedule_with(2, {alloc(1, 0, 0x100, 0x100, 0, 4), alloc(2, 1, 0x100, 0x100, 0, 4),
                              alloc(3, 0, 0x140, 0, 0, 4), alloc(4, 0, 0x140, 0x10, 3, 3),
                              alloc(5, 0, 0x140, 0x10, 4, 2)})),
      "ok");
  // Neither is an empty alias checked for backing.
  EXPECT_EQ(check(schedule_with(1, {alloc(6, 0, 0x140, 0, 0, 4, Kind::HomeAlias{TensorId{99}}),
                                    alloc(7, 0, 0x140, 8, 2, 2, Kind::HomeAlias{TensorId{99}})})),
            "ok");
}

TEST(ValidateAllocations, AliasBacking) {
  const Allocation source = alloc(1, 0, 0x60000, 0x40, 1, 2);
  // Exactly equal to its source in address and time: backed.
  EXPECT_EQ(check(schedule_with(
                1, {source, alloc(2, 0, 0x60000, 0x40, 1, 2, Kind::HomeAlias{TensorId{1}})})),
            "ok");
  // One byte longer than its source.
  EXPECT_EQ(
      check(schedule_with(
          1, {source, alloc(2, 0, 0x60000, 0x41, 1, 2, Kind::HomeAlias{TensorId{1}})})),
      "SRAM allocation failed: tensor 2 alias 0x60000..0x60041@1..2 on tile 0 is not backed by "
      "source tensor 1 (local: 0x60000..0x60040@1..2 Home; global: tile0:0x60000..0x60040@1..2 "
      "Home)");
  // An alias can back an alias; the listing shows the kind of each candidate.
  EXPECT_EQ(
      check(
          schedule_with(1, {source, alloc(2, 0, 0x60000, 0x40, 1, 2, Kind::HomeAlias{TensorId{1}}),
                            alloc(3, 0, 0x60020, 0x40, 0, 3, Kind::HomeAlias{TensorId{2}})})),
      "SRAM allocation failed: tensor 3 alias 0x60020..0x60060@0..3 on tile 0 is not backed by "
      "source tensor 2 (local: 0x60000..0x60040@1..2 HomeAlias { source: TensorId(1) }; "
      "global: tile0:0x60000..0x60040@1..2 HomeAlias { source: TensorId(1) })");
  EXPECT_EQ(check(schedule_with(
                1, {source, alloc(2, 0, 0x60000, 0x40, 1, 2, Kind::HomeAlias{TensorId{1}}),
                    alloc(3, 0, 0x60010, 0x10, 1, 2, Kind::HomeAlias{TensorId{2}})})),
            "ok");
}

TEST(ValidateAllocations, AliasWhoseSourceIsElsewhereOrOnlyStaging) {
  EXPECT_EQ(
      check(schedule_with(2, {alloc(1, 1, 0x60000, 0x40, 1, 2),
                              alloc(2, 0, 0x60000, 0x10, 1, 2, Kind::HomeAlias{TensorId{1}})})),
      "SRAM allocation failed: tensor 2 alias 0x60000..0x60010@1..2 on tile 0 is not backed by "
      "source tensor 1 (local: ; global: tile1:0x60000..0x60040@1..2 Home)");
  EXPECT_EQ(
      check(schedule_with(1, {alloc(1, 0, 0x60000, 0x40, 1, 2, Kind::ExchangeStaging{1}),
                              alloc(2, 0, 0x60000, 0x10, 1, 2, Kind::HomeAlias{TensorId{1}})})),
      "SRAM allocation failed: tensor 2 alias 0x60000..0x60010@1..2 on tile 0 is not backed by "
      "source tensor 1 (local: ; global: tile0:0x60000..0x60040@1..2 ExchangeStaging { phase: 1 "
      "})");
}

TEST(ValidateAllocations, PerAllocationChecksComeBeforeAnyOverlap) {
  EXPECT_EQ(
      check(schedule_with(3, {alloc(1, 0, 0x100, 0x100, 0, 4), alloc(2, 0, 0x100, 0x100, 0, 4),
                              alloc(3, 2, 0x100, 0x10, 0, 4, Kind::HomeAlias{TensorId{9}})})),
      "SRAM allocation failed: tensor 3 alias 0x100..0x110@0..4 on tile 2 is not backed by "
      "source tensor 9 (local: ; global: )");
  // Within one allocation: the tile is checked before the address.
  EXPECT_EQ(check(schedule_with(1, {alloc(1, 4, 0xFFFFFFFF, 0x10, 0, 4)})),
            "SRAM allocation failed: tensor 1 is allocated on tile 4, outside the 1-tile schedule");
}

TEST(ValidateAllocations, OverlapMessageListsAtMostThreeUses) {
  auto command = [](std::size_t output, std::vector<std::size_t> inputs, const char* operation,
                    const char* role) {
    KernelCommand c;
    c.output = TensorId{output};
    for (auto i : inputs) c.inputs.push_back(TensorId{i});
    c.specialization.operation = Text::constant(operation);
    c.specialization.role = Text::constant(role);
    return make_kernel_command(std::move(c));
  };
  Schedule schedule =
      schedule_with(1, {alloc(7, 0, 0x100, 0x100, 0, 9), alloc(8, 0, 0x100, 0x10, 1, 2)});
  schedule.phases.push_back(Phase::Compute{OpId{0}, {command(7, {}, "fill", "init")}});
  schedule.phases.push_back(Phase::Exchange{{}});
  schedule.phases.push_back(
      Phase::Compute{OpId{1}, {command(9, {7}, "add_f16", ""), command(8, {8}, "scale", "x")}});
  schedule.phases.push_back(Phase::Compute{OpId{2}, {command(7, {7}, "gelu", "inner-block")}});
  schedule.phases.push_back(Phase::Compute{OpId{3}, {command(10, {7}, "copy", "late")}});
  EXPECT_EQ(check(schedule),
            "SRAM allocation failed: live tensors 8 (Home; 2:scale:x) and 7 (Home; 0:fill:init, "
            "2:add_f16:, 3:gelu:inner-block) overlap on tile 0: 0x100..0x110 at phases 1..2 and "
            "0x100..0x200 at phases 0..9");
}

// Pairwise reference: does any pair of swept allocations of one tile overlap in address and time?
bool has_pairwise_overlap(const Schedule& schedule) {
  const auto& all = schedule.allocations;
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) {
      const Allocation& a = all[i];
      const Allocation& b = all[j];
      const bool swept_a =
          a.size && a.live_from < a.live_until && !std::holds_alternative<Kind::HomeAlias>(a.kind);
      const bool swept_b =
          b.size && b.live_from < b.live_until && !std::holds_alternative<Kind::HomeAlias>(b.kind);
      if (!swept_a || !swept_b || a.tile != b.tile) continue;
      const bool addresses = a.address < std::uint64_t{b.address} + b.size &&
                             b.address < std::uint64_t{a.address} + a.size;
      const bool times = a.live_from < b.live_until && b.live_from < a.live_until;
      if (addresses && times) return true;
    }
  }
  return false;
}

TEST(ValidateAllocations, SweepAgreesWithPairwiseComparison) {
  std::mt19937 random(11);
  int failures = 0;
  for (int round = 0; round < 2000; ++round) {
    Schedule schedule;
    schedule.tile_count = 2;
    const int count = 2 + static_cast<int>(random() % 7);
    for (int i = 0; i < count; ++i) {
      const std::size_t from = random() % 6;
      const std::size_t until = random() % 8 == 0 ? LIVE_TO_END : from + random() % 4;
      schedule.allocations.push_back(alloc(
          static_cast<std::size_t>(i), static_cast<std::uint16_t>(random() % 2),
          0x100 + 0x10 * (random() % 12), 0x10 * static_cast<std::uint32_t>(random() % 4), from,
          until, random() % 5 == 0 ? Kind{Kind::ExchangeStaging{from}} : Kind{Kind::Home{}}));
    }
    const bool expected_overlap = has_pairwise_overlap(schedule);
    const auto result = schedule.validate_allocations();
    EXPECT_EQ(!result, expected_overlap) << "round " << round;
    failures += expected_overlap;
  }
  EXPECT_GT(failures, 100);  // the generator exercises both outcomes
  EXPECT_LT(failures, 1900);
}

}  // namespace
}  // namespace quarn::compiler
