#include <string>
#include <type_traits>
#include <variant>

#include "quarn/exchange/error.hpp"
#include "quarn/exchange/instructions.hpp"
#include "quarn/exchange/topology.hpp"
#include "quarn/support/format.hpp"

namespace quarn::exchange {

using support::format;
using support::Hex;

Topology Topology::zelk() {
  Topology topology;
  topology.logical_to_physical.reserve(ZELK_TILE_COUNT);
  for (std::uint16_t logical = 0; logical < ZELK_TILE_COUNT; ++logical) {
    topology.logical_to_physical.push_back(zelk_logical_to_physical(logical));
  }
  return topology;
}

std::string to_string(const ExchangeError& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, ExchangeError::Tile>) {
          return format("logical tile {} is out of range", e.tile);
        } else if constexpr (std::is_same_v<E, ExchangeError::DuplicateTile>) {
          return "exchange endpoints must be distinct";
        } else if constexpr (std::is_same_v<E, ExchangeError::Count>) {
          return format("exchange count {} is outside 1..={}", e.count, MAX_TRANSFER_WORDS);
        } else if constexpr (std::is_same_v<E, ExchangeError::ReceiverSet>) {
          return "invalid multicast receiver set";
        } else if constexpr (std::is_same_v<E, ExchangeError::Schedule>) {
          return format("exchange schedule is not encodable: {}", e.text);
        } else if constexpr (std::is_same_v<E, ExchangeError::Address>) {
          return format("tile address 0x{} is not encodable", Hex{e.address});
        } else {
          static_assert(std::is_same_v<E, ExchangeError::HostPacket>);
          return "host exchange address or length is not encodable";
        }
      },
      error);
}

std::string debug_string(const ExchangeError& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, ExchangeError::Tile>) {
          return format("Tile({})", e.tile);
        } else if constexpr (std::is_same_v<E, ExchangeError::DuplicateTile>) {
          return "DuplicateTile";
        } else if constexpr (std::is_same_v<E, ExchangeError::Count>) {
          return format("Count({})", e.count);
        } else if constexpr (std::is_same_v<E, ExchangeError::ReceiverSet>) {
          return "ReceiverSet";
        } else if constexpr (std::is_same_v<E, ExchangeError::Schedule>) {
          return format("Schedule(\"{}\")", e.text);
        } else if constexpr (std::is_same_v<E, ExchangeError::Address>) {
          return format("Address({})", e.address);
        } else {
          return "HostPacket";
        }
      },
      error);
}

}  // namespace quarn::exchange
