// Host bindings: the named tensors the host writes to the device or reads back.
//
// A `Binding` is described as `RegionSlice`s of tile memory. Slice tiles are PHYSICAL tile
// numbers; every other tile number of a graph is logical.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarn::package {

// One contiguous piece of a binding on one tile.
struct RegionSlice {
  // Physical tile number.
  std::uint32_t tile = 0;
  // Address of the piece in that tile's memory; moves with the allocation it points into.
  std::uint32_t tile_address = 0;
  // Byte offset of the piece within the binding's host-side data.
  std::uint64_t file_offset = 0;
  std::uint64_t size = 0;
  friend bool operator==(const RegionSlice&, const RegionSlice&) = default;
};

// One named host-visible tensor.
struct Binding {
  // The tensor's name for the host ("left", "input").
  std::string name;
  // The element type ("f32", "u32").
  std::string dtype;
  std::vector<std::uint32_t> shape;
  // Together the slices say where every byte of the tensor lies on the device.
  std::vector<RegionSlice> slices;
  friend bool operator==(const Binding&, const Binding&) = default;
};

}  // namespace quarn::package
