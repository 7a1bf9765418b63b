// replay on the command line: its options, the files checked against one
// another before any is written, and the summary (text or --json).
#include <ostream>

#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/files.h"
#include "tools/json.h"
#include "tools/pcap_commands.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

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

void print_replay(const ReplayOptions& o, const ReplayResult& r, std::ostream& out) {
    constexpr int kWidth = 22;
    auto row = [&](const char* what, std::uint64_t n, const std::string& more = {}) {
        summary_row(out, kWidth, what, n, more);
    };
    print_frames_read(out, kWidth, r);
    if (r.unusable.total()) row("not usable", r.unusable.total(), unusable_text(r.unusable));
    if (o.bpf) row("skipped by --bpf", r.bpf_skipped);
    row("offered", r.offered, r.padded ? std::to_string(r.padded) + " padded to 60 bytes" : "");
    for (Verdict v : kOfferedVerdicts) {
        std::uint64_t n = r.count(v);
        bool always = v <= Verdict::ReceiverStopped;
        if (!always && !n) continue;
        std::string label = std::string("  ") + verdict_name(v);
        std::string more = v == Verdict::Indicated ? (o.output ? written_to(*o.output, r) : "") : verdict_meaning(v);
        row(label.c_str(), n, more);
    }
    std::string lost_why;
    for (Verdict v : kOfferedVerdicts)
        if (r.lost[static_cast<std::size_t>(v)])
            lost_why += (lost_why.empty() ? "" : ", ") + std::string(verdict_name(v)) + " " +
                        std::to_string(r.lost[static_cast<std::size_t>(v)]);
    row("LOST", r.lost_total(), "of " + std::to_string(r.admitted) + " the packet filter admits" +
                                     (lost_why.empty() ? "" : ": " + lost_why));
    if (r.earlier) row("earlier timestamps", r.earlier, "earlier than the frame before: sent at once");
    print_capture_end(out, kWidth, r);
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
    j.object("not_usable").num("total", r.unusable.total()).num("cut", r.unusable.cut);
    j.num("too_short", r.unusable.too_short).num("too_long", r.unusable.too_long).close();
    j.num("bpf_skipped", r.bpf_skipped).num("offered", r.offered).num("padded", r.padded);
    j.object("verdicts");
    for (Verdict v : kOfferedVerdicts) j.num(verdict_key(v), r.count(v));
    j.close();
    j.num("admitted", r.admitted).num("lost", r.lost_total()).object("lost_by");
    for (Verdict v : kOfferedVerdicts)
        if (v != Verdict::Indicated) j.num(verdict_key(v), r.lost[static_cast<std::size_t>(v)]);
    j.close();
    j.object("counters").num("rcv_ok", r.counters.rcv_ok).num("rcv_error", r.counters.rcv_error);
    j.num("rcv_no_buffer", r.counters.rcv_no_buffer).close();
    json_capture(j, r, status);
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
    ReplayOptions o;
    parse_capture_options(a, "give the capture to replay: ne2k replay IN.pcap (- for standard input)", o);
    o.output = a.value("-w");
    o.verdicts = a.value("--verdicts");
    if (auto f = a.value("--filter")) o.filter = parse_filter(*f, "--filter");
    if (auto m = a.value("--multicast")) o.multicast = parse_mac_list(*m);
    o.bpf = a.value("--bpf");
    o.stop = io.stop;
    if (o.verdicts && *o.verdicts == "-") throw UsageError("--verdicts needs a file name");
    const bool capture_on_stdout = o.output && *o.output == "-";
    std::vector<OutputPath> outputs;
    if (o.output) outputs.push_back({"-w", *o.output});
    if (o.verdicts) outputs.push_back({"--verdicts", *o.verdicts});
    if (o.timeline) outputs.push_back({"--timeline", *o.timeline});
    refuse_overlaps(o.input, outputs, {!capture_on_stdout, true});
    multicast_hint(o, io.err);

    // Standard output carries the capture: everything else goes to standard error.
    std::ostream& text = summary_stream(io, capture_on_stdout);
    o.notes = a.json() ? &io.err : &text;
    o.progress = progress_stream(io, capture_on_stdout, a.json());
    if (!a.json()) {
        text << "ne2k replay: " << input_name(o.input) << " -> " << kind_name(o.card.kind) << " adapter "
             << mac_text(o.card.station.data()) << ", filter " << filter_text(effective_filter(o.filter));
        if (!o.multicast.empty()) {
            text << ", multicast list";
            for (auto& m : o.multicast) text << " " << mac_text(m.data());
        }
        text << "\n" << std::flush;
    }
    ReplayResult r = run_replay(o);
    int status = capture_status(r, a.has("--fail-on-loss") && r.lost_total());
    if (a.json()) json_replay(o, r, status, text);
    else if (r.started) print_replay(o, r, text);
    print_capture_errors(io.err, "replay", o, r);
    if (status == kExitFailure && r.damage.empty() && r.errors.empty() && r.problems.empty())
        io.err << "ne2k replay: " << r.lost_total() << " frame(s) the packet filter admits were lost (--fail-on-loss)\n";
    return status;
}

}  // namespace ne2k_tool
