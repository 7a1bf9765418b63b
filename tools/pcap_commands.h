// replay and send: the driver between a capture file and the emulated wire.
#ifndef TOOLS_PCAP_COMMANDS_H
#define TOOLS_PCAP_COMMANDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hw/board.h"
#include "sim/host.h"

namespace ne2k_tool {

// Frames of a capture that cannot go on the wire as they are.
struct Unusable {
    std::uint64_t cut = 0;        // captured shorter than on the wire (snap length)
    std::uint64_t too_short = 0;  // shorter than an Ethernet header
    std::uint64_t too_long = 0;   // longer than 1514 bytes without FCS
    std::uint64_t total() const { return cut + too_short + too_long; }
};

struct ReplayOptions {
    std::string input;
    std::optional<std::string> output;
    hw::BoardKind kind = hw::BoardKind::Isa16;
    sim::MacAddress station{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    unsigned long filter = 0;  // packet filter bits; 0: directed and broadcast
    std::vector<sim::MacAddress> multicast;
    std::optional<std::string> bpf;
};

struct ReplayResult {
    std::uint64_t in_capture = 0;
    std::uint64_t bpf_skipped = 0;
    Unusable unusable;
    std::uint64_t padded = 0;        // shorter than 60 bytes, padded with zeros
    std::uint64_t offered = 0;       // put on the wire
    std::uint64_t indicated = 0;     // reached the protocol (and the output)
    std::uint64_t card_filtered = 0; // not taken by the card's address filter or hash
    std::uint64_t wrapper_filtered = 0;  // taken by the card, kept back by the exact filter
    std::uint64_t missed = 0;        // OID_GEN_RCV_NO_BUFFER
    std::uint64_t receive_errors = 0;    // OID_GEN_RCV_ERROR
    std::uint64_t transfer_failures = 0;
    std::uint64_t virtual_ns = 0;
    std::string damage;              // the capture was cut short: what libpcap said
    std::vector<std::string> problems;
    std::vector<std::vector<std::uint8_t>> frames;  // what the protocol received, in order
};

ReplayResult run_replay(const ReplayOptions& options);

struct SendOptions {
    std::string input;
    std::string output;
    hw::BoardKind kind = hw::BoardKind::Isa16;
    sim::MacAddress station{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
};

struct SendResult {
    std::uint64_t in_capture = 0;
    Unusable unusable;
    std::uint64_t sent = 0;
    std::uint64_t completed_ok = 0;
    std::uint64_t failed = 0;
    std::uint64_t on_wire = 0;     // written to the output
    std::uint64_t mismatched = 0;  // wire frame unlike the frame sent (padded)
    std::uint64_t virtual_ns = 0;
    std::string damage;
    std::vector<std::string> problems;
    std::vector<std::string> notes;  // one line per skipped or failed frame
};

SendResult run_send(const SendOptions& options);

}  // namespace ne2k_tool

#endif  // TOOLS_PCAP_COMMANDS_H
