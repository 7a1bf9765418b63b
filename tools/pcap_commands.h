// replay and send: the driver between a capture and the emulated wire, a
// frame at a time, in memory that does not grow with the capture.
#ifndef TOOLS_PCAP_COMMANDS_H
#define TOOLS_PCAP_COMMANDS_H

#include <array>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hw/board.h"
#include "sim/host.h"
#include "tools/capture.h"
#include "tools/rig.h"
#include "tools/verdict.h"

namespace ne2k_tool {

using StopFlag = const volatile std::sig_atomic_t*;

struct ReplayOptions {
    std::string input;  // "-": standard input
    std::optional<std::string> output;
    std::optional<std::string> verdicts;  // the CSV file
    RigCard card;
    unsigned long filter = 0;  // packet filter bits; 0: directed and broadcast
    std::vector<sim::MacAddress> multicast;
    std::optional<std::string> bpf;
    Pace pace;
    StopFlag stop = nullptr;
    std::ostream* notes = nullptr;  // a line per unusable frame (the first few)
};

struct ReplayResult {
    std::uint64_t in_capture = 0;
    Unusable unusable;
    std::uint64_t bpf_skipped = 0;
    std::uint64_t offered = 0;   // put on the wire
    std::uint64_t padded = 0;    // of them shorter than 60 bytes, padded with zeros
    std::array<std::uint64_t, kVerdicts> verdicts{};  // of the offered frames
    std::uint64_t admitted = 0;  // offered frames the packet filter admits
    std::array<std::uint64_t, kVerdicts> lost{};      // admitted, not received, by verdict
    std::uint64_t earlier = 0;   // timestamps earlier than the previous frame's
    AdapterCounters counters;    // what the query handler counted during the run
    std::uint64_t virtual_ns = 0;
    bool interrupted = false;
    std::string damage;          // the capture broke off: what libpcap said
    std::vector<std::string> errors;    // outputs that could not be written
    std::vector<std::string> problems;  // platform misuse, accounting that does not add up
    std::uint64_t count(Verdict v) const { return verdicts[static_cast<std::size_t>(v)]; }
    std::uint64_t lost_total() const;
};

ReplayResult run_replay(const ReplayOptions& options);

struct SendOptions {
    std::string input;
    std::string output;
    RigCard card;
    Pace pace;
    StopFlag stop = nullptr;
    std::ostream* notes = nullptr;  // a line per skipped or failed frame (the first few)
};

struct SendResult {
    std::uint64_t in_capture = 0;
    Unusable unusable;
    std::uint64_t sent = 0;
    std::uint64_t completed_ok = 0;
    std::uint64_t failed = 0;
    std::uint64_t on_wire = 0;     // written to the output
    std::uint64_t mismatched = 0;  // wire frames unlike the frames sent, or missing
    std::uint64_t earlier = 0;
    std::uint64_t virtual_ns = 0;
    bool interrupted = false;
    std::string damage;
    std::vector<std::string> errors;
    std::vector<std::string> problems;
};

SendResult run_send(const SendOptions& options);

// At most this many notes on single frames; the rest are counted.
constexpr std::uint64_t kMaxNotes = 10;

}  // namespace ne2k_tool

#endif  // TOOLS_PCAP_COMMANDS_H
