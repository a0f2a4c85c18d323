#include "quarn/runtime/host_transfers.hpp"

namespace quarn::runtime {

Result<std::uint32_t> host_transfer_phase_count(std::uint32_t transfers) {
  if (transfers == 0) return 0u;
  if (transfers > UINT32_MAX / 2) return fail("host phase count overflow");
  return 2 * transfers - 1;
}

}  // namespace quarn::runtime
