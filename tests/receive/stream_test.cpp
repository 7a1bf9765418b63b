// End to end through the wrapper: a long stream of frames across many ring
// wraps, and a flood that overruns the ring.
#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "tests/receive/rx_fixture.h"

using namespace rx_test;

namespace {

// Mixed sizes from 60 to 1514, the extremes included.
std::size_t SizeFor(std::uint32_t i) {
    static const std::size_t fixed[] = {60, 1514, 61, 1513, 255, 256, 257, 508, 509, 1000};
    if (i < 10) return fixed[i];
    std::uint32_t x = i * 2246822519u + 3266489917u;
    x ^= x >> 15;
    return 60 + x % (1514 - 60 + 1);
}

// Frames come in bursts at wire speed while the driver drains: all arrive,
// byte for byte and in order, and the ring wraps many times.
TEST(RxStream, MixedSizesAcrossManyWrapsArriveInOrder) {
    struct Case {
        hw::BoardKind kind;
        int bursts, burst;
        std::vector<std::size_t> transfer_pieces;
    } cases[] = {
        {hw::BoardKind::Isa16, 40, 8, {}},
        {hw::BoardKind::Isa16, 30, 6, {7, 0, 100, 1}},
        {hw::BoardKind::Isa8, 60, 2, {}},
        {hw::BoardKind::PcCard, 40, 8, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        RxFixture t(c.kind);
        t.proto.transfer_pieces = c.transfer_pieces;
        t.wa().keep_indications(false);
        std::vector<Bytes> sent;
        std::size_t pages = 0;
        std::uint32_t seq = 0;
        for (int b = 0; b < c.bursts; b++) {
            std::vector<Bytes> burst;
            for (int i = 0; i < c.burst; i++, seq++) {
                burst.push_back(t.MakeFrame(SizeFor(seq), seq));
                pages += (burst.back().size() + 8 + 255) / 256;
            }
            t.InjectAll(burst);
            sent.insert(sent.end(), burst.begin(), burst.end());
        }
        std::size_t ring_pages = t.rec().RxStopPage - t.rec().RxFirstPage;
        EXPECT_GE(pages / ring_pages, 10u) << "ring wraps";
        ASSERT_EQ(t.proto.frames().size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); i++) {
            ASSERT_EQ(t.proto.frames()[i].bytes, sent[i]) << "frame " << i;
            ASSERT_EQ(t.proto.frames()[i].transfer_status, NDIS_STATUS_SUCCESS);
        }
        EXPECT_EQ(t.rec().RcvOkCount, sent.size());
        EXPECT_EQ(t.rec().MissedPacketCount, 0u);
        EXPECT_TRUE(t.host().error_log().empty());
        t.ExpectClean();
    }
}

// Back-to-back maximal frames faster than the 8-bit card can be drained,
// and a batch that lands while the card is held off: the ring overruns,
// is recovered, and every frame either arrives whole and in order or is
// counted as missed. Traffic then continues.
TEST(RxStream, FloodOverrunsTheRingAndRecovers) {
    struct Case {
        hw::BoardKind kind;
        bool held_off;
        int count;
    } cases[] = {
        {hw::BoardKind::Isa8, false, 60},
        {hw::BoardKind::Isa16, true, 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        RxFixture t(c.kind);
        t.wa().keep_indications(false);
        std::vector<Bytes> flood;
        for (int i = 0; i < c.count; i++) flood.push_back(t.MakeFrame(1514 - (i % 3), 1000 + i));
        if (c.held_off) t.Mask();
        t.fx.StartTrace();
        t.InjectAll(flood);
        if (c.held_off) t.Unmask();

        // What arrived is an in-order subsequence of what was sent, whole.
        std::size_t next = 0;
        for (const auto& got : t.proto.frames()) {
            while (next < flood.size() && flood[next] != got.bytes) next++;
            ASSERT_LT(next, flood.size()) << "a frame arrived damaged or out of order";
            next++;
        }
        std::size_t arrived = t.proto.frames().size();
        EXPECT_LT(arrived, flood.size()) << "the ring was expected to overrun";
        EXPECT_GT(arrived, 0u);
        // Frames are missed and counted while the receiver is disabled or
        // in loopback; while the controller is stopped for a recovery (2 ms,
        // under two frame times) they are missed uncounted.
        unsigned stops = t.fx.CountWrites(NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0);
        t.fx.StopTrace();
        EXPECT_GT(stops, 0u);
        EXPECT_LE(arrived + t.rec().MissedPacketCount, flood.size());
        EXPECT_GE(arrived + t.rec().MissedPacketCount + 2 * stops, flood.size());
        EXPECT_EQ(t.rec().OverflowPending, 0);
        EXPECT_EQ(t.card().regs().tcr, TCR_NORMAL);
        EXPECT_FALSE(t.card().receive_disabled());

        // Paced traffic afterwards arrives in full.
        t.proto.clear_frames();
        for (int i = 0; i < 10; i++) {
            Bytes f = t.MakeFrame(SizeFor(i), 5000 + i);
            t.Inject(f);
            ASSERT_EQ(t.proto.frames().size(), static_cast<std::size_t>(i + 1));
            EXPECT_EQ(t.proto.frames().back().bytes, f);
        }
        EXPECT_TRUE(t.host().error_log().empty());
        t.ExpectClean();
    }
}

}  // namespace
