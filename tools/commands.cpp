// What each subcommand takes and says about itself: the one table from
// which the options are parsed and --help, the top-level usage and the man
// page ne2k.1 are printed.
#include <sstream>

#include "tools/args.h"
#include "tools/tool.h"

namespace ne2k_tool {

std::string trace_scenarios_text();  // trace.cpp

#ifndef NE2K_VERSION
#define NE2K_VERSION "unknown"
#endif
const char kVersion[] = NE2K_VERSION;

namespace {

const OptionHelp kKind{"--kind", "K", "board kind: isa16 (default), isa8, pccard, mca"};
const OptionHelp kStation{"--station", "MAC", "the card's station address (default 02:00:00:00:00:01)"};
const OptionHelp kSpeed{"--speed", "X",
                        "frames at the capture's timing sped up X times (0.001..1000000;\n"
                        "default 1: at the capture's own timing)"};
const OptionHelp kTopspeed{"--topspeed", nullptr, "frames one after the other, as fast as they go"};
const OptionHelp kTimeline{"--timeline", "FILE.json",
                           "write a timeline of the run in the trace-event JSON format\n"
                           "(open it in ui.perfetto.dev or chrome://tracing)"};
const OptionHelp kTimelineFrames{"--timeline-frames", "N",
                                 "how many frames the timeline covers, from the first\n"
                                 "(1..1000000, default 20)"};
const OptionHelp kPps{"--pps", "N", "N frames per second, evenly spaced (1..10000000)"};

const CommandHelp kDemo{
    "demo",
    "",
    "two adapters exchange a checked workload (what scripts/demo.sh runs)",
    "Two adapters on one emulated segment exchange a mixed workload both ways\n"
    "(directed, broadcast, multicast in and out of the list), every frame checked\n"
    "byte for byte on the far side, with a reset of adapter A in mid-traffic and a\n"
    "halt at the end. Exit 0 when nothing was lost, duplicated or corrupted, 1\n"
    "otherwise, 130 when interrupted (the report so far is printed).",
    {
        {"--frames", "N", "frames each way (1..1000000, default 10000)"},
        {"--min-size", "N", "smallest frame in bytes (60..1514, default 60)"},
        {"--max-size", "N", "largest frame in bytes (60..1514, default 1514)"},
        {"--kinds", "K1,K2", "board kinds of A and B: isa16, isa8, pccard, mca\n(default pccard,isa8)"},
        {"--seed", "S", "workload seed (default 1)"},
        {"--no-reset", nullptr, "leave out the reset of adapter A"},
        {"--image", "PATH",
         "run the driver image (ne2000.sys) under the loader instead of the\n"
         "linked driver (the 32-bit build of ne2k)"},
        kTimeline,
        kTimelineFrames,
    },
    "ne2k demo --frames 1000 --kinds isa16,mca --no-reset",
};

const CommandHelp kReplay{
    "replay",
    "IN.pcap",
    "frames of a capture arrive at one adapter",
    "Puts the frames of an Ethernet capture (- for standard input) on the emulated\n"
    "wire to one adapter, in capture order and at their capture times on the\n"
    "virtual clock; what its protocol receives is written to OUT.pcap, stamped with\n"
    "virtual time, as it arrives. Every frame offered is accounted for: indicated,\n"
    "or refused by the card's address filter, the wrapper's exact filter, a full\n"
    "ring, a stopped receiver, a receive error. A frame the packet filter admits\n"
    "that the protocol never got is LOST: a result (exit 0) unless --fail-on-loss.\n"
    "A timestamp earlier than the previous frame's means at once.",
    {
        {"-w", "OUT.pcap", "write the received frames here (- for standard output; the\nsummary then goes to standard error)"},
        {"--filter", "TYPES",
         "packet filter, comma-separated: directed, broadcast, multicast,\n"
         "allmulticast, promiscuous (default directed,broadcast)"},
        {"--multicast", "LIST", "multicast list, up to 8 group addresses, comma-separated"},
        {"--bpf", "EXPR", "only frames that match this filter expression are offered"},
        {"--verdicts", "FILE.csv", "one row per frame of the capture: frame,length,destination,\nverdict,lost"},
        {"--fail-on-loss", nullptr, "exit 1 when a frame the packet filter admits is lost"},
        kSpeed,
        kTopspeed,
        kPps,
        kKind,
        kStation,
        kTimeline,
        kTimelineFrames,
    },
    "ne2k replay tools/sample.pcap -w got.pcap --filter directed,multicast \\\n"
    "    --multicast 01:00:5e:00:00:fb --verdicts why.csv",
};

const CommandHelp kSend{
    "send",
    "IN.pcap",
    "frames of a capture are sent through the driver",
    "Sends the frames of an Ethernet capture (- for standard input) through the\n"
    "driver, at their capture times on the virtual clock, and writes what reaches\n"
    "the emulated wire to WIRE.pcap (without FCS; the driver sends a frame\n"
    "shorter than 60 bytes filled up to 60 with 0x20 bytes). Frames longer than\n"
    "1514 bytes, or cut short by the capture's snap length, are reported and\n"
    "skipped.",
    {
        {"-w", "WIRE.pcap", "where to write the frames seen on the wire (required; - for\nstandard output, the summary then goes to standard error)", true},
        kSpeed,
        kTopspeed,
        kPps,
        kKind,
        kStation,
        kTimeline,
        kTimelineFrames,
    },
    "ne2k send tools/sample.pcap -w wire.pcap --topspeed && tcpdump -r wire.pcap -xx",
};

// What tap and bridge share: the IPv4 host above the driver, its ping
// client, when to stop.
const OptionHelp kIp{"--ip", "ADDR/LEN", "the emulated host's IPv4 address and prefix length (required),\ne.g. 198.18.0.2/24", true};
const OptionHelp kPing{"--ping", "ADDR",
                       "also ping ADDR (on the subnet of --ip) from the emulated host,\n"
                       "sizes spread over 60..1514 bytes on the wire; stop when done"};
const OptionHelp kCount{"--count", "N",
                        "stop after answering N echo requests (1..1000000); with --ping,\n"
                        "the echo requests to send (default 10)"};
const OptionHelp kSeconds{"--seconds", "S", "stop after S seconds (1..86400)"};
// The options of tap and bridge: `own` first, then the shared ones.
std::vector<OptionHelp> live_options(std::vector<OptionHelp> own) {
    for (const OptionHelp& o : {kIp, kKind, kStation, kPing, kCount, kSeconds}) own.push_back(o);
    return own;
}
const char kLiveMore[] =
    "The adapter's protocol is a small IPv4 host with the card's station address\n"
    "as its MAC: it answers ARP requests and ICMP echo requests for ADDR\n"
    "(fragmented ones too), answers UDP with ICMP port unreachable and TCP with a\n"
    "reset, and counts what it ignores by kind. Every frame from outside is\n"
    "accounted for: too short, too long or not Ethernet (not put on the wire), or\n"
    "put on the wire and indicated, or kept back by the card's address filter,\n"
    "the wrapper's exact filter, a full ring. With --ping it also pings ADDR,\n"
    "checking every reply byte for byte; exit 1 when a request is lost. Ctrl-C\n"
    "ends it with a summary.";

const CommandHelp kTap{
    "tap",
    "IFNAME",
    "bridge the segment to a Linux TAP device; answers ping",
    "Bridges the emulated segment to a Linux TAP device (created as IFNAME, needs\n"
    "root), paced to real time: a frame from Linux goes on the wire when it\n"
    "arrives, and one for Linux is written when it has crossed the wire. The\n"
    "command stops with exit 1 when the device goes away.",
    live_options({}),
    "(as root)\n"
    "ne2k tap ne2k0 --ip 198.18.0.2/24 &\n"
    "ip addr add 198.18.0.1/24 dev ne2k0 && ip link set ne2k0 up\n"
    "ping -c 5 198.18.0.2",
    [] { return std::string(kLiveMore) + "\n"; },
};

const CommandHelp kBridge{
    "bridge",
    "",
    "join the segment to a QEMU virtual machine (UDP, -netdev dgram)",
    "Joins the emulated segment to a UDP socket, one Ethernet frame (without FCS)\n"
    "per datagram, as QEMU's -netdev dgram backend frames them, paced to real\n"
    "time: a virtual machine's network card and the emulated adapter are then on\n"
    "one Ethernet. The socket is bound to --local and takes datagrams from\n"
    "--remote only; the machine's backend has them the other way round. When\n"
    "nothing listens at --remote, the refusals are counted and the bridge goes on\n"
    "(the machine may be starting, or restarting).",
    live_options({
        {"--local", "ADDR:PORT", "our end of the UDP link, e.g. 127.0.0.1:5555 (required)", true},
        {"--remote", "ADDR:PORT", "the peer's end: QEMU's local.host and local.port (required)", true},
    }),
    "ne2k bridge --local 127.0.0.1:5555 --remote 127.0.0.1:5556 --ip 10.0.2.2/24 &\n"
    "qemu-system-i386 ... -device ne2k_isa,netdev=n0 -netdev dgram,id=n0,\\\n"
    "  local.type=inet,local.host=127.0.0.1,local.port=5556,\\\n"
    "  remote.type=inet,remote.host=127.0.0.1,remote.port=5555",
    [] { return std::string(kLiveMore) + "\n"; },
};

const CommandHelp kTrace{
    "trace",
    "[SCENARIO]",
    "the driver's port accesses, register by register",
    "Prints every port access the driver makes in a scenario, with the register\n"
    "it names on the page it hits and the virtual time it began, e.g.\n"
    "    12.000 us  W 0x300 CR = 0x21 (STP, abort DMA, page 0)\n"
    "String accesses to the data port are one line with their element count.\n"
    "--timeline writes the same scenario as a timeline that Perfetto\n"
    "(ui.perfetto.dev) and chrome://tracing open: handler calls, the service\n"
    "routine and the deferred handler as spans, interrupt lines, frames on the\n"
    "wire, and the port accesses, on the virtual clock.",
    {kKind, kTimeline},
    "ne2k trace send --kind isa8",
    trace_scenarios_text,
};

// Lines of `text`, each indented by `indent` spaces.
std::string indented(const std::string& text, std::size_t indent) {
    std::string out;
    for (const std::string& line : split(text, '\n')) out += std::string(indent, ' ') + line + "\n";
    return out;
}

std::vector<OptionHelp> all_options(const CommandHelp& c) {
    std::vector<OptionHelp> o = c.options;
    o.push_back({"--json", nullptr, "print the summary as one JSON object (fields in the README)"});
    o.push_back({"--help", nullptr, "this help"});
    return o;
}

std::string roff(const std::string& text) {
    std::string out;
    bool line_start = true;
    for (char c : text) {
        if (line_start && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        line_start = c == '\n';
    }
    return out;
}

}  // namespace

const std::vector<const CommandHelp*>& command_helps() {
    static const std::vector<const CommandHelp*> all{&kDemo, &kReplay, &kSend, &kTap, &kBridge, &kTrace};
    return all;
}

const CommandHelp& command_help(const std::string& name) {
    for (const CommandHelp* c : command_helps())
        if (name == c->name) return *c;
    throw std::logic_error("no help table for " + name);
}

std::string help_text(const CommandHelp& c) {
    std::string usage = std::string("usage: ne2k ") + c.name + (*c.operands ? " " : "") + c.operands;
    std::string line = usage;
    for (const OptionHelp& o : all_options(c)) {
        std::string item = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
        item = o.required ? " " + item : " [" + item + "]";
        if (line.size() + item.size() > 80) {
            usage += "\n";
            line = std::string(13 + std::string(c.name).size(), ' ');
            usage += line;
        }
        usage += item;
        line += item;
    }
    std::string out = usage + "\n\n" + c.description + "\n";
    if (c.more) out += "\n" + c.more();
    out += "\n";
    for (const OptionHelp& o : all_options(c)) {
        std::string head = std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : "");
        auto lines = split(o.help, '\n');
        head += head.size() < 20 ? std::string(20 - head.size(), ' ') : "\n" + std::string(20, ' ');
        out += head + lines[0] + "\n";
        for (std::size_t i = 1; i < lines.size(); i++) out += std::string(20, ' ') + lines[i] + "\n";
    }
    return out + "\nexample:\n" + indented(c.example, 2);
}

std::string usage_text() {
    std::string out =
        "usage: ne2k COMMAND [options]   (ne2k COMMAND --help for each)\n"
        "\n"
        "Runs the NE2000 miniport driver on emulated cards and an emulated Ethernet\n"
        "segment, connected to real frames.\n"
        "\n"
        "commands:\n";
    for (const CommandHelp* c : command_helps()) {
        std::string head = std::string("  ") + c->name + (*c->operands ? " " : "") + c->operands;
        out += head + std::string(head.size() < 22 ? 22 - head.size() : 1, ' ') + c->summary + "\n";
    }
    return out +
           "\n"
           "  ne2k --help      this text;  ne2k --version   the version;  ne2k --man   the\n"
           "                   manual page (roff)\n"
           "\n"
           "ne2k with no arguments prints this on standard error and exits 2. Exit status:\n"
           "0 success, 1 a failure while running, 2 a usage error, 130 interrupted.\n";
}

std::string man_page() {
    std::ostringstream m;
    m << ".TH NE2K 1 \"\" \"ne2k " << kVersion << "\" \"User Commands\"\n"
      << ".SH NAME\nne2k \\- the NE2000 miniport driver on emulated cards, against real frames\n"
      << ".SH SYNOPSIS\n";
    for (const CommandHelp* c : command_helps())
        m << ".B ne2k " << c->name << "\n"
          << roff(std::string(c->operands) + (*c->operands ? " " : "") + "[options]") << "\n.br\n";
    m << ".SH DESCRIPTION\n"
      << roff("ne2k runs the driver, through the host wrapper, on emulated cards on an emulated\n"
              "10 Mbit/s segment with a virtual clock, and connects that segment to real frames:\n"
              "captures, a Linux TAP device, the port trace. Every command takes --json, which\n"
              "prints its summary as one JSON object on standard output (standard error when\n"
              "standard output carries a capture).\n");
    m << ".SH COMMANDS\n";
    for (const CommandHelp* c : command_helps()) {
        m << ".SS \"ne2k " << c->name << "\"\n" << roff(c->description) << "\n";
        if (c->more) m << ".PP\n.nf\n" << roff(c->more()) << ".fi\n";
        for (const OptionHelp& o : all_options(*c)) {
            if (o.value) m << ".TP\n.BI \"" << roff(o.name) << " \" \"" << roff(o.value) << "\"\n";
            else m << ".TP\n.B " << roff(o.name) << "\n";
            m << roff(o.help) << "\n";
        }
        m << ".PP\nExample:\n.PP\n.nf\n.RS\n" << roff(c->example) << "\n.RE\n.fi\n";
    }
    m << ".SH \"EXIT STATUS\"\n0 success; 1 a failure while running (the message says what to do); 2 a usage\n"
         "error; 130 interrupted by SIGINT or SIGTERM (captures hold what was written so far).\n"
      << ".SH \"SEE ALSO\"\n.BR tcpdump (1),\n.BR tshark (1),\n.BR ping (8),\n.BR pcap-filter (7)\n";
    return m.str();
}

}  // namespace ne2k_tool
