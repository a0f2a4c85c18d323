#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "quarn/support/box.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/narrow.hpp"
#include "quarn/support/ranges.hpp"
#include "quarn/support/small_vector.hpp"

namespace quarn::support {
namespace {

TEST(Format, InsertsDecimalHexAndTextInOrder) {
  EXPECT_EQ(format("tensor {} at 0x{} on tile {}", 5, Hex{0x9C000}, std::uint16_t{2}),
            "tensor 5 at 0x9c000 on tile 2");
  EXPECT_EQ(format("0x{} 0x{}", Hex{0}, Hex{UINT64_MAX}), "0x0 0xffffffffffffffff");
  EXPECT_EQ(format("{}..{}", std::size_t{0}, SIZE_MAX), "0..18446744073709551615");
  EXPECT_EQ(format("{} and {}", std::string("a"), "b"), "a and b");
  EXPECT_EQ(format("{}", std::int8_t{-128}), "-128");
  EXPECT_EQ(format("{}", std::uint8_t{255}), "255");
  EXPECT_EQ(format("no placeholders"), "no placeholders");
}

TEST(Format, MismatchedPlaceholderCountIsACallerError) {
  EXPECT_THROW(format("{} {}", 1), std::logic_error);
  EXPECT_THROW(format("{}", 1, 2), std::logic_error);
}

TEST(Format, JoinSeparatesItems) {
  EXPECT_EQ(join(std::vector<int>{4, 8, 16}, "x"), "4x8x16");
  EXPECT_EQ(join(std::vector<std::string>{}, ", "), "");
}

TEST(CheckedNarrow, RejectsValuesOutsideTheTarget) {
  EXPECT_EQ(checked_narrow<std::uint16_t>(65535u), 65535u);
  EXPECT_EQ(checked_narrow<std::uint16_t>(65536u), std::nullopt);
  EXPECT_EQ(checked_narrow<std::uint32_t>(std::uint64_t{1} << 32), std::nullopt);
  EXPECT_EQ(checked_narrow<std::uint32_t>(-1), std::nullopt);
  EXPECT_EQ(INTEGRAL_CONVERSION_MESSAGE, "out of range integral type conversion attempted");
}

TEST(SmallVector, StaysInlineUpToItsCapacityThenGrows) {
  SmallVector<std::string, 2> v;
  v.push_back("a");
  v.emplace_back("b");
  EXPECT_TRUE(v.is_inline());
  v.push_back(v[0]);  // an element of the vector itself, while growing
  EXPECT_FALSE(v.is_inline());
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], "a");
  EXPECT_EQ(v[1], "b");
  EXPECT_EQ(v[2], "a");
}

TEST(SmallVector, CopiesAndMovesKeepContents) {
  SmallVector<std::unique_ptr<int>, 2> owned;
  owned.push_back(std::make_unique<int>(1));
  SmallVector<std::unique_ptr<int>, 2> moved = std::move(owned);
  EXPECT_TRUE(owned.empty());
  EXPECT_EQ(*moved[0], 1);
  for (int i = 2; i <= 4; ++i) moved.push_back(std::make_unique<int>(i));
  SmallVector<std::unique_ptr<int>, 2> heap_moved;
  heap_moved = std::move(moved);
  ASSERT_EQ(heap_moved.size(), 4u);
  EXPECT_EQ(*heap_moved[3], 4);
  EXPECT_TRUE(moved.empty());
  EXPECT_TRUE(moved.is_inline());

  SmallVector<int, 3> a{1, 2, 3, 4};
  SmallVector<int, 3> b = a;
  EXPECT_EQ(a, b);
  b.pop_back();
  b.resize(5, 9);
  EXPECT_EQ((std::vector<int>(b.begin(), b.end())), (std::vector<int>{1, 2, 3, 9, 9}));
  std::span<const int> view = b;
  EXPECT_EQ(view.size(), 5u);
}

TEST(Box, CopiesDeeply) {
  Box<std::string> a(std::string("x"));
  Box<std::string> b = a;
  *b = "y";
  EXPECT_EQ(*a, "x");
  EXPECT_EQ(*b, "y");
  EXPECT_FALSE(a == b);
}

}  // namespace
}  // namespace quarn::support

namespace quarn::support {
namespace {

TEST(MergeRanges, SortsAndJoinsOverlappingAndTouchingRanges) {
  using R = std::pair<std::uint32_t, std::uint32_t>;
  EXPECT_EQ(
      merge_ranges(std::vector<R>{{0x300, 0x400}, {0x100, 0x200}, {0x200, 0x280}, {0x150, 0x160}}),
      (std::vector<R>{{0x100, 0x280}, {0x300, 0x400}}));
  EXPECT_EQ(merge_ranges(std::vector<R>{{5, 6}, {7, 8}}), (std::vector<R>{{5, 6}, {7, 8}}));
  EXPECT_TRUE(merge_ranges(std::vector<R>{}).empty());
}

}  // namespace
}  // namespace quarn::support
