#include <string>
#include <type_traits>
#include <variant>

#include "quarn/compiler/error.hpp"
#include "quarn/compiler/ids.hpp"
#include "quarn/compiler/kernel_command.hpp"
#include "quarn/compiler/schedule.hpp"
#include "quarn/support/format.hpp"

namespace quarn::compiler {

using support::format;

std::string debug_string(TensorId id) {
  return format("TensorId({})", id.value);
}
std::string debug_string(OpId id) {
  return format("OpId({})", id.value);
}

std::string debug_string(const AllocationKind& kind) {
  return std::visit(
      [](const auto& k) -> std::string {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, AllocationKind::Home>) {
          return "Home";
        } else if constexpr (std::is_same_v<K, AllocationKind::HomeAlias>) {
          return format("HomeAlias { source: {} }", debug_string(k.source));
        } else {
          return format("ExchangeStaging { phase: {} }", k.phase);
        }
      },
      kind);
}

std::string shape_text(const std::vector<std::size_t>& shape) {
  return support::join(shape, "x");
}

KernelCommand& make_unique_command(KernelCommandHandle& handle) {
  if (handle.use_count() != 1) handle = std::make_shared<KernelCommand>(*handle);
  // The record was created as a non-const `KernelCommand`; this handle is now its only owner.
  return const_cast<KernelCommand&>(*handle);
}

std::string to_string(const CompileError& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, CompileError::Graph>) {
          return format("invalid graph: {}", e.message);
        } else if constexpr (std::is_same_v<E, CompileError::Memory>) {
          return format("SRAM allocation failed: {}", e.message);
        } else {
          return format("exchange lowering failed: {}", exchange::to_string(e.error));
        }
      },
      error);
}

std::string debug_string(const CompileError& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, CompileError::Graph>) {
          return format("Graph(\"{}\")", e.message);
        } else if constexpr (std::is_same_v<E, CompileError::Memory>) {
          return format("Memory(\"{}\")", e.message);
        } else {
          return format("Exchange({})", exchange::debug_string(e.error));
        }
      },
      error);
}

}  // namespace quarn::compiler
