// send: capture frames go out through the driver, a frame at a time; what
// reaches the wire is written out as it crosses, and checked against what
// was sent.
#include <deque>
#include <map>
#include <memory>
#include <ostream>

#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/json.h"
#include "tools/files.h"
#include "tools/pcap_commands.h"
#include "tools/progress.h"
#include "tools/timeline.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

// Packets handed to the driver and not yet completed: enough to keep both
// transmit slots busy, so that frames at top speed go back to back.
constexpr std::size_t kWindow = 4;

// Sends frames, keeping each packet until it completes, and checks what
// crosses the wire against the frames completed with success, in order.
class Sender : public sim::Protocol {
public:
    Sender(SendResult& r, std::ostream* notes) : r_(r), notes_(notes) {}

    std::size_t outstanding() const { return packets_.size(); }

    void send(sim::Adapter& a, std::uint64_t number, const std::uint8_t* bytes, std::size_t len) {
        auto p = std::make_unique<sim::Packet>(bytes, len);
        NDIS_PACKET* key = p->get();
        packets_[key] = InFlight{std::move(p), number};
        expected_.push_back(Expected{number, std::vector<std::uint8_t>(bytes, bytes + len), false});
        r_.sent++;
        (void)a.send(key, 0, this);  // the final status comes through on_send_complete as well
    }

    // Frames sent back to this station are none of its business.
    void on_receive(sim::Adapter&, const std::uint8_t*, unsigned, const std::uint8_t*, unsigned, unsigned,
                    NDIS_HANDLE) override {}

    void on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) override {
        auto it = packets_.find(packet);
        if (it == packets_.end()) return;
        std::uint64_t number = it->second.number;
        packets_.erase(it);
        if (status == NDIS_STATUS_SUCCESS) {
            r_.completed_ok++;
            return;
        }
        r_.failed++;
        note("frame " + std::to_string(number) + ": the driver completed it with " + status_text(status));
        for (Expected& e : expected_)
            if (e.number == number) e.failed = true;
    }

    // A frame crossed the wire (without its FCS).
    void on_wire(const std::uint8_t* f, std::size_t n) {
        r_.on_wire++;
        while (!expected_.empty() && expected_.front().failed) expected_.pop_front();
        if (expected_.empty()) {
            r_.mismatched++;
            return;
        }
        // The frame as sent leads the wire frame; what fills a short frame
        // up to 60 bytes is the driver's choice.
        const auto& e = expected_.front().bytes;
        if (n != std::max(e.size(), hw::kMinFrame) || !std::equal(e.begin(), e.end(), f)) r_.mismatched++;
        expected_.pop_front();
    }

    // The host is idle: frames completed with success that never crossed.
    void finish() {
        for (const Expected& e : expected_)
            if (!e.failed) r_.mismatched++;
        expected_.clear();
    }

    void note(const std::string& text) {
        if (notes_ && notes_written_++ < kMaxNotes) *notes_ << "  " << text << "\n";
    }

private:
    struct InFlight {
        std::unique_ptr<sim::Packet> packet;
        std::uint64_t number;
    };
    struct Expected {
        std::uint64_t number;
        std::vector<std::uint8_t> bytes;
        bool failed;
    };
    SendResult& r_;
    std::ostream* notes_;
    std::uint64_t notes_written_ = 0;
    std::map<NDIS_PACKET*, InFlight> packets_;
    std::deque<Expected> expected_;  // handed over, not yet seen on the wire
};

}  // namespace

namespace {

// One send, step by step: a frame is read when it is due and the driver
// holds fewer than kWindow; reading stops at the end of the capture, when
// interrupted, or when the output can no longer be written.
class SendRun {
public:
    SendRun(const SendOptions& o, SendResult& r) : o_(o), r_(r), in_(o.input), out_(o.output), sender_(r, o.notes) {}

    void setup() {
        rig_.initialize_all();
        rig_.host().keep_send_completions(false);
        sim::Adapter& a = rig_.adapter(0);
        a.keep_indications(false);
        a.bind(sender_);
        rig_.segment().add_tap([this](sim::Nanos t, const std::uint8_t* f, std::size_t len) {
            std::size_t n = hw::Segment::strip_fcs(len);
            out_.write(t, f, n);
            sender_.on_wire(f, n);
        });
        start_ = rig_.host().now();
        timeline_ = start_timeline(rig_, o_, "send");
        r_.started = true;
    }

