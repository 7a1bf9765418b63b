// The segment on its own: the FCS it computes, injection, taps, and the
// order of frames on a shared medium.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

// Known CRC-32 values; the last row is a frame followed by its own FCS,
// least significant byte first, whose CRC is the fixed residue.
TEST(Segment, FcsKnownValues) {
    struct Case {
        std::string data;
        std::uint32_t fcs;
    };
    const std::string frame = "123456789";
    const std::string with_fcs = frame + std::string("\x26\x39\xF4\xCB", 4);
    const Case cases[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {frame, 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {std::string(32, '\0'), 0x190A55ADu},
        {with_fcs, 0x2144DF1Cu},
    };
    for (const Case& k : cases)
        EXPECT_EQ(hw::ethernet_fcs(reinterpret_cast<const std::uint8_t*>(k.data.data()), k.data.size()), k.fcs)
            << k.data.size() << " bytes";
}

struct Listener : hw::Station {
    std::vector<Bytes> got;
    void deliver(const std::uint8_t* f, std::size_t n) override { got.emplace_back(f, f + n); }
};

TEST(Segment, InjectedFramesQueueAndReachEveryStation) {
    hw::Clock clock;
    Listener a, b;  // outlive the segment, which detaches them at its end
    hw::Segment seg(clock);
    seg.attach(a);
    seg.attach(b);
    std::vector<hw::Nanos> times;
    seg.add_tap([&](hw::Nanos t, const std::uint8_t*, std::size_t n) {
        times.push_back(t);
        EXPECT_EQ(hw::Segment::strip_fcs(n), 60u);
    });
    Bytes f = make_frame(kBroadcast, 60);
    seg.inject(f.data(), f.size());
    seg.inject(f.data(), f.size());
    Bytes raw = f;
    raw.resize(64, 0xEE);
    seg.inject(raw.data(), raw.size(), false);
    while (clock.run_next()) {
    }
    ASSERT_EQ(a.got.size(), 3u);
    EXPECT_EQ(b.got.size(), 3u);
    EXPECT_EQ(a.got[0].size(), 64u);
    std::uint32_t fcs = hw::ethernet_fcs(f.data(), 60);
    EXPECT_EQ(a.got[0][60], static_cast<std::uint8_t>(fcs));
    EXPECT_EQ(a.got[2], raw);  // as given, no FCS appended
    EXPECT_EQ(times, (std::vector<hw::Nanos>{hw::wire_time(64), 2 * hw::wire_time(64), 3 * hw::wire_time(64)}));
    EXPECT_EQ(seg.frames_carried(), 3u);
}

TEST(Segment, BoardOutlivingItsSegmentIsSafe) {
    hw::Clock clock;
    auto seg = std::make_unique<hw::Segment>(clock);
    Card c(clock, hw::BoardConfig{});
    c.board.attach(*seg);
    c.bring_up();
    c.send(0x40, make_frame(kStationB, 60));
    seg.reset();
    while (clock.run_next()) {
    }
    EXPECT_FALSE(c.board.transmitting());
    c.send(0x40, make_frame(kStationB, 60));  // no segment: goes nowhere, still completes
    while (clock.run_next()) {
    }
    EXPECT_EQ(c.rd(r::P0R_TSR), r::TSR_PTX);
}

}  // namespace
}  // namespace hwtest
