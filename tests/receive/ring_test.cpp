// The ring drain, the header check and the indication, on the emulated card
// through the wrapper (header checks also called directly).
#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "tests/receive/rx_fixture.h"

using namespace rx_test;
using ne2k_test::RegAccess;

namespace {

const hw::BoardKind kBoth[] = {hw::BoardKind::Isa16, hw::BoardKind::Isa8};

TEST(RxDrain, EmptyRingReadsCurrentTwiceAndCompletesNothing) {
    RxFixture t;
    t.fx.StartTrace();
    t.RaiseIsr(ISR_PRX);
    t.host().run_until_idle();
    // Two stable reads of CURR, each of two readings on page 1.
    EXPECT_EQ(t.fx.CountWrites(NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE1), 4u);
    EXPECT_EQ(t.wa().counters().deferred_runs, 1u);
    EXPECT_EQ(t.wa().counters().indications, 0u);
    EXPECT_EQ(t.wa().counters().indicate_completes, 0u);
    EXPECT_EQ(t.rec().IsrBits & (ISR_PRX | ISR_RXE), 0);
    t.ExpectClean();
}

// The budget: a stop after every eleventh frame taken, counted across passes.
TEST(RxDrain, BudgetOfElevenFramesCountedAcrossPasses) {
    RxFixture t;
    auto batch = [&](int n, std::uint32_t seed) {
        std::vector<Bytes> frames;
        for (int i = 0; i < n; i++) frames.push_back(t.MakeFrame(60 + 10 * i, seed + i));
        t.proto.events.clear();
        t.Mask();
        t.InjectAll(frames);
        t.Unmask();
    };

    batch(11, 100);
    EXPECT_EQ(t.proto.events, "RRRRRRRRRRRC");  // then an empty pass: no completion
    EXPECT_EQ(t.rec().RxBurstCount, 0u);
    EXPECT_EQ(t.wa().counters().deferred_runs, 1u);

    batch(5, 200);
    EXPECT_EQ(t.proto.events, "RRRRRC");
    EXPECT_EQ(t.rec().RxBurstCount, 5u);

    batch(7, 300);
    EXPECT_EQ(t.proto.events, "RRRRRRC" "RC");  // budget stop after 6, then the rest
    EXPECT_EQ(t.rec().RxBurstCount, 1u);

    EXPECT_EQ(t.proto.frames().size(), 23u);
    EXPECT_EQ(t.rec().RcvOkCount, 23u);
    t.ExpectClean();
}

// Lengths: a frame is taken for 60..1514 bytes; anything else resynchronises
// to CURR and drops the good frame placed behind it as well.
TEST(RxDrain, LengthLimitsAndTinyCounts) {
    struct Case {
        const char* name;
        int len;    // frame bytes stored
        int count;  // count written in the header, -1: len + 4
        bool taken;
    } cases[] = {
        {"len 59", 59, -1, false},   {"len 60", 60, -1, true},
        {"len 1514", 1514, -1, true}, {"len 1515", 1515, -1, false},
        {"count 0", 60, 0, false},    {"count 1", 60, 1, false},
        {"count 2", 60, 2, false},    {"count 3", 60, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RxFixture t;
        t.Mask();
        Placed p;
        p.count = c.count;
        t.Place(t.MakeFrame(c.len, 1), p);
        Bytes good = t.MakeFrame(100, 2);
        t.Place(good);
        t.RaiseIsr(ISR_PRX);
        t.Unmask();
        EXPECT_EQ(t.wa().counters().indications, c.taken ? 2u : 0u);
        EXPECT_EQ(t.rec().RcvOkCount, c.taken ? 2u : 0u);
        EXPECT_EQ(t.rec().RxNextPage, t.card().regs().curr);
        if (c.taken) {
            ASSERT_EQ(t.proto.frames().size(), 2u);
            EXPECT_EQ(t.proto.frames()[0].bytes.size(), static_cast<std::size_t>(c.len));
            EXPECT_EQ(t.proto.frames()[1].bytes, good);
        }
        t.ExpectClean();
    }
}

// The header check on its own: the window as it lies in card RAM at
// RxNextPage, and what Ne2000PacketOK makes of it.
struct HeaderCase {
    const char* name;
    Bytes window;        // bytes at the header's page (header, then frame)
    int next_page_rel;   // RxNextPage relative to RxFirstPage; -1: the last ring page
    bool ok;
    int shift;           // data address = H + 4 + shift
    Bytes header;        // RxHeader as accepted (empty: not checked)
};

void RunHeaderCases(hw::BoardKind kind, const std::vector<HeaderCase>& cases) {
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        RxFixture t(kind);
        t.Mask();
        AdapterRecord& r = t.rec();
        r.RxNextPage = static_cast<UCHAR>(c.next_page_rel < 0 ? r.RxStopPage - 1
                                                              : r.RxFirstPage + c.next_page_rel);
        std::uint32_t h = r.RxRingAddress + (r.RxNextPage - r.RxFirstPage) * 256u;
        Bytes w = c.window;
        w.resize(16, 0x00);
        t.card().poke_block(static_cast<std::uint16_t>(h), w.data(), w.size());
        EXPECT_EQ(Ne2000PacketOK(&r), c.ok ? TRUE : FALSE);
        EXPECT_EQ(r.RxDataAddress, h + 4 + c.shift);
        if (!c.header.empty()) {
            EXPECT_EQ(Bytes(r.RxHeader, r.RxHeader + 4), c.header);
        }
        t.ExpectClean();
    }
}

TEST(RxHeader, ChecksOnSixteenBitCard) {
    // Ring 0x4C..0x80; RxNextPage 0x4D unless said otherwise.
    const std::uint8_t d = 0x02;  // an individual destination
    RunHeaderCases(hw::BoardKind::Isa16, {
        {"good", {0x01, 0x4F, 0x40, 0x01, d, 0}, 1, true, 0, {0x01, 0x4F, 0x40, 0x01}},
        {"next at stop page passes", {0x01, 0x80, 0x40, 0x01, d, 0}, 1, true, 0, {}},
        {"next above stop page fails", {0x01, 0x81, 0x40, 0x01, d, 0}, 1, false, 0, {}},
        {"next below first page fails", {0x01, 0x4B, 0x40, 0x01, d, 0}, 1, false, 0, {}},
        // 0x40 0x40 with the next frame six pages on: high 5, len 1340.
        {"equal bytes repaired", {0x01, 0x53, 0x40, 0x40, d, 0}, 1, true, 0,
         {0x01, 0x53, 0x40, 0x05}},
        // A frame that wraps past the last ring page: the distance is taken
        // around the ring (0x7E -> 0x50 is six pages).
        {"equal bytes, wrapping frame", {0x01, 0x50, 0x40, 0x40, d, 0}, 0x7E - 0x4C, true, 0,
         {0x01, 0x50, 0x40, 0x05}},
        // Low byte above 0xFC: header and CRC reach one more page, high = d - 2.
        {"equal bytes, low 0xFE", {0x01, 0x53, 0xFE, 0xFE, d, 0}, 1, true, 0,
         {0x01, 0x53, 0xFE, 0x04}},
        {"equal bytes, low 0xFE wrapping", {0x01, 0x4F, 0xFE, 0xFE, d, 0}, 0x7D - 0x4C, true, 0,
         {0x01, 0x4F, 0xFE, 0x04}},
        // A repair that gives no plausible length is put back.
        {"equal bytes, no fit", {0x01, 0x4D, 0x40, 0x40, d, 0}, 1, false, 0,
         {0x01, 0x4D, 0x40, 0x40}},
        // One stray word ahead of the header: taken at the shifted position.
        {"stray word", {0xA5, 0xA5, 0x01, 0x4F, 0x40, 0x01}, 1, true, 2, {0x01, 0x4F, 0x40, 0x01}},
        // Position 0 fails on its length alone (status and next page would
        // pass): the shifted position is taken.
        {"stray word, position 0 fails on length only", {0x01, 0x4D, 0x01, 0x4F, 0x40, 0x01}, 1,
         true, 2, {0x01, 0x4F, 0x40, 0x01}},
        // A bad status at both positions: taken at position 0 all the same.
        {"crc error", {0x03, 0x4F, 0x40, 0x01, d, 0}, 1, true, 0, {0x03, 0x4F, 0x40, 0x01}},
        // Group status with an individual destination: shifted position is
        // tried, fails, and position 0 is taken.
        {"phy with even destination", {0x21, 0x4F, 0x40, 0x01, d, 0}, 1, true, 0,
         {0x21, 0x4F, 0x40, 0x01}},
        {"all ones", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1, false, 0, {}},
    });
}

TEST(RxHeader, ChecksOnEightBitCard) {
    // Ring 0x2C..0x40; RxNextPage 0x2D unless said otherwise.
    RunHeaderCases(hw::BoardKind::Isa8, {
        {"good", {0x01, 0x2F, 0x40, 0x01, 0x02, 0}, 1, true, 0, {0x01, 0x2F, 0x40, 0x01}},
        {"stray byte", {0xA5, 0x01, 0x2F, 0x40, 0x01, 0x02}, 1, true, 1,
         {0x01, 0x2F, 0x40, 0x01}},
    });
}

// A group status with an individual destination moves the check to the
// shifted position, which is taken when it is good there. Ring pages are
// widened so that a shifted status byte can also be a page number.
TEST(RxHeader, GroupStatusWithIndividualDestinationTriesShiftedPosition) {
    struct Case {
        std::uint8_t dest0;
        int shift;
        Bytes header;
    } cases[] = {
        {0x02, 1, {0x01, 0x30, 0x01, 0x02}},  // even: shifted header taken
        {0x03, 0, {0x21, 0x01, 0x30, 0x01}},  // odd (group): position 0 good
    };
    for (const Case& c : cases) {
        RxFixture t(hw::BoardKind::Isa8);
        t.Mask();
        AdapterRecord& r = t.rec();
        r.RxFirstPage = 0x00;
        r.RxStopPage = 0xFF;
        r.RxRingAddress = 0x0000;
        r.RxNextPage = 0x30;
        Bytes w = {0x21, 0x01, 0x30, 0x01, c.dest0, 0x00};
        t.card().poke_block(0x3000, w.data(), w.size());
        EXPECT_TRUE(Ne2000PacketOK(&r));
        EXPECT_EQ(r.RxDataAddress, 0x3004u + c.shift);
        EXPECT_EQ(Bytes(r.RxHeader, r.RxHeader + 4), c.header);
        t.ExpectClean();
    }
}

// The page arithmetic of the indication: the next frame lies high + 1 or
// high + 2 pages on; + 3 is refused and the ring resynchronised. A refused
// frame still counts as received.
TEST(RxIndicate, NextPageMustFollowFromHighByte) {
    struct Case {
        int claimed;  // pages on from the frame's page
        bool indicated;
    } cases[] = {{1, true}, {2, true}, {3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.claimed);
        RxFixture t;
        t.Mask();
        Bytes f = t.MakeFrame(100, 7);  // one page: high byte 0
        int page = t.rec().RxNextPage;
        Placed p;
        p.next = page + c.claimed;
        t.Place(f, p, page);
        Bytes second = t.MakeFrame(80, 8);
        t.Place(second, {}, page + c.claimed);
        t.card().regs().curr = static_cast<std::uint8_t>(t.NextPageFor(page + c.claimed, 84));
        t.RaiseIsr(ISR_PRX);
        t.Unmask();
        EXPECT_EQ(t.wa().counters().indications, c.indicated ? 2u : 0u);
        EXPECT_EQ(t.rec().RcvOkCount, 1u + (c.indicated ? 1u : 0u));
        EXPECT_EQ(t.rec().RxNextPage, t.card().regs().curr);
        if (c.indicated) {
            EXPECT_EQ(t.proto.frames().at(1).bytes, second);
        }
        t.ExpectClean();
    }
}

// A next page equal to the stop page is accepted by the indication's range
// test (it can follow from the arithmetic only on a small ring). The drain
// then finds nothing readable there and resynchronises to CURR.
TEST(RxIndicate, NextPageEqualToStopPageIsIndicated) {
    RxFixture t;
    t.proto.transfer = false;
    t.Mask();
    AdapterRecord& r = t.rec();
    // Shrink the ring to pages 0x7C..0x7F on both sides.
    r.RxFirstPage = 0x7C;
    r.RxRingAddress = 0x7C00;
    t.card().regs().pstart = 0x7C;
    r.RxNextPage = 0x7F;
    t.card().regs().bnry = 0x7E;
    // high 4: expected 0x7F + 5 = 0x84, less the 4-page ring = 0x80.
    Placed p;
    p.next = 0x80;
    p.count = 0x4F0;
    t.Place(t.MakeFrame(200, 3), p, 0x7F);
    t.card().regs().curr = 0x7C;
    t.RaiseIsr(ISR_PRX);
    t.Unmask();
    ASSERT_EQ(t.wa().counters().indications, 1u);
    EXPECT_EQ(t.wa().indications()[0].packet_size, 0x4F0u - 4 - 14);
    EXPECT_EQ(r.RxNextPage, 0x7C);
    EXPECT_EQ(r.RcvOkCount, 1u);
    t.ExpectClean();
}

// Equal count bytes as the card delivers them (the high byte replaced by the
// low one): repaired, indicated and transferred whole, also for a frame that
// wraps past the last ring page and for a low byte above 0xFC.
TEST(RxIndicate, EqualCountBytesAreRepaired) {
    struct Case {
        const char* name;
        int len;
        int start_page;  // -1: where the ring stands
    } cases[] = {
        {"0x40 0x40", 1340, -1},
        {"0x40 0x40 wrapping", 1340, 0x7D},
        {"low 0xFE", 0x4FE - 4, -1},
        {"low 0xFE wrapping", 0x4FE - 4, 0x7E},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RxFixture t;
        t.Mask();
        if (c.start_page >= 0) {
            t.card().regs().curr = static_cast<std::uint8_t>(c.start_page);
            t.card().regs().bnry = static_cast<std::uint8_t>(c.start_page - 1);
            t.rec().RxNextPage = static_cast<UCHAR>(c.start_page);
        }
        t.card().faults().count_high_is_low = 1;
        Bytes f = t.MakeFrame(c.len, 9);
        t.Inject(f);
        t.Unmask();
        ASSERT_EQ(t.proto.frames().size(), 1u);
        EXPECT_EQ(t.proto.frames()[0].bytes, f);
        EXPECT_EQ(t.rec().RxNextPage, t.card().regs().curr);
        t.ExpectClean();
    }
}

// One stray byte (8-bit card) or word (16-bit card) stored ahead of the
// header: the header is taken at the shifted position, the data address
// moves with it, and the frame arrives byte for byte. With 0x4D01 position
// 0 fails on its length alone.
TEST(RxIndicate, StrayBytesBeforeHeaderAreSkipped) {
    struct Case {
        hw::BoardKind kind;
        std::uint16_t stray;
    } cases[] = {{hw::BoardKind::Isa8, 0xA5A5},
                 {hw::BoardKind::Isa16, 0xA5A5},
                 {hw::BoardKind::Isa16, 0x4D01}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stray);
        RxFixture t(c.kind);
        t.card().faults().stray_before_header = 1;
        t.card().faults().stray_value = c.stray;
        UCHAR page = t.rec().RxNextPage;
        Bytes f = t.MakeFrame(200, 5);
        t.Inject(f);
        std::uint32_t h = t.rec().RxRingAddress + (page - t.rec().RxFirstPage) * 256u;
        unsigned shift = t.byte_wide() ? 1 : 2;
        EXPECT_EQ(t.rec().RxDataAddress, h + 4 + shift);
        ASSERT_EQ(t.proto.frames().size(), 1u);
        EXPECT_EQ(t.proto.frames()[0].bytes, f);
        EXPECT_EQ(t.rec().RxNextPage, t.card().regs().curr);
        t.ExpectClean();
    }
}

// Exactly min(len, lookahead + 14) bytes go to RxLookahead, in one read.
TEST(RxIndicate, LookaheadIsCutToTheFrame) {
    struct Case {
        int len;
        ULONG lookahead;
        unsigned indicated;  // lookahead size given to the protocols
    } cases[] = {{100, 238, 86}, {300, 238, 238}, {300, 100, 100}, {60, 238, 46}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        RxFixture t;
        t.proto.transfer = false;
        t.rec().LookaheadSize = c.lookahead;
        t.Mask();
        t.Inject(t.MakeFrame(c.len, 4));
        std::uint64_t before = t.host().port_stats(&t.card()).data_bytes;
        t.Unmask();
        ASSERT_EQ(t.wa().counters().indications, 1u);
        EXPECT_EQ(t.wa().indications()[0].lookahead.size(), c.indicated);
        EXPECT_EQ(t.wa().indications()[0].packet_size, static_cast<unsigned>(c.len - 14));
        // The 6-byte header window and the lookahead copy.
        EXPECT_EQ(t.host().port_stats(&t.card()).data_bytes - before, 6u + 14u + c.indicated);
        t.ExpectClean();
    }
}

}  // namespace
