// Shared by the fuzz harnesses and the reliability tests: a host with one
// emulated card and the driver brought up on it, the adapter-record
// invariants, and the platform bookkeeping read back as one text.
//
// Nothing here depends on a test framework or on libFuzzer: a check returns
// an empty string when all is well, otherwise what went wrong.
#ifndef NE2K_FUZZ_COMMON_H
#define NE2K_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "hw/board.h"
#include "sim/host.h"

namespace ne2k {

// One host, one card on the host's segment, the driver loaded and (when
// `up` after construction) one adapter running on the card with a packet
// filter of directed, broadcast and multicast frames.
struct Rig {
    sim::Host host;
    hw::Ne2000Board* card = nullptr;
    sim::Adapter* adapter = nullptr;
    AdapterRecord* rec = nullptr;
    bool up = false;

    explicit Rig(hw::BoardKind kind, bool initialize = true,
                 ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST |
                                NDIS_PACKET_TYPE_MULTICAST);
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
};

// The station address every rig's card carries.
sim::MacAddress RigStation();

// AdapterRecord invariants. `quiescent`: no handler runs and the host is
// idle, so the transient states of a handler (overflow recovery, the card
// masked, bits noted and not yet served, the active frame's slots freed a
// moment before TxActiveIndex moves on) must be over too.
std::string CheckRecord(const AdapterRecord& r, bool quiescent);
// The invariants that hold between any two port accesses (all but the
// active frame's slots being full, which the early transmit completion in
// transfer-data breaks for a moment), quickly; when it says no,
// CheckRecord(r, false) says why.
bool RecordSane(const AdapterRecord& r);
// The record against the controller's registers, at a quiescent point.
std::string CheckRecordAgainstCard(const AdapterRecord& r, const hw::Ne2000Board& card);
// Platform problems, double completions and card misuse.
std::string CheckHost(sim::Host& host, const hw::Ne2000Board* card);

// The card's own address filter for a destination, as its registers stand.
bool CardAccepts(const hw::Ne2000Board& card, const std::uint8_t* dest);

// Reads a little-endian value from a fuzz input, advancing; zeros past the end.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    Input(const std::uint8_t* d, std::size_t n) : data(d), size(n) {}
    bool empty() const { return pos >= size; }
    std::size_t left() const { return pos < size ? size - pos : 0; }
    std::uint8_t u8() { return pos < size ? data[pos++] : 0; }
    std::uint16_t u16() { std::uint16_t lo = u8(); return static_cast<std::uint16_t>(lo | u8() << 8); }
    std::uint32_t u32() { std::uint32_t lo = u16(); return lo | static_cast<std::uint32_t>(u16()) << 16; }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        std::vector<std::uint8_t> out;
        while (n-- && !empty()) out.push_back(u8());
        return out;
    }
};

// The four harnesses. Each takes one fuzz input, runs it against a fresh
// host and returns "" or a description of the fault found.
std::string RingInput(const std::uint8_t* data, std::size_t size);
std::string OidInput(const std::uint8_t* data, std::size_t size);
std::string ConfigInput(const std::uint8_t* data, std::size_t size);
std::string SendInput(const std::uint8_t* data, std::size_t size);

}  // namespace ne2k

#endif  // NE2K_FUZZ_COMMON_H
