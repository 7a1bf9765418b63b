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
#include "tools/pcap_commands.h"
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

SendResult run_send(const SendOptions& o) {
    SendResult r;
    CaptureReader in(o.input);
    CaptureWriter out(o.output);

    Rig rig({o.card});
    rig.initialize_all();
    sim::Host& host = rig.host();
    host.keep_send_completions(false);
    sim::Adapter& a = rig.adapter(0);
    a.keep_indications(false);
    Sender sender(r, o.notes);
    a.bind(sender);
    rig.segment().add_tap([&](sim::Nanos t, const std::uint8_t* f, std::size_t len) {
        std::size_t n = hw::Segment::strip_fcs(len);
        out.write(t, f, n);
        sender.on_wire(f, n);
    });

    const sim::Nanos start = host.now();
    Schedule schedule(o.pace, start);
    CaptureRecord rec;
    while (!(o.stop && *o.stop) && out.error().empty() && in.next(rec)) {
        r.in_capture++;
        std::string why = unusable_reason(rec, r.unusable);
        if (!why.empty()) {
            sender.note("frame " + std::to_string(r.in_capture) + " (" + std::to_string(rec.caplen) +
                        " bytes) skipped: " + why);
            continue;
        }
        sim::Nanos at = schedule.due(rec.time_ns);
        if (at > host.now()) host.run_until(at);
        while (sender.outstanding() >= kWindow) {
            if (host.clock().next_deadline() == hw::kNever) rig.drain();
            else host.run_until(host.clock().next_deadline());
            if (sender.outstanding() >= kWindow && host.clock().next_deadline() == hw::kNever)
                throw RunError("the driver completes none of the " + std::to_string(kWindow) + " frames it holds");
        }
        sender.send(a, r.in_capture, rec.bytes, rec.caplen);
    }
    r.interrupted = o.stop && *o.stop;
    if (!r.interrupted) r.damage = in.damage();
    rig.drain();
    sender.finish();
    r.earlier = schedule.earlier();
    r.virtual_ns = host.now() - start;
    a.unbind(sender);
    r.problems = rig.halt_all();
    out.close();
    if (!out.error().empty()) r.errors.push_back(out.error());
    return r;
}

int send_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("send"));
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? "give the capture to send: ne2k send IN.pcap -w WIRE.pcap"
                                                : "one capture at a time (got '" + a.positional()[1] + "' too)");
    SendOptions o;
    o.input = a.positional()[0];
    auto w = a.value("-w");
    if (!w) throw UsageError("say where the wire capture goes: -w WIRE.pcap (- for standard output)");
    o.output = *w;
    if (auto k = a.value("--kind")) o.card.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) o.card.station = parse_station(*s, "--station");
    o.pace = parse_pace(a);
    o.stop = io.stop;

    std::ostream& text = o.output == "-" ? io.err : io.out;
    o.notes = a.json() ? &io.err : &text;
    if (!a.json())
        text << "ne2k send: " << o.input << " through the " << kind_name(o.card.kind) << " adapter -> " << o.output
             << "\n" << std::flush;
    SendResult r = run_send(o);
    int status = r.interrupted ? kExitInterrupted
                 : !r.damage.empty() || !r.errors.empty() || !r.problems.empty() || r.mismatched || r.failed
                     ? kExitFailure
                     : kExitOk;
    if (a.json()) {
        Json j(text);
        j.str("command", "send").str("input", o.input).str("output", o.output);
        j.str("kind", kind_name(o.card.kind)).str("station", mac_text(o.card.station.data()));
        j.num("frames_in_capture", r.in_capture);
        j.object("skipped").num("total", r.unusable.total()).num("cut", r.unusable.cut);
        j.num("too_short", r.unusable.too_short).num("too_long", r.unusable.too_long).close();
        j.num("sent", r.sent).num("completed_ok", r.completed_ok).num("failed", r.failed);
        j.num("on_wire", r.on_wire).num("mismatched", r.mismatched).num("earlier_timestamps", r.earlier);
        j.num("virtual_time_ns", r.virtual_ns).flag("interrupted", r.interrupted);
        if (r.damage.empty()) j.null("damage");
        else j.str("damage", r.damage);
        j.strs("errors", r.errors).strs("problems", r.problems).num("exit_status", static_cast<std::uint64_t>(status));
        j.close();
    } else {
        auto row = [&](const char* what, std::uint64_t n, const std::string& more = {}) {
            summary_row(text, 20, what, n, more);
        };
        row("frames in capture", r.in_capture);
        if (r.unusable.total()) row("skipped", r.unusable.total(), unusable_text(r.unusable));
        row("sent", r.sent, std::to_string(r.completed_ok) + " completed with success, " + std::to_string(r.failed) +
                                " failed");
        row("on the wire", r.on_wire, "written to " + o.output);
        if (r.mismatched) row("MISMATCHED", r.mismatched, "wire frames unlike the frames sent");
        if (r.earlier) row("earlier timestamps", r.earlier, "earlier than the frame before: sent at once");
        text << "  virtual time        " << seconds_text(r.virtual_ns) << "\n";
        for (auto& p : r.problems) text << "  problem: " << p << "\n";
        if (r.interrupted) text << "  interrupted: the rows above are the frames read so far\n";
    }
    if (!r.damage.empty()) io.err << "ne2k send: " << o.input << ": " << r.damage << "\n";
    for (auto& e : r.errors) io.err << "ne2k send: " << e << "\n";
    return status;
}

}  // namespace ne2k_tool
