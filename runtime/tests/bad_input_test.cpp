// Internal errors that only a broken caller reaches: each throws `std::logic_error` with its text.
#include <gtest/gtest.h>

#include <string>

#include "internal_error.hpp"
#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/runtime/profile/builders.hpp"
#include "quarn/runtime/profile/tile_profile.hpp"
#include "quarn/runtime/siglip/residual_fusion.hpp"

namespace {

using namespace quarn;
using compiler::Phase;
using quarn::test_support::internal_error_text;

TEST(BadInput, LoweredComputeCommandWithoutKernelCommand) {
  const compiler::LoweredComputeCommand command{compiler::OpId{1}, 0, nullptr, 0x4C000, {}};
  EXPECT_EQ(internal_error_text([&] { return runtime::compute_profile_step(0, command); }),
            "lowered compute command without a kernel command");
}

TEST(BadInput, GranularityOutsideTheEnumeration) {
  EXPECT_EQ(internal_error_text(
                [] { return runtime::to_string(static_cast<runtime::ProfileGranularity>(7)); }),
            "unknown profile granularity");
}

TEST(BadInput, NullKernelCommandInATerminalAddPhase) {
  compiler::Schedule schedule;
  schedule.phases = {Phase::Exchange{},
                     Phase::Compute{.op = compiler::OpId{1}, .commands = {nullptr}}};
  EXPECT_EQ(
      internal_error_text([&] { return runtime::siglip::defer_terminal_residual_add(schedule); }),
      "compute phase holds a null kernel command");
  EXPECT_EQ(schedule.phases.size(), 2u);
}

}  // namespace
