// tap: the Linux stack pings the driver through a TAP device inside a
// network namespace the test makes and removes; nothing leaves it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/tools/tool_helpers.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

// A network namespace of this process's own, removed at the end.
class Namespace {
public:
    Namespace() : name_("ne2k-test-" + std::to_string(getpid())) {
        ok_ = std::system(("ip netns add " + name_ + " 2>/dev/null").c_str()) == 0;
    }
    ~Namespace() {
        if (ok_) (void)std::system(("ip netns delete " + name_ + " 2>/dev/null").c_str());
    }
    bool ok() const { return ok_; }
    std::string exec(const std::string& command) const { return "ip netns exec " + name_ + " " + command; }

private:
    std::string name_;
    bool ok_ = false;
};

// The tool running in the background; stopped with SIGINT if still there.
class Background {
public:
    Background(const std::string& command, const std::string& out) {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            execl("/bin/sh", "sh", "-c", ("exec " + command + " >" + out + " 2>&1").c_str(), (char*)nullptr);
            _exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0 && !done_) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Exit code, waiting at most `seconds`; -1 on timeout (then interrupted).
    int wait(int seconds) {
        for (int i = 0; i < seconds * 20; i++) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                done_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    void interrupt() { kill(-pid_, SIGINT); }

private:
    pid_t pid_ = -1;
    bool done_ = false;
};

bool can_run_tap(std::string& why) {
    if (geteuid() != 0) {
        why = "needs root to create a network namespace and a TAP device";
        return false;
    }
    if (access("/dev/net/tun", F_OK) != 0) {
        why = "/dev/net/tun is missing";
        return false;
    }
    if (!have_program("ip") || !have_program("ping")) {
        why = "ip (iproute2) or ping (iputils-ping) is not installed (bash scripts/deps.sh installs them)";
        return false;
    }
    return true;
}

TEST(Tap, LinuxPingsTheDriverWithoutLoss) {
    std::string why;
    if (!can_run_tap(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    Namespace ns;
    ASSERT_TRUE(ns.ok()) << "ip netns add failed";
    Background tool(ns.exec(std::string(NE2K_TOOL_PATH) + " tap ne2k0 --ip 198.18.0.2/24 --count 5 --seconds 60"),
                    dir.file("tap.txt"));
    bool up = false;
    for (int i = 0; i < 100 && !up; i++) {
        up = std::system(ns.exec("ip link show ne2k0 >/dev/null 2>&1").c_str()) == 0;
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(up) << "the TAP device did not appear: " << read_file(dir.file("tap.txt"));
    ASSERT_EQ(run_shell(ns.exec("ip addr add 198.18.0.1/24 dev ne2k0"), dir).code, 0);
    ASSERT_EQ(run_shell(ns.exec("ip link set ne2k0 up"), dir).code, 0);

    RunResult ping = run_shell(ns.exec("ping -c 5 -i 0.2 -W 2 198.18.0.2"), dir);
    EXPECT_EQ(ping.code, 0) << ping.out << ping.err;
    EXPECT_NE(ping.out.find("5 packets transmitted, 5 received, 0% packet loss"), std::string::npos) << ping.out;
    EXPECT_NE(ping.out.find("ttl=64"), std::string::npos) << ping.out;

    // The tool stops by itself after the fifth answer, with its summary.
    EXPECT_EQ(tool.wait(20), 0) << read_file(dir.file("tap.txt"));
    std::string summary = read_file(dir.file("tap.txt"));
    EXPECT_NE(summary.find("echo requests answered   5"), std::string::npos) << summary;
    EXPECT_NE(summary.find("ARP requests answered    1"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("problem"), std::string::npos) << summary;
}

TEST(Tap, InterruptEndsCleanlyWithASummary) {
    std::string why;
    if (!can_run_tap(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    Namespace ns;
    ASSERT_TRUE(ns.ok());
    Background tool(ns.exec(std::string(NE2K_TOOL_PATH) + " tap ne2k1 --ip 198.18.1.2/24 --seconds 60"),
                    dir.file("tap.txt"));
    bool up = false;
    for (int i = 0; i < 100 && !up; i++) {
        up = std::system(ns.exec("ip link show ne2k1 >/dev/null 2>&1").c_str()) == 0;
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(up);
    tool.interrupt();
    EXPECT_EQ(tool.wait(10), 0);
    EXPECT_NE(read_file(dir.file("tap.txt")).find("stopped (interrupted)"), std::string::npos)
        << read_file(dir.file("tap.txt"));
}

TEST(Tap, WithoutPrivilegesSaysWhatToDo) {
    if (geteuid() != 0 || !have_program("setpriv")) GTEST_SKIP() << "needs root and setpriv to drop privileges";
    if (access("/dev/net/tun", F_OK) != 0) GTEST_SKIP() << "/dev/net/tun is missing";
    ScratchDir dir;
    RunResult r = run_shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(NE2K_TOOL_PATH) +
                                " tap ne2k9 --ip 198.18.9.2/24 --seconds 1",
                            dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("needs root or CAP_NET_ADMIN"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace ne2k_tool
