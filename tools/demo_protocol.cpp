#include "tools/demo_protocol.h"

#include "tools/demo_frames.h"

namespace ne2k_tool {

void DemoProtocol::send(std::vector<std::uint8_t> bytes, bool expected, const std::vector<std::size_t>& pieces) {
    auto packet = std::make_unique<sim::Packet>(bytes, pieces);
    NDIS_PACKET* p = packet->get();
    std::uint32_t seq = next_seq();
    std::uint64_t h = frame_hash(bytes);
    records_.push_back(SentRecord{std::move(bytes), h, expected, std::nullopt, 0, false, false});
    in_flight_[p] = InFlight{std::move(packet), seq};
    open_++;
    out_.sent++;
    NDIS_STATUS s = adapter_.send(p, 0, this);
    (void)s;  // a final status comes back through on_send_complete as well
}

void DemoProtocol::on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) {
    auto it = in_flight_.find(packet);
    if (it == in_flight_.end()) return;  // the host reports a completion of a stranger
    SentRecord& r = *record(it->second.seq);  // open, so kept
    r.status = status;
    if (status == NDIS_STATUS_SUCCESS) {
        out_.completed_ok++;
        if (r.expected) out_.expected++;
    } else if (status == NDIS_STATUS_REQUEST_ABORTED) {
        out_.aborted++;
    } else {
        out_.failed++;
    }
    in_flight_.erase(it);
    settle(r);
}

void DemoProtocol::on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                              const std::uint8_t*, unsigned, unsigned packet_size, NDIS_HANDLE) {
    std::vector<std::uint8_t> frame(header, header + header_size);
    sim::Packet dst = sim::Packet::zeroed(packet_size, transfer_pieces(packet_size));
    UINT got = 0;
    NDIS_STATUS s = adapter.transfer_data(dst, 0, packet_size, &got);
    if (s != NDIS_STATUS_SUCCESS || got != packet_size) {
        in_.corrupted++;
        return;
    }
    auto data = dst.contents();
    frame.insert(frame.end(), data.begin(), data.end());
    check(frame);
}

std::vector<std::size_t> DemoProtocol::transfer_pieces(unsigned size) {
    unsigned k = receives_++ % 3;
    if (k == 0 || size < 8) return {};
    if (k == 1) return {size / 2, size - size / 2};
    return {1, 5, size - 6};
}

void DemoProtocol::settle(SentRecord& r) {
    if (r.settled || !r.status) return;
    bool done = *r.status != NDIS_STATUS_SUCCESS || !r.expected || r.deliveries > 0;
    if (!done) return;
    r.settled = true;
    release(r);
    open_--;
    if (*r.status == NDIS_STATUS_SUCCESS && !r.expected && r.deliveries == 0) out_.kept_back++;
}

void DemoProtocol::reset_discards() {
    for (std::size_t i = first_open() - first_seq_; i < records_.size(); i++) {
        SentRecord& r = records_[i];
        if (r.settled || !r.status || *r.status != NDIS_STATUS_SUCCESS || r.on_wire) continue;
        r.settled = true;
        release(r);
        open_--;
        out_.discarded_at_reset++;
    }
}

void DemoProtocol::seen_on_wire(const std::uint8_t* f, std::size_t len) {
    std::uint32_t seq = 0;
    if (!demo_frame_of(f, len, side_, seq)) return;
    if (SentRecord* r = record(seq)) r->on_wire = true;
}

void DemoProtocol::settle_all() {
    for (std::size_t i = first_open() - first_seq_; i < records_.size(); i++) {
        SentRecord& r = records_[i];
        if (r.settled) continue;
        r.settled = true;
        release(r);
        open_--;
        if (!r.status) out_.never_completed++;
        else out_.lost++;
    }
    trim();
}

std::uint32_t DemoProtocol::first_open() {
    while (first_open_ < next_seq() && records_[first_open_ - first_seq_].settled) first_open_++;
    return first_open_;
}

SentRecord* DemoProtocol::record(std::uint32_t seq) {
    return seq >= first_seq_ && seq < next_seq() ? &records_[seq - first_seq_] : nullptr;
}

void DemoProtocol::trim() {
    std::uint32_t keep_from = first_open() > kHistory ? first_open() - kHistory : 0;
    while (first_seq_ < keep_from) {
        records_.pop_front();
        first_seq_++;
    }
}

bool DemoProtocol::is_sent_frame(const std::vector<std::uint8_t>& f, std::uint32_t seq) const {
    sim::MacAddress dst;
    std::copy(f.begin(), f.begin() + 6, dst.begin());
    unsigned size = (unsigned(f[21]) << 8) | f[22];
    return size == f.size() &&
           f == make_frame(dst, adapter_.station_address(), side_, seq, size, seed_);
}

void DemoProtocol::check(const std::vector<std::uint8_t>& f) {
    std::uint32_t seq = 0;
    if (!demo_frame_of(f.data(), f.size(), peer_->side_, seq)) {
        foreign_++;
        return;
    }
    SentRecord* kept = peer_->record(seq);
    if (!kept) {
        // Sent long ago and settled then (or never sent): a copy of a frame
        // the peer sent is late or a duplicate; anything else is corrupt.
        if (seq < peer_->first_seq_ && demo_crc_ok(f) && peer_->is_sent_frame(f, seq)) in_.duplicated++;
        else in_.corrupted++;
        return;
    }
    SentRecord& r = *kept;
    if (r.bytes.empty() ? frame_hash(f) != r.hash : f != r.bytes) {
        in_.corrupted++;
        return;
    }
    if (!demo_crc_ok(f)) {
        in_.corrupted++;
        return;
    }
    if (r.deliveries++ > 0) {
        in_.duplicated++;
        return;
    }
    if (!r.expected) in_.unwanted++;
    in_.delivered++;
    in_.delivered_bytes += f.size();
    peer_->settle(r);
}

}  // namespace ne2k_tool
