#include "quarn/package/profile.hpp"

#include <stdexcept>

namespace quarn::package {

std::string to_string(ProfileStepKind kind) {
  switch (kind) {
    case ProfileStepKind::Exchange:
      return "Exchange";
    case ProfileStepKind::Compute:
      return "Compute";
    case ProfileStepKind::Synchronization:
      return "Synchronization";
    case ProfileStepKind::Idle:
      return "Idle";
  }
  throw std::logic_error("unknown profile step kind");
}

}  // namespace quarn::package
