// trace: the port accesses the driver makes in one scenario, each with the
// register it names on the page it hits, stamped with virtual time.
// Scenarios are a table: a name, what it shows, the board it runs on unless
// told, and the steps it runs.
#include <cstdio>
#include <memory>
#include <ostream>

#include "hw/board.h"
#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/files.h"
#include "tools/json.h"
#include "tools/rig.h"
#include "tools/timeline.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

const sim::MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const sim::MacAddress kPeer{0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
const unsigned long kFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;

std::vector<std::uint8_t> test_frame(const sim::MacAddress& dst, const sim::MacAddress& src, std::size_t len) {
    std::vector<std::uint8_t> f(len);
    for (std::size_t i = 0; i < 6; i++) {
        f[i] = dst[i];
        f[6 + i] = src[i];
    }
    f[12] = 0x88;
    f[13] = 0xB5;
    for (std::size_t i = 14; i < len; i++) f[i] = static_cast<std::uint8_t>(i);
    return f;
}

// One scenario being traced: the rig, the adapter's protocol, and where the
// accesses go (text lines, or the JSON object's sections, and the timeline
// when there is one). Only what happens inside a section is shown.
class TraceRun {
public:
    TraceRun(const RigCard& card, std::ostream& out, bool json) : card_(card), rig_({card}), out_(out) {
        if (json) json_ = std::make_unique<Json>(out);
        rig_.host().bus().set_trace_sink([this](const sim::TraceEntry& e) { access(e); });
    }

    void add_timeline(const std::string& path, const std::string& title) {
        timeline_ = std::make_unique<Timeline>(rig_, path, title, false);
    }
    // The timeline ended; what went wrong writing it, or "".
    std::string end_timeline() {
        if (!timeline_) return {};
        timeline_->finish();
        return timeline_->error();
    }

    Rig& rig() { return rig_; }
    sim::Adapter& adapter() { return rig_.adapter(0); }
    sim::RecordingProtocol& proto() { return proto_; }
    const RigCard& card() const { return card_; }
    Json* json() { return json_.get(); }
    std::uint64_t lines() const { return lines_; }

    // Accesses from here on are printed under `title`, until quiet().
    void section(const std::string& title) {
        quiet();
        if (json_) json_->object().str("title", title).array("accesses");
        else out_ << "# " << title << "\n";
        on_ = true;
        if (timeline_) timeline_->record(true);
    }
    void quiet() {
        if (on_ && json_) json_->close().close();
        on_ = false;
        if (timeline_) timeline_->record(false);
    }

    // The adapter initialized (traced as a section when asked) with the
    // protocol bound, and the packet filter set (untraced) when asked.
    void up(bool traced, bool filter) {
        if (traced) section("initialize");
        rig_.initialize_all();
        quiet();
        adapter().bind(proto_);
        if (filter) set_filter(adapter(), proto_, kFilter, {});
    }
    // The protocol unbound and the adapter halted (traced as a section
    // when asked); what the host saw go wrong is kept.
    void down(bool traced) {
        if (traced) section("halt");
        else quiet();
        adapter().unbind(proto_);
        problems_ = rig_.halt_all();
        quiet();
    }
    const std::vector<std::string>& problems() const { return problems_; }

private:
    void access(const sim::TraceEntry& e) {
        if (!on_) return;
        if (timeline_) timeline_->port_access(e);
        lines_++;
        if (json_) {
            json_->object().num("time_ns", e.time).str("access", e.text).close();
            return;
        }
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "%12.3f us  ", double(e.time) / 1000.0);
        out_ << stamp << e.text << "\n";
    }

    RigCard card_;
    Rig rig_;
    sim::RecordingProtocol proto_;
    std::ostream& out_;
    std::unique_ptr<Json> json_;
    bool on_ = false;
    std::uint64_t lines_ = 0;
    std::vector<std::string> problems_;
    std::unique_ptr<Timeline> timeline_;  // made after the rig, gone before it
};

// What a scenario runs, from the rig made to the adapter halted; it returns
// what its summary line adds (frames indicated).
using Steps = std::string (*)(TraceRun&);

std::string indicated(TraceRun& t, const char* of) {
    return ", " + std::to_string(t.proto().frames().size()) + of;
}

std::string run_init(TraceRun& t) {
    t.up(true, false);
    t.down(false);
    return {};
}

std::string run_filter(TraceRun& t) {
    t.up(false, false);
    t.section("set OID_802_3_MULTICAST_LIST (01:00:5e:00:00:01, 01:00:5e:00:00:fb), then "
              "OID_GEN_CURRENT_PACKET_FILTER (directed, broadcast, multicast)");
    set_filter(t.adapter(), t.proto(), kFilter | NDIS_PACKET_TYPE_MULTICAST,
               {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB}});
    t.down(false);
    return {};
}

std::string run_send(TraceRun& t) {
    t.up(false, true);
    t.section("send one 60-byte frame, then run until idle");
    t.proto().send(t.adapter(), test_frame(kPeer, t.card().station, 60));
    t.rig().drain();
    t.down(false);
    return {};
}

