// pack_objects_in_gaps and pack_sized_objects_in_gaps on gaps of a small window (low memory or
// the top of 2^32). Success: every object lies, aligned, inside one of the original gaps, the
// nonempty objects are pairwise disjoint, the placement is the largest-first best fit, and the
// reported ranges, map and merged list agree with it. Failure: the message is one of the three
// the packers give, and a "no gap" failure is checked by brute force: at the failing object, with
// the gaps shrunk by the objects placed before it, no aligned address of any gap holds it.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/runtime/memory/packing.hpp"

using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;
using quarn::runtime::AddressRange;

namespace {

std::string no_gap(std::uint64_t size, const std::string& what, std::uint16_t tile,
                   const std::vector<AddressRange>& gaps) {
  std::uint64_t total = 0;
  std::uint64_t largest = 0;
  for (const auto& [s, e] : gaps) {
    const std::uint64_t length = e > s ? e - s : 0;
    total += length;
    largest = std::max(largest, length);
  }
  return "no tile-memory gap can hold a " + std::to_string(size) + "-byte " + what +
         " object on tile " + std::to_string(tile) + ": " + std::to_string(total) +
         " free bytes, " + std::to_string(largest) + "-byte largest gap";
}

// Every aligned address of every gap, scanned one by one: the best fit (least slack, lowest gap on
// ties, lowest address within a gap because slack shrinks only as the address falls).
std::optional<std::pair<std::size_t, std::uint32_t>> brute_fit(
    const std::vector<AddressRange>& gaps, std::uint64_t size, std::uint32_t alignment) {
  std::optional<std::pair<std::size_t, std::uint32_t>> best;
  std::uint64_t best_slack = 0;
  for (std::size_t g = 0; g < gaps.size(); ++g) {
    const auto [start, end] = gaps[g];
    for (std::uint64_t a = start; a + size <= end; ++a) {
      if (a % alignment != 0) continue;
      const std::uint64_t slack = end - (a + size);
      if (!best || slack < best_slack) {
        best = std::pair{g, static_cast<std::uint32_t>(a)};
        best_slack = slack;
      }
      break;  // the lowest aligned address of a gap has its least slack
    }
  }
  return best;
}

std::vector<std::size_t> largest_first(const std::vector<std::uint64_t>& sizes) {
  std::vector<std::size_t> order(sizes.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return sizes[a] > sizes[b]; });
  return order;
}

