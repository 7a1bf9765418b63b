// The demo's report: the text table and the --json object, and the
// command that parses its options and runs it.
#include <cstdio>
#include <ostream>
#include <string>

#include "tools/args.h"
#include "tools/demo.h"
#include "tools/files.h"
#include "tools/json.h"
#include "tools/tool.h"

namespace ne2k_tool {

double bus_us_per_frame(const DemoResult& r, int s, sim::Nanos port_cost) {
    std::uint64_t frames = r.way[s].sent + r.way[1 - s].delivered + r.way[1 - s].kept_back;
    return frames ? double(r.port_accesses[s]) * double(port_cost) / 1000.0 / double(frames) : 0;
}

namespace {

double mean_wire_us(const DemoResult& r) {
    double mean_wire = r.wire_frames ? double(r.wire_bytes) / double(r.wire_frames) : 0;
    return double(hw::wire_time(static_cast<std::size_t>(mean_wire + 0.5))) / 1000.0;
}

}  // namespace

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
    if (auto t = a.value("--timeline")) {
        if (*t == "-") throw UsageError("--timeline needs a file name");
        refuse_overlaps("", {{"--timeline", *t}});
        o.timeline = *t;
    }
    o.timeline_frames = a.number("--timeline-frames", o.timeline_frames, 1, 1000000);
    o.stop = io.stop;
    std::ostream* progress = io.tty && !a.json() && o.frames >= 200 ? &io.out : nullptr;
    DemoResult r = run_demo(o, progress);
    if (a.json()) json_demo(o, r, io.out);
    else print_demo_report(o, r, hw::kMicrosecond, io.out);
    if (!r.timeline_error.empty()) io.err << "ne2k demo: " << r.timeline_error << "\n";
    return r.interrupted ? kExitInterrupted : r.ok() && r.timeline_error.empty() ? kExitOk : kExitFailure;
}

}  // namespace ne2k_tool
