// replay: capture frames arrive at one adapter, a frame at a time; what its
// protocol receives is written out as it arrives, and every frame's fate is
// known (tools/replay_ledger.h). The summary and the command are in
// tools/replay_command.cpp.
#include <memory>

#include "hw/dp8390.h"
#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/pcap_commands.h"
#include "tools/progress.h"
#include "tools/replay_ledger.h"
#include "tools/timeline.h"
#include "tools/tool.h"

namespace ne2k_tool {

unsigned long effective_filter(unsigned long filter) {
    return filter ? filter : NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
}

namespace {

// Takes every frame that passes its filter whole, through transfer-data,
// and writes it out at once.
class ReplayProtocol : public sim::Protocol {
public:
    ReplayProtocol(Ledger& ledger, CaptureWriter* out) : ledger_(ledger), out_(out) {}

    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size, const std::uint8_t*,
                    unsigned, unsigned packet_size, NDIS_HANDLE) override {
        sim::Packet data = sim::Packet::zeroed(packet_size);
        UINT got = 0;
        NDIS_STATUS s = adapter.transfer_data(data, 0, packet_size, &got);
        if (s != NDIS_STATUS_SUCCESS || got != packet_size) {
            ledger_.indicated(header, header_size, packet_size, Verdict::TransferFailed);
            return;
        }
        frame_.assign(header, header + header_size);
        auto d = data.contents();
        frame_.insert(frame_.end(), d.begin(), d.end());
        if (out_) out_->write(adapter.host().now(), frame_.data(), frame_.size());
        ledger_.indicated(header, header_size, packet_size, Verdict::Indicated);
    }
    void on_filtered(sim::Adapter&, const std::uint8_t* header, unsigned header_size,
                     unsigned packet_size) override {
        ledger_.indicated(header, header_size, packet_size, Verdict::ExactFilter);
    }

private:
    Ledger& ledger_;
    CaptureWriter* out_;
    std::vector<std::uint8_t> frame_;
};

// One replay, step by step. Frames are fed to the wire from the clock's own
// events: the next frame is read when the one before has crossed the wire,
// and goes on it then if it is due, or at its time. So frames follow the
// wire's schedule, never the driver's, and one frame is in hand at a time.
// Reading stops at the end of the capture, when interrupted, or when an
// output can no longer be written.
class ReplayRun {
public:
    ReplayRun(const ReplayOptions& o, ReplayResult& r)
        : o_(o), r_(r), bpf_(o.bpf ? std::make_unique<BpfFilter>(*o.bpf) : nullptr), in_(o.input) {
        if (o.output) out_ = std::make_unique<CaptureWriter>(*o.output);
        if (o.verdicts) csv_ = std::make_unique<TextFile>(*o.verdicts, "the verdicts");
        ledger_ = std::make_unique<Ledger>(r, csv_.get());
        proto_ = std::make_unique<ReplayProtocol>(*ledger_, out_.get());
    }

    void setup() {
        rig_.initialize_all();
        sim::Adapter& a = rig_.adapter(0);
        a.keep_indications(false);
        a.bind(*proto_);
        set_filter(a, *proto_, filter_, o_.multicast);
        rig_.board(0).core().set_receive_observer([this](hw::RxFate f) { ledger_->card(f); });
        rig_.segment().add_tap([this](sim::Nanos, const std::uint8_t*, std::size_t) { feed(); });
        before_ = query_counters(a);
        start_ = rig_.host().now();
        schedule_ = std::make_unique<Schedule>(o_.pace, start_);
        timeline_ = start_timeline(rig_, o_, "replay");
        r_.started = true;
    }

    void run() {
        feed();
        rig_.drain();
        bar_.finish();
        r_.interrupted = stopped();
        if (!r_.interrupted) r_.damage = in_.damage();  // a read cut short by the signal is no damage
        r_.read_whole = in_.ended();
        ledger_->finish();
        r_.earlier = schedule_->earlier();
    }

