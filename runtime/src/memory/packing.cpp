// Largest-first, best-fit packing into gaps.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <numeric>
#include <optional>
#include <vector>

#include "quarn/runtime/memory/packing.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/ranges.hpp"

namespace quarn::runtime {
namespace {

struct Fit {
  std::size_t gap;
  std::uint32_t address;
};

// The usable gap with the least slack after placing `size` bytes at its start rounded up to
// `alignment`, the lowest index on ties. A gap whose aligned start leaves 32 bits, or whose
// object end would, is unusable.
std::optional<Fit> best_fit(const std::vector<AddressRange>& gaps, std::uint32_t size,
                            std::uint32_t alignment) {
  std::optional<Fit> best;
  std::uint64_t best_slack = 0;
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    const auto [start, end] = gaps[i];
    const auto address = align_up(start, alignment);
    if (!address) continue;
    const std::uint64_t object_end = std::uint64_t{*address} + size;
    if (object_end > end) continue;
    const std::uint64_t slack = end - object_end;
    if (!best || slack < best_slack) {
      best = Fit{i, *address};
      best_slack = slack;
    }
  }
  return best;
}

std::string no_gap_message(std::uint64_t size, std::string_view description, std::uint16_t tile,
                           const std::vector<AddressRange>& gaps) {
  std::uint64_t free_bytes = 0;
  std::uint64_t largest = 0;
  for (const auto& [start, end] : gaps) {
    // Gaps are expected to be well formed; an inverted one holds nothing.
    const std::uint64_t length = end > start ? end - start : 0;
    free_bytes += length;
    largest = std::max(largest, length);
  }
  return support::format(
      "no tile-memory gap can hold a {}-byte {} object on tile {}: {} free bytes, {}-byte largest "
      "gap",
      size, description, tile, free_bytes, largest);
}

// Indices ordered by size, largest first; equal sizes keep their input order.
template <typename SizeOf>
std::vector<std::size_t> largest_first(std::size_t count, SizeOf size_of) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return size_of(a) > size_of(b); });
  return order;
}

}  // namespace

Result<PackedObjects> pack_objects_in_gaps(std::uint16_t tile,
                                           std::span<const AddressRange> objects,
                                           std::vector<AddressRange> gaps,
                                           std::string_view description) {
  const auto size_of = [&](std::size_t i) -> std::uint32_t {
    const auto [start, end] = objects[i];
    return end > start ? end - start : 0;
  };
  PackedObjects packed;
  packed.placed.reserve(objects.size());
  for (const std::size_t index : largest_first(objects.size(), size_of)) {
    const std::uint32_t size = size_of(index);
    const auto fit = best_fit(gaps, size, 8);
    if (!fit) return fail(no_gap_message(size, description, tile, gaps));
    // The bytes skipped for alignment are given up.
    gaps[fit->gap].first = fit->address + size;
    packed.relocation_map.insert_or_assign(objects[index].first, fit->address);
    packed.placed.emplace_back(fit->address, fit->address + size);
  }

  packed.placed = support::merge_ranges(std::move(packed.placed));
  return packed;
}

Result<std::vector<AddressRange>> pack_sized_objects_in_gaps(std::uint16_t tile,
                                                             std::span<const std::uint32_t> sizes,
                                                             std::vector<AddressRange> gaps,
                                                             std::uint32_t alignment,
                                                             std::string_view description) {
  if (!std::has_single_bit(alignment) || std::find(sizes.begin(), sizes.end(), 0u) != sizes.end()) {
    return fail(support::format("invalid {} placement request", description));
  }
  std::vector<AddressRange> result(sizes.size(), AddressRange{0, 0});
  for (const std::size_t index :
       largest_first(sizes.size(), [&](std::size_t i) { return sizes[i]; })) {
    const auto rounded = align_up(sizes[index], alignment);
    // A size that rounds past 2^32 fits no gap; it is reported with its rounding in 64 bits.
    const auto fit = rounded ? best_fit(gaps, *rounded, alignment) : std::nullopt;
    if (!fit) {
      const std::uint64_t shown =
          rounded ? *rounded
                  : (std::uint64_t{sizes[index]} + alignment - 1) & ~(std::uint64_t{alignment} - 1);
      return fail(no_gap_message(shown, description, tile, gaps));
    }
    const std::uint64_t end = std::uint64_t{fit->address} + *rounded;
    if (end > UINT32_MAX) return fail(support::format("{} placement overflow", description));
    gaps[fit->gap].first = static_cast<std::uint32_t>(end);
    result[index] = {fit->address, static_cast<std::uint32_t>(end)};
  }
  return result;
}

}  // namespace quarn::runtime
