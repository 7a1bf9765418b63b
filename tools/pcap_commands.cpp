// replay: capture frames arrive at one adapter; what its protocol receives
// is written out. send: capture frames go out through the driver; what
// reaches the wire is written out.
#include "tools/pcap_commands.h"

#include <algorithm>
#include <memory>
#include <ostream>

#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/capture.h"
#include "tools/rig.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

constexpr std::size_t kEthernetHeader = 14;
using hw::kMaxFrame;
using hw::kMinFrame;

// Sorts a capture frame: usable, or which kind of unusable.
bool usable(const CaptureFrame& f, Unusable& u) {
    if (f.bytes.size() < f.wire_len) {
        u.cut++;
        return false;
    }
    if (f.bytes.size() < kEthernetHeader) {
        u.too_short++;
        return false;
    }
    if (f.bytes.size() > kMaxFrame) {
        u.too_long++;
        return false;
    }
    return true;
}

std::string unusable_text(const Unusable& u) {
    std::string s;
    auto add = [&](std::uint64_t n, const char* what) {
        if (!n) return;
        s += (s.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    };
    add(u.cut, "cut short by the capture's snap length");
    add(u.too_short, "shorter than an Ethernet header");
    add(u.too_long, "longer than 1514 bytes");
    return s;
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

ReplayResult run_replay(const ReplayOptions& o) {
    ReplayResult r;
    std::unique_ptr<BpfFilter> bpf;
    if (o.bpf) bpf = std::make_unique<BpfFilter>(*o.bpf);
    Capture cap = read_capture(o.input);
    r.damage = cap.damage;
    r.in_capture = cap.frames.size();
    std::unique_ptr<CaptureWriter> out;
    if (o.output) out = std::make_unique<CaptureWriter>(*o.output);

    RigCard card;
    card.kind = o.kind;
    card.station = o.station;
    Rig rig({card});
    rig.initialize_all();
    sim::Adapter& a = rig.adapter(0);
    a.keep_indications(false);
    sim::RecordingProtocol proto;
    a.bind(proto);
    unsigned long filter = o.filter ? o.filter : NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    set_filter(a, proto, filter, o.multicast);
    AdapterCounters before = query_counters(a);
    std::uint64_t wrapper_before = a.counters().filter_dropped;

    // Frames go on the wire at their capture times, relative to the first
    // one, from now on; the segment holds back a frame while the medium is
    // busy, as a real sender would.
    const sim::Nanos start = rig.host().now();
    std::optional<std::uint64_t> first_time;
    std::vector<std::uint8_t> frame;
    for (const CaptureFrame& f : cap.frames) {
        if (!usable(f, r.unusable)) continue;
        if (bpf && !bpf->matches(f.bytes.data(), f.bytes.size(), f.wire_len)) {
            r.bpf_skipped++;
            continue;
        }
        if (!first_time) first_time = f.time_ns;
        if (f.time_ns > *first_time) {
            sim::Nanos at = start + (f.time_ns - *first_time);
            if (at > rig.host().now()) rig.host().run_until(at);
        }
        frame = f.bytes;
        if (frame.size() < kMinFrame) {
            frame.resize(kMinFrame, 0);
            r.padded++;
        }
        rig.segment().inject(frame.data(), frame.size());
        r.offered++;
    }
    rig.host().run_until_idle();

    for (const auto& got : proto.frames()) {
        if (got.transfer_status != NDIS_STATUS_SUCCESS) {
            r.transfer_failures++;
            continue;
        }
        r.frames.push_back(got.bytes);
        if (out) out->write(got.time, got.bytes.data(), got.bytes.size());
    }
    r.indicated = proto.frames().size();
    AdapterCounters after = query_counters(a);
    std::uint64_t received = after.rcv_ok - before.rcv_ok;
    r.missed = after.rcv_no_buffer - before.rcv_no_buffer;
    r.receive_errors = after.rcv_error - before.rcv_error;
    r.wrapper_filtered = a.counters().filter_dropped - wrapper_before;
    std::uint64_t accounted = received + r.missed + r.receive_errors;
    r.card_filtered = r.offered > accounted ? r.offered - accounted : 0;
    r.virtual_ns = rig.host().now() - start;
    a.unbind(proto);
    r.problems = rig.halt_all();
    if (out) out->close();
    return r;
}

SendResult run_send(const SendOptions& o) {
    SendResult r;
    Capture cap = read_capture(o.input);
    r.damage = cap.damage;
    r.in_capture = cap.frames.size();
    CaptureWriter out(o.output);

    RigCard card;
    card.kind = o.kind;
    card.station = o.station;
    Rig rig({card});
    rig.initialize_all();
    sim::Adapter& a = rig.adapter(0);
    sim::RecordingProtocol proto;
    a.bind(proto);

    // What crossed the wire, in order, without FCS.
    std::vector<std::vector<std::uint8_t>> wire;
    rig.segment().add_tap([&](sim::Nanos t, const std::uint8_t* f, std::size_t len) {
        std::size_t n = hw::Segment::strip_fcs(len);
        out.write(t, f, n);
        wire.emplace_back(f, f + n);
    });

    std::vector<std::vector<std::uint8_t>> expected;
    std::uint64_t index = 0;
    for (const CaptureFrame& f : cap.frames) {
        index++;
        Unusable before = r.unusable;
        if (f.bytes.empty() || !usable(f, r.unusable)) {
            if (f.bytes.empty()) r.unusable.too_short++;
            Unusable d{r.unusable.cut - before.cut, r.unusable.too_short - before.too_short,
                       r.unusable.too_long - before.too_long};
            r.notes.push_back("frame " + std::to_string(index) + " (" + std::to_string(f.bytes.size()) +
                              " bytes) skipped: " + unusable_text(d));
            continue;
        }
        NDIS_STATUS s = proto.send(a, f.bytes);
        (void)s;
        r.sent++;
        rig.host().run_until_idle();
        const auto& sent = proto.sent().back();
        NDIS_STATUS status = sent.completion ? *sent.completion : sent.send_status;
        if (status == NDIS_STATUS_SUCCESS) {
            r.completed_ok++;
            expected.push_back(f.bytes);
        } else {
            r.failed++;
            r.notes.push_back("frame " + std::to_string(index) + " (" + std::to_string(f.bytes.size()) +
                              " bytes): the driver completed it with " + status_text(status));
        }
    }
    rig.host().run_until_idle();
    r.on_wire = wire.size();
    // The frame as sent must lead each wire frame; what fills a short
    // frame up to 60 bytes is the driver's choice.
    for (std::size_t i = 0; i < std::max(wire.size(), expected.size()); i++) {
        if (i >= wire.size() || i >= expected.size()) {
            r.mismatched++;
            continue;
        }
        const auto& w = wire[i];
        const auto& e = expected[i];
        std::size_t want_len = std::max(e.size(), kMinFrame);
        if (w.size() != want_len || !std::equal(e.begin(), e.end(), w.begin())) r.mismatched++;
    }
    r.virtual_ns = rig.host().now();
    a.unbind(proto);
    r.problems = rig.halt_all();
    out.close();
    return r;
}

int replay_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, {"-w", "--filter", "--multicast", "--bpf", "--kind", "--station"}, {});
    if (a.help()) {
        io.out << "usage: ne2k replay IN.pcap [-w OUT.pcap] [--filter TYPES] [--multicast MAC,...]\n"
                  "                   [--bpf EXPR] [--kind K] [--station MAC]\n"
                  "\n"
                  "Puts the frames of an Ethernet capture on the emulated wire, in capture order\n"
                  "and at their capture times on the virtual clock, to one adapter. What its\n"
                  "protocol receives is written to OUT.pcap, stamped with virtual time.\n"
                  "\n"
                  "  -w OUT.pcap        write the received frames here\n"
                  "  --filter TYPES     packet filter, comma-separated: directed, broadcast,\n"
                  "                     multicast, allmulticast, promiscuous\n"
                  "                     (default directed,broadcast)\n"
                  "  --multicast LIST   multicast list, up to 8 group addresses, comma-separated\n"
                  "  --bpf EXPR         only frames that match this filter expression are offered\n"
                  "  --kind K           board kind: isa16 (default), isa8, pccard, mca\n"
                  "  --station MAC      the card's station address (default 02:00:00:00:00:01)\n"
                  "\n"
                  "example: ne2k replay in.pcap -w got.pcap --filter directed,multicast \\\n"
                  "             --multicast 01:00:5e:00:00:fb --station 02:00:00:00:00:01\n";
        return kExitOk;
    }
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? "give the capture to replay: ne2k replay IN.pcap"
                                                : "one capture at a time (got '" + a.positional()[1] + "' too)");
    ReplayOptions o;
    o.input = a.positional()[0];
    o.output = a.value("-w");
    if (auto k = a.value("--kind")) o.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) o.station = parse_station(*s, "--station");
    if (auto f = a.value("--filter")) o.filter = parse_filter(*f, "--filter");
    if (auto m = a.value("--multicast")) o.multicast = parse_mac_list(*m);
    o.bpf = a.value("--bpf");

    ReplayResult r = run_replay(o);
    unsigned long filter = o.filter ? o.filter : NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    io.out << "ne2k replay: " << o.input << " -> " << kind_name(o.kind) << " adapter " << mac_text(o.station.data())
           << ", filter " << filter_text(filter);
    if (!o.multicast.empty()) {
        io.out << ", multicast list";
        for (auto& m : o.multicast) io.out << " " << mac_text(m.data());
    }
    io.out << "\n";
    io.out << "  frames in capture   " << r.in_capture << "\n";
    if (o.bpf) io.out << "  skipped by --bpf    " << r.bpf_skipped << "\n";
    if (r.unusable.total()) io.out << "  not usable          " << r.unusable.total() << " (" << unusable_text(r.unusable) << ")\n";
    io.out << "  offered             " << r.offered;
    if (r.padded) io.out << " (" << r.padded << " padded to 60 bytes)";
    io.out << "\n";
    io.out << "  indicated           " << r.indicated;
    if (o.output) io.out << " (written to " << *o.output << ")";
    io.out << "\n";
    io.out << "  filtered            " << r.card_filtered + r.wrapper_filtered << " (card's address filter and hash "
           << r.card_filtered << ", wrapper's exact filter " << r.wrapper_filtered << ")\n";
    io.out << "  missed              " << r.missed << " (no room in the receive ring: OID_GEN_RCV_NO_BUFFER)\n";
    if (r.receive_errors) io.out << "  receive errors      " << r.receive_errors << "\n";
    if (r.transfer_failures) io.out << "  transfer failures   " << r.transfer_failures << "\n";
    io.out << "  virtual time        " << seconds_text(r.virtual_ns) << "\n";
    for (auto& p : r.problems) io.out << "  problem: " << p << "\n";
    if (!r.damage.empty()) {
        io.err << "ne2k replay: " << o.input << ": " << r.damage << "\n";
        return kExitFailure;
    }
    return r.problems.empty() && !r.transfer_failures ? kExitOk : kExitFailure;
}

