// How a run ends: one verdict line on the serial port, then the emulator
// is told to stop. On QEMU the isa-debug-exit device (port 0xF4) ends it
// with exit status (value << 1) | 1: 33 for a run that passed, 35 for one
// that failed. Bochs has no such device: its shutdown port (0x8900) is
// tried, and failing that the processor halts and the host reads the
// verdict from the serial log.
#ifndef METAL_VERDICT_H
#define METAL_VERDICT_H

#include <cstdint>

namespace metal {

constexpr std::uint8_t kExitPassed = 0x10;  // QEMU exit status 33
constexpr std::uint8_t kExitFailed = 0x11;  // QEMU exit status 35

// Prints "verdict: FAIL (why)" and ends the run.
[[noreturn]] void fail(const char* why);
// Prints "verdict: PASS" or "verdict: FAIL (why)" and ends the run.
[[noreturn]] void finish(bool passed, const char* why);

}  // namespace metal

#endif  // METAL_VERDICT_H
