// The demo: every frame checked on the far side, nothing lost across a reset,
// for pairs of board kinds; the command's report and exit code; the
// command-line conventions shared by every subcommand.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/tools/tool_helpers.h"
#include "tools/args.h"
#include "tools/demo.h"
#include "tools/tool.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

struct KindPair {
    hw::BoardKind a, b;
};

class DemoKinds : public ::testing::TestWithParam<KindPair> {};

TEST_P(DemoKinds, EveryFrameArrivesOnceAndUnchanged) {
    DemoOptions o;
    o.frames = 400;
    o.kinds = {GetParam().a, GetParam().b};
    DemoResult r = run_demo(o);
    for (int w = 0; w < 2; w++) {
        SCOPED_TRACE(w == 0 ? "A -> B" : "B -> A");
        const DirectionResult& d = r.way[w];
        EXPECT_EQ(d.sent, o.frames);
        EXPECT_EQ(d.lost, 0u);
        EXPECT_EQ(d.duplicated, 0u);
        EXPECT_EQ(d.corrupted, 0u);
        EXPECT_EQ(d.unwanted, 0u);
        EXPECT_EQ(d.never_completed, 0u);
        EXPECT_EQ(d.failed, 0u);
        // Every frame is accounted for exactly once.
        EXPECT_EQ(d.delivered + d.kept_back + d.aborted + d.discarded_at_reset, d.sent);
        // The filters had work to do both ways.
        EXPECT_GT(d.kept_back, 0u);
        EXPECT_GT(d.delivered, d.sent / 2);
    }
    // The reset met traffic of A: some frames came back aborted or were
    // dropped with the transmit slots.
    EXPECT_EQ(r.resets, 1u);
    EXPECT_GT(r.way[0].aborted + r.way[0].discarded_at_reset, 0u);
    // B was never reset: what the query handler counts is what went out.
    EXPECT_EQ(r.counters[1].xmit_ok, r.way[1].completed_ok);
    EXPECT_EQ(r.counters[0].rcv_no_buffer + r.counters[1].rcv_no_buffer, 0u);
    EXPECT_TRUE(r.problems.empty()) << r.problems.front();
    EXPECT_TRUE(r.ok());
}

INSTANTIATE_TEST_SUITE_P(Pairs, DemoKinds,
                         ::testing::Values(KindPair{hw::BoardKind::PcCard, hw::BoardKind::Isa8},
                                           KindPair{hw::BoardKind::Isa16, hw::BoardKind::Mca},
                                           KindPair{hw::BoardKind::Isa8, hw::BoardKind::Isa8},
                                           KindPair{hw::BoardKind::Mca, hw::BoardKind::PcCard}),
                         [](const ::testing::TestParamInfo<KindPair>& info) {
                             return std::string(kind_name(info.param.a)) + "_" + kind_name(info.param.b);
                         });

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
        std::ostringstream report;
        print_demo_report(o, r, hw::kMicrosecond, report);
        EXPECT_NE(report.str().find("result: FAILED"), std::string::npos);
    }
}

TEST(Demo, SameSeedSameRun) {
    DemoOptions o;
    o.frames = 150;
    o.min_size = 100;
    o.max_size = 200;
    o.seed = 7;
    DemoResult x = run_demo(o), y = run_demo(o);
    EXPECT_EQ(x.virtual_ns, y.virtual_ns);
    EXPECT_EQ(x.way[0].delivered_bytes, y.way[0].delivered_bytes);
    EXPECT_EQ(x.way[1].delivered_bytes, y.way[1].delivered_bytes);
    o.seed = 8;
    DemoResult z = run_demo(o);
    EXPECT_NE(x.way[0].delivered_bytes, z.way[0].delivered_bytes);
}