std::string run_receive(TraceRun& t) {
    t.up(false, true);
    t.section("a 64-byte broadcast frame arrives; run until idle");
    auto f = test_frame(kBroadcast, kPeer, 64);
    t.rig().segment().inject(f.data(), f.size());
    t.rig().drain();
    t.down(false);
    return indicated(t, " frame indicated");
}

constexpr int kOverflowFrames = 24;

std::string run_overflow(TraceRun& t) {
    t.up(false, true);
    t.section("24 frames of 1514 bytes arrive back to back; run until idle");
    auto f = test_frame(t.card().station, kPeer, 1514);
    for (int i = 0; i < kOverflowFrames; i++) t.rig().segment().inject(f.data(), f.size());
    t.rig().drain();
    t.down(false);
    return indicated(t, " of 24 frames indicated");
}

std::string run_reset(TraceRun& t) {
    t.up(false, true);
    t.proto().send(t.adapter(), test_frame(kPeer, t.card().station, 1514));
    t.rig().host().run_for(200 * hw::kMicrosecond);  // the frame is on the wire now
    t.section("reset, while a frame is on the wire");
    t.adapter().reset();
    t.section("run until idle");
    t.rig().drain();
    t.down(false);
    return {};
}

std::string run_halt(TraceRun& t) {
    t.up(false, true);
    t.down(true);
    return {};
}

struct Scenario {
    const char* name;
    const char* what;
    hw::BoardKind kind;  // unless --kind says otherwise
    Steps steps;
};

// Overflow needs a receiver slower than the wire: the 8-bit card.
const Scenario kScenarios[] = {
    {"init", "initialization: detection, PROM read, setup, interrupt connected, on the wire",
     hw::BoardKind::Isa16, run_init},
    {"filter", "a multicast list and a packet filter set through the set handler", hw::BoardKind::Isa16,
     run_filter},
    {"send", "one 60-byte frame sent: copy to card RAM, transmit, interrupt, transmit done", hw::BoardKind::Isa16,
     run_send},
    {"receive", "one broadcast frame received: interrupt, ring read, indication, transfer", hw::BoardKind::Isa16,
     run_receive},
    {"overflow", "back-to-back full-size frames overrun the receive ring, and the recovery", hw::BoardKind::Isa8,
     run_overflow},
    {"reset", "a reset while a frame is on the wire", hw::BoardKind::Isa16, run_reset},
    {"halt", "the adapter halted: controller stopped, interrupt and ports released", hw::BoardKind::Isa16,
     run_halt},
};

const Scenario& find_scenario(const std::string& name) {
    std::string list;
    for (const Scenario& s : kScenarios) {
        if (lower(name) == s.name) return s;
        list += (list.empty() ? "" : ", ") + std::string(s.name);
    }
    throw UsageError("unknown scenario '" + name + "' (choose one of " + list + ")");
}

}  // namespace

std::string trace_scenarios_text() {
    std::string out = "scenarios:\n";
    for (const Scenario& s : kScenarios) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-9s %s%s\n", s.name, s.what, s.steps == run_init ? " (default)" : "");
        out += line;
    }
    return out;
}

int trace_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("trace"));
    if (a.positional().size() > 1) throw UsageError("one scenario at a time (got '" + a.positional()[1] + "' too)");
    const Scenario& scenario = find_scenario(a.positional().empty() ? "init" : a.positional()[0]);
    RigCard card;
    card.kind = scenario.kind;
    if (auto k = a.value("--kind")) card.kind = parse_kind(*k, "--kind");
    auto timeline = a.value("--timeline");
    if (timeline) {
        if (*timeline == "-") throw UsageError("--timeline needs a file name");
        refuse_overlaps("", {{"--timeline", *timeline}});
    }

    TraceRun t(card, io.out, a.json());
    if (timeline)
        t.add_timeline(*timeline, std::string("ne2k trace ") + scenario.name + " (" + kind_name(card.kind) + ")");
    hw::Ne2000Board& board = t.rig().board(0);
    if (Json* j = t.json()) {
        j->str("command", "trace").str("scenario", scenario.name).str("description", scenario.what);
        j->str("kind", kind_name(card.kind)).num("io_base", board.io_base()).num("irq", board.irq());
        j->str("station", mac_text(card.station.data())).array("sections");
    } else {
        io.out << "# ne2k trace " << scenario.name << ": " << scenario.what << "\n# " << kind_name(card.kind)
               << " card at 0x" << std::hex << board.io_base() << std::dec << ", interrupt " << board.irq()
               << ", station " << mac_text(card.station.data()) << "\n";
    }
    std::string extra = scenario.steps(t);
    std::vector<std::string> problems = t.problems();
    std::string timeline_error = t.end_timeline();
    if (Json* j = t.json()) {
        j->close().num("port_accesses", t.lines());
        if (scenario.steps == run_receive || scenario.steps == run_overflow)
            j->num("frames_indicated", t.proto().frames().size());
        j->strs("problems", problems).close();
    } else {
        io.out << "# " << t.lines() << " port accesses" << extra << "\n";
        for (auto& p : problems) io.out << "# problem: " << p << "\n";
    }
    if (!timeline_error.empty()) io.err << "ne2k trace: " << timeline_error << "\n";
    return problems.empty() && timeline_error.empty() ? kExitOk : kExitFailure;
}

}  // namespace ne2k_tool
