#include "metal/verdict.h"

#include "metal/console.h"
#include "metal/cpu.h"

namespace metal {

namespace {

constexpr std::uint16_t kDebugExit = 0xF4;
constexpr std::uint16_t kBochsShutdown = 0x8900;

[[noreturn]] void stop(std::uint8_t code) {
    interrupts_off();
    outb(kDebugExit, code);
    for (const char* c = "Shutdown"; *c; c++) outb(kBochsShutdown, static_cast<std::uint8_t>(*c));
    for (;;) asm volatile("cli; hlt");
}

}  // namespace

void fail(const char* why) { finish(false, why); }

void finish(bool passed, const char* why) {
    interrupts_off();
    if (passed)
        print("verdict: PASS\n");
    else
        print("verdict: FAIL (%s)\n", why);
    stop(passed ? kExitPassed : kExitFailed);
}

}  // namespace metal
