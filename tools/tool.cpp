// The subcommand dispatcher: usage errors exit 2, run errors exit 1, each
// with a message that says what was wrong and what to do.
#include "tools/tool.h"

#include <ostream>

namespace ne2k_tool {

namespace {
const char kUsage[] =
    "usage: ne2k COMMAND [options]   (ne2k COMMAND --help for each)\n"
    "\n"
    "Runs the NE2000 miniport driver on emulated cards and an emulated Ethernet\n"
    "segment, connected to real frames.\n"
    "\n"
    "commands:\n"
    "  demo                       two adapters exchange a checked workload (default run)\n"
    "  replay IN.pcap [-w OUT]    frames of a capture arrive at one adapter\n"
    "  send IN.pcap -w WIRE.pcap  frames of a capture are sent through the driver\n"
    "  tap IFNAME --ip ADDR/LEN   bridge the segment to a Linux TAP device; answers ping\n"
    "  trace [SCENARIO]           the driver's port accesses, register by register\n";
}  // namespace

int run(const std::vector<std::string>& args, Console& io) {
    if (args.empty()) {
        io.err << kUsage;
        return kExitUsage;
    }
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        io.out << kUsage;
        return kExitOk;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    int (*fn)(const std::vector<std::string>&, Console&) = nullptr;
    if (cmd == "demo") fn = demo_command;
#ifndef NE2K_NO_PCAP
    else if (cmd == "replay") fn = replay_command;
    else if (cmd == "send") fn = send_command;
#else
    else if (cmd == "replay" || cmd == "send") {
        io.err << "ne2k " << cmd << ": this build has no capture support (the 32-bit build is made "
                  "without libpcap); use build/tools/ne2k\n";
        return kExitFailure;
    }
#endif
    else if (cmd == "tap") fn = tap_command;
    else if (cmd == "trace") fn = trace_command;
    if (!fn) {
        io.err << "ne2k: unknown command '" << cmd << "'\n\n" << kUsage;
        return kExitUsage;
    }
    try {
        return fn(rest, io);
    } catch (const UsageError& e) {
        io.err << "ne2k " << cmd << ": " << e.what() << "\nRun 'ne2k " << cmd << " --help' for the options.\n";
        return kExitUsage;
    } catch (const RunError& e) {
        io.err << "ne2k " << cmd << ": " << e.what() << "\n";
        return kExitFailure;
    } catch (const std::exception& e) {
        io.err << "ne2k " << cmd << ": internal error: " << e.what() << "\n";
        return kExitFailure;
    }
}

}  // namespace ne2k_tool
