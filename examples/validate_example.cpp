// Builds a small two-tile schedule by hand, validates its allocations, then adds an overlapping
// allocation and validates again, printing both results.
#include <cstdio>

#include "quarn/compiler/schedule.hpp"

using namespace quarn::compiler;

int main() {
  Schedule schedule;
  schedule.tile_count = 2;
  auto add = make_kernel_command(KernelCommand{
      .tile = 0,
      .output = TensorId{3},
      .inputs = {TensorId{1}, TensorId{2}},
      .arguments = {},
      .specialization = {.operation = "add_f16", .shape = {64}, .worker_count = 6, .role = "",
                         .alignment = 8},
      .metadata = {{"label", "residual add"}},
  });
  schedule.phases.push_back(Phase::Compute{OpId{0}, {add}});
  schedule.allocations = {
      {TensorId{1}, 0, 0x60000, 0x100, 0, 2, AllocationKind::Home{}},
      {TensorId{2}, 0, 0x60100, 0x100, 0, 2, AllocationKind::Home{}},
      {TensorId{3}, 0, 0x60000, 0x100, 2, LIVE_TO_END, AllocationKind::Home{}},
      {TensorId{4}, 0, 0x60080, 0x40, 0, 2, AllocationKind::HomeAlias{TensorId{1}}},
  };
  std::printf("%zu allocations on %u tiles\n", schedule.allocations.size(),
              unsigned{schedule.tile_count});
  const auto first = schedule.validate_allocations();
  std::printf("validation: %s\n", first ? "ok" : to_string(first.error()).c_str());

  schedule.allocations.push_back({TensorId{5}, 0, 0x600C0, 0x80, 1, 3, AllocationKind::Home{}});
  const auto second = schedule.validate_allocations();
  std::printf("with an overlapping tensor 5: %s\n",
              second ? "ok" : to_string(second.error()).c_str());
  return 0;
}
