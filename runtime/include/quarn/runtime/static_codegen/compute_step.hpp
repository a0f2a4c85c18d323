// The generic steps of a static code template, and the planning of its kernel calls.
//
// A planned template is a list of `StaticTemplateStep`s that one code sequence performs for every
// instance; each per-instance difference is a `TemplateValue` of the template's `TemplateRecords`
// table. `plan_template_compute_step` builds the `Compute` step for one call position of one
// compute phase: all instances' calls there must share a compute ABI (one output, 1 to 7 inputs
// and arguments together, the same counts in every instance), and their operands, kernels and
// presence become template values. The planner (planner.hpp) builds the other steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/runtime/static_codegen/template_records.hpp"
#include "quarn/support/small_vector.hpp"

namespace quarn::runtime::static_codegen {

namespace template_step {
// One exchange epoch of the template.
struct Exchange {
  // The word offset within the exchange plan that the instances' sender patch writes (from the
  // first instance with a patch); absent when no instance has one.
  std::optional<std::uint16_t> sender_word_offset;
  // Per instance, the address of the patched word (0 without a patch); present only when the
  // patches disagree on the word offset.
  std::optional<TemplateValue> sender_address;
  // Per instance, the instruction word the patch writes (0 without a patch); present exactly
  // when `sender_word_offset` is.
  std::optional<TemplateValue> sender_instruction;
  // The plan row words that differ between instances, by ascending word index.
  std::vector<std::pair<std::uint16_t, TemplateValue>> plan_words;
  // Per instance, the exchange plan's address.
  TemplateValue plan_address;
  // Per instance, 1 when the exchange is active and 0 when it is not.
  TemplateValue active;
  friend bool operator==(const Exchange&, const Exchange&) = default;
};
// One kernel call.
struct Compute {
  // The operation of the first instance that makes the call.
  std::string operation;
  // The output address, then one per input address, then one per argument word.
  std::vector<TemplateValue> operands;
  // Present when the instances call different operations: per instance the symbol
  // "quarn_stack_{operation}", or the value 0 where the instance makes no call.
  std::optional<TemplateValue> kernel;
  // Present when some instance makes no call: per instance 1 when it calls, 0 when it skips.
  std::optional<TemplateValue> condition;
  friend bool operator==(const Compute&, const Compute&) = default;
};
// A compute phase in which no instance calls anything.
struct Idle {
  friend bool operator==(const Idle&, const Idle&) = default;
};
}  // namespace template_step

// One generic step of a template; its values refer to the template's one `TemplateRecords`.
struct StaticTemplateStep
    : std::variant<template_step::Exchange, template_step::Compute, template_step::Idle> {
  using Exchange = template_step::Exchange;
  using Compute = template_step::Compute;
  using Idle = template_step::Idle;
  using variant::variant;
};

// The most inputs and arguments together that a templated call passes (plus its output).
inline constexpr std::size_t MAX_TEMPLATE_CALL_OPERANDS = 7;

// One call's operand words (output, inputs, arguments); inline room for 16 words.
using TemplateOperandBuffer = support::SmallVector<std::uint32_t, 16>;

// One instance's calls in one phase, in program order: pointers into the program, never null.
using TemplateCallList = std::vector<const compiler::LoweredComputeCommand*>;

// The `Compute` step for call position `command_index`, given each instance's calls of the phase
// (`commands`, one list per instance in instance order; at least one instance has a call at the
// position). Requests reach `records` in the order condition, kernel, operand 0, operand 1, ...
// Fails with "template {} changes compute ABI in phase {} call {}" when the calls differ in
// their numbers of inputs or arguments, with "template {} has unsupported compute ABI in phase {}
// call {}" when the call has no input or more than 7 inputs and arguments together, and with the
// table's error when it is full; `records` may then hold columns made for this call.
Result<StaticTemplateStep> plan_template_compute_step(std::span<const TemplateCallList> commands,
                                                      std::size_t command_index,
                                                      TemplateRecords& records,
                                                      std::string_view template_name,
                                                      std::size_t relative_phase);

}  // namespace quarn::runtime::static_codegen
