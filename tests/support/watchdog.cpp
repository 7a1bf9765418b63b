// Every test runs under a watchdog: a test still running after
// NE2K_TEST_WATCHDOG seconds of host time (default 300; 0 turns it off) ends
// its program with a message naming it. A loop that never ends (an endless
// loop in the driver touches no port, so nothing else can stop it) then shows
// as that test failing, not as a run that hangs until it is killed. Linked
// into every test program (tests/CMakeLists.txt). Process groups a test
// started (watchdog.h) are ended first.
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char g_says[320];
std::size_t g_length = 0;
volatile sig_atomic_t g_groups[16];  // 0: free

class Watchdog : public ::testing::EmptyTestEventListener {
public:
    explicit Watchdog(unsigned seconds) : seconds_(seconds) {
        std::signal(SIGALRM, [](int) {
            (void)!write(2, g_says, g_length);
            for (volatile sig_atomic_t& group : g_groups)
                if (group > 0) kill(-group, SIGKILL);
            _exit(1);
        });
    }
    void OnTestStart(const ::testing::TestInfo& test) override {
        int n = std::snprintf(g_says, sizeof g_says, "\nwatchdog: %s.%s still running after %u s: ended\n",
                              test.test_suite_name(), test.name(), seconds_);
        g_length = n < 0 ? 0 : std::min<std::size_t>(std::size_t(n), sizeof g_says - 1);
        alarm(seconds_);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { alarm(0); }

private:
    unsigned seconds_;
};

const bool g_installed = [] {
    const char* v = std::getenv("NE2K_TEST_WATCHDOG");
    unsigned seconds = v && *v ? unsigned(std::strtoul(v, nullptr, 10)) : 300;
    if (seconds) ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog(seconds));
    return true;
}();

}  // namespace

namespace watchdog {

void Guard(int process_group) {
    for (volatile sig_atomic_t& group : g_groups)
        if (group == 0) {
            group = process_group;
            return;
        }
}

void Release(int process_group) {
    for (volatile sig_atomic_t& group : g_groups)
        if (group == process_group) group = 0;
}

}  // namespace watchdog
