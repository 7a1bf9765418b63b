// ne2k: the driver on emulated cards, against real frames.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "tools/tool.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// Whatever went to standard output must have arrived: a write error (a
// full disk, a closed pipe) is a failure of the command.
int check_stdout(int rc) {
    std::cout.flush();
    errno = 0;
    bool flushed = std::fflush(stdout) == 0;
    int e = errno;
    if (flushed && !std::ferror(stdout) && std::cout.good()) return rc;
    std::fprintf(stderr, "ne2k: writing standard output failed%s%s\n", e ? ": " : "", e ? std::strerror(e) : "");
    return rc == ne2k_tool::kExitOk ? ne2k_tool::kExitFailure : rc;
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Ctrl-C and SIGTERM end every command with what it has so far; without
    // SA_RESTART, a read of a capture from a pipe returns when they come.
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is a write error, reported

    ne2k_tool::Console io{std::cout, std::cerr, isatty(STDOUT_FILENO) != 0, &g_stop, isatty(STDERR_FILENO) != 0};
    return check_stdout(ne2k_tool::run(args, io));
}
