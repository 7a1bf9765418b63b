// The demo: every frame checked on the far side, nothing lost across a reset,
// for pairs of board kinds; faults it must catch; bus time per frame; its
// --json report and interruption; the command-line conventions shared by
// every subcommand.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "tests/tools/tool_helpers.h"
#include "tools/args.h"
#include "tools/demo.h"
#include "tools/tool.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

// For pairs of board kinds, every frame arrives once and unchanged.
TEST(Demo, EveryFrameArrivesOnceAndUnchanged) {
    using K = hw::BoardKind;
    for (auto [a, b] : {std::pair{K::PcCard, K::Isa8}, {K::Isa16, K::Mca}, {K::Isa8, K::Isa8}, {K::Mca, K::PcCard}}) {
        SCOPED_TRACE(std::string(kind_name(a)) + "," + kind_name(b));
        DemoOptions o;
        o.frames = 400;
        o.kinds = {a, b};
        DemoResult r = run_demo(o);
        for (const DirectionResult& d : r.way) {
            EXPECT_EQ(d.sent, o.frames);
            EXPECT_EQ(d.lost + d.duplicated + d.corrupted + d.unwanted + d.never_completed + d.failed, 0u);
            // Every frame is accounted for exactly once, and the filters had work to do.
            EXPECT_EQ(d.delivered + d.kept_back + d.aborted + d.discarded_at_reset, d.sent);
            EXPECT_GT(d.kept_back, 0u);
            EXPECT_GT(d.delivered, d.sent / 2);
        }
        // The reset met traffic of A; B was never reset: its counter is what went out.
        EXPECT_EQ(r.resets, 1u);
        EXPECT_GT(r.way[0].aborted + r.way[0].discarded_at_reset, 0u);
        EXPECT_EQ(r.counters[1].xmit_ok, r.way[1].completed_ok);
        EXPECT_TRUE(r.ok());
    }
}

