#include "tools/replay_ledger.h"

#include <algorithm>
#include <ostream>

#include "tools/args.h"

namespace ne2k_tool {

std::uint64_t ReplayResult::lost_total() const {
    std::uint64_t n = 0;
    for (std::uint64_t x : lost) n += x;
    return n;
}

Ledger::Ledger(ReplayResult& result, TextFile* csv) : r_(result), csv_(csv) {
    if (csv_) csv_->stream() << "frame,captured_length,original_length,destination,verdict,lost\n";
}

void Ledger::skip(const CaptureRecord& rec, Verdict v) {
    Entry e = entry(rec);
    e.verdict = v;
    frames_.push_back(std::move(e));
    flush();
}

void Ledger::offer(const CaptureRecord& rec, const std::uint8_t* bytes, std::size_t len, bool admitted) {
    Entry e = entry(rec);
    std::copy(bytes, bytes + hw::kAddressBytes, e.dest.begin());
    e.admitted = admitted;
    e.header.assign(bytes, bytes + hw::kHeaderBytes);
    e.offered_len = len;
    awaiting_card_.push_back(first_ + frames_.size());
    frames_.push_back(std::move(e));
}

void Ledger::card(hw::RxFate fate) {
    if (awaiting_card_.empty()) {
        r_.problems.push_back("the card received a frame the replay did not offer");
        return;
    }
    std::uint64_t seq = awaiting_card_.front();
    awaiting_card_.pop_front();
    if (fate == hw::RxFate::Stored) stored_.push_back(seq);
    else settle(seq, verdict_of(fate));
}

void Ledger::indicated(const std::uint8_t* header, unsigned header_size, unsigned packet_size, Verdict v) {
    while (!stored_.empty()) {
        std::uint64_t seq = stored_.front();
        stored_.pop_front();
        const Entry& e = at(seq);
        bool same = header_size == hw::kHeaderBytes && e.offered_len == header_size + packet_size &&
                    std::equal(e.header.begin(), e.header.end(), header);
        if (same) {
            settle(seq, v);
            return;
        }
        settle(seq, Verdict::DroppedByDriver);
    }
    r_.problems.push_back("the driver indicated a frame that was not offered");
}

void Ledger::finish() {
    for (std::uint64_t seq : stored_) settle(seq, Verdict::DroppedByDriver);
    stored_.clear();
    if (!awaiting_card_.empty())
        r_.problems.push_back(std::to_string(awaiting_card_.size()) + " offered frame(s) never reached the card");
    awaiting_card_.clear();
    flush();
}

Ledger::Entry Ledger::entry(const CaptureRecord& rec) {
    Entry e;
    e.number = ++read_;
    e.captured = rec.caplen;
    e.original = rec.wire_len;
    e.has_dest = rec.caplen >= hw::kAddressBytes;
    if (e.has_dest) std::copy(rec.bytes, rec.bytes + hw::kAddressBytes, e.dest.begin());
    return e;
}

void Ledger::settle(std::uint64_t seq, Verdict v) {
    Entry& e = at(seq);
    e.verdict = v;
    r_.verdicts[static_cast<std::size_t>(v)]++;
    if (e.admitted && v != Verdict::Indicated) r_.lost[static_cast<std::size_t>(v)]++;
    flush();
}

void Ledger::flush() {
    while (!frames_.empty() && frames_.front().verdict) {
        const Entry& e = frames_.front();
        if (csv_ && csv_->check())
            csv_->stream() << e.number << ',' << e.captured << ',' << e.original << ','
                           << (e.has_dest ? mac_text(e.dest.data()) : "") << ',' << verdict_name(*e.verdict) << ','
                           << (e.admitted && *e.verdict != Verdict::Indicated) << '\n';
        frames_.pop_front();
        first_++;
    }
}

}  // namespace ne2k_tool