int send_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, {"-w", "--kind", "--station"}, {});
    if (a.help()) {
        io.out << "usage: ne2k send IN.pcap -w WIRE.pcap [--kind K] [--station MAC]\n"
                  "\n"
                  "Sends the frames of an Ethernet capture through the driver, one after the\n"
                  "other, and writes what reaches the emulated wire to WIRE.pcap (without FCS;\n"
                  "frames shorter than 60 bytes appear padded to 60). Frames longer than 1514\n"
                  "bytes, or cut short by the capture's snap length, are reported and skipped.\n"
                  "\n"
                  "  -w WIRE.pcap    where to write the frames seen on the wire (required)\n"
                  "  --kind K        board kind: isa16 (default), isa8, pccard, mca\n"
                  "  --station MAC   the card's station address (default 02:00:00:00:00:01)\n"
                  "\n"
                  "example: ne2k send frames.pcap -w wire.pcap && tcpdump -r wire.pcap -xx\n";
        return kExitOk;
    }
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? "give the capture to send: ne2k send IN.pcap -w WIRE.pcap"
                                                : "one capture at a time (got '" + a.positional()[1] + "' too)");
    SendOptions o;
    o.input = a.positional()[0];
    auto w = a.value("-w");
    if (!w) throw UsageError("say where the wire capture goes: -w WIRE.pcap");
    o.output = *w;
    if (auto k = a.value("--kind")) o.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) o.station = parse_station(*s, "--station");

    SendResult r = run_send(o);
    for (auto& n : r.notes) io.out << "  " << n << "\n";
    io.out << "ne2k send: " << o.input << " through the " << kind_name(o.kind) << " adapter -> " << o.output << "\n";
    io.out << "  frames in capture   " << r.in_capture << "\n";
    if (r.unusable.total()) io.out << "  skipped             " << r.unusable.total() << " (" << unusable_text(r.unusable) << ")\n";
    io.out << "  sent                " << r.sent << " (" << r.completed_ok << " completed with success, " << r.failed
           << " failed)\n";
    io.out << "  on the wire         " << r.on_wire << " (written to " << o.output << ")\n";
    if (r.mismatched) io.out << "  MISMATCHED          " << r.mismatched << " (wire frames unlike the frames sent)\n";
    io.out << "  virtual time        " << seconds_text(r.virtual_ns) << "\n";
    for (auto& p : r.problems) io.out << "  problem: " << p << "\n";
    if (!r.damage.empty()) {
        io.err << "ne2k send: " << o.input << ": " << r.damage << "\n";
        return kExitFailure;
    }
    return r.problems.empty() && !r.mismatched && !r.failed ? kExitOk : kExitFailure;
}

}  // namespace ne2k_tool
