// tap: the Linux stack talks to the driver through a TAP device inside a
// network namespace the test makes and removes; nothing leaves it.
#include <gtest/gtest.h>

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

    // Once the tool's TAP device is there, gives Linux the address .1 of the /24.
    bool bridge(const std::string& dev, const std::string& net, const ScratchDir& dir) {
        bool up = false;
        for (int i = 0; i < 100 && !up; i++) {
            up = std::system(exec("ip link show " + dev + " >/dev/null 2>&1").c_str()) == 0;
            if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return up && run_shell(exec("ip addr add " + net + ".1/24 dev " + dev), dir).code == 0 &&
               run_shell(exec("ip link set " + dev + " up"), dir).code == 0;
    }

private:
    std::string name_;
    bool ok_ = false;
};

bool can_run_tap(std::string& why) {
    if (geteuid() != 0) why = "needs root to create a network namespace and a TAP device";
    else if (access("/dev/net/tun", F_OK) != 0) why = "/dev/net/tun is missing";
    else if (!have_program("ip") || !have_program("ping"))
        why = "ip (iproute2) or ping (iputils-ping) is not installed (bash scripts/deps.sh installs them)";
    return why.empty();
}

// The smallest round trip `ping` reports, in ms.
double min_rtt(const std::string& ping) {
    auto at = ping.find("min/avg/max");
    return at == std::string::npos ? 0 : std::stod(ping.substr(ping.find('=', at) + 1));
}

