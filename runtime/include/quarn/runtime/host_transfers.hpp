// The number of exchange phases a series of host transfers takes.
#pragma once

#include <cstdint>

#include "quarn/runtime/error.hpp"

namespace quarn::runtime {

// Each host transfer takes two exchange phases, except that the closing rendezvous of the last
// one is deferred: 0 for none, otherwise 2 × transfers − 1. Fails with "host phase count overflow"
// when 2 × transfers does not fit in 32 bits.
Result<std::uint32_t> host_transfer_phase_count(std::uint32_t transfers);

}  // namespace quarn::runtime
