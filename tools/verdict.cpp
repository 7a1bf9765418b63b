#include "tools/verdict.h"

namespace ne2k_tool {

namespace {

struct VerdictNames {
    const char* name;
    const char* key;
    const char* meaning;
};
const VerdictNames kVerdictNames[kVerdicts] = {
    {"indicated", "indicated", ""},
    {"card filter", "card_filter", "not taken by the card's address filter or multicast hash"},
    {"exact filter", "exact_filter", "taken by the card, kept back by the wrapper's exact filter"},
    {"ring full", "ring_full", "no room in the receive ring"},
    {"receiver stopped", "receiver_stopped",
     "arrived while the receiver was stopped or off, e.g. in overflow recovery"},
    {"runt", "runt", "too short for the receiver"},
    {"error", "error", "receive errors"},
    {"dropped by driver", "dropped_by_driver", "stored in the ring, never indicated"},
    {"transfer failed", "transfer_failed", "indicated, the transfer of the data failed"},
    {"bpf", "bpf", "not offered: the filter expression does not match it"},
    {"unusable", "unusable", "not offered: cut, too short or too long"},
};

}  // namespace

const char* verdict_name(Verdict v) { return kVerdictNames[static_cast<std::size_t>(v)].name; }
const char* verdict_key(Verdict v) { return kVerdictNames[static_cast<std::size_t>(v)].key; }
const char* verdict_meaning(Verdict v) { return kVerdictNames[static_cast<std::size_t>(v)].meaning; }

Verdict verdict_of(hw::RxFate fate) {
    switch (fate) {
    case hw::RxFate::Stored: break;
    case hw::RxFate::Rejected: return Verdict::CardFilter;
    case hw::RxFate::Stopped:
    case hw::RxFate::Off: return Verdict::ReceiverStopped;
    case hw::RxFate::Runt: return Verdict::Runt;
    case hw::RxFate::Error: return Verdict::Error;
    case hw::RxFate::RingFull: return Verdict::RingFull;
    }
    return Verdict::DroppedByDriver;
}

void VerdictCounts::card(hw::RxFate fate) {
    total_++;
    if (fate == hw::RxFate::Stored) stored_++;
    else counts_[static_cast<std::size_t>(verdict_of(fate))]++;
}

void VerdictCounts::settled(Verdict v) {
    if (stored_ == 0) {
        unexpected_++;
        return;
    }
    stored_--;
    counts_[static_cast<std::size_t>(v)]++;
}

std::array<std::uint64_t, kVerdicts> VerdictCounts::counts() const {
    auto c = counts_;
    c[static_cast<std::size_t>(Verdict::DroppedByDriver)] += stored_;
    return c;
}

}  // namespace ne2k_tool
