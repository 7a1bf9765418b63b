// replay's ledger: every frame of the capture from the moment it is read
// until its verdict is known, in capture order. The card says what it did
// with each frame offered, the wrapper which indications its exact filter
// kept back; verdicts are counted and written to the CSV in capture order.
#ifndef TOOLS_REPLAY_LEDGER_H
#define TOOLS_REPLAY_LEDGER_H

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "hw/dp8390.h"
#include "tools/files.h"
#include "tools/pcap_commands.h"

namespace ne2k_tool {

// Frames wait here only while the card or the driver holds them, so the
// ledger stays as small as the receive ring.
class Ledger {
public:
    // `csv` null: no CSV.
    Ledger(ReplayResult& result, TextFile* csv);

    // A frame that is not offered.
    void skip(const CaptureRecord& rec, Verdict v);
    // A frame put on the wire: `bytes` as offered (padded).
    void offer(const CaptureRecord& rec, const std::uint8_t* bytes, std::size_t len, bool admitted);
    // The card's word on the oldest offered frame it has not spoken of.
    void card(hw::RxFate fate);
    // The driver indicated a frame (`v`: Indicated, ExactFilter or
    // TransferFailed): the oldest stored frame like it. Stored frames before
    // it were dropped by the driver.
    void indicated(const std::uint8_t* header, unsigned header_size, unsigned packet_size, Verdict v);
    // The host is idle: what the driver still holds, it dropped.
    void finish();

private:
    struct Entry {
        std::uint64_t number = 0;
        std::uint32_t captured = 0;  // bytes in the capture
        std::uint32_t original = 0;  // bytes on the wire it was captured from
        sim::MacAddress dest{};
        bool has_dest = false;
        bool admitted = false;
        std::vector<std::uint8_t> header;
        std::size_t offered_len = 0;
        std::optional<Verdict> verdict;
    };

    Entry entry(const CaptureRecord& rec);
    Entry& at(std::uint64_t seq) { return frames_[seq - first_]; }
    void settle(std::uint64_t seq, Verdict v);
    void flush();

    ReplayResult& r_;
    TextFile* csv_;
    std::deque<Entry> frames_;  // frames_[i] is frame sequence first_ + i
    std::uint64_t first_ = 0, read_ = 0;
    std::deque<std::uint64_t> awaiting_card_;  // offered, the card has not spoken
    std::deque<std::uint64_t> stored_;         // in the ring, not yet indicated
};

}  // namespace ne2k_tool

#endif  // TOOLS_REPLAY_LEDGER_H
