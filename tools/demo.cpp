// The demo: adapters A and B on one segment, each with a protocol that
// sends numbered frames (tools/demo_frames.h) and checks, byte for byte,
// every frame it receives against what the other side sent
// (tools/demo_protocol.h). The report is tools/demo_report.cpp.
//
// Traffic runs in rounds: each side keeps at most kWindow frames whose fate
// is open, then the host runs until idle and every frame is settled. A
// frame completed with success and meant for the far side must have arrived
// by then; otherwise it is lost.
#include "tools/demo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/demo_frames.h"
#include "tools/demo_protocol.h"
#include "tools/progress.h"
#include "tools/timeline.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

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
        rig_->host().keep_send_completions(false);  // memory that does not grow with the run
        for (int s = 0; s < 2; s++)
            sides_[s] = std::make_unique<DemoProtocol>(s, rig_->adapter(s), o_.seed, r_.way[s], r_.way[1 - s],
                                                       r_.foreign);
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
        if (!o_.timeline.empty()) {
            timeline_ = std::make_unique<Timeline>(*rig_, o_.timeline, "ne2k demo", true,
                                                   std::vector<std::string>{"A", "B"});
            timeline_->stop_after_frames(o_.timeline_frames);
            timeline_->record(true);
        }
    }

    // Rounds of at most kWindow open frames a side, each settled before the
    // next; the reset of A comes once both sides are half way.
    void traffic(std::ostream* progress) {
        ProgressBar bar(progress);
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
            bar.update(next_[0] + next_[1], 0, double(next_[0] + next_[1]) / double(2 * o_.frames));
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
        if (timeline_) {
            timeline_->finish();
            r_.timeline_error = timeline_->error();
        }
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
    std::unique_ptr<Timeline> timeline_;  // gone before the rig
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

}  // namespace ne2k_tool