TEST(Demo, CommandReportsZeroLostAndExitsZero) {
    ScratchDir dir;
    RunResult r = run_tool("demo --frames 300 --kinds pccard,isa8 --seed 3", dir);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("result: OK"), std::string::npos) << r.out;
    // The LOST row reads 0 both ways.
    auto at = r.out.find("LOST");
    ASSERT_NE(at, std::string::npos);
    std::istringstream row(r.out.substr(at + 4, r.out.find('\n', at) - at - 4));
    unsigned long ab = 99, ba = 99;
    row >> ab >> ba;
    EXPECT_EQ(ab, 0u);
    EXPECT_EQ(ba, 0u);
    for (const char* oid : {"OID_GEN_XMIT_OK", "OID_GEN_RCV_OK", "OID_GEN_XMIT_ERROR", "OID_GEN_RCV_ERROR",
                            "OID_GEN_RCV_NO_BUFFER", "virtual time", "bus time per frame", "frames/s"})
        EXPECT_NE(r.out.find(oid), std::string::npos) << oid;
    // Not a terminal: no progress bar.
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST(Demo, ProgressBarOnlyOnATerminal) {
    std::ostringstream out, err;
    Console io{out, err, true, nullptr};
    EXPECT_EQ(run({"demo", "--frames", "300"}, io), kExitOk);
    EXPECT_NE(out.str().find("\r  ["), std::string::npos);
    EXPECT_NE(out.str().find("100%"), std::string::npos);
}

// Usage errors exit 2 and say what was wrong; --help exits 0 everywhere.
TEST(CommandLine, UsageErrorsAndHelp) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;  // in stdout for help, stderr otherwise
    } cases[] = {
        {{}, kExitUsage, "usage: ne2k"},
        {{"--help"}, kExitOk, "usage: ne2k"},
        {{"frobnicate"}, kExitUsage, "unknown command 'frobnicate'"},
        {{"demo", "--help"}, kExitOk, "usage: ne2k demo"},
        {{"replay", "--help"}, kExitOk, "usage: ne2k replay"},
        {{"send", "--help"}, kExitOk, "usage: ne2k send"},
        {{"tap", "--help"}, kExitOk, "usage: ne2k tap"},
        {{"trace", "--help"}, kExitOk, "usage: ne2k trace"},
        {{"demo", "--frames", "0"}, kExitUsage, "--frames is out of range: must be a whole number from 1 to 1000000"},
        {{"demo", "--frames", "12x"}, kExitUsage, "--frames must be a whole number"},
        {{"demo", "--frames"}, kExitUsage, "option --frames needs a value"},
        {{"demo", "--min-size", "59"}, kExitUsage, "--min-size is out of range"},
        {{"demo", "--max-size", "1515"}, kExitUsage, "--max-size is out of range"},
        {{"demo", "--min-size", "200", "--max-size", "100"}, kExitUsage, "--min-size (200) is above --max-size (100)"},
        {{"demo", "--kinds", "isa8"}, kExitUsage, "--kinds takes two board kinds"},
        {{"demo", "--kinds", "isa8,eisa"}, kExitUsage, "unknown board kind 'eisa'"},
        {{"demo", "--colour"}, kExitUsage, "unknown option '--colour'"},
        {{"replay"}, kExitUsage, "give the capture to replay"},
        {{"replay", "x.pcap", "--filter", "everything"}, kExitUsage, "unknown packet type 'everything'"},
        {{"replay", "x.pcap", "--multicast", "02:00:00:00:00:01"}, kExitUsage, "is not a group address"},
        {{"replay", "x.pcap", "--station", "zz:00:00:00:00:01"}, kExitUsage, "is not a MAC address"},
        {{"replay", "x.pcap", "--bpf", "ether hst 1"}, kExitUsage, "is not a filter expression"},
        {{"send", "x.pcap"}, kExitUsage, "-w WIRE.pcap"},
        {{"send", "x.pcap", "-w", "y.pcap", "--station", "03:00:00:00:00:01"}, kExitUsage, "is a group address"},
        {{"tap", "t0"}, kExitUsage, "--ip ADDR/LEN"},
        {{"tap", "t0", "--ip", "198.18.0.2/33"}, kExitUsage, "must be a number from 1 to 32"},
        {{"tap", "t0", "--ip", "198.18.0.256/24"}, kExitUsage, "is not an IPv4 address"},
        {{"tap", "a-very-long-interface-name", "--ip", "198.18.0.2/24"}, kExitUsage, "not a usable interface name"},
        {{"tap", "t0", "--ip", "198.18.0.2/24", "--seconds", "0"}, kExitUsage, "--seconds is out of range"},
        {{"trace", "sideways"}, kExitUsage, "unknown scenario 'sideways'"},
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
        if (c.code == kExitUsage && !c.args.empty() && c.args[0] != "frobnicate") {
            EXPECT_NE(err.str().find("--help"), std::string::npos) << err.str();
        }
    }
}

}  // namespace
}  // namespace ne2k_tool
