// send: capture frames go out through the driver; the wire capture, read
// back by tcpdump and tshark, holds the same frames, short ones padded.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/tools/tool_helpers.h"
#include "tools/pcap_commands.h"
#include "tools/tool.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

// The driver fills short frames up to 60 bytes with spaces.
constexpr std::uint8_t kDriverFill = 0x20;

// Frames as `tcpdump -r FILE -xx` prints them: a summary line, then
// "\t0xOOOO:  hhhh hhhh ..." lines.
std::vector<Bytes> parse_tcpdump_hex(const std::string& text) {
    std::vector<Bytes> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (line[0] != '\t') {
            out.emplace_back();
            continue;
        }
        auto colon = line.find(':');
        if (colon == std::string::npos || out.empty()) continue;
        std::istringstream groups(line.substr(colon + 1));
        for (std::string g; groups >> g;)
            for (std::size_t i = 0; i + 1 < g.size(); i += 2)
                out.back().push_back(static_cast<std::uint8_t>(std::stoul(g.substr(i, 2), nullptr, 16)));
    }
    return out;
}

struct SendCapture {
    std::vector<PcapRecord> records;
    std::vector<Bytes> on_wire;  // what must cross the wire, in order
};

SendCapture send_capture() {
    SendCapture c;
    auto add = [&](Bytes f, bool goes, std::uint32_t wire_len = 0) {
        if (goes) c.on_wire.push_back(padded(f, kDriverFill));
        c.records.push_back({std::move(f), wire_len, 100u * c.records.size()});
    };
    add(frame(kBroadcast, kStation, 42, 1), true);    // ARP-sized: padded to 60
    add(frame(kPeer, kStation, 59, 2), true);
    add(frame(kPeer, kStation, 60, 3), true);
    add(frame(kPeer, kStation, 61, 4), true);
    add(frame(kPeer, kStation, 1600, 5), false);      // too long: reported, skipped
    add(frame(kPeer, kStation, 1000, 6), true);
    add(frame(kPeer, kStation, 128, 7), false, 900);  // cut by snap length: skipped
    add(frame(kPeer, kStation, 1514, 8), true);
    add(frame(kBroadcast, kStation, 300, 9), true);
    return c;
}

TEST(Send, WireCaptureReadBackByTcpdump) {
    if (!have_program("tcpdump")) GTEST_SKIP() << "tcpdump is not installed (bash scripts/deps.sh installs it)";
    ScratchDir dir;
    SendCapture c = send_capture();
    write_pcap(dir.file("in.pcap"), c.records);
    RunResult r = run_tool("send " + dir.file("in.pcap") + " -w " + dir.file("wire.pcap"), dir);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("frame 5 (1600 bytes) skipped: 1 longer than 1514 bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("frame 7 (128 bytes) skipped: 1 cut short by the capture's snap length"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("on the wire         7"), std::string::npos) << r.out;

    RunResult dump = run_shell("tcpdump -r " + dir.file("wire.pcap") + " -xx -n", dir);
    ASSERT_EQ(dump.code, 0) << dump.err;
    EXPECT_EQ(first_difference(parse_tcpdump_hex(dump.out), c.on_wire), "") << dump.out;
}

TEST(Send, WireCaptureReadBackByTshark) {
    if (!have_program("tshark")) GTEST_SKIP() << "tshark is not installed (bash scripts/deps.sh installs it)";
    ScratchDir dir;
    SendCapture c = send_capture();
    write_pcap(dir.file("in.pcap"), c.records);
    ASSERT_EQ(run_tool("send " + dir.file("in.pcap") + " -w " + dir.file("wire.pcap"), dir).code, 0);
    RunResult t = run_shell("tshark -r " + dir.file("wire.pcap") + " -T fields -e frame.len -e eth.dst -e data.data", dir);
    ASSERT_EQ(t.code, 0) << t.err;
    std::istringstream lines(t.out);
    std::size_t i = 0;
    for (std::string line; std::getline(lines, line); i++) {
        ASSERT_LT(i, c.on_wire.size()) << t.out;
        const Bytes& want = c.on_wire[i];
        std::istringstream fields(line);
        std::string len, dst, data;
        fields >> len >> dst >> data;
        EXPECT_EQ(len, std::to_string(want.size()));
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", want[0], want[1], want[2], want[3], want[4],
                      want[5]);
        EXPECT_EQ(dst, mac);
        std::string hex;
        for (std::size_t k = 14; k < want.size(); k++) {
            char h[3];
            std::snprintf(h, sizeof h, "%02x", want[k]);
            hex += h;
        }
        EXPECT_EQ(data, hex) << "frame " << i;
    }
    EXPECT_EQ(i, c.on_wire.size());
}

TEST(Send, EveryBoardKindPutsTheSameFramesOnTheWire) {
    ScratchDir dir;
    SendCapture c = send_capture();
    write_pcap(dir.file("in.pcap"), c.records);
    for (hw::BoardKind k : {hw::BoardKind::Isa16, hw::BoardKind::Isa8, hw::BoardKind::PcCard, hw::BoardKind::Mca}) {
        SCOPED_TRACE(static_cast<int>(k));
        SendOptions o;
        o.input = dir.file("in.pcap");
        o.output = dir.file("wire.pcap");
        o.kind = k;
        SendResult r = run_send(o);
        EXPECT_EQ(r.sent, c.on_wire.size());
        EXPECT_EQ(r.completed_ok, c.on_wire.size());
        EXPECT_EQ(r.unusable.too_long, 1u);
        EXPECT_EQ(r.unusable.cut, 1u);
        EXPECT_EQ(r.mismatched, 0u);
        EXPECT_TRUE(r.problems.empty());
        EXPECT_EQ(first_difference(read_pcap(o.output), c.on_wire), "");
    }
}

TEST(Send, TruncatedCaptureSendsTheWholeFramesAndFails) {
    ScratchDir dir;
    SendCapture c = send_capture();
    write_pcap(dir.file("in.pcap"), c.records);
    std::filesystem::resize_file(dir.file("in.pcap"), std::filesystem::file_size(dir.file("in.pcap")) - 100);
    RunResult r = run_tool("send " + dir.file("in.pcap") + " -w " + dir.file("wire.pcap"), dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("damaged after frame 8"), std::string::npos) << r.err;
    // Frames 1..8 were whole: six of them are usable.
    EXPECT_EQ(read_pcap(dir.file("wire.pcap")).size(), 6u);
}

}  // namespace
}  // namespace ne2k_tool
