// World: a driven adapter with its traffic accounted frame by frame.
#include "tests/reliability/world.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "hw/segment.h"

namespace ne2k {

namespace {
constexpr std::uint8_t kRxSource0 = 0x02, kRxSource1 = 0x51;
}

// Sees each frame right after the card took it or refused it.
class World::Observer : public hw::Station {
public:
    explicit Observer(World& w) : w_(w) {}
    void deliver(const std::uint8_t*, std::size_t) override { w_.AfterDelivery(); }

private:
    World& w_;
};

class World::Proto : public sim::Protocol {
public:
    explicit Proto(World& w) : w_(w) {}
    void on_receive(sim::Adapter& a, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                    NDIS_HANDLE) override {
        if (w_.live_) w_.OnIndication(header, header_size, lookahead, lookahead_size, packet_size);
        // The whole frame through transfer-data, into two pieces.
        if (header_size != 14 || header[6] != kRxSource0 || header[7] != kRxSource1) return;
        std::uint32_t seq = std::uint32_t(header[8]) << 24 | std::uint32_t(header[9]) << 16 |
                            std::uint32_t(header[10]) << 8 | header[11];
        auto it = w_.rx_.find(seq);
        if (it == w_.rx_.end()) return;
        std::size_t first = std::min<std::size_t>(packet_size, 100 + seq % 61);
        sim::Packet dest = sim::Packet::zeroed(packet_size, {first, packet_size - first});
        UINT moved = 0;
        NDIS_STATUS s = a.transfer_data(dest, 0, packet_size, &moved);
        std::vector<std::uint8_t> want = w_.RxBytes(seq, it->second.dest, it->second.len);
        std::vector<std::uint8_t> got = dest.contents();
        if (s != NDIS_STATUS_SUCCESS || moved != packet_size ||
            !std::equal(got.begin(), got.end(), want.begin() + 14))
            w_.Fault("transfer-data of frame " + std::to_string(seq) + " gave other bytes");
    }
    void on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) override {
        w_.OnComplete(packet, status);
    }

private:
    World& w_;
};

World::World(hw::BoardKind kind) : rig_(kind, false) {
    observer_.reset(new Observer(*this));
    proto_.reset(new Proto(*this));
    rig_.host.segment().add_tap([this](hw::Nanos, const std::uint8_t* f, std::size_t n) { OnWire(f, n); });
    rig_.host.segment().attach(*observer_);  // after the card: delivered to last
}

World::~World() {
    // The host's segment outlives this world's observer only if detached first.
    rig_.host.segment().detach(*observer_);
}

