// find_free_region_in_arenas and allocate_from_occupied_arenas on small windows, against brute
// force: an answer is aligned, inside one arena, disjoint from everything occupied, and the
// lowest (Low) or highest (High) such address of the first arena that has one; a failure means no
// aligned fit exists anywhere, and leaves the caller's occupied list unchanged.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/compiler/arena.hpp"

using namespace quarn::compiler;
using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;

namespace {

std::optional<std::uint32_t> brute_force(const std::vector<OccupiedRange>& occupied,
                                         std::uint32_t size, const std::vector<MemoryArena>& arenas,
                                         std::uint32_t alignment) {
  for (const MemoryArena& arena : arenas) {
    std::optional<std::uint32_t> best;
    for (std::uint64_t a = arena.base / alignment * alignment; a + size <= arena.limit;
         a += alignment) {
      if (a < arena.base) continue;
      const bool free = std::none_of(occupied.begin(), occupied.end(), [&](const OccupiedRange& r) {
        return r.first < r.second && a < r.second && r.first < a + size;
      });
      if (!free) continue;
      best = static_cast<std::uint32_t>(a);
      if (arena.placement == MemoryPlacement::Low) break;
    }
    if (best) return best;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::uint32_t window =
      in.boolean() ? 0x1000 : 0xFFFFFE00u;  // low memory or the top of 2^32
  std::vector<Allocation> allocations;
  const std::uint32_t count = in.below(10);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t from = in.below(4);
    allocations.push_back(Allocation{TensorId{i}, static_cast<std::uint16_t>(in.below(2)),
                                     window + 4 * in.below(128), 4 * in.below(16), from,
                                     in.below(8) == 0 ? LIVE_TO_END : from + in.below(4),
                                     AllocationKind::Home{}});
  }
  std::vector<MemoryArena> arenas;
  const std::uint32_t arena_count = in.below(3);
  for (std::uint32_t i = 0; i < arena_count; ++i) {
    const std::uint32_t base = window + 4 * in.below(120);
    const std::uint64_t wanted =
        in.below(16) == 0 ? base : std::uint64_t{base} + 4 + 4 * in.below(64);
    arenas.push_back(
        MemoryArena{base, static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, UINT32_MAX)),
                    in.boolean() ? MemoryPlacement::High : MemoryPlacement::Low});
  }
  const std::uint32_t request = in.below(8) == 0 ? 0 : 1 + in.below(64);
  const std::uint32_t alignment = in.below(8) == 0 ? in.below(64) : 1u << in.below(6);
  const std::size_t from = in.below(4);
  const std::size_t until = from + in.below(3);

  const auto answer =
      find_free_region_in_arenas(allocations, 0, request, from, until, arenas, alignment);
  const bool invalid = request == 0 || !std::has_single_bit(alignment) ||
                       std::any_of(arenas.begin(), arenas.end(),
                                   [](const MemoryArena& a) { return a.base >= a.limit; });
  if (arenas.empty()) {
    require(!answer && to_string(answer.error()) ==
                           "SRAM allocation failed: allocation requires an SRAM arena",
            "empty arena list");
    return 0;
  }
  if (invalid) {
    require(!answer && to_string(answer.error()) ==
                           "SRAM allocation failed: invalid SRAM arena allocation",
            "invalid request");
    return 0;
  }
  std::vector<OccupiedRange> occupied;
  for (const Allocation& a : allocations) {
    if (a.tile == 0 && from < a.live_until && a.live_from < until && a.size != 0) {
      occupied.emplace_back(a.address, static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                           std::uint64_t{a.address} + a.size, UINT32_MAX)));
    }
  }
  const auto expected = brute_force(occupied, request, arenas, alignment);
  require(answer.has_value() == expected.has_value(), "fit found by one side only");
  if (expected) {
    require(*answer == *expected, "not the first arena's lowest or highest fit");
    require(*answer % alignment == 0, "unaligned answer");
  } else {
    require(to_string(answer.error()) == "SRAM allocation failed: no arena can hold a " +
                                             std::to_string(request) + "-byte SRAM allocation",
            "no-fit message");
  }

  // The caller-kept list: sorted, merged, then one allocation inserted or nothing changed.
  std::sort(occupied.begin(), occupied.end());
  std::vector<OccupiedRange> merged;
  for (const auto& r : occupied) {
    if (!merged.empty() && merged.back().second >= r.first) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  std::vector<OccupiedRange> list = merged;
  const auto direct = allocate_from_occupied_arenas(list, request, arenas, alignment);
  require(direct.has_value() == expected.has_value(), "caller-list allocation disagrees");
  if (direct) {
    require(*direct == *expected, "caller-list address");
    require(list.size() == merged.size() + 1, "one range inserted");
    require(std::is_sorted(
                list.begin(), list.end(),
                [](const OccupiedRange& a, const OccupiedRange& b) { return a.first < b.first; }),
            "list stays sorted");
  } else {
    require(list == merged, "failed call changed the occupied list");
  }
  return 0;
}
