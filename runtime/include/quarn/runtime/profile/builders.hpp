// Builders of one profiled step: a kernel call, an idle compute slot, an exchange epoch, the
// synchronisation before it, or all of a tile's calls in one compute phase.
//
// Each builder reads the schedule and lowered records and returns a new `package::ProfileStep`
// with its `operation` label, its `kernel` name (compute steps only) and its metadata in a fixed
// order. A command's own metadata is copied in ascending byte-wise key order; its "label" names
// the command for people and several builders use it as the step's `operation`. `local_index`,
// `phase` and `epoch` arrive as machine words and are stored as their low 32 bits. The tile
// program walk (`profile_steps`) calls these builders; they can also be called on their own.
//
// The builders never fail. A `phase` that is not an index of `schedule.phases` is a caller error
// and throws `std::logic_error`; null command handles in a phase are treated as absent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarn/compiler/ids.hpp"
#include "quarn/compiler/lowered.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/package/profile.hpp"

namespace quarn::runtime {

// One kernel call, kind `Compute`, `phase` from the lowered command. `operation` is the command's
// "label", else "{kernel} ({role})", else the kernel name when the role is empty. Metadata:
// "role", "shape", "worker_count", "alignment", "output_tensor", "output_address", then
// "input_{i}_tensor" and "input_{i}_address" for each position both the inputs and the input
// addresses have, "argument_{i}" for each argument word, then the command's own metadata.
// Throws `std::logic_error` when the lowered command holds no kernel command.
package::ProfileStep compute_profile_step(std::size_t local_index,
                                          const compiler::LoweredComputeCommand& command);

// A compute slot of `phase` in which the tile runs nothing, kind `Idle`. When the phase is a
// compute phase with commands, it describes the first one: 'idle during {kernel} ({role})' with
// "active" = "false", "scheduled_kernel", "scheduled_role", "scheduled_shape" and every own
// metadata entry except "label" that all commands of the phase hold with the same value.
// Otherwise 'idle compute op {op}' with the single entry "active" = "false".
package::ProfileStep idle_compute_profile_step(const compiler::Schedule& schedule,
                                               std::size_t local_index, compiler::OpId op,
                                               std::size_t phase);

// What `tile` does in epoch `epoch` of exchange phase `phase`, kind `Exchange`. Every epoch's
// step lists the whole phase's transfers. The next command is the first command on `tile` of the
// following compute phase, else that phase's first command; `operation` is
// 'exchange for {kernel} ({role})' with it, or 'exchange phase {phase}' without one. Metadata:
// "active", the send/receive counts and byte sums, "send_{i}" and "receive_{i}" per transfer,
// then "next_kernel", "next_role" and "next_{key}" for the next command's metadata except
// "label".
package::ProfileStep exchange_profile_step(const compiler::Schedule& schedule, std::uint16_t tile,
                                           std::size_t local_index, std::size_t phase,
                                           std::size_t epoch, bool active);

// The wait before that exchange epoch, kind `Synchronization`: 'sync before {exchange
// operation}', keeping of the exchange step's metadata only "active", "next_kernel",
// "next_role" and names beginning with "next_layer".
package::ProfileStep synchronization_profile_step(const compiler::Schedule& schedule,
                                                  std::uint16_t tile, std::size_t local_index,
                                                  std::size_t phase, std::size_t epoch,
                                                  bool active);

// All of `tile`'s commands in compute phase `phase`, kind `Compute`, described by the first:
// `operation` its "label" or kernel name; metadata "role", "shape", "worker_count",
// "active_commands" (the tile's command count), then its own metadata except "label". Without
// commands on the tile it is `idle_compute_profile_step` with the phase's op. Throws
// `std::logic_error` "expected a compute phase" for an exchange phase.
package::ProfileStep phase_compute_profile_step(const compiler::Schedule& schedule,
                                                std::uint16_t tile, std::size_t local_index,
                                                std::size_t phase);

// Keeps, in order, the entries "active", "send_count", "receive_count", "send_bytes",
// "receive_bytes" and those beginning with "next_"; removes the rest (the per-transfer entries
// of an exchange step). Nothing else of the step changes.
void compact_exchange_profile(package::ProfileStep& step);

}  // namespace quarn::runtime