// The demo's checks catch a card that loses frames: frames completed with
// success that never arrive are lost, and the run fails.
TEST(Demo, FramesDroppedByTheHardwareAreReportedLost) {
    struct Case {
        const char* what;
        std::function<void(Rig&)> fault;
        int way;  // the direction that loses frames
    } cases[] = {
        {"B receives frames with a bad FCS", [](Rig& rig) { rig.board(1).faults().rx_bad_fcs = 3; }, 0},
        {"A's transmitter aborts frames", [](Rig& rig) { rig.board(0).faults().tx_abort = 2; }, 0},
        {"A receives frames with an alignment error", [](Rig& rig) { rig.board(0).faults().rx_alignment = 2; }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DemoOptions o;
        o.frames = 100;
        o.reset = false;
        o.prepare = c.fault;
        DemoResult r = run_demo(o);
        EXPECT_GT(r.way[c.way].lost, 0u);
        EXPECT_EQ(r.way[1 - c.way].lost, 0u);
        EXPECT_FALSE(r.ok());
    }
}

// The same seed gives the same run; bus time per frame counts the
// traffic's accesses only, so a short run gives what a long one does.
TEST(Demo, SameSeedSameRunAndBusTimePerFrameOfTheTraffic) {
    DemoOptions o;
    o.frames = 300;
    o.seed = 7;
    DemoResult x = run_demo(o), y = run_demo(o);
    EXPECT_EQ(x.virtual_ns, y.virtual_ns);
    EXPECT_EQ(x.way[0].delivered_bytes, y.way[0].delivered_bytes);
    o.frames = 5;
    DemoResult z = run_demo(o);
    for (int s = 0; s < 2; s++) {
        double ratio = bus_us_per_frame(z, s, hw::kMicrosecond) / bus_us_per_frame(x, s, hw::kMicrosecond);
        EXPECT_GT(ratio, 0.5) << "adapter " << s;
        EXPECT_LT(ratio, 2.0) << "adapter " << s;
    }
}

TEST(Demo, CommandJsonAndInterruption) {
    ScratchDir dir;
    RunResult r = run_tool("demo --frames 300 --kinds PCCARD,isa8 --seed 3 --json", dir);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    JsonMap j = parse_json(r.out);
    EXPECT_EQ(j["ok"], "true") << r.out;
    EXPECT_EQ(num(j, "ways.0.sent") + num(j, "ways.1.sent"), 600u);
    EXPECT_EQ(num(j, "ways.0.lost") + num(j, "ways.1.lost"), 0u);
    EXPECT_EQ(j["adapters.1.kind"], "isa8");

    Background demo(std::string(NE2K_TOOL_PATH) + " demo --frames 1000000 --json", dir.file("demo.json"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    demo.interrupt();
    EXPECT_EQ(demo.wait(30), 130);
    j = parse_json(read_file(dir.file("demo.json")));
    EXPECT_EQ(j["interrupted"], "true");
    EXPECT_LT(num(j, "ways.0.sent"), 1000000u);
    EXPECT_EQ(num(j, "ways.0.lost") + num(j, "ways.1.lost"), 0u);
}

// The demo keeps what is in flight, not the history of every frame: its
// peak memory does not grow with --frames, and stays under 20 MB.
TEST(Demo, MemoryDoesNotGrowWithFrames) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' own memory hides the tool's";
#endif
    auto peak_kib = [](const char* frames) {
        pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            execl(NE2K_TOOL_PATH, "ne2k", "demo", "--frames", frames, "--json", (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        rusage use{};
        EXPECT_EQ(wait4(pid, &status, 0, &use), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << frames << " frames";
        return use.ru_maxrss;
    };
    long small = peak_kib("20000"), large = peak_kib("200000");
    EXPECT_LT(large, 20 * 1024) << "peak resident set in KiB at 200,000 frames each way";
    EXPECT_LT(large - small, 2 * 1024) << "KiB more at 200,000 frames than at 20,000";
}

TEST(Demo, ProgressBarOnlyOnATerminal) {
    for (bool tty : {true, false}) {
        std::ostringstream out, err;
        Console io{out, err, tty, nullptr};
        EXPECT_EQ(run({"demo", "--frames", "300"}, io), kExitOk);
        EXPECT_EQ(out.str().find("\r  [") != std::string::npos, tty);
    }
}

// Usage errors exit 2 and say what was wrong (with a hint to --help); help,
// version and the man page exit 0; names are taken in either case.
TEST(CommandLine, UsageErrorsHelpAndHints) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;  // in stdout for exit 0, stderr otherwise
    } cases[] = {
        {{}, kExitUsage, "ne2k with no arguments prints this on standard error and exits 2"},
        {{"--help"}, kExitOk, "usage: ne2k"},
        {{"--version"}, kExitOk, "ne2k 1."},
        {{"--man"}, kExitOk, ".TH NE2K 1"},
        {{"frobnicate"}, kExitUsage, "unknown command 'frobnicate'"},
        {{"demo", "--help"}, kExitOk, "--no-reset"},
        {{"replay", "--help"}, kExitOk, "--verdicts FILE.csv"},
        {{"send", "--help"}, kExitOk, "--topspeed"},
        {{"tap", "--help"}, kExitOk, "usage: ne2k tap"},
        {{"trace", "--help"}, kExitOk, "overflow"},
        {{"trace", "halt", "--kind", "MCA"}, kExitOk, "# mca card at 0x300"},
        {{"trace", "Sideways"}, kExitUsage, "unknown scenario 'Sideways'"},
        {{"demo", "--frames", "0"}, kExitUsage, "--frames is out of range: must be a whole number from 1 to 1000000"},
        {{"demo", "--frames", "99999999999999999999"}, kExitUsage, "--frames is out of range"},
        {{"demo", "--frames", "12x"}, kExitUsage, "--frames must be a whole number"},
        {{"demo", "--frames"}, kExitUsage, "option --frames needs a value"},
        {{"demo", "--min-size", "200", "--max-size", "100"}, kExitUsage, "--min-size (200) is above --max-size (100)"},
        {{"demo", "--kinds", "isa8,eisa"}, kExitUsage, "unknown board kind 'eisa'"},
        {{"demo", "--colour"}, kExitUsage, "unknown option '--colour'"},
        {{"replay"}, kExitUsage, "give the capture to replay"},
        {{"replay", "x.pcap", "--filter", "DIRECTED"}, kExitFailure, "x.pcap: No such file"},
        {{"replay", "x.pcap", "--filter", "multicast"}, kExitFailure, "admits no multicast frame"},
        {{"replay", "x.pcap", "--multicast", "01:00:5e:00:00:01"}, kExitFailure, "has no effect unless --filter"},
        {{"replay", "x.pcap", "--filter", "everything"}, kExitUsage, "unknown packet type 'everything'"},
        {{"replay", "x.pcap", "--multicast", "02:00:00:00:00:01"}, kExitUsage, "is not a group address"},
        {{"replay", "x.pcap", "--bpf", "ether hst 1"}, kExitUsage, "is not a filter expression"},
        {{"replay", "x.pcap", "--speed", "2", "--pps", "3"}, kExitUsage, "give one of --speed, --topspeed and --pps"},
        {{"replay", "x.pcap", "--speed", "fast"}, kExitUsage, "--speed must be a number"},
        {{"send", "x.pcap"}, kExitUsage, "-w WIRE.pcap"},
        {{"send", "x.pcap", "-w", "y.pcap", "--station", "03:00:00:00:00:01"}, kExitUsage, "is a group address"},
        {{"tap", "t0"}, kExitUsage, "--ip ADDR/LEN"},
        {{"tap", "t0", "--ip", "198.18.0.2/33"}, kExitUsage, "must be a number from 1 to 32"},
        {{"tap", "t0", "--ip", "198.18.0.256/24"}, kExitUsage, "is not an IPv4 address"},
        {{"tap", "t0", "--ip", "224.0.0.1/24"}, kExitUsage, "is a multicast address"},
        {{"tap", "t0", "--ip", "255.255.255.255/24"}, kExitUsage, "is reserved or the broadcast address"},
        {{"tap", "t0", "--ip", "0.0.0.0/24"}, kExitUsage, "in 0.0.0.0/8"},
        {{"tap", "t0", "--ip", "198.18.0.255/24"}, kExitUsage, "the subnet's broadcast address"},
        {{"tap", "a-very-long-interface-name", "--ip", "198.18.0.2/24"}, kExitUsage, "not a usable interface name"},
        {{"tap", "t0", "--ip", "198.18.0.2/24", "--seconds", "0"}, kExitUsage, "--seconds is out of range"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        std::ostringstream out, err;
        Console io{out, err, false, nullptr};
        EXPECT_EQ(run(c.args, io), c.code);
        const std::string& text = c.code == kExitOk ? out.str() : err.str();
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        bool hint = c.code == kExitUsage && !c.args.empty() && c.args[0] != "frobnicate";
        EXPECT_TRUE(!hint || err.str().find("--help") != std::string::npos) << err.str();
    }
}

}  // namespace
}  // namespace ne2k_tool
