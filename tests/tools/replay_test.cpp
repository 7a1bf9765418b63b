// replay: the frames each packet filter lets through, written out and read
// back; BPF selection; missed frames; damaged and foreign captures.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "hw/dp8390.h"
#include "tests/tools/tool_helpers.h"
#include "tools/pcap_commands.h"
#include "tools/rig.h"
#include "tools/tool.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

const Bytes kOther{0x02, 0x00, 0x00, 0x00, 0x00, 0x77};
const Bytes kListed{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const Bytes kUnlisted{0x01, 0x00, 0x5E, 0x12, 0x34, 0x56};

// A group address that is not kListed but lands on its hash bit: the card
// takes it, the wrapper's exact filter must drop it.
Bytes hash_twin() {
    unsigned want = hw::Dp8390::hash_bit(kListed.data());
    for (unsigned i = 2;; i++) {
        Bytes m{0x01, 0x00, 0x5E, 0x00, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
        if (hw::Dp8390::hash_bit(m.data()) == want) return m;
    }
}

// The capture every filter case replays; index = position in it.
enum Index { kToStation, kToOther, kBcast, kMcListed, kMcTwin, kMcUnlisted, kShortBcast, kTooLong, kCut, kCount };

std::vector<PcapRecord> mixed_capture() {
    std::vector<PcapRecord> c(kCount);
    c[kToStation].bytes = frame(kStation, kPeer, 100, 1);
    c[kToOther].bytes = frame(kOther, kPeer, 200, 2);
    c[kBcast].bytes = frame(kBroadcast, kPeer, 1514, 3);
    c[kMcListed].bytes = frame(kListed, kPeer, 60, 4);
    c[kMcTwin].bytes = frame(hash_twin(), kPeer, 70, 5);
    c[kMcUnlisted].bytes = frame(kUnlisted, kPeer, 80, 6);
    c[kShortBcast].bytes = frame(kBroadcast, kPeer, 42, 7);  // an ARP-sized frame, unpadded
    c[kTooLong].bytes = frame(kStation, kPeer, 1600, 8);
    c[kCut].bytes = frame(kStation, kPeer, 96, 9);
    c[kCut].wire_len = 500;  // captured with a snap length of 96
    for (int i = 0; i < kCount; i++) c[i].time_us = 1000000 + 2000 * i;
    return c;
}

struct FilterCase {
    const char* filter;
    const char* multicast;  // "" for none
    std::set<int> indicated;
    // Frames the card takes and the wrapper drops: the card always takes
    // frames to its own address, and whatever shares a listed hash bit.
    std::uint64_t wrapper_filtered;
};

class ReplayFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(ReplayFilter, IndicatesExactlyWhatTheFilterPasses) {
    const FilterCase& fc = GetParam();
    ScratchDir dir;
    auto records = mixed_capture();
    write_pcap(dir.file("in.pcap"), records);
    std::string args = "replay " + dir.file("in.pcap") + " -w " + dir.file("out.pcap") + " --filter " + fc.filter;
    if (*fc.multicast) args += std::string(" --multicast ") + fc.multicast;
    RunResult r = run_tool(args, dir);
    ASSERT_EQ(r.code, 0) << r.out << r.err;

    std::vector<Bytes> want;
    for (int i : fc.indicated) want.push_back(padded(records[i].bytes));
    EXPECT_EQ(first_difference(read_pcap(dir.file("out.pcap")), want), "");
    EXPECT_NE(r.out.find("indicated           " + std::to_string(want.size())), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("offered             7 (1 padded to 60 bytes)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("not usable          2 (1 cut short by the capture's snap length, 1 longer than 1514 bytes)"),
              std::string::npos)
        << r.out;

    // The same through the library: every offered frame is indicated,
    // filtered or missed.
    ReplayOptions o;
    o.input = dir.file("in.pcap");
    o.filter = parse_filter(fc.filter, "--filter");
    if (*fc.multicast) o.multicast = {sim::MacAddress{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}};
    ReplayResult rr = run_replay(o);
    EXPECT_EQ(rr.indicated, want.size());
    EXPECT_EQ(rr.wrapper_filtered, fc.wrapper_filtered);
    EXPECT_EQ(rr.missed, 0u);
    EXPECT_EQ(rr.indicated + rr.card_filtered + rr.wrapper_filtered + rr.missed, rr.offered);
    EXPECT_TRUE(rr.problems.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Filters, ReplayFilter,
    ::testing::Values(FilterCase{"directed", "", {kToStation}, 0},
                      FilterCase{"broadcast", "", {kBcast, kShortBcast}, 1},
                      FilterCase{"directed,broadcast", "", {kToStation, kBcast, kShortBcast}, 0},
                      // The hash twin passes the card and stops at the wrapper.
                      FilterCase{"multicast", "01:00:5e:00:00:01", {kMcListed}, 2},
                      FilterCase{"allmulticast", "", {kMcListed, kMcTwin, kMcUnlisted}, 1},
                      FilterCase{"promiscuous", "",
                                 {kToStation, kToOther, kBcast, kMcListed, kMcTwin, kMcUnlisted, kShortBcast}, 0}),
    [](const ::testing::TestParamInfo<FilterCase>& info) {
        std::string name = info.param.filter;
        std::replace(name.begin(), name.end(), ',', '_');
        return name;
    });

TEST(Replay, CaptureRewrittenByTcpdump) {
    if (!have_program("tcpdump")) GTEST_SKIP() << "tcpdump is not installed (bash scripts/deps.sh installs it)";
    ScratchDir dir;
    auto records = mixed_capture();
    write_pcap(dir.file("mine.pcap"), records);
    RunResult t = run_shell("tcpdump -r " + dir.file("mine.pcap") + " -w " + dir.file("in.pcap"), dir);
    ASSERT_EQ(t.code, 0) << t.err;
    RunResult r = run_tool("replay " + dir.file("in.pcap") + " -w " + dir.file("out.pcap") +
                               " --filter directed,broadcast",
                           dir);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    std::vector<Bytes> want{padded(records[kToStation].bytes), padded(records[kBcast].bytes),
                            padded(records[kShortBcast].bytes)};
    EXPECT_EQ(first_difference(read_pcap(dir.file("out.pcap")), want), "");
    // And tcpdump reads our output.
    RunResult back = run_shell("tcpdump -r " + dir.file("out.pcap") + " -e -n", dir);
    EXPECT_EQ(back.code, 0) << back.err;
    std::istringstream lines(back.out);
    int frames = 0;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '\t') frames++;  // hex dump lines of unknown types start with a tab
    EXPECT_EQ(frames, 3) << back.out;
    EXPECT_NE(back.out.find("02:00:00:00:00:42 > ff:ff:ff:ff:ff:ff"), std::string::npos) << back.out;
}

TEST(Replay, BpfSelectsFramesBeforeTheWire) {
    ScratchDir dir;
    auto records = mixed_capture();
    write_pcap(dir.file("in.pcap"), records);
    RunResult r = run_tool("replay " + dir.file("in.pcap") + " -w " + dir.file("out.pcap") +
                               " --filter promiscuous --bpf 'ether multicast and not ether broadcast'",
                           dir);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    std::vector<Bytes> want{records[kMcListed].bytes, padded(records[kMcTwin].bytes), padded(records[kMcUnlisted].bytes)};
    EXPECT_EQ(first_difference(read_pcap(dir.file("out.pcap")), want), "");
    EXPECT_NE(r.out.find("skipped by --bpf    4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("offered             3"), std::string::npos) << r.out;
}

TEST(Replay, BackToBackFramesOverrunTheSlowCardAndAreCountedMissed) {
    ScratchDir dir;
    std::vector<PcapRecord> c;
    for (int i = 0; i < 40; i++) c.push_back({frame(kStation, kPeer, 1514, static_cast<std::uint8_t>(i)), 0, 5});
    write_pcap(dir.file("burst.pcap"), c);
    ReplayOptions o;
    o.input = dir.file("burst.pcap");
    o.kind = hw::BoardKind::Isa8;
    o.output = dir.file("out.pcap");
    ReplayResult r = run_replay(o);
    EXPECT_EQ(r.offered, 40u);
    EXPECT_GT(r.missed, 0u);
    EXPECT_GT(r.indicated, 0u);
    EXPECT_EQ(r.indicated + r.missed + r.card_filtered + r.wrapper_filtered, r.offered);
    // What was indicated arrived whole and in order.
    auto got = read_pcap(dir.file("out.pcap"));
    ASSERT_EQ(got.size(), r.indicated);
    std::size_t k = 0;
    for (const Bytes& f : got) {
        while (k < c.size() && c[k].bytes != f) k++;
        EXPECT_LT(k, c.size()) << "a frame that was not offered, or out of order";
    }
}

TEST(Replay, TruncatedCaptureKeepsTheWholeFramesAndSaysSo) {
    ScratchDir dir;
    std::vector<PcapRecord> c;
    for (int i = 0; i < 5; i++) c.push_back({frame(kBroadcast, kPeer, 100, static_cast<std::uint8_t>(i)), 0, 10u * i});
    write_pcap(dir.file("in.pcap"), c);
    auto size = std::filesystem::file_size(dir.file("in.pcap"));
    std::filesystem::resize_file(dir.file("in.pcap"), size - 30);  // the last record loses its tail
    RunResult r = run_tool("replay " + dir.file("in.pcap") + " -w " + dir.file("out.pcap"), dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("damaged after frame 4"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("capture it again"), std::string::npos) << r.err;
    EXPECT_EQ(read_pcap(dir.file("out.pcap")).size(), 4u);
}

TEST(Replay, UnusableInputsAreRunErrorsWithAHint) {
    ScratchDir dir;
    write_pcap(dir.file("sll.pcap"), {{Bytes(40, 0x45), 0, 0}}, DLT_LINUX_SLL);
    {
        std::ofstream text(dir.file("notes.txt"));
        text << "this is not a capture\n";
    }
    write_pcap(dir.file("ok.pcap"), {{frame(kBroadcast, kPeer, 60), 0, 0}});
    struct Case {
        std::string args;
        const char* says;
    } cases[] = {
        {"replay " + dir.file("missing.pcap"), "No such file or directory (give the path of a pcap capture file)"},
        {"replay " + dir.file("sll.pcap"), "is not Ethernet (EN10MB)"},
        {"replay " + dir.file("notes.txt"), "not a readable capture"},
        {"send " + dir.file("sll.pcap") + " -w " + dir.file("w.pcap"), "is not Ethernet (EN10MB)"},
        {"replay " + dir.file("ok.pcap") + " -w /nonexistent-folder/out.pcap", "cannot be written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run_tool(c.args, dir);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace ne2k_tool
