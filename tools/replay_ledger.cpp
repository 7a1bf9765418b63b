// replay: capture frames arrive at one adapter, a frame at a time; what its
// protocol receives is written out as it arrives, and every frame's fate is
// known: the card says what it did with each frame offered, the wrapper
// which indications its exact filter kept back.
#include <deque>
#include <fstream>
#include <memory>
#include <ostream>

#include "hw/dp8390.h"
#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/json.h"
#include "tools/pcap_commands.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

struct VerdictNames {
    const char* name;
    const char* key;
};
const VerdictNames kVerdictNames[kVerdicts] = {
    {"indicated", "indicated"},
    {"card filter", "card_filter"},
    {"exact filter", "exact_filter"},
    {"ring full", "ring_full"},
    {"receiver stopped", "receiver_stopped"},
    {"runt", "runt"},
    {"error", "error"},
    {"dropped by driver", "dropped_by_driver"},
    {"transfer failed", "transfer_failed"},
    {"bpf", "bpf"},
    {"unusable", "unusable"},
};

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

// Every frame of the capture from the moment it is read until its verdict
// is known, in capture order; verdicts are counted and written to the CSV
// in that order. Frames wait here only while the card or the driver holds
// them, so the ledger stays as small as the receive ring.
class Ledger {
public:
    Ledger(ReplayResult& result, std::ostream* csv) : r_(result), csv_(csv) {
        if (csv_) *csv_ << "frame,length,destination,verdict,lost\n";
    }

    // A frame that is not offered.
    void skip(const CaptureRecord& rec, Verdict v) {
        Entry e = entry(rec);
        e.verdict = v;
        frames_.push_back(std::move(e));
        flush();
    }
    // A frame put on the wire: `bytes` as offered (padded).
    void offer(const CaptureRecord& rec, const std::uint8_t* bytes, std::size_t len, bool admitted) {
        Entry e = entry(rec);
        std::copy(bytes, bytes + hw::kAddressBytes, e.dest.begin());
        e.admitted = admitted;
        e.header.assign(bytes, bytes + hw::kHeaderBytes);
        e.offered_len = len;
        awaiting_card_.push_back(first_ + frames_.size());
        frames_.push_back(std::move(e));
    }
    // The card's word on the oldest offered frame it has not spoken of.
    void card(hw::RxFate fate) {
        if (awaiting_card_.empty()) {
            r_.problems.push_back("the card received a frame the replay did not offer");
            return;
        }
        std::uint64_t seq = awaiting_card_.front();
        awaiting_card_.pop_front();
        if (fate == hw::RxFate::Stored) stored_.push_back(seq);
        else settle(seq, verdict_of(fate));
    }
    // The driver indicated a frame (`v`: Indicated, ExactFilter or
    // TransferFailed): the oldest stored frame like it. Stored frames before
    // it were dropped by the driver.
    void indicated(const std::uint8_t* header, unsigned header_size, unsigned packet_size, Verdict v) {
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
    // The host is idle: what the driver still holds, it dropped.
    void finish() {
        for (std::uint64_t seq : stored_) settle(seq, Verdict::DroppedByDriver);
        stored_.clear();
        if (!awaiting_card_.empty())
            r_.problems.push_back(std::to_string(awaiting_card_.size()) + " offered frame(s) never reached the card");
        awaiting_card_.clear();
        flush();
    }

private:
    struct Entry {
        std::uint64_t number = 0;
        std::uint32_t length = 0;
        sim::MacAddress dest{};
        bool has_dest = false;
        bool admitted = false;
        std::vector<std::uint8_t> header;
        std::size_t offered_len = 0;
        std::optional<Verdict> verdict;
    };

    Entry entry(const CaptureRecord& rec) {
        Entry e;
        e.number = ++read_;
        e.length = rec.wire_len;
        e.has_dest = rec.caplen >= hw::kAddressBytes;
        if (e.has_dest) std::copy(rec.bytes, rec.bytes + hw::kAddressBytes, e.dest.begin());
        return e;
    }
    Entry& at(std::uint64_t seq) { return frames_[seq - first_]; }

    void settle(std::uint64_t seq, Verdict v) {
        Entry& e = at(seq);
        e.verdict = v;
        r_.verdicts[static_cast<std::size_t>(v)]++;
        if (e.admitted && v != Verdict::Indicated) r_.lost[static_cast<std::size_t>(v)]++;
        flush();
    }

    void flush() {
        while (!frames_.empty() && frames_.front().verdict) {
            const Entry& e = frames_.front();
            if (csv_)
                *csv_ << e.number << ',' << e.length << ',' << (e.has_dest ? mac_text(e.dest.data()) : "") << ','
                      << verdict_name(*e.verdict) << ',' << (e.admitted && *e.verdict != Verdict::Indicated)
                      << '\n';
            frames_.pop_front();
            first_++;
        }
    }

    ReplayResult& r_;
    std::ostream* csv_;
    std::deque<Entry> frames_;  // frames_[i] is frame sequence first_ + i
    std::uint64_t first_ = 0, read_ = 0;
    std::deque<std::uint64_t> awaiting_card_;  // offered, the card has not spoken
    std::deque<std::uint64_t> stored_;         // in the ring, not yet indicated
};

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

unsigned long effective_filter(unsigned long filter) {
    return filter ? filter : NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
}

std::vector<sim::MacAddress> parse_mac_list(const std::string& text) {
    std::vector<sim::MacAddress> out;
    for (const std::string& part : split(text, ',')) {
        sim::MacAddress m = parse_mac(part, "--multicast");
        if (!(m[0] & 1))
            throw UsageError("--multicast: " + part + " is not a group address (the first byte must be odd)");
        out.push_back(m);
    }
    if (out.size() > 8) throw UsageError("--multicast: at most 8 addresses (the card's list holds 8)");
    return out;
}

}  // namespace

