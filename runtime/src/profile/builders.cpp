#include "quarn/runtime/profile/builders.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quarn/support/format.hpp"

namespace quarn::runtime {

namespace {

using compiler::KernelCommand;
using compiler::Phase;
using compiler::Schedule;
using package::profile_metadata;
using package::ProfileMetadata;
using package::ProfileStep;
using package::ProfileStepKind;
using support::format;
using support::Hex;

const Phase& schedule_phase(const Schedule& schedule, std::size_t phase) {
  if (phase >= schedule.phases.size()) {
    throw std::logic_error(format("profile step phase {} is outside the schedule's {} phases",
                                  phase, schedule.phases.size()));
  }
  return schedule.phases[phase];
}

std::string address_text(std::uint32_t address) {
  return format("0x{}", Hex{address});
}

// The value of the command's "label", or null.
const std::string* label_of(const KernelCommand& command) {
  const auto found = command.metadata.find("label");
  return found == command.metadata.end() ? nullptr : &found->second;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

ProfileStep make_step(std::size_t local_index, std::size_t phase, std::size_t epoch,
                      std::string operation, ProfileStepKind kind, std::string kernel,
                      std::vector<ProfileMetadata> metadata) {
  return ProfileStep{
      .local_index = static_cast<std::uint32_t>(local_index),
      .phase = static_cast<std::uint32_t>(phase),
      .epoch = static_cast<std::uint32_t>(epoch),
      .operation = std::move(operation),
      .kind = kind,
      .kernel = std::move(kernel),
      .metadata = std::move(metadata),
  };
}

// Keeps the entries whose name `keep` accepts, in order.
template <typename Keep>
void retain_metadata(std::vector<ProfileMetadata>& metadata, Keep keep) {
  std::erase_if(metadata, [&](const ProfileMetadata& entry) { return !keep(entry.name); });
}

// The command that follows an exchange in `phase` for `tile`: in the next phase, when it is a
// compute phase, the tile's first command, else that phase's first command.
const KernelCommand* next_command(const Schedule& schedule, std::uint16_t tile, std::size_t phase) {
  if (phase + 1 >= schedule.phases.size()) return nullptr;
  const auto* compute = std::get_if<Phase::Compute>(&schedule.phases[phase + 1]);
  if (compute == nullptr) return nullptr;
  const KernelCommand* first = nullptr;
  for (const auto& command : compute->commands) {
    if (!command) continue;
    if (command->tile == tile) return command.get();
    if (first == nullptr) first = command.get();
  }
  return first;
}

}  // namespace

ProfileStep compute_profile_step(std::size_t local_index,
                                 const compiler::LoweredComputeCommand& command) {
  if (!command.command) {
    throw std::logic_error("lowered compute command without a kernel command");
  }
  const KernelCommand& c = *command.command;
  const auto& key = c.specialization;

  std::string operation;
  if (const std::string* label = label_of(c)) {
    operation = *label;
  } else if (key.role.empty()) {
    operation = key.operation.str();
  } else {
    operation = format("{} ({})", key.operation.view(), key.role.view());
  }

  const std::size_t paired = std::min(c.inputs.size(), command.input_addresses.size());
  std::vector<ProfileMetadata> metadata;
  metadata.reserve(6 + 2 * paired + c.arguments.size() + c.metadata.size());
  metadata.push_back(profile_metadata("role", key.role.view()));
  metadata.push_back(profile_metadata("shape", compiler::shape_text(key.shape)));
  metadata.push_back(profile_metadata("worker_count", key.worker_count));
  metadata.push_back(profile_metadata("alignment", key.alignment));
  metadata.push_back(profile_metadata("output_tensor", c.output.value));
  metadata.push_back(profile_metadata("output_address", address_text(command.output_address)));
  for (std::size_t i = 0; i < paired; ++i) {
    metadata.push_back(profile_metadata(format("input_{}_tensor", i), c.inputs[i].value));
    metadata.push_back(
        profile_metadata(format("input_{}_address", i), address_text(command.input_addresses[i])));
  }
  for (std::size_t i = 0; i < c.arguments.size(); ++i) {
    metadata.push_back(profile_metadata(format("argument_{}", i), c.arguments[i]));
  }
  for (const auto& [name, value] : c.metadata) metadata.push_back(profile_metadata(name, value));

  return make_step(local_index, command.phase, 0, std::move(operation), ProfileStepKind::Compute,
                   key.operation.str(), std::move(metadata));
}

ProfileStep idle_compute_profile_step(const Schedule& schedule, std::size_t local_index,
                                      compiler::OpId op, std::size_t phase) {
  const auto* compute = std::get_if<Phase::Compute>(&schedule_phase(schedule, phase));
  const KernelCommand* first = nullptr;
  if (compute != nullptr) {
    for (const auto& command : compute->commands) {
      if (command) {
        first = command.get();
        break;
      }
    }
  }

  std::vector<ProfileMetadata> metadata;
  metadata.push_back(profile_metadata("active", false));
  if (first == nullptr) {
    return make_step(local_index, phase, 0, format("idle compute op {}", op.value),
                     ProfileStepKind::Idle, std::string(), std::move(metadata));
  }

  const auto& key = first->specialization;
  metadata.push_back(profile_metadata("scheduled_kernel", key.operation.view()));
  metadata.push_back(profile_metadata("scheduled_role", key.role.view()));
  metadata.push_back(profile_metadata("scheduled_shape", compiler::shape_text(key.shape)));
  for (const auto& [name, value] : first->metadata) {
    if (name == "label") continue;
    const bool shared =
        std::all_of(compute->commands.begin(), compute->commands.end(), [&](const auto& command) {
          if (!command) return true;
          const auto found = command->metadata.find(name);
          return found != command->metadata.end() && found->second == value;
        });
    if (shared) metadata.push_back(profile_metadata(name, value));
  }
  return make_step(local_index, phase, 0,
                   format("idle during {} ({})", key.operation.view(), key.role.view()),
                   ProfileStepKind::Idle, std::string(), std::move(metadata));
}

ProfileStep exchange_profile_step(const Schedule& schedule, std::uint16_t tile,
                                  std::size_t local_index, std::size_t phase, std::size_t epoch,
                                  bool active) {
  const auto* exchange = std::get_if<Phase::Exchange>(&schedule_phase(schedule, phase));
  std::vector<const compiler::Transfer*> sent;
  std::vector<const compiler::Transfer*> received;
  std::uint64_t send_bytes = 0;
  std::uint64_t receive_bytes = 0;
  if (exchange != nullptr) {
    for (const auto& transfer : exchange->transfers) {
      if (transfer.source_tile == tile) {
        sent.push_back(&transfer);
        send_bytes += transfer.bytes;
      }
      if (transfer.destination_tile == tile) {
        received.push_back(&transfer);
        receive_bytes += transfer.bytes;
      }
    }
  }
  const KernelCommand* next = next_command(schedule, tile, phase);

  std::vector<ProfileMetadata> metadata;
  metadata.reserve(5 + sent.size() + received.size() + (next ? 2 + next->metadata.size() : 0));
  metadata.push_back(profile_metadata("active", active));
  metadata.push_back(profile_metadata("send_count", sent.size()));
  metadata.push_back(profile_metadata("receive_count", received.size()));
  metadata.push_back(profile_metadata("send_bytes", send_bytes));
  metadata.push_back(profile_metadata("receive_bytes", receive_bytes));
  for (std::size_t i = 0; i < sent.size(); ++i) {
    metadata.push_back(
        profile_metadata(format("send_{}", i),
                         format("tensor={},destination_tile={},bytes={}", sent[i]->tensor.value,
                                sent[i]->destination_tile, sent[i]->bytes)));
  }
  for (std::size_t i = 0; i < received.size(); ++i) {
    metadata.push_back(
        profile_metadata(format("receive_{}", i),
                         format("tensor={},source_tile={},bytes={}", received[i]->tensor.value,
                                received[i]->source_tile, received[i]->bytes)));
  }

  std::string operation;
  if (next != nullptr) {
    const auto& key = next->specialization;
    operation = format("exchange for {} ({})", key.operation.view(), key.role.view());
    metadata.push_back(profile_metadata("next_kernel", key.operation.view()));
    metadata.push_back(profile_metadata("next_role", key.role.view()));
    for (const auto& [name, value] : next->metadata) {
      if (name == "label") continue;
      metadata.push_back(profile_metadata(format("next_{}", name), value));
    }
  } else {
    operation = format("exchange phase {}", phase);
  }
  return make_step(local_index, phase, epoch, std::move(operation), ProfileStepKind::Exchange,
                   std::string(), std::move(metadata));
}

ProfileStep synchronization_profile_step(const Schedule& schedule, std::uint16_t tile,
                                         std::size_t local_index, std::size_t phase,
                                         std::size_t epoch, bool active) {
  ProfileStep step = exchange_profile_step(schedule, tile, local_index, phase, epoch, active);
  step.operation = format("sync before {}", step.operation);
  step.kind = ProfileStepKind::Synchronization;
  retain_metadata(step.metadata, [](std::string_view name) {
    return name == "active" || name == "next_kernel" || name == "next_role" ||
           starts_with(name, "next_layer");
  });
  return step;
}

ProfileStep phase_compute_profile_step(const Schedule& schedule, std::uint16_t tile,
                                       std::size_t local_index, std::size_t phase) {
  const auto* compute = std::get_if<Phase::Compute>(&schedule_phase(schedule, phase));
  if (compute == nullptr) throw std::logic_error("expected a compute phase");

  const KernelCommand* first = nullptr;
  std::size_t count = 0;
  for (const auto& command : compute->commands) {
    if (!command || command->tile != tile) continue;
    if (first == nullptr) first = command.get();
    ++count;
  }
  if (first == nullptr) return idle_compute_profile_step(schedule, local_index, compute->op, phase);

  const auto& key = first->specialization;
  const std::string* label = label_of(*first);
  std::vector<ProfileMetadata> metadata;
  metadata.reserve(4 + first->metadata.size());
  metadata.push_back(profile_metadata("role", key.role.view()));
  metadata.push_back(profile_metadata("shape", compiler::shape_text(key.shape)));
  metadata.push_back(profile_metadata("worker_count", key.worker_count));
  metadata.push_back(profile_metadata("active_commands", count));
  for (const auto& [name, value] : first->metadata) {
    if (name != "label") metadata.push_back(profile_metadata(name, value));
  }
  return make_step(local_index, phase, 0, label ? *label : key.operation.str(),
                   ProfileStepKind::Compute, key.operation.str(), std::move(metadata));
}

void compact_exchange_profile(ProfileStep& step) {
  retain_metadata(step.metadata, [](std::string_view name) {
    return name == "active" || name == "send_count" || name == "receive_count" ||
           name == "send_bytes" || name == "receive_bytes" || starts_with(name, "next_");
  });
}

}  // namespace quarn::runtime