    void finish() {
        sim::Adapter& a = rig_.adapter(0);
        AdapterCounters after = query_counters(a);
        r_.counters = {after.xmit_ok - before_.xmit_ok, after.rcv_ok - before_.rcv_ok,
                       after.xmit_error - before_.xmit_error, after.rcv_error - before_.rcv_error,
                       after.rcv_no_buffer - before_.rcv_no_buffer, after.alignment - before_.alignment,
                       after.one_collision - before_.one_collision, after.more_collisions - before_.more_collisions};
        r_.virtual_ns = rig_.host().now() - start_;
        rig_.board(0).core().set_receive_observer(nullptr);
        a.unbind(*proto_);
        auto problems = rig_.halt_all();
        r_.problems.insert(r_.problems.end(), problems.begin(), problems.end());
        std::uint64_t accounted = 0;
        for (std::size_t v = 0; v < kVerdicts; v++) accounted += r_.verdicts[v];
        if (accounted != r_.offered)
            r_.problems.push_back("the verdicts (" + std::to_string(accounted) +
                                  ") do not add up to the frames offered (" + std::to_string(r_.offered) + ")");
        if (out_) {
            out_->close();
            r_.output_failed(out_->error(), output_name(*o_.output));
        }
        if (csv_) {
            csv_->close();
            r_.output_failed(csv_->error(), *o_.verdicts);
        }
        finish_timeline(timeline_.get(), o_, r_);
    }

private:
    bool stopped() const { return o_.stop && *o_.stop; }


    // An output that can no longer be written stops the reading: what was
    // read is accounted for, and the summary says where it stopped.
    bool output_broken() {
        if (out_ && !out_->error().empty()) r_.stopped_by = output_name(*o_.output);
        else if (csv_ && !csv_->check()) r_.stopped_by = *o_.verdicts;
        return !r_.stopped_by.empty();
    }

    // Reads up to the next frame that goes on the wire, and puts it there
    // now or at its time. Nothing more is read once stopped.
    void feed() {
        CaptureRecord rec;
        while (!stopped() && !output_broken() && in_.next(rec)) {
            r_.in_capture++;
            bytes_read_ += rec.caplen;
            bar_.update(r_.in_capture, bytes_read_, in_.fraction_read());
            std::string why = unusable_reason(rec, r_.unusable);
            if (!why.empty()) {
                if (o_.notes && r_.unusable.total() <= kMaxNotes)
                    *o_.notes << "  " << frame_note(r_.in_capture, rec) << " not usable: " << why
                              << (r_.unusable.total() == kMaxNotes ? " (later ones: --verdicts lists every frame)" : "")
                              << "\n";
                ledger_->skip(rec, Verdict::Unusable);
                continue;
            }
            if (bpf_ && !bpf_->matches(rec)) {
                r_.bpf_skipped++;
                ledger_->skip(rec, Verdict::Bpf);
                continue;
            }
            rec_ = rec;
            frame_.assign(rec.bytes, rec.bytes + rec.caplen);
            sim::Nanos at = schedule_->due(rec.time_ns);
            if (at <= rig_.host().now()) inject();
            else rig_.host().clock().schedule(at, [this] { inject(); });
            return;
        }
    }

    void inject() {
        if (frame_.size() < hw::kMinFrame) {
            frame_.resize(hw::kMinFrame, 0);
            r_.padded++;
        }
        bool admitted = sim::ethernet_filter_accepts(frame_.data(), filter_, o_.card.station, o_.multicast);
        r_.admitted += admitted;
        ledger_->offer(rec_, frame_.data(), frame_.size(), admitted);
        rig_.segment().inject(frame_.data(), frame_.size());
        r_.offered++;
    }

    const ReplayOptions& o_;
    ReplayResult& r_;
    const unsigned long filter_ = effective_filter(o_.filter);
    std::unique_ptr<BpfFilter> bpf_;  // a bad expression is a usage error, found first
    CaptureReader in_;
    std::unique_ptr<CaptureWriter> out_;
    std::unique_ptr<TextFile> csv_;
    std::unique_ptr<Ledger> ledger_;
    std::unique_ptr<ReplayProtocol> proto_;
    Rig rig_{{o_.card}};
    std::unique_ptr<Timeline> timeline_;  // gone before the rig
    AdapterCounters before_;
    sim::Nanos start_ = 0;
    std::unique_ptr<Schedule> schedule_;
    CaptureRecord rec_;                // the frame in hand (its bytes copied to frame_)
    std::vector<std::uint8_t> frame_;
    std::uint64_t bytes_read_ = 0;
    ProgressBar bar_{o_.progress};
};

}  // namespace

ReplayResult run_replay(const ReplayOptions& o) { return run_capture<ReplayRun, ReplayResult>(o); }

}  // namespace ne2k_tool