const char* verdict_name(Verdict v) { return kVerdictNames[static_cast<std::size_t>(v)].name; }
const char* verdict_key(Verdict v) { return kVerdictNames[static_cast<std::size_t>(v)].key; }

std::uint64_t ReplayResult::lost_total() const {
    std::uint64_t n = 0;
    for (std::uint64_t x : lost) n += x;
    return n;
}

namespace {

// One replay, step by step. Frames are fed to the wire from the clock's own
// events: the next frame is read when the one before has crossed the wire,
// and goes on it then if it is due, or at its time. So frames follow the
// wire's schedule, never the driver's, and one frame is in hand at a time.
class ReplayRun {
public:
    ReplayRun(const ReplayOptions& o, ReplayResult& r)
        : o_(o), r_(r), bpf_(o.bpf ? std::make_unique<BpfFilter>(*o.bpf) : nullptr), in_(o.input) {
        if (o.output) out_ = std::make_unique<CaptureWriter>(*o.output);
        if (o.verdicts) {
            csv_.open(*o.verdicts);
            if (!csv_) throw RunError(*o.verdicts + ": cannot be written; check that the folder exists and is writable");
        }
        ledger_ = std::make_unique<Ledger>(r, o.verdicts ? &csv_ : nullptr);
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
    }

    void run() {
        feed();
        rig_.drain();
        r_.interrupted = stopped();
        if (!r_.interrupted) r_.damage = in_.damage();  // a read cut short by the signal is no damage
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
            if (!out_->error().empty()) r_.errors.push_back(out_->error());
        }
        if (o_.verdicts) {
            csv_.close();
            if (!csv_) r_.errors.push_back(*o_.verdicts + ": writing the verdicts failed");
        }
    }

private:
    bool stopped() const { return o_.stop && *o_.stop; }

