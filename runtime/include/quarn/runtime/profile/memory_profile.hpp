// The memory profile of an executable graph: every allocation and exchange staging buffer of
// every logical tile, named for people.
//
// `allocator_memory_profile` reads the graph as it currently is. A region's name is the host
// bindings whose bytes lie there, else the command whose output it is, else the command that
// reads a staged input, else the tensor and its role. Binding slices name physical tiles;
// allocations name logical tiles, mapped through the zelk topology.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "quarn/compiler/ids.hpp"
#include "quarn/compiler/kernel_command.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/package/memory_profile.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/runtime/executable_graph.hpp"

namespace quarn::runtime {

// A (logical tile, tensor) pair.
using TileTensor = std::pair<std::uint16_t, compiler::TensorId>;

struct TileTensorHash {
  // Both numbers mixed through a 64-bit finaliser, so that dense tensor ids on many tiles spread
  // over the buckets.
  std::size_t operator()(const TileTensor& key) const noexcept {
    std::uint64_t h = static_cast<std::uint64_t>(key.second.value) * 0x9E3779B97F4A7C15ull +
                      key.first;
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::size_t>(h ^ (h >> 31));
  }
};

// For each (command tile, command output) of the schedule's compute phases, the name of the first
// command that writes it.
using OutputNameMap = std::unordered_map<TileTensor, std::string, TileTensorHash>;

// The profile of every logical tile 0 .. tile_count − 1 of the graph's schedule. Fails with the
// topology's "logical tile {} is out of range" for the first tile the zelk card lacks, and with
// "host binding references a physical tile outside the topology" for a binding slice on a tile
// number the card does not have. No partial profile is returned.
Result<package::memory_profile::MemoryProfile> allocator_memory_profile(
    const ExecutableGraph& graph);

// The name of `allocation`'s region: `binding_names` (sorted, distinct) joined with ", " when not
// empty; else the output name of (tile, tensor); else for a staging allocation read by a command
// on its tile in the following compute phase 'input to {label or kernel}'; else 'tensor {} home',
// 'tensor {} alias of {}' or 'tensor {} staging for phase {}'.
std::string allocation_profile_name(const ExecutableGraph& graph,
                                    const compiler::Allocation& allocation,
                                    std::span<const std::string_view> binding_names,
                                    const OutputNameMap& output_names);

// 'GEMM accumulator block ({row}, {column})' for a "gemm_" kernel whose metadata holds
// "output_block_row" and "output_block_column"; otherwise 'output of {label or kernel}'.
std::string allocation_command_name(const compiler::KernelCommand& command);

}  // namespace quarn::runtime
