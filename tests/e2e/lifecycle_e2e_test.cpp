// End to end through the wrapper: an adapter of each board kind comes up
// from its configuration, exchanges frames both ways with a peer on the same
// segment, is reset in the middle of traffic and carries on, and halts with
// nothing leaked. The 32-bit build runs it on the driver image as well
// (tests/support/driver_under_test.h).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "hw/board.h"
#include "sim/host.h"
#include "tests/support/driver_under_test.h"

namespace {

struct KindCase {
    const char* name;
    hw::BoardKind kind;
};

std::vector<std::uint8_t> MakeFrame(const sim::MacAddress& to, const sim::MacAddress& from,
                                    std::size_t len, std::uint32_t seq) {
    std::vector<std::uint8_t> f(len);
    for (int i = 0; i < 6; i++) {
        f[i] = to[i];
        f[6 + i] = from[i];
    }
    f[12] = 0x88;
    f[13] = 0xB5;  // local experimental ethertype
    for (std::size_t i = 14; i < len; i++) f[i] = static_cast<std::uint8_t>(seq * 7 + i);
    f[14] = static_cast<std::uint8_t>(seq);
    f[15] = static_cast<std::uint8_t>(seq >> 8);
    return f;
}

// The frame as it arrives: padded to 60 bytes with 0x20 when shorter.
std::vector<std::uint8_t> OnWire(std::vector<std::uint8_t> f) {
    while (f.size() < 60) f.push_back(0x20);
    return f;
}

class LifecycleE2E : public ::testing::TestWithParam<KindCase> {};

TEST_P(LifecycleE2E, ExchangesFramesSurvivesAResetAndHaltsClean) {
    test::DriverUnderTest driver;
    sim::Host host;
    ASSERT_EQ(driver.load(host), 0u);

    hw::BoardConfig mine;
    mine.kind = GetParam().kind;
    mine.station = {0x02, 0x00, 0x00, 0x00, 0x0A, 0x01};
    if (mine.kind == hw::BoardKind::Mca) mine.pos_data1 = 0x4A;  // 0x320, interrupt 5
    hw::BoardConfig peer;
    peer.kind = hw::BoardKind::Isa16;
    peer.io_base = 0x360;
    peer.irq = 10;
    peer.station = {0x02, 0x00, 0x00, 0x00, 0x0B, 0x02};

    hw::Ne2000Board& card_a = host.add_card(mine);
    hw::Ne2000Board& card_b = host.add_card(peer);
    ASSERT_EQ(host.initialize(host.config_for(card_a)), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(host.initialize(host.config_for(card_b)), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = host.adapter(0);
    sim::Adapter& b = host.adapter(1);
    sim::RecordingProtocol pa, pb;
    pa.transfer_pieces = {100, 0, 37};  // uneven destination buffers
    a.bind(pa);
    b.bind(pb);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    ASSERT_EQ(a.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4), NDIS_STATUS_SUCCESS);

    const sim::MacAddress ma = a.station_address(), mb = b.station_address();
    const std::size_t sizes[] = {60, 42, 61, 255, 256, 257, 590, 1000, 1513, 1514};
    std::vector<std::vector<std::uint8_t>> to_b, to_a;
    std::uint32_t seq = 0;

    auto exchange = [&](int rounds) {
        for (int r = 0; r < rounds; r++) {
            for (std::size_t len : sizes) {
                to_b.push_back(MakeFrame(mb, ma, len, seq++));
                pa.send(a, to_b.back(), {14, len / 3, 0, len - 14 - len / 3});
                to_a.push_back(MakeFrame(ma, mb, len, seq++));
                pb.send(b, to_a.back());
                host.run_for(200 * hw::kMicrosecond);
            }
        }
        host.run_until_idle();
        // Every frame completed with success arrived, in order, byte for byte.
        ASSERT_EQ(pb.frames().size(), to_b.size());
        ASSERT_EQ(pa.frames().size(), to_a.size());
        for (std::size_t i = 0; i < to_b.size(); i++) EXPECT_EQ(pb.frames()[i].bytes, OnWire(to_b[i]));
        for (std::size_t i = 0; i < to_a.size(); i++) EXPECT_EQ(pa.frames()[i].bytes, OnWire(to_a[i]));
    };

    exchange(3);

    // A reset in the middle of traffic: frames queued or in the slots may be
    // lost (queued ones come back aborted); the adapter carries on.
    for (int i = 0; i < 4; i++) pa.send(a, MakeFrame(mb, ma, 1514, seq++));
    ASSERT_EQ(a.reset(), NDIS_STATUS_SUCCESS);
    host.run_until_idle();
    pa.clear_frames();
    pb.clear_frames();
    to_a.clear();
    to_b.clear();
    exchange(2);

    // Every packet completed exactly once; queued ones at the reset aborted.
    for (const auto* proto : {&pa, &pb}) {
        for (const auto& s : proto->sent()) {
            EXPECT_EQ(s.completions, 1u);
            ASSERT_TRUE(s.completion.has_value());
            EXPECT_TRUE(*s.completion == NDIS_STATUS_SUCCESS ||
                        *s.completion == NDIS_STATUS_REQUEST_ABORTED);
        }
    }
    EXPECT_GT(a.query_ulong(OID_GEN_XMIT_OK).value_or(0), 0u);
    EXPECT_GT(a.query_ulong(OID_GEN_RCV_OK).value_or(0), 0u);

    a.halt();
    b.halt();
    EXPECT_TRUE(host.leaked_allocations().empty());
    EXPECT_TRUE(host.live_mappings().empty());
    EXPECT_TRUE(host.live_port_ranges().empty());
    EXPECT_TRUE(host.never_completed().empty());
    EXPECT_EQ(host.double_completions(), 0u);
    EXPECT_EQ(host.allocations_after_initialize(), 0u);
    EXPECT_TRUE(host.problems().empty()) << (host.problems().empty() ? "" : host.problems()[0]);
    EXPECT_TRUE(host.error_log().empty());
    EXPECT_EQ(card_a.misuse().total(), 0u);
    EXPECT_EQ(card_b.misuse().total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BoardKinds, LifecycleE2E,
                         ::testing::Values(KindCase{"Isa16", hw::BoardKind::Isa16},
                                           KindCase{"Isa8", hw::BoardKind::Isa8},
                                           KindCase{"PcCard", hw::BoardKind::PcCard},
                                           KindCase{"Mca", hw::BoardKind::Mca}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
