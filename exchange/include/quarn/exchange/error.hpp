// `ExchangeError`: why an exchange could not be planned or encoded.
//
// A tagged union of seven alternatives, each reachable as a nested name (`ExchangeError::Tile`).
// `to_string` gives the display text quoted by callers; `debug_string` names the alternative and
// its payload. The error has no cause of its own; `CompileError::Exchange` wraps it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quarn::exchange {

namespace exchange_error {
// A logical tile number that is not below the topology's tile count.
struct Tile {
  std::uint16_t tile;
  friend bool operator==(const Tile&, const Tile&) = default;
};
// A transfer whose two endpoints are one tile.
struct DuplicateTile {
  friend bool operator==(const DuplicateTile&, const DuplicateTile&) = default;
};
// A word count of zero or above `MAX_TRANSFER_WORDS`.
struct Count {
  std::uint32_t count;
  friend bool operator==(const Count&, const Count&) = default;
};
// An unusable multicast receiver list.
struct ReceiverSet {
  friend bool operator==(const ReceiverSet&, const ReceiverSet&) = default;
};
// A schedule that the instruction encoding cannot express; `text` is a constant explanation.
struct Schedule {
  std::string_view text;
  friend bool operator==(const Schedule&, const Schedule&) = default;
};
// A tile address that does not fit its encoding.
struct Address {
  std::uint32_t address;
  friend bool operator==(const Address&, const Address&) = default;
};
// A host packet whose address or length does not fit its encoding.
struct HostPacket {
  friend bool operator==(const HostPacket&, const HostPacket&) = default;
};
}  // namespace exchange_error

struct ExchangeError : std::variant<exchange_error::Tile, exchange_error::DuplicateTile,
                                    exchange_error::Count, exchange_error::ReceiverSet,
                                    exchange_error::Schedule, exchange_error::Address,
                                    exchange_error::HostPacket> {
  using Tile = exchange_error::Tile;
  using DuplicateTile = exchange_error::DuplicateTile;
  using Count = exchange_error::Count;
  using ReceiverSet = exchange_error::ReceiverSet;
  using Schedule = exchange_error::Schedule;
  using Address = exchange_error::Address;
  using HostPacket = exchange_error::HostPacket;
  using variant::variant;
};

// Display text, for example "logical tile 1472 is out of range".
std::string to_string(const ExchangeError& error);
// Debug text: the alternative's name, with its payload in parentheses when it has one
// ("Tile(1472)", "DuplicateTile", "Schedule(\"text\")").
std::string debug_string(const ExchangeError& error);

}  // namespace quarn::exchange
