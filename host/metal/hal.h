// The hardware abstraction layer the image imports (HAL.DLL): port I/O by
// in and out, and KeStallExecutionProcessor on the calibrated clock. With
// the trace on, every port access the driver makes is printed, named by
// the controller register it reaches on the page the driver selected, and
// so is every stall:
//
//   W 0x300 CR     = 0x21
//   R 0x307 ISR    = 0x80
//   R 0x310 DATA   x 3 words
//     stall 500 us
#ifndef METAL_HAL_H
#define METAL_HAL_H

#include <cstdint>

namespace metal {

// Traces port accesses in [base, base + 32) from now on (or stops, when
// `on` is false).
void hal_trace(bool on, std::uint32_t base);
std::uint64_t hal_port_accesses();  // since boot, a string access counting once per element
std::uint64_t hal_stalled_us();     // microseconds the driver asked to stall

}  // namespace metal

#endif  // METAL_HAL_H
