// Time: the processor's time-stamp counter, its rate measured against the
// 8254 timer (PIT) at boot, and the PIT's channel 0 ticking 100 times a
// second so that an idle processor wakes up for the run's timeouts.
#ifndef METAL_CLOCK_H
#define METAL_CLOCK_H

#include <cstdint>

namespace metal {

// Measures the counter's rate over 10 ms of PIT channel 2 (the speaker
// channel, gated through port 0x61). Fails the run when the processor has
// no time-stamp counter.
void clock_calibrate();
// Counter ticks per millisecond, as measured.
std::uint64_t clock_khz();
// Microseconds since clock_calibrate.
std::uint64_t now_us();
// Busy-waits at least `us` microseconds.
void stall_us(std::uint32_t us);
// Starts channel 0 at 100 Hz on IRQ 0.
void clock_start_tick();
std::uint32_t clock_ticks();

}  // namespace metal

#endif  // METAL_CLOCK_H
