// Small builders of lowered tile programs and readable test output for the static template
// tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "quarn/compiler/lowered.hpp"
#include "quarn/runtime/error.hpp"
#include "quarn/runtime/static_codegen/compute_step.hpp"
#include "quarn/runtime/static_codegen/record_patches.hpp"
#include "quarn/runtime/static_codegen/template_records.hpp"

namespace quarn::runtime {
inline void PrintTo(const RuntimeError& error, std::ostream* out) {
  *out << debug_string(error);
}
}  // namespace quarn::runtime

namespace quarn::runtime::static_codegen {
inline void PrintTo(const StaticTemplateRecordWord& word, std::ostream* out) {
  *out << debug_string(word);
}
inline void PrintTo(const TemplateValue& value, std::ostream* out) {
  *out << debug_string(value);
}
inline void PrintTo(const StaticTemplatePatchValue& value, std::ostream* out) {
  *out << debug_string(value);
}
inline void PrintTo(const TemplatePatchEntry& entry, std::ostream* out) {
  *out << "(" << entry.slot << ", " << debug_string(entry.value) << ")";
}
}  // namespace quarn::runtime::static_codegen

namespace quarn::runtime::static_codegen::test_fixtures {

using compiler::LoweredComputeCommand;
using compiler::LoweredTileProgram;
using compiler::LoweredTileStep;
using Word = StaticTemplateRecordWord;
using Value = TemplateValue;

// The message of a failed result, or "<success>".
template <typename T>
std::string error_of(const Result<T>& result) {
  return result ? std::string("<success>") : result.error().message;
}

inline Word value_word(std::uint32_t value) {
  return Word::Value{value};
}
inline Word symbol_word(std::string name) {
  return Word::Symbol{std::move(name)};
}

// A call of `operation` in `phase` with the given addresses and arguments.
inline LoweredComputeCommand command(std::size_t phase, std::string_view operation,
                                     std::vector<std::uint32_t> inputs,
                                     std::uint32_t output = 0x80000,
                                     std::vector<std::uint32_t> arguments = {}) {
  compiler::KernelCommand kernel;
  kernel.inputs.resize(inputs.size());
  kernel.arguments = std::move(arguments);
  kernel.specialization.operation = compiler::Text(std::string(operation));
  LoweredComputeCommand lowered;
  lowered.phase = phase;
  lowered.command = compiler::make_kernel_command(std::move(kernel));
  lowered.output_address = output;
  lowered.input_addresses = std::move(inputs);
  return lowered;
}

inline LoweredTileStep compute(std::size_t phase, std::string_view operation,
                               std::vector<std::uint32_t> inputs, std::uint32_t output = 0x80000,
                               std::vector<std::uint32_t> arguments = {}) {
  return LoweredTileStep::Compute{
      command(phase, operation, std::move(inputs), output, std::move(arguments))};
}

inline LoweredTileStep exchange(std::size_t phase, std::vector<std::uint32_t> row,
                                std::size_t epoch = 0) {
  return LoweredTileStep::Exchange{phase, epoch, compiler::make_exchange_row(std::move(row))};
}

inline LoweredTileStep idle(std::size_t phase) {
  return LoweredTileStep::IdleCompute{{}, phase};
}

inline LoweredTileProgram program_of(std::vector<LoweredTileStep> steps) {
  LoweredTileProgram program;
  program.tile = 7;
  program.steps = std::move(steps);
  return program;
}

}  // namespace quarn::runtime::static_codegen::test_fixtures