TEST(Tap, LinuxPingsTheDriverAndGetsAnswers) {
    std::string why;
    if (!can_run_tap(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    Namespace ns;
    ASSERT_TRUE(ns.ok()) << "ip netns add failed";
    Background tool(ns.exec(std::string(NE2K_TOOL_PATH) + " tap ne2k0 --ip 198.18.0.2/24 --count 9 --seconds 60 --json"),
                    dir.file("tap.json"));
    ASSERT_TRUE(ns.bridge("ne2k0", "198.18.0", dir)) << read_file(dir.file("tap.json"));

    // UDP: port unreachable (the second write fails); TCP: a reset.
    RunResult udp = run_shell(ns.exec("bash -c 'exec 3<>/dev/udp/198.18.0.2/9; echo a >&3; sleep 0.3; echo b >&3'"), dir);
    EXPECT_NE(udp.err.find("Connection refused"), std::string::npos) << udp.err;
    RunResult tcp = run_shell(ns.exec("bash -c 'exec 3<>/dev/tcp/198.18.0.2/80'"), dir);
    EXPECT_NE(tcp.err.find("Connection refused"), std::string::npos) << tcp.err;

    // Frames to a station that is not ours: the card's filter keeps them back.
    ASSERT_EQ(run_shell(ns.exec("ip neigh add 198.18.0.9 lladdr 02:00:00:00:00:99 dev ne2k0"), dir).code, 0);
    run_shell(ns.exec("ping -c 2 -i 0.2 -W 0.3 198.18.0.9"), dir);

    RunResult ping = run_shell(ns.exec("ping -c 3 -i 0.2 -W 2 198.18.0.2"), dir);
    EXPECT_NE(ping.out.find("3 packets transmitted, 3 received, 0% packet loss"), std::string::npos) << ping.out;
    EXPECT_NE(ping.out.find("ttl=64"), std::string::npos) << ping.out;
    // A full frame each way takes 2 x 1.23 ms on the wire: no round trip is shorter.
    ping = run_shell(ns.exec("ping -c 3 -i 0.2 -W 2 -s 1472 198.18.0.2"), dir);
    EXPECT_NE(ping.out.find(", 3 received"), std::string::npos) << ping.out;
    EXPECT_GE(min_rtt(ping.out), 2.46) << ping.out;
    // Requests in two fragments, and their replies.
    ping = run_shell(ns.exec("ping -c 3 -i 0.2 -W 2 -s 1473 198.18.0.2"), dir);
    EXPECT_NE(ping.out.find(", 3 received"), std::string::npos) << ping.out;
    // The tool stops by itself after the ninth answer, with its summary.
    EXPECT_EQ(tool.wait(20), 0) << read_file(dir.file("tap.json"));
    JsonMap j = parse_json(read_file(dir.file("tap.json")));
    EXPECT_EQ(j["stopped"], "answered the echo requests asked for");
    EXPECT_EQ(num(j, "echo_replies"), 9u);
    EXPECT_EQ(num(j, "reassembled"), 3u);
    EXPECT_EQ(num(j, "arp_replies"), 1u);
    EXPECT_EQ(num(j, "port_unreachable"), 1u);
    EXPECT_EQ(num(j, "tcp_resets"), 1u);
    EXPECT_EQ(j["problems"], "[");
    EXPECT_EQ(j.count("problems.0"), 0u);
    // Every frame from Linux is accounted for: not put on the wire, or put
    // there and given a verdict, as replay gives them.
    EXPECT_GE(num(j, "verdicts.card_filter"), 2u);
    std::uint64_t verdicts = 0;
    for (const char* v : {"indicated", "card_filter", "exact_filter", "ring_full", "receiver_stopped", "runt", "error",
                          "dropped_by_driver", "transfer_failed"})
        verdicts += num(j, std::string("verdicts.") + v);
    EXPECT_EQ(verdicts, num(j, "offered"));
    EXPECT_EQ(num(j, "verdicts.indicated"), num(j, "indicated"));
    EXPECT_EQ(num(j, "from_linux"), num(j, "offered") + num(j, "from_linux_too_short") + num(j, "from_linux_too_long") +
                                        num(j, "from_linux_not_ethernet"));
    EXPECT_GT(num(j, "offered"), 0u);
}

TEST(Tap, StopsWhenItsDeviceGoesAway) {
    std::string why;
    if (!can_run_tap(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    Namespace ns;
    ASSERT_TRUE(ns.ok());
    Background tool(ns.exec(std::string(NE2K_TOOL_PATH) + " tap ne2k2 --ip 198.18.2.2/24 --seconds 4 2>" +
                            dir.file("tap.err")),
                    dir.file("tap.txt"));
    ASSERT_TRUE(ns.bridge("ne2k2", "198.18.2", dir));
    ASSERT_EQ(run_shell(ns.exec("ip link del ne2k2"), dir).code, 0);
    EXPECT_EQ(tool.wait(10), 1) << read_file(dir.file("tap.txt"));
    EXPECT_NE(read_file(dir.file("tap.err")).find("the TAP device ne2k2 went away"), std::string::npos)
        << read_file(dir.file("tap.err"));
}

TEST(Tap, ANameOfAnotherKindOfDeviceIsSaidToBeOne) {
    std::string why;
    if (!can_run_tap(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    Namespace ns;
    ASSERT_TRUE(ns.ok());
    RunResult r = run_shell(ns.exec(std::string(NE2K_TOOL_PATH) + " tap lo --ip 198.18.3.2/24 --seconds 1"), dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("lo is the name of another network device, not a TAP device"), std::string::npos) << r.err;
}

TEST(Tap, HelpShowsTheAddressAsRequired) {
    ScratchDir dir;
    RunResult r = run_tool("tap --help", dir);
    EXPECT_NE(r.out.find("usage: ne2k tap IFNAME --ip ADDR/LEN ["), std::string::npos) << r.out;
}

TEST(Tap, InterruptEndsCleanlyWithASummary) {
    std::string why;
    if (!can_run_tap(why)) GTEST_SKIP() << why;
    ScratchDir dir;
    Namespace ns;
    ASSERT_TRUE(ns.ok());
    Background tool(ns.exec(std::string(NE2K_TOOL_PATH) + " tap ne2k1 --ip 198.18.1.2/24 --seconds 60"),
                    dir.file("tap.txt"));
    ASSERT_TRUE(ns.bridge("ne2k1", "198.18.1", dir));
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
