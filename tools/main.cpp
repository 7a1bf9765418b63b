// ne2k: the driver on emulated cards, against real frames.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/tool.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // The bridge ends cleanly on Ctrl-C or SIGTERM; every other command
    // simply stops.
    if (!args.empty() && args[0] == "tap") {
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);

    ne2k_tool::Console io{std::cout, std::cerr, isatty(STDOUT_FILENO) != 0, &g_stop};
    int rc = ne2k_tool::run(args, io);
    std::cout.flush();
    return rc;
}
