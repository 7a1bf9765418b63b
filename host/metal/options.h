// The kernel's command line (the multiboot command line: QEMU's -append,
// or the rest of GRUB's multiboot line): words separated by spaces.
//
//   io=0x300 irq=3 cardtype=0       the driver's keywords IoBaseAddress_1,
//                                   InterruptNumber, CardType; any keyword the
//                                   driver reads may also be given by its own
//                                   name (BusType=0, MaximumMulticastList=8 ...)
//   mac=02:00:00:00:00:07           the station-address override
//   ip=10.0.2.15/24                 the kernel's own address (the default)
//   ping=10.0.2.2 count=200         ping that address COUNT times, sizes spread
//                                   over 60..1514 bytes on the wire (the default)
//   gw=10.0.2.2                     the next hop for a target off the subnet
//   window=1                        echo requests out at once, 1..8
//   serve=N                         instead, answer pings until N echo requests
//                                   have been answered
//   seconds=S                       give up after S seconds (default 60)
//   reset                           call the driver's reset handler once after
//                                   initialization (timed)
//   trace=init,reset,run,halt       print every port access the driver makes (and
//   trace=all                       every stall) during those calls: initialize,
//                                   reset, the run, halt; or all of them
//
// Numbers are decimal, or hexadecimal with 0x.
#ifndef METAL_OPTIONS_H
#define METAL_OPTIONS_H

#include <cstdint>

namespace metal {

// Calls whose port accesses are printed (a set of these bits).
enum Trace : unsigned { kTraceInit = 1, kTraceReset = 2, kTraceRun = 4, kTraceHalt = 8, kTraceAll = 15 };

struct Options {
    std::uint8_t ip[4] = {10, 0, 2, 15};
    unsigned prefix = 24;
    std::uint8_t target[4] = {10, 0, 2, 2};
    std::uint8_t gateway[4] = {0, 0, 0, 0};  // none
    std::uint32_t count = 200;
    std::uint32_t window = 1;
    std::uint32_t serve = 0;  // 0: ping mode
    std::uint32_t seconds = 60;
    std::uint32_t watch = 0;  // ms the halted card's line stays unmasked and watched
    bool reset = false;
    unsigned trace = 0;
};

// Reads the command line into *options, and the driver's keywords into the
// wrapper's configuration. False, with the word that is wrong printed, on
// a mistake.
bool options_parse(const char* command_line, Options* options);

}  // namespace metal

#endif  // METAL_OPTIONS_H