    void run() {
        sim::Host& host = rig_.host();
        Schedule schedule(o_.pace, start_);
        CaptureRecord rec;
        std::uint64_t bytes = 0;
        ProgressBar bar(o_.progress);
        while (!stopped() && out_.error().empty() && in_.next(rec)) {
            r_.in_capture++;
            bytes += rec.caplen;
            bar.update(r_.in_capture, bytes, in_.fraction_read());
            std::string why = unusable_reason(rec, r_.unusable);
            if (!why.empty()) {
                sender_.note(frame_note(r_.in_capture, rec) + " skipped: " + why);
                continue;
            }
            sim::Nanos at = schedule.due(rec.time_ns);
            if (at > host.now()) host.run_until(at);
            while (sender_.outstanding() >= kWindow) {
                if (host.clock().next_deadline() == hw::kNever) rig_.drain();
                else host.run_until(host.clock().next_deadline());
                if (sender_.outstanding() >= kWindow && host.clock().next_deadline() == hw::kNever)
                    throw RunError("the driver completes none of the " + std::to_string(kWindow) + " frames it holds");
            }
            sender_.send(rig_.adapter(0), r_.in_capture, rec.bytes, rec.caplen);
        }
        bar.finish();
        if (!out_.error().empty()) r_.stopped_by = output_name(o_.output);
        r_.interrupted = stopped();
        if (!r_.interrupted) r_.damage = in_.damage();
        r_.read_whole = in_.ended();
        rig_.drain();
        sender_.finish();
        r_.earlier = schedule.earlier();
        r_.virtual_ns = host.now() - start_;
    }

    void finish() {
        rig_.adapter(0).unbind(sender_);
        auto problems = rig_.halt_all();
        r_.problems.insert(r_.problems.end(), problems.begin(), problems.end());
        out_.close();
        r_.output_failed(out_.error(), output_name(o_.output));
        finish_timeline(timeline_.get(), o_, r_);
    }

private:
    bool stopped() const { return o_.stop && *o_.stop; }

    const SendOptions& o_;
    SendResult& r_;
    CaptureReader in_;
    CaptureWriter out_;
    Sender sender_;
    Rig rig_{{o_.card}};
    std::unique_ptr<Timeline> timeline_;  // gone before the rig
    sim::Nanos start_ = 0;
};

}  // namespace

SendResult run_send(const SendOptions& o) { return run_capture<SendRun, SendResult>(o); }

int send_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("send"));
    SendOptions o;
    parse_capture_options(a, "give the capture to send: ne2k send IN.pcap -w WIRE.pcap", o);
    auto w = a.value("-w");
    if (!w) throw UsageError("say where the wire capture goes: -w WIRE.pcap (- for standard output)");
    o.output = *w;
    o.stop = io.stop;
    const bool capture_on_stdout = o.output == "-";
    std::vector<OutputPath> outputs{{"-w", o.output}};
    if (o.timeline) outputs.push_back({"--timeline", *o.timeline});
    refuse_overlaps(o.input, outputs, {!capture_on_stdout, true});

    std::ostream& text = summary_stream(io, capture_on_stdout);
    o.notes = a.json() ? &io.err : &text;
    o.progress = progress_stream(io, capture_on_stdout, a.json());
    if (!a.json())
        text << "ne2k send: " << input_name(o.input) << " through the " << kind_name(o.card.kind) << " adapter -> "
             << output_name(o.output) << "\n" << std::flush;
    SendResult r = run_send(o);
    int status = capture_status(r, r.mismatched || r.failed);
    if (a.json()) {
        Json j(text);
        j.str("command", "send").str("input", o.input).str("output", o.output);
        j.str("kind", kind_name(o.card.kind)).str("station", mac_text(o.card.station.data()));
        j.object("skipped").num("total", r.unusable.total()).num("cut", r.unusable.cut);
        j.num("too_short", r.unusable.too_short).num("too_long", r.unusable.too_long).close();
        j.num("sent", r.sent).num("completed_ok", r.completed_ok).num("failed", r.failed);
        j.num("on_wire", r.on_wire).num("mismatched", r.mismatched);
        json_capture(j, r, status);
        j.close();
    } else if (r.started) {
        constexpr int kWidth = 20;
        auto row = [&](const char* what, std::uint64_t n, const std::string& more = {}) {
            summary_row(text, kWidth, what, n, more);
        };
        print_frames_read(text, kWidth, r);
        if (r.unusable.total()) row("skipped", r.unusable.total(), unusable_text(r.unusable));
        row("sent", r.sent, std::to_string(r.completed_ok) + " completed with success, " + std::to_string(r.failed) +
                                " failed");
        row("on the wire", r.on_wire, written_to(o.output, r));
        if (r.mismatched) row("MISMATCHED", r.mismatched, "wire frames unlike the frames sent");
        if (r.earlier) row("earlier timestamps", r.earlier, "earlier than the frame before: sent at once");
        print_capture_end(text, kWidth, r);
    }
    print_capture_errors(io.err, "send", o, r);
    return status;
}

}  // namespace ne2k_tool
