// Waits and retry pauses. Exact in every build users get; a test build
// (ZEM_SHORT_WAITS) divides them by 1000 through ZEM_WAIT_DIVISOR.
#pragma once

#include <cstdint>

namespace zem {

constexpr uint32_t wait_divisor = ZEM_WAIT_DIVISOR;

constexpr uint32_t scaled_wait_ms(uint32_t milliseconds) {
    return milliseconds / wait_divisor;
}

}  // namespace zem
