// The segment on its own: the FCS it computes, injection, taps, and the
// order of frames on a shared medium.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

std::uint32_t reference_crc(const std::uint8_t* d, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; i++) {
        c ^= d[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

TEST(Segment, FcsMatchesTheBitwiseDefinition) {
    const char* check = "123456789";
    EXPECT_EQ(hw::ethernet_fcs(reinterpret_cast<const std::uint8_t*>(check), 9), 0xCBF43926u);
    Bytes data(1600);
    for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    for (std::size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 60, 1514, 1600})
        EXPECT_EQ(hw::ethernet_fcs(data.data(), n), reference_crc(data.data(), n)) << n;
}

// Every length across the block sizes of the bulk path (16 and 64 bytes) and
// the frame sizes, from buffers at every alignment.
TEST(Segment, FcsMatchesTheBitwiseDefinitionAtEveryLengthAndAlignment) {
    Bytes data(1600 + 16);
    for (std::size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    for (std::size_t start = 0; start < 16; start += 5)
        for (std::size_t n = 0; n <= 1600; n += (n < 300 ? 1 : 37))
            ASSERT_EQ(hw::ethernet_fcs(data.data() + start, n), reference_crc(data.data() + start, n))
                << "length " << n << " at offset " << start;
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
