// The ne2k command: subcommands demo, replay, send, tap, bridge and trace, callable
// from a program (tests) as well as from main().
#ifndef TOOLS_TOOL_H
#define TOOLS_TOOL_H

#include <csignal>
#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

namespace ne2k_tool {

// Exit codes of every subcommand.
enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitInterrupted = 130 };

// Where a subcommand writes, and what it knows of its surroundings.
struct Console {
    std::ostream& out;
    std::ostream& err;
    bool tty = false;                                  // out is a terminal: progress bars
    const volatile std::sig_atomic_t* stop = nullptr;  // set by SIGINT/SIGTERM
    bool err_tty = false;                              // err is a terminal

    bool stopped() const { return stop && *stop; }
};

// A bad command line: printed with a hint to --help, exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Something went wrong while running: exit 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// args without the program name, e.g. {"demo", "--frames", "100"}.
int run(const std::vector<std::string>& args, Console& io);

int demo_command(const std::vector<std::string>& args, Console& io);
int replay_command(const std::vector<std::string>& args, Console& io);
int send_command(const std::vector<std::string>& args, Console& io);
int tap_command(const std::vector<std::string>& args, Console& io);
int bridge_command(const std::vector<std::string>& args, Console& io);
int trace_command(const std::vector<std::string>& args, Console& io);

}  // namespace ne2k_tool

#endif  // TOOLS_TOOL_H