bool inside_one(const std::vector<AddressRange>& gaps, std::uint32_t start, std::uint64_t end) {
  return std::any_of(gaps.begin(), gaps.end(),
                     [&](const AddressRange& g) { return g.first <= start && end <= g.second; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const bool top = in.boolean();
  const std::uint32_t base = top ? 0xFFFFFFFFu - 2048 : 0x4C000;
  const std::uint16_t tile = in.u16();
  // Disjoint gaps laid out upward from the base, then listed in a fuzzed order.
  std::vector<AddressRange> gaps;
  std::uint64_t cursor = base;
  const std::uint32_t gap_count = in.below(7);
  for (std::uint32_t i = 0; i < gap_count; ++i) {
    const std::uint64_t start = cursor + in.below(64);
    const std::uint64_t end = std::min<std::uint64_t>(start + in.below(256), UINT32_MAX);
    if (start > UINT32_MAX) break;
    if (in.below(16) == 0) {
      gaps.emplace_back(static_cast<std::uint32_t>(end), static_cast<std::uint32_t>(start));
    } else {
      gaps.emplace_back(static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end));
    }
    cursor = end;
  }
  for (std::size_t i = gaps.size(); i > 1; --i) std::swap(gaps[i - 1], gaps[in.below(i)]);
  const std::string what = in.boolean() ? "static data" : "static executable";

  if (in.boolean()) {
    // Objects with source ranges; sizes end - start, 0 when inverted; starts may repeat.
    std::vector<AddressRange> objects;
    const std::uint32_t count = in.below(10);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t start = in.below(8) == 0 && !objects.empty()
                                      ? objects[in.below(objects.size())].first
                                      : 0x1000 + in.below(4096);
      const std::uint32_t end = in.below(8) == 0 ? start - in.below(4) : start + in.below(160);
      objects.emplace_back(start, end);
    }
    const auto result = quarn::runtime::pack_objects_in_gaps(tile, objects, gaps, what);

    std::vector<std::uint64_t> sizes;
    for (const auto& [s, e] : objects) sizes.push_back(e > s ? e - s : 0);
    std::vector<AddressRange> shrunk = gaps;
    std::vector<AddressRange> placed(objects.size());
    quarn::runtime::RelocationMap map;
    for (const std::size_t i : largest_first(sizes)) {
      const auto fit = brute_fit(shrunk, sizes[i], 8);
      if (!fit) {
        require(!result, "an object that fits no gap was placed");
        require(result.error().message == no_gap(sizes[i], what, tile, shrunk), "no-gap message");
        return 0;
      }
      shrunk[fit->first].first = static_cast<std::uint32_t>(fit->second + sizes[i]);
      placed[i] = {fit->second, static_cast<std::uint32_t>(fit->second + sizes[i])};
      map.insert_or_assign(objects[i].first, fit->second);
    }
    require(result.has_value(), "packing failed although every object fits");
    require(result->relocation_map == map, "relocation map differs from the best fit");
    for (std::size_t i = 0; i < placed.size(); ++i) {
      require(placed[i].first % 8 == 0, "object unaligned");
      require(inside_one(gaps, placed[i].first, placed[i].second), "object outside its gap");
      for (std::size_t j = 0; j < i; ++j) {
        require(!quarn::runtime::ranges_overlap(placed[i], placed[j]), "objects overlap");
      }
    }
    // The merged list: ascending, separated, and covering exactly the placed bytes.
    const auto& merged = result->placed;
    for (std::size_t i = 1; i < merged.size(); ++i) {
      require(merged[i - 1].second < merged[i].first, "merged list not ascending and separated");
    }
    for (const auto& r : placed) {
      if (r.first == r.second) continue;
      require(inside_one(merged, r.first, r.second), "placed object missing from the list");
    }
    for (const auto& m : merged) {
      if (m.first == m.second) continue;
      std::uint64_t covered = 0;
      for (const auto& r : placed) {
        if (m.first <= r.first && r.second <= m.second) covered += r.second - r.first;
      }
      require(covered == std::uint64_t{m.second} - m.first, "list covers bytes no object holds");
    }
    return 0;
  }

  // Sized objects.
  std::uint32_t alignment = 1u << in.below(7);
  if (in.below(16) == 0) alignment = in.below(16) == 0 ? 1u << 31 : in.below(100);
  std::vector<std::uint32_t> sizes32;
  const std::uint32_t count = in.below(10);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t s = 1 + in.below(160);
    if (in.below(32) == 0) s = in.below(32) == 0 ? 0xFFFFFFFFu - in.below(64) : 0;
    sizes32.push_back(s);
  }
  const auto result =
      quarn::runtime::pack_sized_objects_in_gaps(tile, sizes32, gaps, alignment, what);
  if (!std::has_single_bit(alignment) ||
      std::find(sizes32.begin(), sizes32.end(), 0u) != sizes32.end()) {
    require(!result && result.error().message == "invalid " + what + " placement request",
            "invalid request");
    return 0;
  }
  std::vector<std::uint64_t> rounded;
  for (const std::uint32_t s : sizes32) {
    rounded.push_back((std::uint64_t{s} + alignment - 1) / alignment * alignment);
  }
  std::vector<AddressRange> shrunk = gaps;
  std::vector<AddressRange> placed(sizes32.size());
  // Ordered by the requested size; equal requests keep their input order.
  for (const std::size_t i :
       largest_first(std::vector<std::uint64_t>(sizes32.begin(), sizes32.end()))) {
    const auto fit = brute_fit(shrunk, rounded[i], alignment);
    if (!fit) {
      require(!result, "a size that fits no gap was placed");
      require(result.error().message == no_gap(rounded[i], what, tile, shrunk), "no-gap message");
      return 0;
    }
    shrunk[fit->first].first = static_cast<std::uint32_t>(fit->second + rounded[i]);
    placed[i] = {fit->second, static_cast<std::uint32_t>(fit->second + rounded[i])};
  }
  require(result.has_value(), "sized packing failed although every object fits");
  require(*result == placed, "sized placement differs from the best fit");
  for (std::size_t i = 0; i < placed.size(); ++i) {
    require(placed[i].first % alignment == 0, "sized object unaligned");
    require(inside_one(gaps, placed[i].first, placed[i].second), "sized object outside its gap");
    for (std::size_t j = 0; j < i; ++j) {
      require(!quarn::runtime::ranges_overlap(placed[i], placed[j]), "sized objects overlap");
    }
  }
  return 0;
}
