#include <gtest/gtest.h>

#include <cstdint>

#include "quarn/runtime/host_transfers.hpp"

namespace quarn::runtime {
namespace {

TEST(HostTransferPhaseCount, TwoPhasesPerTransferLessTheDeferredRendezvous) {
  EXPECT_EQ(host_transfer_phase_count(0), 0u);
  EXPECT_EQ(host_transfer_phase_count(1), 1u);
  EXPECT_EQ(host_transfer_phase_count(2), 3u);
  EXPECT_EQ(host_transfer_phase_count(1023), 2045u);
  EXPECT_EQ(host_transfer_phase_count(0x7FFFFFFFu), 4294967293u);
  for (std::uint32_t n = 1; n <= 1023; ++n) {
    const auto count = host_transfer_phase_count(n);
    ASSERT_TRUE(count);
    EXPECT_EQ(*count % 2, 1u);
    EXPECT_EQ((*count + 1) / 2, n);
  }
}

TEST(HostTransferPhaseCount, OverflowIsReported) {
  for (const std::uint32_t n : {0x80000000u, 0xFFFFFFFFu}) {
    const auto count = host_transfer_phase_count(n);
    ASSERT_FALSE(count);
    EXPECT_EQ(to_string(count.error()), "host phase count overflow");
  }
}

}  // namespace
}  // namespace quarn::runtime
