// relocate_transient_allocations_for_executables on small graphs (up to three tiles, a few
// allocations, aliases, initial buffers and binding slices). A failure leaves the whole
// ExecutableGraph exactly as it was and gives one of the operation's messages (the exact one for
// the two checks that come first). A success validates, moves exactly the transient allocations
// whose memory elements touch a reservation of their tile (32-aligned, inside the relocation
// arena), carries every buffer and slice address with the first moved allocation, in largest-first
// order, whose old range holds it, moves each alias by the offset of a moved allocation of its
// source, and changes nothing else.
#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/runtime/memory/relocation.hpp"

using namespace quarn::runtime;
using quarn::compiler::Allocation;
using quarn::compiler::AllocationKind;
using quarn::compiler::LIVE_TO_END;
using quarn::compiler::TensorId;
using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;

namespace {

constexpr std::uint32_t ELEMENT = 0x4000;

bool touches(const Allocation& a, const TileReservations& r) {
  const std::uint64_t start = a.address / ELEMENT * ELEMENT;
  const std::uint64_t end64 =
      std::min<std::uint64_t>(std::uint64_t{a.address} + a.size, UINT32_MAX);
  const std::uint64_t end =
      std::min<std::uint64_t>((end64 + ELEMENT - 1) / ELEMENT * ELEMENT, UINT32_MAX);
  const auto hit = [&](const AddressRange& x) {
    return x.first < x.second && start < end && start < x.second && x.first < end;
  };
  return hit(r.first) || hit(r.second);
}

bool transient(const Allocation& a) {
  return std::holds_alternative<AllocationKind::Home>(a.kind) && a.live_until != LIVE_TO_END &&
         a.size != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::uint16_t tiles = static_cast<std::uint16_t>(1 + in.below(3));
  std::vector<std::uint16_t> physical;
  for (std::uint16_t t = 0; t < tiles; ++t) physical.push_back(static_cast<std::uint16_t>(10 + t));
  const quarn::exchange::Topology topology{physical};

  ExecutableGraph graph;
  graph.schedule.tile_count = in.below(16) == 0 ? static_cast<std::uint16_t>(tiles + 1) : tiles;
  std::vector<TileReservations> reservations(in.below(16) == 0 ? in.below(tiles + 2) : tiles);
  for (auto& [first, second] : reservations) {
    for (AddressRange* r : {&first, &second}) {
      if (in.below(4) == 0) continue;  // (0, 0)
      const std::uint32_t start = 0x4C000 + 0x1000 * in.below(0x9C);
      *r = {start, start + 0x1000 * in.below(24)};
    }
  }

  // Allocations: per tile, mostly laid out upward without overlap, some anywhere.
  std::vector<std::uint32_t> cursor(tiles + 1, 0x4C000);
  const std::uint32_t count = in.below(10);
  auto& allocations = graph.schedule.allocations;
  for (std::uint32_t i = 0; i < count; ++i) {
    Allocation a;
    a.tensor = TensorId{in.below(8) == 0 ? in.below(i + 1) : i};
    a.tile = static_cast<std::uint16_t>(in.below(graph.schedule.tile_count));
    a.live_from = in.below(6);
    a.live_until = in.below(6) == 0 ? LIVE_TO_END : a.live_from + 1 + in.below(4);
    const std::uint8_t kind = in.below(8);
    if (kind == 0 && !allocations.empty()) {
      // An alias inside an earlier allocation (usually backed; sometimes it is not).
      const Allocation& source = allocations[in.below(allocations.size())];
      a.kind = AllocationKind::HomeAlias{source.tensor};
      a.tile = source.tile;
      const std::uint32_t offset = source.size == 0 ? 0 : 4 * in.below(source.size / 4 + 1);
      a.address = source.address + offset;
      a.size =
          std::min<std::uint32_t>(source.size - std::min(offset, source.size), 4 * in.below(16));
      a.live_from = source.live_from;
      a.live_until = source.live_until;
    } else {
      if (kind == 1) a.kind = AllocationKind::ExchangeStaging{in.below(4)};
      switch (in.below(8)) {
        case 0:  // in the relocation arena, taking room from the moves
          a.address = 0x88000 + 0x1000 * in.below(0x60);
          a.size = 0x1000 * in.below(0x40);
          break;
        case 1:  // at the top of 2^32
          a.address = 0xFFFFFFFFu - in.below(0x100);
          a.size = in.below(0x200);
          break;
        default:
          a.address = cursor[a.tile] + 0x10 * in.below(0x400);
          a.size = in.below(8) == 0 ? 0x1000 * in.below(0x80) : 0x10 * in.below(0x100);
          cursor[a.tile] = a.address + a.size;
      }
    }
    allocations.push_back(a);
  }
  // Addresses pointing into allocations (or just past them).
  const auto pointer = [&](std::uint16_t& tile) -> std::uint32_t {
    if (allocations.empty() || in.below(8) == 0) return 0x4C000 + 4 * in.below(0x100);
    const Allocation& a = allocations[in.below(allocations.size())];
    tile = a.tile;
    return a.address + 4 * in.below(a.size / 4 + 2);
  };
  const std::uint32_t buffer_count = in.below(4);
  for (std::uint32_t i = 0; i < buffer_count; ++i) {
    InitialBuffer b;
    b.tile = static_cast<std::uint16_t>(in.below(tiles));
    b.address = pointer(b.tile);
    b.words.assign(1 + in.below(3), in.u32());
    graph.initial_buffers.push_back(b);
  }
  std::vector<quarn::package::Binding>* lists[] = {&graph.outputs, &graph.host_weights,
                                                   &graph.host_inputs, &graph.host_outputs};
  const std::uint32_t binding_count = in.below(4);
  for (std::uint32_t i = 0; i < binding_count; ++i) {
    quarn::package::Binding binding{"b" + std::to_string(i), "u32", {1}, {}};
    const std::uint32_t slices = in.below(3);
    for (std::uint32_t s = 0; s < slices; ++s) {
      std::uint16_t tile = static_cast<std::uint16_t>(in.below(tiles));
      const std::uint32_t address = pointer(tile);
      const std::uint32_t phys = in.below(32) == 0 ? 99 : tile < tiles ? physical[tile] : 10 + tile;
      binding.slices.push_back({phys, address, 4 * s, 4});
    }
    lists[in.below(4)]->push_back(std::move(binding));
  }

  const ExecutableGraph before = graph;
  const auto result = relocate_transient_allocations_for_executables(graph, topology, reservations);

  if (!result) {
    require(graph == before, "a failed relocation changed the graph");
    const std::string& text = result.error().message;
    if (reservations.size() < tiles) {
      require(text == "reserved ranges are given for " + std::to_string(reservations.size()) +
                          " tiles but the topology has " + std::to_string(tiles) + " logical tiles",
              "short reservation list message");
      return 0;
    }
    for (const Allocation& a : before.schedule.allocations) {
      if (transient(a) && a.tile >= reservations.size()) {
        require(text == "transient tensor " + std::to_string(a.tensor.value) + " on tile " +
                            std::to_string(a.tile) +
                            " has no reserved ranges: reserved ranges are given for " +
                            std::to_string(reservations.size()) + " tiles",
                "missing reservation message");
        return 0;
      }
    }
    require(text.starts_with("cannot relocate transient tensor ") ||
                text == "allocation relocation range overflow" ||
                text == "host binding references a physical tile outside the topology" ||
                text.starts_with("SRAM allocation failed: "),
            "failure message is none of the operation's");
    return 0;
  }

  require(reservations.size() >= tiles, "short reservation list accepted");
  require(graph.schedule.validate_allocations().has_value(), "relocated graph does not validate");

  // The expected moves: candidates largest first, equal sizes in schedule order.
  const auto& old_allocations = before.schedule.allocations;
  std::vector<std::size_t> moved;
  for (std::size_t i = 0; i < old_allocations.size(); ++i) {
    const Allocation& a = old_allocations[i];
    if (!transient(a)) continue;
    require(a.tile < reservations.size(), "transient allocation without reservations accepted");
    if (touches(a, reservations[a.tile])) moved.push_back(i);
  }
  std::stable_sort(moved.begin(), moved.end(), [&](std::size_t x, std::size_t y) {
    return old_allocations[x].size > old_allocations[y].size;
  });
  require(*result == moved.size(), "moved count");
  std::vector<RelocationEntry> entries;
  for (const std::size_t i : moved) {
    const Allocation& was = old_allocations[i];
    const Allocation& now = allocations[i];
    require(now.address % 32 == 0, "moved allocation unaligned");
    require(now.address >= 0x88000 && std::uint64_t{now.address} + now.size <= 0xE8000,
            "moved allocation outside the relocation arena");
    entries.push_back({was.tensor, was.tile, was.address, was.address + was.size, now.address});
  }

  ExecutableGraph restored = graph;
  for (std::size_t i = 0; i < old_allocations.size(); ++i) {
    const Allocation& was = old_allocations[i];
    Allocation& now = restored.schedule.allocations[i];
    if (std::find(moved.begin(), moved.end(), i) != moved.end()) {
      now.address = was.address;
      continue;
    }
    if (now.address != was.address) {
      const auto* alias = std::get_if<AllocationKind::HomeAlias>(&was.kind);
      require(alias != nullptr, "an allocation that was not a candidate moved");
      const bool carried =
          std::any_of(entries.begin(), entries.end(), [&](const RelocationEntry& e) {
            return e.tensor == alias->source && e.tile == was.tile && e.old_start <= was.address &&
                   std::uint64_t{was.address} + was.size <= e.old_end &&
                   now.address == e.new_start + (was.address - e.old_start);
          });
      require(carried, "alias moved other than with its source");
      now.address = was.address;
    }
  }
  for (std::size_t i = 0; i < before.initial_buffers.size(); ++i) {
    std::uint32_t address = before.initial_buffers[i].address;
    relocate_literal_address(before.initial_buffers[i].tile, address, entries);
    require(graph.initial_buffers[i].address == address, "initial buffer not carried");
    restored.initial_buffers[i].address = before.initial_buffers[i].address;
  }
  for (std::size_t l = 0; l < 4; ++l) {
    const auto& was = *std::array{&before.outputs, &before.host_weights, &before.host_inputs,
                                  &before.host_outputs}[l];
    auto& now = *std::array{&restored.outputs, &restored.host_weights, &restored.host_inputs,
                            &restored.host_outputs}[l];
    for (std::size_t b = 0; b < was.size(); ++b) {
      for (std::size_t s = 0; s < was[b].slices.size(); ++s) {
        const auto& slice = was[b].slices[s];
        require(slice.tile >= 10 && slice.tile < 10u + tiles,
                "slice outside the topology accepted");
        std::uint32_t address = slice.tile_address;
        relocate_literal_address(static_cast<std::uint16_t>(slice.tile - 10), address, entries);
        require(now[b].slices[s].tile_address == address, "binding slice not carried");
        now[b].slices[s].tile_address = slice.tile_address;
      }
    }
  }
  require(restored == before, "relocation changed something besides addresses");
  return 0;
}
