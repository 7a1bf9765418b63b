// The subcommand dispatcher: usage errors exit 2, run errors exit 1, each
// with a message that says what was wrong and what to do.
#include "tools/tool.h"

#include <ostream>

#include "tools/args.h"

namespace ne2k_tool {

int run(const std::vector<std::string>& args, Console& io) {
    if (args.empty()) {
        io.err << usage_text();
        return kExitUsage;
    }
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        io.out << usage_text();
        return kExitOk;
    }
    if (cmd == "--version") {
        io.out << "ne2k " << kVersion << "\n";
        return kExitOk;
    }
    if (cmd == "--man") {
        io.out << man_page();
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
    else if (cmd == "bridge") fn = bridge_command;
    else if (cmd == "trace") fn = trace_command;
    if (!fn) {
        io.err << "ne2k: unknown command '" << cmd << "'\n\n" << usage_text();
        return kExitUsage;
    }
    for (const std::string& a : rest) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            io.out << help_text(command_help(cmd));
            return kExitOk;
        }
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