sim::MacAddress World::DestAddress(Dest d) {
    switch (d) {
    case kToStation: return RigStation();
    case kBroadcast: return {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    case kMulticastListed: return {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    case kMulticastListed2: return {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};
    case kMulticastOther: return {0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA};
    default: return {0x02, 0x4E, 0x45, 0x00, 0x00, 0x77};
    }
}

bool World::Init(ULONG filter) {
    Collect();  // what the previous adapter indicated
    if (rig_.host.initialize(rig_.host.config_for(*rig_.card)) != NDIS_STATUS_SUCCESS) return false;
    adapter_ = &rig_.host.adapter();
    rec_ = adapter_->record<AdapterRecord>();
    halted_ = false;  // a new adapter on the same card after a halt
    indications_seen_ = 0;
    adapter_->bind(*proto_);
    return SetFilter(filter) == NDIS_STATUS_SUCCESS;
}

std::vector<std::uint8_t> World::RxBytes(std::uint32_t seq, Dest dest, std::size_t len) const {
    std::vector<std::uint8_t> f(len);
    sim::MacAddress d = DestAddress(dest);
    std::memcpy(f.data(), d.data(), 6);
    f[6] = kRxSource0;
    f[7] = kRxSource1;
    f[8] = std::uint8_t(seq >> 24);
    f[9] = std::uint8_t(seq >> 16);
    f[10] = std::uint8_t(seq >> 8);
    f[11] = std::uint8_t(seq);
    f[12] = 0x88;
    f[13] = 0xB5;
    for (std::size_t i = 14; i < len; i++) f[i] = std::uint8_t(seq * 11 + i * 3 + (i >> 7));
    return f;
}

std::vector<std::uint8_t> World::TxBytes(std::uint32_t seq, std::size_t len) const {
    std::vector<std::uint8_t> f(len);
    sim::MacAddress d = PeerAddress();
    std::memcpy(f.data(), d.data(), 6);
    std::memcpy(f.data() + 6, RigStation().data(), 6);
    f[12] = 0x88;
    f[13] = 0xB6;
    for (std::size_t i = 14; i < len; i++) f[i] = std::uint8_t(seq * 5 + i * 7 + (i >> 8));
    std::memcpy(f.data() + 14, &seq, 4);
    return f;
}

void World::Inject(Dest dest, std::size_t len) {
    std::uint32_t seq = next_rx_++;
    Rx& r = rx_[seq];
    r.len = static_cast<std::uint16_t>(len);
    r.dest = dest;
    fig_.rx_frames++;
    std::vector<std::uint8_t> f = RxBytes(seq, dest, len);
    rig_.host.segment().inject(f.data(), f.size());
}

void World::InjectAt(hw::Nanos at, Dest dest, std::size_t len) {
    rig_.host.clock().schedule(at, [this, dest, len] {
        if (polite_peer && rig_.host.segment().busy())
            InjectAt(rig_.host.now() + 10 * hw::kMicrosecond, dest, len);
        else
            Inject(dest, len);
    });
}

void World::InjectStream(hw::Nanos start, hw::Nanos gap, unsigned n, const std::vector<std::size_t>& sizes,
                         const std::vector<Dest>& dests) {
    for (unsigned i = 0; i < n; i++)
        InjectAt(start + i * gap, dests[i % dests.size()], sizes[i % sizes.size()]);
}

void World::Send(std::size_t len, const std::vector<std::size_t>& pieces) {
    std::uint32_t seq = next_tx_++;
    Tx& t = tx_[seq];
    t.len = static_cast<std::uint16_t>(len);
    fig_.tx_frames++;
    auto p = std::make_unique<sim::Packet>(TxBytes(seq, len), pieces);
    NDIS_PACKET* np = p->get();
    packets_[np] = {std::move(p), seq};
    adapter_->send(np, 0, proto_.get());
}

NDIS_STATUS World::SetFilter(ULONG filter) {
    return adapter_->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter);
}

NDIS_STATUS World::SetMulticast(const std::vector<sim::MacAddress>& list) {
    std::vector<std::uint8_t> bytes;
    for (auto& m : list) bytes.insert(bytes.end(), m.begin(), m.end());
    return adapter_->set(OID_802_3_MULTICAST_LIST, bytes.data(), static_cast<ULONG>(bytes.size()));
}

NDIS_STATUS World::Reset() {
    stops_.push_back(rig_.host.now());
    fig_.resets++;
    NDIS_STATUS s = adapter_->reset();
    stops_.push_back(rig_.host.now());
    return s;
}

void World::Halt() {
    stops_.push_back(rig_.host.now());
    adapter_->halt();
    halted_ = true;
}

void World::OnWire(const std::uint8_t* f, std::size_t n) {
    std::size_t len = hw::Segment::strip_fcs(n);
    pending_ = false;
    if (len < 18) return;
    if (std::equal(f + 6, f + 12, RigStation().begin())) {
        std::uint32_t seq;
        std::memcpy(&seq, f + 14, 4);
        auto it = tx_.find(seq);
        if (it == tx_.end()) {
            Fault("a frame on the wire that was never sent (" + std::to_string(seq) + ")");
            return;
        }
        Tx& t = it->second;
        t.on_wire++;
        fig_.tx_on_wire++;
        std::vector<std::uint8_t> want = TxBytes(seq, t.len);
        while (want.size() < 60) want.push_back(0x20);
        if (len != want.size() || !std::equal(want.begin(), want.end(), f)) t.bad_content = true;
        return;
    }
    if (f[6] != kRxSource0 || f[7] != kRxSource1) return;
    pending_ = true;
    pending_seq_ = std::uint32_t(f[8]) << 24 | std::uint32_t(f[9]) << 16 | std::uint32_t(f[10]) << 8 | f[11];
    curr_before_ = rig_.card->regs().curr;
    running_before_ = rig_.card->running();
    addressed_ = CardAccepts(*rig_.card, f) && len >= 60;
}

void World::AfterDelivery() {
    if (!pending_) return;
    pending_ = false;
    auto it = rx_.find(pending_seq_);
    if (it == rx_.end()) return;
    Rx& r = it->second;
    r.time = rig_.host.now();
    r.addressed = addressed_;
    r.running = running_before_;
    r.stored = rig_.card->regs().curr != curr_before_;
    r.missed = addressed_ && running_before_ && !r.stored;
    if (r.stored) fig_.rx_stored++;
    if (r.missed) {
        fig_.rx_missed++;
        rx_errors_.push_back(r.time);
    }
    if (addressed_ && !running_before_) fig_.rx_stopped++;
}

void World::OnIndication(const std::uint8_t* header, unsigned header_size, const std::uint8_t* lookahead,
                         unsigned lookahead_size, unsigned packet_size) {
    if (header_size != 14 || header[6] != kRxSource0 || header[7] != kRxSource1) {
        if (!allow_garbled) Fault("an indication of a frame nobody sent");
        return;
    }
    std::uint32_t seq = std::uint32_t(header[8]) << 24 | std::uint32_t(header[9]) << 16 |
                        std::uint32_t(header[10]) << 8 | header[11];
    auto it = rx_.find(seq);
    if (it == rx_.end()) {
        if (!allow_garbled) Fault("an indication of unknown frame " + std::to_string(seq));
        return;
    }
    Rx& r = it->second;
    r.indicated++;
    fig_.rx_indicated++;
    std::vector<std::uint8_t> want = RxBytes(seq, r.dest, r.len);
    if (packet_size + 14 != r.len || !std::equal(header, header + 14, want.begin()) ||
        lookahead_size > packet_size ||
        !std::equal(lookahead, lookahead + lookahead_size, want.begin() + 14))
        if (!allow_garbled) Fault("indication of frame " + std::to_string(seq) + " differs from what was sent");
}

void World::OnComplete(NDIS_PACKET* packet, NDIS_STATUS status) {
    auto it = packets_.find(packet);
    if (it == packets_.end()) {
        Fault("completion of a packet not outstanding");
        return;
    }
    Tx& t = tx_[it->second.second];
    t.completions++;
    t.status = status;
    t.completed = rig_.host.now();
    packets_.erase(it);
}

void World::Forget() {
    rx_.clear();
    for (auto it = tx_.begin(); it != tx_.end();) {
        if (it->second.completions) it = tx_.erase(it);
        else ++it;
    }
    stops_.clear();
    rx_errors_.clear();
    log_seen_ = rig_.host.error_log().size();
    faults_.clear();
    fault_count_ = 0;
}

void World::Fault(const std::string& s) {
    if (fault_count_++ < 4) faults_ += s + "; ";
}

void World::Collect() {
    if (!live_ && adapter_) {
        const auto& list = adapter_->indications();
        for (; indications_seen_ < list.size(); indications_seen_++) {
            const sim::Indication& ind = list[indications_seen_];
            OnIndication(ind.header.data(), static_cast<unsigned>(ind.header.size()),
                         ind.lookahead.data(), static_cast<unsigned>(ind.lookahead.size()),
                         ind.packet_size);
        }
    }
}

std::string World::Check() {
    Collect();
    auto stop_after = [&](hw::Nanos t) {
        return std::any_of(stops_.begin(), stops_.end(), [t](hw::Nanos s) { return s >= t; });
    };
    auto rx_error_after = [&](hw::Nanos) { return !rx_errors_.empty(); };

    std::ostringstream out;
    out << faults_;
    unsigned shown = 0;
    auto fault = [&](const std::string& s) {
        if (shown++ < 4) out << s << "; ";
    };
    for (auto& [seq, r] : rx_) {
        if (r.indicated > 1) fault("frame " + std::to_string(seq) + " indicated " + std::to_string(r.indicated) + " times");
        if (r.indicated && !r.stored) fault("frame " + std::to_string(seq) + " indicated but never stored by the card");
        if (r.stored && !r.indicated) {
            fig_.rx_dropped++;
            if (!allow_rx_loss && !stop_after(r.time) && !rx_error_after(r.time))
                fault("frame " + std::to_string(seq) + " stored by the card and never indicated");
        }
    }
    for (auto& [seq, t] : tx_) {
        std::string id = "sent frame " + std::to_string(seq);
        if (t.completions != 1) fault(id + " completed " + std::to_string(t.completions) + " times");
        if (t.bad_content) fault(id + " reached the wire changed");
        if (t.status == NDIS_STATUS_SUCCESS) {
            if (t.on_wire > 1) fault(id + " on the wire " + std::to_string(t.on_wire) + " times");
            if (t.on_wire == 0) {
                fig_.tx_lost++;
                if (!allow_tx_loss && !stop_after(t.completed)) fault(id + " completed and never on the wire");
            }
        } else if (t.on_wire) {
            fault(id + " failed (" + std::to_string(t.status) + ") but reached the wire");
        }
    }
    if (!rig_.host.never_completed().empty()) fault(std::to_string(rig_.host.never_completed().size()) + " packets never completed");
    const auto& log = rig_.host.error_log();
    for (std::size_t i = log_seen_; i < log.size(); i++) {
        const sim::ErrorLogEntry& e = log[i];
        if (std::find(allowed_log.begin(), allowed_log.end(), e.code) == allowed_log.end()) {
            std::ostringstream s;
            s << "event log 0x" << std::hex << e.code << " (" << e.data.size() << " words";
            for (auto d : e.data) s << " " << d;
            s << ")";
            fault(s.str());
            break;
        }
    }
    if (halted_) {
        if (!rig_.host.leaked_allocations().empty()) fault("record not freed by the halt");
        if (!rig_.host.live_port_ranges().empty()) fault("ports still registered after the halt");
    } else if (rec_) {
        std::string r = CheckRecord(*rec_, true) + CheckRecordAgainstCard(*rec_, *rig_.card);
        if (!r.empty()) fault("record: " + r);
    }
    std::string h = CheckHost(rig_.host, rig_.card);
    if (!h.empty()) fault(h);
    return out.str();
}

}  // namespace ne2k
