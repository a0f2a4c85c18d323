// `ExecutableGraph`: a compiled graph ready to be placed on the device.
//
// It owns the compiler's `Schedule`, the words that must be in tile memory before the program
// starts, and the host bindings. Placement reads and rewrites it; the memory profile reads it.
// Every `InitialBuffer::address` and `RegionSlice::tile_address` points into an allocation of the
// schedule and moves with it.
#pragma once

#include <cstdint>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/package/binding.hpp"

namespace quarn::runtime {

// Memory contents present before the program starts.
struct InitialBuffer {
  // Logical tile number.
  std::uint16_t tile = 0;
  // Address of the first word; inside an allocation of the schedule on that tile.
  std::uint32_t address = 0;
  // Written at address, address + 4, and so on.
  std::vector<std::uint32_t> words;
  friend bool operator==(const InitialBuffer&, const InitialBuffer&) = default;
};

struct ExecutableGraph {
  compiler::Schedule schedule;
  std::vector<InitialBuffer> initial_buffers;
  // The four binding lists differ only in what the host does with them.
  std::vector<package::Binding> outputs;
  std::vector<package::Binding> host_weights;
  std::vector<package::Binding> host_inputs;
  std::vector<package::Binding> host_outputs;
  friend bool operator==(const ExecutableGraph&, const ExecutableGraph&) = default;
};

// The phase of a lowered step (the compiler's one rule, offered at the runtime's root).
using compiler::lowered_step_phase;

}  // namespace quarn::runtime
