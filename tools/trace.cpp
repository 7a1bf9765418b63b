// trace: the port accesses the driver makes in one scenario, each with the
// register it names on the page it hits, stamped with virtual time.
#include <cstdio>
#include <functional>
#include <ostream>

#include "hw/board.h"
#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/rig.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

struct Scenario {
    const char* name;
    const char* what;
};

const Scenario kScenarios[] = {
    {"init", "initialization: detection, PROM read, setup, interrupt connected, on the wire"},
    {"filter", "a multicast list and a packet filter set through the set handler"},
    {"send", "one 60-byte frame sent: copy to card RAM, transmit, interrupt, transmit done"},
    {"receive", "one broadcast frame received: interrupt, ring read, indication, transfer"},
    {"overflow", "back-to-back full-size frames overrun the receive ring, and the recovery"},
    {"reset", "a reset while a frame is on the wire"},
    {"halt", "the adapter halted: controller stopped, interrupt and ports released"},
};

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

}  // namespace

int trace_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, {"--kind"}, {});
    if (a.help()) {
        io.out << "usage: ne2k trace [SCENARIO] [--kind K]\n"
                  "\n"
                  "Prints every port access the driver makes in a scenario, with the register\n"
                  "it names on the page it hits and the virtual time it began, e.g.\n"
                  "    12.000 us  W 0x300 CR = 0x21 (STP, abort DMA, page 0)\n"
                  "String accesses to the data port are one line with their element count.\n"
                  "\n"
                  "scenarios:\n";
        for (const Scenario& s : kScenarios) {
            char line[160];
            std::snprintf(line, sizeof line, "  %-9s %s%s\n", s.name, s.what,
                          std::string(s.name) == "init" ? " (default)" : "");
            io.out << line;
        }
        io.out << "\n  --kind K   board kind: isa16 (default), isa8, pccard, mca\n"
                  "\nexample: ne2k trace send --kind isa8\n";
        return kExitOk;
    }
    if (a.positional().size() > 1) throw UsageError("one scenario at a time (got '" + a.positional()[1] + "' too)");
    std::string name = a.positional().empty() ? "init" : a.positional()[0];
    const Scenario* scenario = nullptr;
    for (const Scenario& s : kScenarios)
        if (name == s.name) scenario = &s;
    if (!scenario) {
        std::string list;
        for (const Scenario& s : kScenarios) list += (list.empty() ? "" : ", ") + std::string(s.name);
        throw UsageError("unknown scenario '" + name + "' (choose one of " + list + ")");
    }
    RigCard card;
    if (auto k = a.value("--kind")) card.kind = parse_kind(*k, "--kind");
    // Overflow needs a receiver slower than the wire: the 8-bit card, unless asked otherwise.
    if (name == "overflow" && !a.value("--kind")) card.kind = hw::BoardKind::Isa8;

    Rig rig({card});
    sim::Host& host = rig.host();
    std::uint64_t lines = 0;
    bool on = false;
    host.set_trace_sink([&](const sim::TraceEntry& e) {
        if (!on) return;
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "%12.3f us  ", double(e.time) / 1000.0);
        io.out << stamp << e.text << "\n";
        lines++;
    });
    auto section = [&](const std::string& title) {
        io.out << "# " << title << "\n";
        on = true;
    };
    hw::BoardConfig bc = board_config(card, 0);
    io.out << "# ne2k trace " << name << ": " << scenario->what << "\n# " << kind_name(card.kind) << " card at 0x"
           << std::hex << rig.board(0).io_base() << std::dec << ", interrupt " << rig.board(0).irq()
           << ", station " << mac_text(bc.station.data()) << "\n";

    if (name == "init") section("initialize");
    rig.initialize_all();
    on = false;
    sim::Adapter& ad = rig.adapter(0);
    sim::RecordingProtocol proto;
    ad.bind(proto);
    const sim::MacAddress bcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const sim::MacAddress peer{0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
    const unsigned long filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;

    if (name == "filter") {
        section("set OID_802_3_MULTICAST_LIST (01:00:5e:00:00:01, 01:00:5e:00:00:fb), then "
                "OID_GEN_CURRENT_PACKET_FILTER (directed, broadcast, multicast)");
        set_filter(ad, proto, filter | NDIS_PACKET_TYPE_MULTICAST,
                   {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB}});
    } else if (name != "init") {
        set_filter(ad, proto, filter, {});
    }
    if (name == "send") {
        section("send one 60-byte frame, then run until idle");
        proto.send(ad, test_frame(peer, card.station, 60));
        host.run_until_idle();
    } else if (name == "receive") {
        section("a 64-byte broadcast frame arrives; run until idle");
        auto f = test_frame(bcast, peer, 64);
        rig.segment().inject(f.data(), f.size());
        host.run_until_idle();
    } else if (name == "overflow") {
        section("24 frames of 1514 bytes arrive back to back; run until idle");
        auto f = test_frame(card.station, peer, 1514);
        for (int i = 0; i < 24; i++) rig.segment().inject(f.data(), f.size());
        host.run_until_idle();
    } else if (name == "reset") {
        on = false;
        proto.send(ad, test_frame(peer, card.station, 1514));
        host.run_for(200 * hw::kMicrosecond);  // the frame is on the wire now
        section("reset, while a frame is on the wire");
        ad.reset();
        on = false;
        section("run until idle");
        host.run_until_idle();
    }
    on = false;
    if (name == "halt") section("halt");
    ad.unbind(proto);
    auto problems = rig.halt_all();
    on = false;
    io.out << "# " << lines << " port accesses";
    if (name == "overflow") io.out << ", " << proto.frames().size() << " of 24 frames indicated";
    if (name == "receive") io.out << ", " << proto.frames().size() << " frame indicated";
    io.out << "\n";
    for (auto& p : problems) io.out << "# problem: " << p << "\n";
    return problems.empty() ? kExitOk : kExitFailure;
}

}  // namespace ne2k_tool