    // Reads up to the next frame that goes on the wire, and puts it there
    // now or at its time. Nothing more is read once stopped.
    void feed() {
        CaptureRecord rec;
        while (!stopped() && !(out_ && !out_->error().empty()) && in_.next(rec)) {
            r_.in_capture++;
            std::string why = unusable_reason(rec, r_.unusable);
            if (!why.empty()) {
                note(rec, why);
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

    void note(const CaptureRecord& rec, const std::string& why) {
        if (!o_.notes || r_.unusable.total() > kMaxNotes) return;
        *o_.notes << "  frame " << r_.in_capture << " (" << rec.caplen << " bytes) not usable: " << why
                  << (r_.unusable.total() == kMaxNotes ? " (later ones: --verdicts lists every frame)" : "") << "\n";
    }

    const ReplayOptions& o_;
    ReplayResult& r_;
    const unsigned long filter_ = effective_filter(o_.filter);
    std::unique_ptr<BpfFilter> bpf_;  // a bad expression is a usage error, found first
    CaptureReader in_;
    std::unique_ptr<CaptureWriter> out_;
    std::ofstream csv_;
    std::unique_ptr<Ledger> ledger_;
    std::unique_ptr<ReplayProtocol> proto_;
    Rig rig_{{o_.card}};
    AdapterCounters before_;
    sim::Nanos start_ = 0;
    std::unique_ptr<Schedule> schedule_;
    CaptureRecord rec_;                // the frame in hand (its bytes copied to frame_)
    std::vector<std::uint8_t> frame_;
};

}  // namespace

ReplayResult run_replay(const ReplayOptions& o) {
    ReplayResult r;
    ReplayRun run(o, r);
    run.setup();
    run.run();
    run.finish();
    return r;
}

namespace {

const Verdict kOfferedRows[] = {Verdict::Indicated, Verdict::CardFilter, Verdict::ExactFilter, Verdict::RingFull,
                                Verdict::ReceiverStopped, Verdict::Runt, Verdict::Error, Verdict::DroppedByDriver,
                                Verdict::TransferFailed};

void print_replay(const ReplayOptions& o, const ReplayResult& r, std::ostream& out) {
    auto row = [&](const char* what, std::uint64_t n, const std::string& more = {}) {
        summary_row(out, 22, what, n, more);
    };
    row("frames in capture", r.in_capture);
    if (r.unusable.total()) row("not usable", r.unusable.total(), unusable_text(r.unusable));
    if (o.bpf) row("skipped by --bpf", r.bpf_skipped);
    row("offered", r.offered, r.padded ? std::to_string(r.padded) + " padded to 60 bytes" : "");
    const char* why[kVerdicts] = {
        nullptr,
        "not taken by the card's address filter or multicast hash",
        "taken by the card, kept back by the wrapper's exact filter",
        "no room in the receive ring",
        "arrived while the receiver was stopped or off, e.g. in overflow recovery",
        "too short for the receiver",
        "receive errors",
        "stored in the ring, never indicated",
        "indicated, the transfer of the data failed",
    };
    for (Verdict v : kOfferedRows) {
        std::uint64_t n = r.count(v);
        bool always = v <= Verdict::ReceiverStopped;
        if (!always && !n) continue;
        std::string label = std::string("  ") + verdict_name(v);
        std::string more = v == Verdict::Indicated ? (o.output ? "written to " + *o.output : "") : why[static_cast<int>(v)];
        row(label.c_str(), n, more);
    }
    std::string lost_why;
    for (Verdict v : kOfferedRows)
        if (r.lost[static_cast<std::size_t>(v)])
            lost_why += (lost_why.empty() ? "" : ", ") + std::string(verdict_name(v)) + " " +
                        std::to_string(r.lost[static_cast<std::size_t>(v)]);
    row("LOST", r.lost_total(), "of " + std::to_string(r.admitted) + " the packet filter admits" +
                                     (lost_why.empty() ? "" : ": " + lost_why));
    if (r.earlier) row("earlier timestamps", r.earlier, "earlier than the frame before: sent at once");
    out << "  virtual time          " << seconds_text(r.virtual_ns) << "\n";
    for (auto& p : r.problems) out << "  problem: " << p << "\n";
    if (r.interrupted) out << "  interrupted: the rows above are the frames read so far\n";
}

void json_replay(const ReplayOptions& o, const ReplayResult& r, int status, std::ostream& out) {
    Json j(out);
    j.str("command", "replay").str("input", o.input);
    if (o.output) j.str("output", *o.output);
    else j.null("output");
    j.str("kind", kind_name(o.card.kind)).str("station", mac_text(o.card.station.data()));
    j.str("filter", filter_text(effective_filter(o.filter)));
    std::vector<std::string> mc;
    for (auto& m : o.multicast) mc.push_back(mac_text(m.data()));
    j.strs("multicast", mc);
    j.num("frames_in_capture", r.in_capture);
    j.object("not_usable").num("total", r.unusable.total()).num("cut", r.unusable.cut);
    j.num("too_short", r.unusable.too_short).num("too_long", r.unusable.too_long).close();
    j.num("bpf_skipped", r.bpf_skipped).num("offered", r.offered).num("padded", r.padded);
    j.object("verdicts");
    for (Verdict v : kOfferedRows) j.num(verdict_key(v), r.count(v));
    j.close();
    j.num("admitted", r.admitted).num("lost", r.lost_total()).object("lost_by");
    for (Verdict v : kOfferedRows)
        if (v != Verdict::Indicated) j.num(verdict_key(v), r.lost[static_cast<std::size_t>(v)]);
    j.close();
    j.num("earlier_timestamps", r.earlier);
    j.object("counters").num("rcv_ok", r.counters.rcv_ok).num("rcv_error", r.counters.rcv_error);
    j.num("rcv_no_buffer", r.counters.rcv_no_buffer).close();
    j.num("virtual_time_ns", r.virtual_ns).flag("interrupted", r.interrupted);
    if (r.damage.empty()) j.null("damage");
    else j.str("damage", r.damage);
    j.strs("errors", r.errors).strs("problems", r.problems).num("exit_status", static_cast<std::uint64_t>(status));
    j.close();
}

// A hint when the packet filter and the multicast list do not go together.
void multicast_hint(const ReplayOptions& o, std::ostream& err) {
    bool wants = o.filter & NDIS_PACKET_TYPE_MULTICAST;
    if (wants && o.multicast.empty())
        err << "ne2k replay: note: --filter multicast with no --multicast list admits no multicast frame; "
               "give the list (--multicast 01:00:5e:00:00:fb,...) or use allmulticast\n";
    if (!wants && !o.multicast.empty())
        err << "ne2k replay: note: the --multicast list has no effect unless --filter includes multicast\n";
}

}  // namespace

int replay_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("replay"));
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? "give the capture to replay: ne2k replay IN.pcap (- for standard input)"
                                                : "one capture at a time (got '" + a.positional()[1] + "' too)");
    ReplayOptions o;
    o.input = a.positional()[0];
    o.output = a.value("-w");
    o.verdicts = a.value("--verdicts");
    if (auto k = a.value("--kind")) o.card.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) o.card.station = parse_station(*s, "--station");
    if (auto f = a.value("--filter")) o.filter = parse_filter(*f, "--filter");
    if (auto m = a.value("--multicast")) o.multicast = parse_mac_list(*m);
    o.bpf = a.value("--bpf");
    o.pace = parse_pace(a);
    o.stop = io.stop;
    if (o.verdicts && *o.verdicts == "-") throw UsageError("--verdicts needs a file name");
    multicast_hint(o, io.err);

    // Standard output carries the capture: everything else goes to standard error.
    std::ostream& text = o.output && *o.output == "-" ? io.err : io.out;
    o.notes = a.json() ? &io.err : &text;
    if (!a.json()) {
        text << "ne2k replay: " << o.input << " -> " << kind_name(o.card.kind) << " adapter "
             << mac_text(o.card.station.data()) << ", filter " << filter_text(effective_filter(o.filter));
        if (!o.multicast.empty()) {
            text << ", multicast list";
            for (auto& m : o.multicast) text << " " << mac_text(m.data());
        }
        text << "\n" << std::flush;
    }
    ReplayResult r = run_replay(o);
    int status = r.interrupted                                          ? kExitInterrupted
                 : !r.damage.empty() || !r.errors.empty() || !r.problems.empty() ? kExitFailure
                 : a.has("--fail-on-loss") && r.lost_total()             ? kExitFailure
                                                                         : kExitOk;
    if (a.json()) json_replay(o, r, status, text);
    else print_replay(o, r, text);
    if (!r.damage.empty()) io.err << "ne2k replay: " << o.input << ": " << r.damage << "\n";
    for (auto& e : r.errors) io.err << "ne2k replay: " << e << "\n";
    if (status == kExitFailure && r.damage.empty() && r.errors.empty() && r.problems.empty())
        io.err << "ne2k replay: " << r.lost_total() << " frame(s) the packet filter admits were lost (--fail-on-loss)\n";
    return status;
}

}  // namespace ne2k_tool
