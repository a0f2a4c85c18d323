// Execution profile records: the profiled steps of each tile and their measured cycle intervals.
//
// The runtime builds one `ProfileStep` list per tile (what the tile does between two reads of its
// cycle counter), and after a device run decodes the counter readings into a `ProfileReport`.
// Both are handed to the application-package writer as they are. Every record owns its texts and
// lists, so a copy is independent of the original. Step metadata is an ordered list of
// (name, value) texts made only by `profile_metadata`; order is part of the content and a name
// may occur more than once.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarn/support/format.hpp"

namespace quarn::package {

// What a profiled step is. Compared by variant; printed by variant name.
enum class ProfileStepKind {
  // The tile's part of one exchange epoch (sending and receiving tensors).
  Exchange,
  // One kernel call, or all of a tile's kernel calls in one compute phase.
  Compute,
  // The wait for the other tiles that precedes an exchange epoch.
  Synchronization,
  // A compute phase, or a compute slot, in which the tile runs no kernel.
  Idle,
};

// "Exchange", "Compute", "Synchronization" or "Idle".
std::string to_string(ProfileStepKind kind);

// One descriptive entry of a step. `value` is already rendered and never parsed again.
struct ProfileMetadata {
  std::string name;
  std::string value;
  friend bool operator==(const ProfileMetadata&, const ProfileMetadata&) = default;
};

// One profiled step of one tile.
struct ProfileStep {
  // Position of the step in its tile's step list, from 0.
  std::uint32_t local_index = 0;
  // Index of the schedule phase the step belongs to.
  std::uint32_t phase = 0;
  // Exchange epoch within the phase for `Exchange` and `Synchronization` steps; 0 otherwise.
  std::uint32_t epoch = 0;
  // Readable label of what the step does.
  std::string operation;
  ProfileStepKind kind = ProfileStepKind::Exchange;
  // The kernel name for `Compute` steps; empty for the other kinds.
  std::string kernel;
  // In the order the builder appended the entries.
  std::vector<ProfileMetadata> metadata;
  friend bool operator==(const ProfileStep&, const ProfileStep&) = default;
};

// One step with its measured interval: raw 32-bit counter readings, stored as read.
struct CycleSample {
  ProfileStep step;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  friend bool operator==(const CycleSample&, const CycleSample&) = default;
};

// The decoded samples of one tile, one per profiled step, in step order.
struct TileProfile {
  std::uint32_t physical_tile = 0;
  std::vector<CycleSample> samples;
  friend bool operator==(const TileProfile&, const TileProfile&) = default;
};

// The decoded profile of one run.
struct ProfileReport {
  // The device clock, so that a reader can turn cycles into time; stored, never used.
  std::uint64_t clock_hz = 0;
  // In the order of the tile layouts that produced them.
  std::vector<TileProfile> tiles;
  friend bool operator==(const ProfileReport&, const ProfileReport&) = default;
};

namespace detail {

inline std::string metadata_value_text(std::string value) {
  return value;
}
inline std::string metadata_value_text(std::string_view value) {
  return std::string(value);
}
inline std::string metadata_value_text(const char* value) {
  return std::string(value);
}
inline std::string metadata_value_text(bool value) {
  return value ? "true" : "false";
}

// Unsigned 8-, 32- and 64-bit numbers and machine words: plain decimal digits. An 8-bit value is
// a number here, never a character.
template <std::unsigned_integral Value>
requires(!std::same_as<Value, bool> && !std::same_as<Value, char> &&
         !std::same_as<Value, char8_t> && !std::same_as<Value, char16_t> &&
         !std::same_as<Value, char32_t> && !std::same_as<Value, wchar_t>) std::string
    metadata_value_text(Value value) {
  std::string out;
  support::append_decimal(out, static_cast<std::uint64_t>(value));
  return out;
}

// Signed numbers have no rendering of their own; refusing them keeps a stray `int` from being
// shown as a boolean.
template <std::signed_integral Value>
requires(!std::same_as<Value, char>) std::string metadata_value_text(Value value)
= delete;

}  // namespace detail

// A metadata entry: `name` as owned text and `value` in its standard textual form. The name may
// be a literal, a formatted text or a text borrowed from another record. Values: texts (owned or
// borrowed, verbatim), unsigned 8/32/64-bit numbers and machine words (decimal), booleans
// ("true" or "false"). Texts are neither quoted nor escaped; hexadecimal values are rendered by
// the caller.
template <typename Name, typename Value>
requires std::constructible_from<std::string, Name&&> && requires(Value&& value) {
  detail::metadata_value_text(std::forward<Value>(value));
}
ProfileMetadata profile_metadata(Name&& name, Value&& value) {
  return ProfileMetadata{std::string(std::forward<Name>(name)),
                         detail::metadata_value_text(std::forward<Value>(value))};
}

}  // namespace quarn::package
