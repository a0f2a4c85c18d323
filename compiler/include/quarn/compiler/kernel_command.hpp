// Kernel calls of a compute phase, and the handle through which they are shared.
//
// A `KernelCommand` is held by the schedule's compute phase and by every lowered compute command
// made from it, all through `KernelCommandHandle`s to one record. Holders treat the record as
// read-only; one that must change it calls `make_unique_command` first, which copies the record
// when other handles exist and otherwise changes it in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quarn/compiler/ids.hpp"

namespace quarn::compiler {

// A text that is either a reference to a constant (static) text or an owned text. Kernel names
// are usually constants; holding them by reference means copying a key never copies the name.
// Equality and ordering are by content.
class Text {
 public:
  Text() = default;
  // A string literal: held by reference.
  template <std::size_t N>
  Text(const char (&literal)[N]) : value_(std::string_view(literal, N - 1)) {}
  // An owned text.
  Text(std::string owned) : value_(std::move(owned)) {}
  // A text with static storage duration, held by reference.
  static Text constant(std::string_view text) {
    Text result;
    result.value_ = text;
    return result;
  }

  std::string_view view() const {
    if (const auto* constant = std::get_if<std::string_view>(&value_)) return *constant;
    return std::get<std::string>(value_);
  }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }
  bool empty() const { return view().empty(); }
  // True when the text is held by reference to a constant.
  bool is_constant() const { return std::holds_alternative<std::string_view>(value_); }

  friend bool operator==(const Text& a, const Text& b) { return a.view() == b.view(); }
  friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }
  template <std::size_t N>
  friend bool operator==(const Text& a, const char (&b)[N]) {
    return a.view() == std::string_view(b, N - 1);
  }
  friend auto operator<=>(const Text& a, const Text& b) { return a.view() <=> b.view(); }

 private:
  std::variant<std::string_view, std::string> value_;
};

inline std::string to_string(const Text& text) { return text.str(); }

// Which compiled kernel variant runs a call.
struct SpecializationKey {
  // The kernel name, for example "gemm_f16_accumulate".
  Text operation;
  // The problem shape the kernel is specialised for.
  std::vector<std::size_t> shape;
  // Number of workers the kernel uses on the tile.
  std::uint8_t worker_count = 0;
  // The part the call plays in a larger computation ("inner-block"); may be empty.
  Text role;
  // Operand alignment the variant assumes.
  std::uint32_t alignment = 0;
  friend bool operator==(const SpecializationKey&, const SpecializationKey&) = default;
};

// The shape joined with "x" for people: [4, 8, 16] → "4x8x16".
std::string shape_text(const std::vector<std::size_t>& shape);

// Free-form annotations in ascending byte-wise key order. Keys in use: "label",
// "output_block_row", "output_block_column".
using Metadata = std::map<std::string, std::string>;

// One kernel call on one tile.
struct KernelCommand {
  std::uint16_t tile = 0;
  TensorId output;
  // The tensors read, in the kernel's operand order.
  std::vector<TensorId> inputs;
  std::vector<std::uint32_t> arguments;
  SpecializationKey specialization;
  Metadata metadata;
  friend bool operator==(const KernelCommand&, const KernelCommand&) = default;
};

// A shared, read-only handle to a kernel command.
using KernelCommandHandle = std::shared_ptr<const KernelCommand>;

// Makes a new handle holding `command`.
inline KernelCommandHandle make_kernel_command(KernelCommand command) {
  return std::make_shared<KernelCommand>(std::move(command));
}

// Makes `handle` the only handle to its record and returns the record for changing: when other
// handles share it, `handle` is replaced by a handle to a fresh copy (the others keep the old
// record); when it is the only one, the record is changed in place. `handle` must not be null.
// Handles must come from `make_kernel_command` or `std::make_shared<KernelCommand>`.
KernelCommand& make_unique_command(KernelCommandHandle& handle);

}  // namespace quarn::compiler
