// send: capture frames go out through the driver; the wire capture holds
// the same frames, short ones padded, on every board.
#include <gtest/gtest.h>

#include "tests/tools/tool_helpers.h"
#include "tools/pcap_commands.h"
#include "tools/tool.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

constexpr std::uint8_t kDriverFill = 0x20;  // the driver fills short frames with spaces

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
    add(frame(kBroadcast, kStation, 42, 1), true);  // ARP-sized: padded to 60
    add(frame(kPeer, kStation, 59, 2), true);
    add(frame(kPeer, kStation, 60, 3), true);
    add(frame(kPeer, kStation, 1600, 5), false);    // too long: reported, skipped
    add(frame(kPeer, kStation, 1000, 6), true);
    add(frame(kPeer, kStation, 128, 7), false, 900);  // cut by snap length: skipped
    add(frame(kPeer, kStation, 1514, 8), true);
    return c;
}

// The header line, then the frames skipped, then the summary.
TEST(Send, NamesSkippedFramesAfterItsHeader) {
    ScratchDir dir;
    write_pcap(dir.file("in.pcap"), send_capture().records);
    std::ostringstream out, err;
    Console io{out, err, false, nullptr};
    ASSERT_EQ(run({"send", dir.file("in.pcap"), "-w", dir.file("wire.pcap")}, io), kExitOk) << err.str();
    const std::string t = out.str();
    auto head = t.find("ne2k send: "), skip = t.find("frame 4 (1600 bytes) skipped: longer than 1514 bytes");
    EXPECT_LT(head, skip) << t;
    EXPECT_LT(skip, t.find("frame 6 (128 bytes) skipped: cut short by the capture's snap length")) << t;
    EXPECT_LT(skip, t.find("frames in capture")) << t;
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
        o.card.kind = k;
        o.pace.mode = Pace::Mode::Top;
        SendResult r = run_send(o);
        EXPECT_EQ(r.completed_ok, c.on_wire.size());
        EXPECT_EQ(r.unusable.too_long + r.unusable.cut, 2u);
        EXPECT_EQ(r.mismatched, 0u);
        EXPECT_TRUE(r.problems.empty());
        EXPECT_EQ(read_pcap(o.output), c.on_wire);
    }
}

}  // namespace
}  // namespace ne2k_tool
