#include "metal/clock.h"

#include "metal/console.h"
#include "metal/cpu.h"
#include "metal/verdict.h"

namespace metal {

namespace {

constexpr std::uint32_t kPitHz = 1193182;
constexpr std::uint16_t kPitChannel0 = 0x40, kPitChannel2 = 0x42, kPitCommand = 0x43;
constexpr std::uint16_t kPortB = 0x61;           // bit 0: channel 2 gate, bit 1: speaker, bit 5: channel 2 output
constexpr std::uint32_t kCalibrationUs = 10000;  // 10 ms
constexpr std::uint32_t kTickHz = 100;

std::uint64_t khz = 0;
std::uint64_t start = 0;
volatile std::uint32_t ticks = 0;

void tick() { ticks = ticks + 1; }

}  // namespace

void clock_calibrate() {
    std::uint32_t a, b, c, d;
    asm volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(1));
    if (!(d & 0x10)) fail("the processor has no time-stamp counter");

    // Channel 2, mode 0 (output rises when the count runs out), gate on,
    // speaker off.
    std::uint32_t count = kPitHz / (1000000 / kCalibrationUs);
    outb(kPortB, static_cast<std::uint8_t>((inb(kPortB) & ~0x02) | 0x01));
    outb(kPitCommand, 0xB0);
    outb(kPitChannel2, static_cast<std::uint8_t>(count));
    outb(kPitChannel2, static_cast<std::uint8_t>(count >> 8));
    std::uint64_t t0 = rdtsc();
    while (!(inb(kPortB) & 0x20)) {
    }
    std::uint64_t t1 = rdtsc();
    outb(kPortB, static_cast<std::uint8_t>(inb(kPortB) & ~0x03));
    // ticks per ms = ticks * PIT rate / (count * 1000)
    khz = (t1 - t0) * kPitHz / (std::uint64_t{count} * 1000);
    if (khz == 0) fail("the time-stamp counter does not move");
    start = rdtsc();
}

std::uint64_t clock_khz() { return khz; }

std::uint64_t now_us() { return (rdtsc() - start) * 1000 / khz; }

void stall_us(std::uint32_t us) {
    std::uint64_t until = rdtsc() + (std::uint64_t{us} * khz + 999) / 1000;
    while (rdtsc() < until) asm volatile("pause");
}

void clock_start_tick() {
    std::uint32_t divisor = kPitHz / kTickHz;
    outb(kPitCommand, 0x34);  // channel 0, low then high byte, mode 2 (rate generator)
    outb(kPitChannel0, static_cast<std::uint8_t>(divisor));
    outb(kPitChannel0, static_cast<std::uint8_t>(divisor >> 8));
    irq_connect(0, tick);
}

std::uint32_t clock_ticks() { return ticks; }

}  // namespace metal
