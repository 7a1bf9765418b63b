// What became of a frame put on the wire to one of our adapters: the card
// says what it did with each frame offered (hw::RxFate), the wrapper which
// indications its exact filter kept back. replay gives every frame of a
// capture its verdict; tap and bridge count them.
#ifndef TOOLS_VERDICT_H
#define TOOLS_VERDICT_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "hw/dp8390.h"

namespace ne2k_tool {

enum class Verdict : std::uint8_t {
    Indicated,        // the protocol received it whole
    CardFilter,       // the card's address filter or multicast hash did not take it
    ExactFilter,      // indicated, kept back by the wrapper's exact filter
    RingFull,         // no room in the receive ring
    ReceiverStopped,  // arrived while the receiver was stopped or off (overflow recovery)
    Runt,             // too short for the receiver
    Error,            // a receive error
    DroppedByDriver,  // stored in the ring, never indicated
    TransferFailed,   // indicated, the transfer of its data failed
    Bpf,              // not offered: --bpf does not match it
    Unusable,         // not offered: cut, too short or too long
};
constexpr std::size_t kVerdicts = 11;
// The verdicts a frame put on the wire can get, in the order summaries list them.
inline constexpr Verdict kOfferedVerdicts[] = {
    Verdict::Indicated, Verdict::CardFilter, Verdict::ExactFilter,     Verdict::RingFull,      Verdict::ReceiverStopped,
    Verdict::Runt,      Verdict::Error,      Verdict::DroppedByDriver, Verdict::TransferFailed};
const char* verdict_name(Verdict v);  // as in --verdicts: "ring full"
const char* verdict_key(Verdict v);   // as in --json: "ring_full"
// What it means, for a summary row: "no room in the receive ring" ("" for
// Indicated).
const char* verdict_meaning(Verdict v);
// The verdict of a frame the card did not store; DroppedByDriver for one
// it stored (its verdict is the driver's and the wrapper's to give).
Verdict verdict_of(hw::RxFate fate);

// The verdicts of the frames put on the wire to one adapter, counted: the
// card's word on each (card()), then, for the frames it stored, the
// binding's (settled(): Indicated, ExactFilter or TransferFailed). A frame
// stored and never settled was dropped by the driver.
class VerdictCounts {
public:
    void card(hw::RxFate fate);
    void settled(Verdict v);
    // Every frame the card has spoken of, by verdict; those still in the
    // ring count as dropped by the driver (ask once the host is idle).
    std::array<std::uint64_t, kVerdicts> counts() const;
    std::uint64_t total() const { return total_; }
    // Indications of frames the card never stored (none, when all is well).
    std::uint64_t unexpected() const { return unexpected_; }

private:
    std::array<std::uint64_t, kVerdicts> counts_{};
    std::uint64_t total_ = 0;   // frames the card spoke of
    std::uint64_t stored_ = 0;  // of them stored in the ring, not yet settled
    std::uint64_t unexpected_ = 0;
};

}  // namespace ne2k_tool

#endif  // TOOLS_VERDICT_H
