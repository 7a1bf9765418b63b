// The demo: adapters A and B on one segment, each with a protocol that
// sends numbered frames and checks, byte for byte, every frame it receives
// against what the other side sent.
//
// A demo frame:
//   0   destination, source, type 0x88B5 (local experimental)
//   14  'N' '2', sender side (0 = A, 1 = B), sequence number (4 bytes,
//       big-endian), frame length (2 bytes)
//   23  pattern bytes from a generator seeded by (seed, side, sequence)
//   n-4 CRC-32 of bytes 14..n-5
//
// Traffic runs in rounds: each side keeps at most kWindow frames whose fate
// is open, then the host runs until idle and every frame is settled. A
// frame completed with success and meant for the far side must have arrived
// by then; otherwise it is lost.
#include "tools/demo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>

#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/json.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

constexpr std::uint16_t kEtherType = 0x88B5;
constexpr std::size_t kHeaderBytes = 23;
constexpr std::size_t kCrcBytes = 4;
// Frames in flight per side. Two full-size frames fit the smallest
// receive ring (8-bit card) with room to spare, so a slow receiver never
// overflows from the demo's own traffic.
constexpr unsigned kWindow = 2;
// Frames side A queues at once before its reset.
constexpr unsigned kResetBurst = 8;

const sim::MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const sim::MacAddress kStranger{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
const std::vector<sim::MacAddress> kMulticast[2] = {
    {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, {0x01, 0x00, 0x5E, 0x7F, 0x00, 0x02}},
    {{0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB}, {0x33, 0x33, 0x00, 0x00, 0x00, 0x01}},
};

struct Rng {
    std::uint64_t s;
    explicit Rng(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    std::uint64_t next() {
        // splitmix64
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

// FNV-1a over a frame: what is kept of a settled frame, to check late copies.
std::uint64_t frame_hash(const std::vector<std::uint8_t>& f) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (std::uint8_t b : f) h = (h ^ b) * 0x100000001B3ull;
    return h ^ f.size();
}

struct SentRecord {
    std::vector<std::uint8_t> bytes;      // released once settled; the hash stays
    std::uint64_t hash = 0;
    bool expected = false;                // passes the far side's filter
    std::optional<NDIS_STATUS> status;    // completion
    unsigned deliveries = 0;
    bool on_wire = false;                 // crossed the segment whole
    bool settled = false;
};

class DemoProtocol : public sim::Protocol {
public:
    DemoProtocol(int side, sim::Adapter& adapter, DirectionResult& out_way, DirectionResult& in_way,
                 std::uint64_t& foreign)
        : side_(side), adapter_(adapter), out_(out_way), in_(in_way), foreign_(foreign) {}

    void set_peer(DemoProtocol* p) { peer_ = p; }
    int side() const { return side_; }
    std::vector<SentRecord>& records() { return records_; }
    std::size_t open() const { return open_; }

    void send(std::vector<std::uint8_t> bytes, bool expected, const std::vector<std::size_t>& pieces) {
        auto packet = std::make_unique<sim::Packet>(bytes, pieces);
        NDIS_PACKET* p = packet->get();
        std::uint32_t seq = static_cast<std::uint32_t>(records_.size());
        std::uint64_t h = frame_hash(bytes);
        records_.push_back(SentRecord{std::move(bytes), h, expected, std::nullopt, 0, false, false});
        in_flight_[p] = InFlight{std::move(packet), seq};
        open_++;
        out_.sent++;
        NDIS_STATUS s = adapter_.send(p, 0, this);
        (void)s;  // a final status comes back through on_send_complete as well
    }

    void on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) override {
        auto it = in_flight_.find(packet);
        if (it == in_flight_.end()) return;  // the host reports a completion of a stranger
        SentRecord& r = records_[it->second.seq];
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

    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t*, unsigned, unsigned packet_size,
                    NDIS_HANDLE) override {
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

    // The pieces a received frame is transferred into: varied, to take the
    // driver's copy through buffer boundaries.
    std::vector<std::size_t> transfer_pieces(unsigned size) {
        unsigned k = receives_++ % 3;
        if (k == 0 || size < 8) return {};
        if (k == 1) return {size / 2, size - size / 2};
        return {1, 5, size - 6};
    }

    // A frame's fate is known: count it and close it.
    void settle(SentRecord& r) {
        if (r.settled || !r.status) return;
        bool done = *r.status != NDIS_STATUS_SUCCESS || !r.expected || r.deliveries > 0;
        if (!done) return;
        r.settled = true;
        release(r);
        open_--;
        if (*r.status == NDIS_STATUS_SUCCESS && !r.expected && r.deliveries == 0) out_.kept_back++;
    }

    // The reset empties the transmit slots. Frames in them were completed
    // with success when they were copied to card RAM, and those that had
    // not crossed the wire yet are gone with the slots: counted apart.
    void reset_discards() {
        for (std::size_t i = first_open(); i < records_.size(); i++) {
            SentRecord& r = records_[i];
            if (r.settled || !r.status || *r.status != NDIS_STATUS_SUCCESS || r.on_wire) continue;
            r.settled = true;
            release(r);
            open_--;
            out_.discarded_at_reset++;
        }
    }

    // A frame of this side seen whole on the wire (FCS included).
    void seen_on_wire(const std::uint8_t* f, std::size_t len) {
        if (len < kHeaderBytes + kCrcBytes || f[12] != (kEtherType >> 8) || f[13] != (kEtherType & 0xFF) ||
            f[14] != 'N' || f[15] != '2' || f[16] != side_)
            return;
        std::uint32_t seq = (std::uint32_t(f[17]) << 24) | (std::uint32_t(f[18]) << 16) |
                            (std::uint32_t(f[19]) << 8) | f[20];
        if (seq < records_.size()) records_[seq].on_wire = true;
    }

    // After the host went idle: whatever is still open is lost or stuck.
    void settle_all() {
        for (std::size_t i = first_open(); i < records_.size(); i++) {
            SentRecord& r = records_[i];
            if (r.settled) continue;
            r.settled = true;
            release(r);
            open_--;
            if (!r.status) out_.never_completed++;
            else out_.lost++;
        }
    }

private:
    // Frames settle nearly in order: the scans start at the oldest open one.
    std::size_t first_open() {
        while (first_open_ < records_.size() && records_[first_open_].settled) first_open_++;
        return first_open_;
    }

    // A long run keeps only a hash of each settled frame.
    static void release(SentRecord& r) { std::vector<std::uint8_t>().swap(r.bytes); }

    void check(const std::vector<std::uint8_t>& f) {
        if (f.size() < kHeaderBytes + kCrcBytes || f[12] != (kEtherType >> 8) || f[13] != (kEtherType & 0xFF) ||
            f[14] != 'N' || f[15] != '2' || f[16] != peer_->side_) {
            foreign_++;
            return;
        }
        std::uint32_t seq = (std::uint32_t(f[17]) << 24) | (std::uint32_t(f[18]) << 16) |
                            (std::uint32_t(f[19]) << 8) | f[20];
        auto& theirs = peer_->records_;
        if (seq >= theirs.size()) {
            in_.corrupted++;
            return;
        }
        SentRecord& r = theirs[seq];
        if (r.bytes.empty() ? frame_hash(f) != r.hash : f != r.bytes) {
            in_.corrupted++;
            return;
        }
        std::uint32_t crc = hw::ethernet_fcs(f.data() + 14, f.size() - 14 - kCrcBytes);
        const std::uint8_t* c = f.data() + f.size() - kCrcBytes;
        if (c[0] != (crc & 0xFF) || c[1] != ((crc >> 8) & 0xFF) || c[2] != ((crc >> 16) & 0xFF) ||
            c[3] != (crc >> 24)) {
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

    struct InFlight {
        std::unique_ptr<sim::Packet> packet;
        std::uint32_t seq;
    };
    int side_;
    sim::Adapter& adapter_;
    DirectionResult& out_;  // frames this side sends
    DirectionResult& in_;   // frames this side receives
    std::uint64_t& foreign_;
    DemoProtocol* peer_ = nullptr;
    std::vector<SentRecord> records_;
    std::map<NDIS_PACKET*, InFlight> in_flight_;
    std::size_t open_ = 0;
    std::size_t first_open_ = 0;
    unsigned receives_ = 0;
};

std::vector<std::uint8_t> make_frame(const sim::MacAddress& dst, const sim::MacAddress& src, int side,
                                     std::uint32_t seq, unsigned size, std::uint64_t seed) {
    std::vector<std::uint8_t> f(size);
    std::copy(dst.begin(), dst.end(), f.begin());
    std::copy(src.begin(), src.end(), f.begin() + 6);
    f[12] = kEtherType >> 8;
    f[13] = kEtherType & 0xFF;
    f[14] = 'N';
    f[15] = '2';
    f[16] = static_cast<std::uint8_t>(side);
    f[17] = static_cast<std::uint8_t>(seq >> 24);
    f[18] = static_cast<std::uint8_t>(seq >> 16);
    f[19] = static_cast<std::uint8_t>(seq >> 8);
    f[20] = static_cast<std::uint8_t>(seq);
    f[21] = static_cast<std::uint8_t>(size >> 8);
    f[22] = static_cast<std::uint8_t>(size);
    Rng pattern(seed ^ (std::uint64_t(side) << 40) ^ (std::uint64_t(seq) << 8));
    for (std::size_t i = kHeaderBytes; i + kCrcBytes < size; i++) f[i] = static_cast<std::uint8_t>(pattern.next());
    std::uint32_t crc = hw::ethernet_fcs(f.data() + 14, size - 14 - kCrcBytes);
    for (int i = 0; i < 4; i++) f[size - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    return f;
}

class ProgressBar {
public:
    ProgressBar(std::ostream* out, std::uint64_t total) : out_(out), total_(total ? total : 1) {}
    void update(std::uint64_t done) {
        if (!out_) return;
        unsigned pct = static_cast<unsigned>(done * 100 / total_);
        if (pct == last_) return;
        last_ = pct;
        std::string bar(30, '.');
        std::fill(bar.begin(), bar.begin() + pct * 30 / 100, '#');
        *out_ << "\r  [" << bar << "] " << pct << "%  " << done << "/" << total_ << " frames" << std::flush;
    }
    void finish() {
        if (out_ && last_ != ~0u) *out_ << "\r" << std::string(60, ' ') << "\r" << std::flush;
    }

private:
    std::ostream* out_;
    std::uint64_t total_;
    unsigned last_ = ~0u;
};

}  // namespace

bool DemoResult::ok() const {
    for (const DirectionResult& w : way)
        if (w.lost || w.duplicated || w.corrupted || w.unwanted || w.never_completed || w.failed) return false;
    return foreign == 0 && problems.empty();
}

namespace {

// One run of the demo, step by step: the two adapters set up, rounds of
// traffic (with the reset of A half way), then the counters and the halt.
class DemoRun {
public:
    DemoRun(const DemoOptions& o, DemoResult& r) : o_(o), r_(r), rng_(o.seed) {}

    void setup() {
        std::vector<RigCard> cards(2);
        cards[0] = {o_.kinds.at(0), {0x02, 0x00, 0x00, 0x00, 0x00, 0x0A}};
        cards[1] = {o_.kinds.at(1), {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B}};
        rig_ = std::make_unique<Rig>(cards, hw::kMicrosecond, o_.image);
        if (const sim::DriverImage* image = rig_->image()) {
            char note[64];
            std::snprintf(note, sizeof note, " mapped at 0x%llx (linked for 0x%llx)",
                          static_cast<unsigned long long>(image->base()),
                          static_cast<unsigned long long>(image->preferred_base()));
            r_.image_note = o_.image + note;
        }
        rig_->initialize_all();
        for (int s = 0; s < 2; s++)
            sides_[s] = std::make_unique<DemoProtocol>(s, rig_->adapter(s), r_.way[s], r_.way[1 - s], r_.foreign);
        sides_[0]->set_peer(sides_[1].get());
        sides_[1]->set_peer(sides_[0].get());
        rig_->segment().add_tap([this](sim::Nanos, const std::uint8_t* f, std::size_t len) {
            r_.wire_frames++;
            r_.wire_bytes += len;
            for (auto& side : sides_) side->seen_on_wire(f, len);
        });
        for (int s = 0; s < 2; s++) {
            rig_->adapter(s).keep_indications(false);
            rig_->adapter(s).bind(*sides_[s]);
            set_filter(rig_->adapter(s), *sides_[s], kFilter, kMulticast[s]);
        }
        if (o_.prepare) o_.prepare(*rig_);
        // Bus time counts the traffic's port accesses only.
        for (int s = 0; s < 2; s++) traffic_start_[s] = accesses(s);
    }

    // Rounds of at most kWindow open frames a side, each settled before the
    // next; the reset of A comes once both sides are half way.
    void traffic(std::ostream* progress) {
        ProgressBar bar(progress, 2 * o_.frames);
        const std::uint64_t reset_at = o_.reset ? o_.frames / 2 : o_.frames + 1;
        bool reset_done = false;
        for (;;) {
            if (o_.stop && *o_.stop) {
                r_.interrupted = true;
                break;
            }
            bool more = false;
            for (int s = 0; s < 2; s++) {
                std::uint64_t limit = reset_done ? o_.frames : std::min<std::uint64_t>(o_.frames, reset_at);
                while (sides_[s]->open() < kWindow && next_[s] < limit) send_next(s);
                more = more || next_[s] < o_.frames;
            }
            settle();
            bar.update(next_[0] + next_[1]);
            if (!reset_done && next_[0] >= reset_at && next_[1] >= reset_at) {
                reset_done = true;
                reset_a();
                continue;
            }
            if (!more) break;
        }
        bar.finish();
    }

    void finish() {
        for (int s = 0; s < 2; s++) {
            r_.counters[s] = query_counters(rig_->adapter(s));
            r_.port_accesses[s] = accesses(s) - traffic_start_[s] - (s == 0 ? reset_accesses_ : 0);
        }
        r_.virtual_ns = rig_->host().now();
        for (int s = 0; s < 2; s++) rig_->adapter(s).unbind(*sides_[s]);
        auto problems = rig_->halt_all();
        r_.problems.insert(r_.problems.end(), problems.begin(), problems.end());
    }

private:
    static constexpr unsigned long kFilter =
        NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;

    std::uint64_t accesses(int s) { return rig_->host().bus().port_stats(&rig_->board(s)).accesses; }

    void settle() {
        rig_->drain();
        for (auto& side : sides_) side->settle_all();
    }

    // A reset in the middle of A's traffic: a burst handed over, the first
    // frame on the wire, then the reset. Frames still on the send queue
    // come back aborted; frames already copied to the card (completed then)
    // and not yet sent are discarded with the transmit slots. The reset's
    // own port accesses are not the traffic's.
    void reset_a() {
        for (unsigned k = 0; k < kResetBurst && next_[0] < o_.frames; k++) send_next(0);
        rig_->host().run_for(hw::wire_time(o_.min_size) / 2 + 60 * hw::kMicrosecond);
        std::uint64_t before = accesses(0);
        BOOLEAN addressing = FALSE;
        NDIS_STATUS s = rig_->adapter(0).reset(&addressing);
        reset_accesses_ += accesses(0) - before;
        r_.resets++;
        sides_[0]->reset_discards();
        if (s != NDIS_STATUS_SUCCESS) r_.problems.push_back("reset of adapter A failed: " + status_text(s));
        if (addressing) set_filter(rig_->adapter(0), *sides_[0], kFilter, kMulticast[0]);
        settle();
    }

    // The next frame of side s: size, destination and how it is cut into buffers.
    void send_next(int s) {
        int far = 1 - s;
        std::uint64_t i = next_[s]++;
        unsigned span = o_.max_size - o_.min_size + 1;
        unsigned size = i == 0 ? o_.min_size : i == 1 ? o_.max_size : o_.min_size + rng_.below(span);
        bool expected = true;
        sim::MacAddress dst = destination(far, expected);
        auto bytes = make_frame(dst, rig_->card(s).station, s, static_cast<std::uint32_t>(i), size, o_.seed);
        sides_[s]->send(std::move(bytes), expected, pieces(size));
    }

    sim::MacAddress destination(int far, bool& expected) {
        unsigned pick = rng_.below(100);
        if (pick < 50) return rig_->card(far).station;
        if (pick < 65) return kBroadcast;
        if (pick < 80) return kMulticast[far][rng_.below(2)];
        expected = false;
        if (pick >= 92) return kStranger;
        // A group address in neither list; some share a hash bit with a
        // listed one, so the card takes them and the wrapper drops them.
        sim::MacAddress dst;
        do {
            dst = {0x01, 0x00, 0x5E, static_cast<std::uint8_t>(rng_.below(128)),
                   static_cast<std::uint8_t>(rng_.below(256)), static_cast<std::uint8_t>(rng_.below(256))};
        } while (std::find(kMulticast[far].begin(), kMulticast[far].end(), dst) != kMulticast[far].end());
        return dst;
    }

    std::vector<std::size_t> pieces(unsigned size) {
        switch (rng_.below(4)) {
        case 0: return {};
        case 1: return {14, size - 14u};
        case 2: {
            unsigned a = 1 + rng_.below(size - 1);
            return {a, size - a};
        }
        default: return {6, 6, 2, 0, size - 14u};
        }
    }

    const DemoOptions& o_;
    DemoResult& r_;
    Rng rng_;
    std::unique_ptr<Rig> rig_;
    std::unique_ptr<DemoProtocol> sides_[2];
    std::uint64_t next_[2] = {0, 0};
    std::uint64_t traffic_start_[2] = {0, 0};
    std::uint64_t reset_accesses_ = 0;
};

}  // namespace

DemoResult run_demo(const DemoOptions& o, std::ostream* progress) {
    DemoResult r;
    auto real_start = std::chrono::steady_clock::now();
    DemoRun run(o, r);
    run.setup();
    run.traffic(progress);
    run.finish();
    r.real_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - real_start).count();
    return r;
}

double bus_us_per_frame(const DemoResult& r, int s, sim::Nanos port_cost) {
    std::uint64_t frames = r.way[s].sent + r.way[1 - s].delivered + r.way[1 - s].kept_back;
    return frames ? double(r.port_accesses[s]) * double(port_cost) / 1000.0 / double(frames) : 0;
}

static double mean_wire_us(const DemoResult& r) {
    double mean_wire = r.wire_frames ? double(r.wire_bytes) / double(r.wire_frames) : 0;
    return double(hw::wire_time(static_cast<std::size_t>(mean_wire + 0.5))) / 1000.0;
}

void print_demo_report(const DemoOptions& o, const DemoResult& r, sim::Nanos port_cost, std::ostream& out) {
    char line[200];
    const char* names[2] = {kind_name(o.kinds[0]), kind_name(o.kinds[1])};
    out << "ne2k demo: adapters A (" << names[0] << ") and B (" << names[1]
        << ") on one 10 Mbit/s segment, " << o.frames << " frames each way, sizes " << o.min_size << ".."
        << o.max_size << ", seed " << o.seed << "\n";
    if (!r.image_note.empty()) out << "driver image " << r.image_note << "\n";
    out << "\n";
    std::snprintf(line, sizeof line, "%-34s %12s %12s\n", "traffic", "A -> B", "B -> A");
    out << line;
    auto row = [&](const char* what, std::uint64_t a, std::uint64_t b) {
        std::snprintf(line, sizeof line, "  %-32s %12llu %12llu\n", what, static_cast<unsigned long long>(a),
                      static_cast<unsigned long long>(b));
        out << line;
    };
    const DirectionResult& x = r.way[0];
    const DirectionResult& y = r.way[1];
    row("frames sent", x.sent, y.sent);
    row("completed with success", x.completed_ok, y.completed_ok);
    row("aborted by the reset (queued)", x.aborted, y.aborted);
    row("discarded at reset (in slots)", x.discarded_at_reset, y.discarded_at_reset);
    row("failed", x.failed, y.failed);
    row("meant for the far side", x.expected, y.expected);
    row("arrived, checked byte for byte", x.delivered, y.delivered);
    row("bytes arrived", x.delivered_bytes, y.delivered_bytes);
    row("kept back by the filters", x.kept_back, y.kept_back);
    row("LOST", x.lost, y.lost);
    row("duplicated", x.duplicated, y.duplicated);
    row("corrupted", x.corrupted, y.corrupted);
    row("passed a filter that excludes it", x.unwanted, y.unwanted);
    if (x.never_completed || y.never_completed) row("never completed", x.never_completed, y.never_completed);

    out << "\n";
    std::snprintf(line, sizeof line, "%-34s %12s %12s\n", "counters (query handler)", "A", "B");
    out << line;
    const AdapterCounters& a = r.counters[0];
    const AdapterCounters& b = r.counters[1];
    row("OID_GEN_XMIT_OK", a.xmit_ok, b.xmit_ok);
    row("OID_GEN_RCV_OK", a.rcv_ok, b.rcv_ok);
    row("OID_GEN_XMIT_ERROR", a.xmit_error, b.xmit_error);
    row("OID_GEN_RCV_ERROR", a.rcv_error, b.rcv_error);
    row("OID_GEN_RCV_NO_BUFFER", a.rcv_no_buffer, b.rcv_no_buffer);
    row("OID_802_3_RCV_ERROR_ALIGNMENT", a.alignment, b.alignment);
    row("OID_802_3_XMIT_ONE_COLLISION", a.one_collision, b.one_collision);
    row("OID_802_3_XMIT_MORE_COLLISIONS", a.more_collisions, b.more_collisions);

    out << "\n";
    out << "  virtual time                     " << seconds_text(r.virtual_ns) << " (" << r.resets
        << " reset of A in mid-traffic, then halt)\n";
    out << "  bus time per frame counts the traffic's port accesses (not initialization, reset or halt)\n";
    double wire_us = mean_wire_us(r);
    for (int s = 0; s < 2; s++) {
        std::snprintf(line, sizeof line,
                      "  bus time per frame, %c (%s)%*s %8.1f us (%llu port accesses x %.2f us) "
                      "against %.1f us on the wire\n",
                      'A' + s, names[s], static_cast<int>(10 - std::string(names[s]).size()), "",
                      bus_us_per_frame(r, s, port_cost), static_cast<unsigned long long>(r.port_accesses[s]),
                      double(port_cost) / 1000.0, wire_us);
        out << line;
    }
    std::uint64_t moved = r.way[0].delivered + r.way[1].delivered;
    std::snprintf(line, sizeof line, "  host speed                       %.0f frames/s (%llu frames in %.2f s)\n",
                  r.real_seconds > 0 ? double(moved) / r.real_seconds : 0.0, static_cast<unsigned long long>(moved),
                  r.real_seconds);
    out << line;
    if (r.foreign) out << "  frames that were not the demo's:  " << r.foreign << "\n";
    for (const std::string& p : r.problems) out << "  problem: " << p << "\n";
    if (r.interrupted) out << "  interrupted: the rows above are the frames sent so far\n";
    out << "\n" << (r.ok() ? "result: OK, nothing lost, duplicated or corrupted\n"
                           : "result: FAILED (see the rows above)\n");
}

namespace {

void json_demo(const DemoOptions& o, const DemoResult& r, std::ostream& out) {
    Json j(out);
    j.str("command", "demo").array("kinds");
    for (hw::BoardKind k : o.kinds) j.str({}, kind_name(k));
    j.close();
    j.num("frames", o.frames).num("min_size", o.min_size).num("max_size", o.max_size).num("seed", o.seed);
    j.flag("reset", o.reset);
    if (o.image.empty()) j.null("image");
    else j.str("image", r.image_note);
    j.array("ways");
    for (int w = 0; w < 2; w++) {
        const DirectionResult& d = r.way[w];
        j.object().str("from", w == 0 ? "A" : "B").str("to", w == 0 ? "B" : "A");
        j.num("sent", d.sent).num("completed_ok", d.completed_ok).num("aborted", d.aborted);
        j.num("discarded_at_reset", d.discarded_at_reset).num("failed", d.failed);
        j.num("never_completed", d.never_completed).num("expected", d.expected).num("delivered", d.delivered);
        j.num("delivered_bytes", d.delivered_bytes).num("kept_back", d.kept_back).num("lost", d.lost);
        j.num("duplicated", d.duplicated).num("corrupted", d.corrupted).num("unwanted", d.unwanted).close();
    }
    j.close().array("adapters");
    for (int s = 0; s < 2; s++) {
        const AdapterCounters& c = r.counters[s];
        j.object().str("name", s == 0 ? "A" : "B").str("kind", kind_name(o.kinds[s]));
        j.num("port_accesses", r.port_accesses[s]).real("bus_us_per_frame", bus_us_per_frame(r, s, hw::kMicrosecond));
        j.object("counters").num("xmit_ok", c.xmit_ok).num("rcv_ok", c.rcv_ok).num("xmit_error", c.xmit_error);
        j.num("rcv_error", c.rcv_error).num("rcv_no_buffer", c.rcv_no_buffer).num("alignment", c.alignment);
        j.num("one_collision", c.one_collision).num("more_collisions", c.more_collisions).close().close();
    }
    j.close().real("wire_us_per_frame", mean_wire_us(r)).num("resets", r.resets).num("foreign", r.foreign);
    j.num("virtual_time_ns", r.virtual_ns).real("host_seconds", r.real_seconds);
    j.flag("interrupted", r.interrupted).strs("problems", r.problems).flag("ok", r.ok());
    j.close();
}

}  // namespace

int demo_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("demo"));
    if (!a.positional().empty()) throw UsageError("unexpected argument '" + a.positional()[0] + "'");
    DemoOptions o;
    o.frames = a.number("--frames", o.frames, 1, 1000000);
    o.min_size = static_cast<unsigned>(a.number("--min-size", o.min_size, 60, 1514));
    o.max_size = static_cast<unsigned>(a.number("--max-size", o.max_size, 60, 1514));
    if (o.min_size > o.max_size)
        throw UsageError("--min-size (" + std::to_string(o.min_size) + ") is above --max-size (" +
                         std::to_string(o.max_size) + ")");
    o.seed = a.number("--seed", o.seed, 0, ~0ull >> 1);
    if (auto k = a.value("--kinds")) {
        auto parts = split(*k, ',');
        if (parts.size() != 2) throw UsageError("--kinds takes two board kinds, e.g. --kinds pccard,isa8");
        o.kinds = {parse_kind(parts[0], "--kinds"), parse_kind(parts[1], "--kinds")};
    }
    o.reset = !a.has("--no-reset");
    if (auto image = a.value("--image")) o.image = *image;
    o.stop = io.stop;
    std::ostream* progress = io.tty && !a.json() && o.frames >= 200 ? &io.out : nullptr;
    DemoResult r = run_demo(o, progress);
    if (a.json()) json_demo(o, r, io.out);
    else print_demo_report(o, r, hw::kMicrosecond, io.out);
    return r.interrupted ? kExitInterrupted : r.ok() ? kExitOk : kExitFailure;
}

}  // namespace ne2k_tool
