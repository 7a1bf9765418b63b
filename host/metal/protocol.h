// The protocol bound above the adapter: the project's small IPv4 host
// (net/ipv4_host.h: ARP, ICMP echo with reassembly and fragmentation, port
// and protocol unreachable, TCP reset), and in ping mode its ping client
// (net/ping.h: sizes spread over 60..1514 bytes on the wire, every reply
// checked byte for byte). Frames the host sends wait in the frame pool
// (frames.h) and reach the driver from the main loop.
#ifndef METAL_PROTOCOL_H
#define METAL_PROTOCOL_H

#include <cstdint>

#include "metal/options.h"

namespace metal {

// Starts the host on the adapter's station address, and the ping client
// in ping mode. False, saying why, when the addresses do not hold.
bool protocol_start(const Options& options, const std::uint8_t station[6]);
// Lets time pass: the ping client sends what is due, fragments expire.
void protocol_poll();
// Ping mode: every request answered or lost. Serve mode: the number of
// echo requests asked for answered.
bool protocol_finished();
// Prints what the host and the ping client counted; true when nothing was
// lost, corrupted or refused.
bool protocol_report();

}  // namespace metal

#endif  // METAL_PROTOCOL_H
