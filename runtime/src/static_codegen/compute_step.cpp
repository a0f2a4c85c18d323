// Planning one kernel call position of a template's compute phase.
#include "quarn/runtime/static_codegen/compute_step.hpp"

#include <stdexcept>

#include "quarn/support/format.hpp"

namespace quarn::runtime::static_codegen {

Result<StaticTemplateStep> plan_template_compute_step(std::span<const TemplateCallList> commands,
                                                      std::size_t command_index,
                                                      TemplateRecords& records,
                                                      std::string_view template_name,
                                                      std::size_t relative_phase) {
  if (commands.size() != records.rows.size()) {
    throw std::logic_error(support::format(
        "template compute step has call lists for {} instances in a table of {} instances",
        commands.size(), records.rows.size()));
  }
  // Each instance's call at the position, or null.
  support::SmallVector<const compiler::LoweredComputeCommand*, 32> calls;
  const compiler::LoweredComputeCommand* first = nullptr;
  std::size_t present = 0;
  for (const auto& list : commands) {
    const compiler::LoweredComputeCommand* call =
        command_index < list.size() ? list[command_index] : nullptr;
    calls.push_back(call);
    if (call == nullptr) continue;
    ++present;
    if (first == nullptr) first = call;
  }
  if (first == nullptr) {
    throw std::logic_error(support::format("template {} has no call in phase {} call {}",
                                           template_name, relative_phase, command_index));
  }

  const std::size_t inputs = first->input_addresses.size();
  const std::size_t arguments = first->arguments().size();
  for (const auto* call : calls) {
    if (call != nullptr &&
        (call->input_addresses.size() != inputs || call->arguments().size() != arguments)) {
      return fail(support::format("template {} changes compute ABI in phase {} call {}",
                                  template_name, relative_phase, command_index));
    }
  }
  if (inputs == 0 || inputs + arguments > MAX_TEMPLATE_CALL_OPERANDS) {
    return fail(support::format("template {} has unsupported compute ABI in phase {} call {}",
                                template_name, relative_phase, command_index));
  }

  // Every instance's operand words; an instance without the call repeats the first call's, so
  // absent calls never make an operand vary.
  const auto operand_words = [](const compiler::LoweredComputeCommand& call) {
    TemplateOperandBuffer words;
    words.push_back(call.output_address);
    for (const std::uint32_t address : call.input_addresses) words.push_back(address);
    for (const std::uint32_t argument : call.arguments()) words.push_back(argument);
    return words;
  };
  const TemplateOperandBuffer first_operands = operand_words(*first);
  support::SmallVector<TemplateOperandBuffer, 32> operands;
  for (const auto* call : calls) {
    operands.push_back(call != nullptr ? operand_words(*call) : first_operands);
  }

  const std::string_view operation = first->specialization().operation.view();
  bool kernel_varies = false;
  for (const auto* call : calls) {
    if (call != nullptr && call->specialization().operation.view() != operation) {
      kernel_varies = true;
    }
  }

  template_step::Compute step;
  step.operation = std::string(operation);
  TemplateValueBuffer column;
  if (present < calls.size()) {
    for (const auto* call : calls) column.push_back(call != nullptr ? 1 : 0);
    auto condition = records.values(column.span());
    if (!condition) return std::unexpected(condition.error());
    step.condition = *condition;
  }
  if (kernel_varies) {
    std::vector<StaticTemplateRecordWord> kernels;
    kernels.reserve(calls.size());
    for (const auto* call : calls) {
      if (call != nullptr) {
        kernels.emplace_back(StaticTemplateRecordWord::Symbol{
            support::format("quarn_stack_{}", call->specialization().operation.view())});
      } else {
        kernels.emplace_back(StaticTemplateRecordWord::Value{0});
      }
    }
    auto kernel = records.words(std::move(kernels));
    if (!kernel) return std::unexpected(kernel.error());
    step.kernel = *kernel;
  }
  step.operands.reserve(first_operands.size());
  for (std::size_t k = 0; k < first_operands.size(); ++k) {
    column.clear();
    for (const auto& words : operands) column.push_back(words[k]);
    auto operand = records.values(column.span());
    if (!operand) return std::unexpected(operand.error());
    step.operands.push_back(*operand);
  }
  return StaticTemplateStep{std::move(step)};
}

}  // namespace quarn::runtime::static_codegen
