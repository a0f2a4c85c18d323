// Schedule::validate_allocations against a direct reference: the first per-allocation violation
// in schedule order (tile, overflow, unbacked alias), otherwise any pairwise overlap of swept
// allocations decides the outcome and the kind of message.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_input.hpp"
#include "quarn/compiler/schedule.hpp"

using namespace quarn::compiler;
using quarn::fuzz::FuzzInput;
using quarn::fuzz::require;

namespace {

std::uint64_t end_of(const Allocation& a) {
  return std::uint64_t{a.address} + a.size;
}

bool backed(const Schedule& s, const Allocation& alias, TensorId source) {
  return std::any_of(s.allocations.begin(), s.allocations.end(), [&](const Allocation& c) {
    return c.tensor == source && c.tile == alias.tile && c.kind.has_home_address() &&
           c.address <= alias.address &&
           std::min<std::uint64_t>(end_of(c), UINT32_MAX) >= end_of(alias) &&
           c.live_from <= alias.live_from && c.live_until >= alias.live_until;
  });
}

bool swept(const Allocation& a) {
  return a.size != 0 && a.live_from < a.live_until &&
         !std::holds_alternative<AllocationKind::HomeAlias>(a.kind);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  Schedule schedule;
  schedule.tile_count = static_cast<std::uint16_t>(1 + in.below(3));
  const std::uint32_t count = in.below(12);
  for (std::uint32_t i = 0; i < count; ++i) {
    Allocation a;
    a.tensor = TensorId{in.below(6)};
    a.tile = static_cast<std::uint16_t>(in.below(16) == 0 ? schedule.tile_count
                                                          : in.below(schedule.tile_count));
    a.address = in.below(16) == 0 ? 0xFFFFFFF0u + in.below(16) : 0x100 + 4 * in.below(32);
    a.size = in.boolean() ? 4 * in.below(8) : in.below(32);
    a.live_from = in.below(6);
    a.live_until = in.below(8) == 0 ? LIVE_TO_END : in.below(8);
    switch (in.below(4)) {
      case 0:
        a.kind = AllocationKind::HomeAlias{TensorId{in.below(6)}};
        break;
      case 1:
        a.kind = AllocationKind::ExchangeStaging{in.below(6)};
        break;
      default:
        a.kind = AllocationKind::Home{};
    }
    schedule.allocations.push_back(a);
  }

  std::string expected = "ok";
  for (const Allocation& a : schedule.allocations) {
    if (a.tile >= schedule.tile_count) {
      expected = "outside the";
    } else if (end_of(a) > UINT32_MAX) {
      expected = "address overflows";
    } else if (const auto* alias = std::get_if<AllocationKind::HomeAlias>(&a.kind);
               alias && a.size != 0 && a.live_from < a.live_until &&
               !backed(schedule, a, alias->source)) {
      expected = "is not backed";
    } else {
      continue;
    }
    break;
  }
  if (expected == "ok") {
    const auto& all = schedule.allocations;
    for (std::size_t i = 0; i < all.size() && expected == "ok"; ++i) {
      for (std::size_t j = i + 1; j < all.size(); ++j) {
        const Allocation& a = all[i];
        const Allocation& b = all[j];
        if (!swept(a) || !swept(b) || a.tile != b.tile) continue;
        if (a.address < end_of(b) && b.address < end_of(a) && a.live_from < b.live_until &&
            b.live_from < a.live_until) {
          expected = "overlap on tile";
          break;
        }
      }
    }
  }

  const auto result = schedule.validate_allocations();
  if (expected == "ok") {
    require(result.has_value(), "a valid schedule was rejected");
  } else {
    require(!result.has_value(), "an invalid schedule was accepted");
    const std::string text = to_string(result.error());
    require(text.starts_with("SRAM allocation failed: tensor ") ||
                text.starts_with("SRAM allocation failed: live tensors "),
            "message prefix");
    require(text.find(expected) != std::string::npos,
            "the first violation was not the one reported");
  }
  return 0;
}
