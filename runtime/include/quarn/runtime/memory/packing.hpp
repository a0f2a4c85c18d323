// Packing objects into the free gaps of one tile's memory.
//
// Both packers use one policy: largest object first, each into the gap it fits most tightly (best
// fit, lowest gap index on ties), the chosen gap shrinking from the front. The result therefore
// does not depend on the order in which the caller lists the objects. `pack_objects_in_gaps`
// places objects that already have a range in some source image and reports where each went;
// `pack_sized_objects_in_gaps` places objects known only by their size. Gaps are half-open
// (start, end) pairs, used in list order for tie-breaking and expected not to overlap.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "quarn/runtime/error.hpp"
#include "quarn/runtime/memory/ranges.hpp"

namespace quarn::runtime {

// The smallest multiple of `alignment` (a nonzero power of two) not below `value`, or nothing when
// that multiple does not fit in 32 bits: a gap starting within `alignment` − 1 of 2^32 has no
// aligned address, and a size that rounds past 2^32 cannot be placed anywhere. Any other
// alignment is a caller error (`std::logic_error`).
constexpr std::optional<std::uint32_t> align_up(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    throw std::logic_error("assertion failed: alignment.is_power_of_two()");
  }
  const std::uint64_t mask = alignment - 1;
  const std::uint64_t rounded = (std::uint64_t{value} + mask) & ~mask;
  if (rounded > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(rounded);
}

// Where each object start went: object start → placed address, ascending by object start.
using RelocationMap = std::map<std::uint32_t, std::uint32_t>;

// The result of `pack_objects_in_gaps`.
struct PackedObjects {
  // Object start → placed address. Objects sharing a start keep the last one placed.
  RelocationMap relocation_map;
  // The ranges the placed objects occupy, ascending, touching and overlapping ranges merged.
  std::vector<AddressRange> placed;
  friend bool operator==(const PackedObjects&, const PackedObjects&) = default;
};

// Places every object (a half-open source range; size end − start, or 0 when inverted) at the
// 8-aligned start of its best-fitting gap. Fails with "no tile-memory gap can hold a {}-byte {}
// object on tile {}: {} free bytes, {}-byte largest gap" at the first object that fits nowhere,
// counting the gaps as already shrunk by the objects placed before it. `description` names the
// kind of object ("static data", "static executable").
Result<PackedObjects> pack_objects_in_gaps(std::uint16_t tile,
                                           std::span<const AddressRange> objects,
                                           std::vector<AddressRange> gaps,
                                           std::string_view description);

// Places one object per size (rounded up to `alignment`) at the aligned start of its
// best-fitting gap and returns the ranges in input order. Fails with "invalid {} placement
// request" for an alignment that is not a power of two or a zero size, and with the no-gap message
// above (showing the rounded size) when an object fits nowhere.
Result<std::vector<AddressRange>> pack_sized_objects_in_gaps(std::uint16_t tile,
                                                             std::span<const std::uint32_t> sizes,
                                                             std::vector<AddressRange> gaps,
                                                             std::uint32_t alignment,
                                                             std::string_view description);

}  // namespace quarn::runtime
