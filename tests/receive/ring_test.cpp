// The ring drain, the header check and the indication, through the wrapper
// on the emulated card (header checks also called directly), and streams
// of frames across many ring wraps and overruns.
#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "tests/support/rig.h"

namespace {

using rig::Bytes;

// The budget: a stop after every eleventh frame taken, counted across passes.
TEST(RxDrain, BudgetOfElevenFramesCountedAcrossPasses) {
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    struct Batch { int frames; const char* events; ULONG burst; } batches[] = {
        {11, "RRRRRRRRRRRC", 0}, {5, "RRRRRC", 5}, {7, "RRRRRRC" "RC", 1}};
    for (const Batch& b : batches) {
        r.proto.events.clear();
        r.Mask();
        for (int i = 0; i < b.frames; i++) r.Inject(rig::kToStation, 60 + 10 * i);
        r.Run();
        r.Unmask();
        EXPECT_EQ(r.proto.events, b.events);
        EXPECT_EQ(r.rec->RxBurstCount, b.burst);
    }
    EXPECT_EQ(r.rec->RcvOkCount, 23u);
    EXPECT_EQ(r.Check(), "");
}

// A frame is taken for 60..1514 bytes; anything else resynchronises to
// CURR, dropping the good frame behind it as well.
TEST(RxDrain, LengthLimitsAndTinyCounts) {
    struct Case { std::size_t len; int count; bool taken; } cases[] = {
        {59, -1, false}, {60, -1, true}, {1514, -1, true}, {1515, -1, false},
        {60, 0, false}, {60, 1, false}, {60, 2, false}, {60, 3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.len << " bytes, count " << c.count);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.Mask();
        r.Place(c.len, {-1, -1, c.count});
        Bytes good = r.Place(100);
        r.card.core().raise_isr(ISR_PRX);
        r.Unmask();
        EXPECT_EQ(r.proto.frames().size(), c.taken ? 2u : 0u);
        EXPECT_EQ(r.rec->RcvOkCount, c.taken ? 2u : 0u);
        r.allow_rx_loss = !c.taken;
        EXPECT_EQ(r.Check(), "");
    }
}

// Ne2000PacketOK on the window at RxNextPage: the header as accepted, where
// the data starts (a stray byte or word ahead of the header shifts it), and
// equal count bytes repaired from the distance to the next page.
struct HeaderCase {
    const char* name;
    Bytes window;  // bytes at the header's page
    int page;      // RxNextPage relative to RxFirstPage; -1: the last ring page
    bool ok;
    int shift;     // data address = header + 4 + shift
    Bytes header;  // RxHeader as accepted (empty: not checked)
};

void RunHeaderCases(hw::BoardKind kind, const std::vector<HeaderCase>& cases, UCHAR first = 0, UCHAR stop = 0) {
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        rig::Rig r(kind);
        ASSERT_TRUE(r.Init());
        r.Mask();
        AdapterRecord& a = *r.rec;
        if (stop) {  // a ring wide enough that a shifted status byte can be a page number
            a.RxFirstPage = first;
            a.RxStopPage = stop;
            a.RxRingAddress = first * 256u;
        }
        a.RxNextPage = UCHAR(c.page < 0 ? a.RxStopPage - 1 : a.RxFirstPage + c.page);
        std::uint32_t h = a.RxNextPage * 256u;
        Bytes w = c.window;
        w.resize(16, 0x00);
        r.card.poke_block(std::uint16_t(h), w.data(), w.size());
        EXPECT_EQ(Ne2000PacketOK(&a), c.ok ? TRUE : FALSE);
        EXPECT_EQ(a.RxDataAddress, h + 4 + c.shift);
        if (!c.header.empty()) { EXPECT_EQ(Bytes(a.RxHeader, a.RxHeader + 4), c.header); }
        EXPECT_EQ(r.card.misuse().total(), 0u);
    }
}

TEST(RxHeader, ChecksOnEachDataPath) {
    const std::uint8_t d = 0x02;  // an individual destination
    // Ring 0x4C..0x80.
    RunHeaderCases(hw::BoardKind::Isa16, {
        {"good", {0x01, 0x4F, 0x40, 0x01, d}, 1, true, 0, {0x01, 0x4F, 0x40, 0x01}},
        {"next at the stop page passes", {0x01, 0x80, 0x40, 0x01, d}, 1, true, 0, {}},
        {"next above the stop page fails", {0x01, 0x81, 0x40, 0x01, d}, 1, false, 0, {}},
        {"next below the first page fails", {0x01, 0x4B, 0x40, 0x01, d}, 1, false, 0, {}},
        {"equal bytes repaired: six pages on", {0x01, 0x53, 0x40, 0x40, d}, 1, true, 0, {0x01, 0x53, 0x40, 0x05}},
        {"equal bytes, wrapping frame", {0x01, 0x50, 0x40, 0x40, d}, 0x7E - 0x4C, true, 0, {0x01, 0x50, 0x40, 0x05}},
        // Up to low byte 0xFC header and count end within high + 1 pages;
        // above it, header and CRC reach one more page.
        {"equal bytes, low 0xFC", {0x01, 0x52, 0xFC, 0xFC, d}, 1, true, 0, {0x01, 0x52, 0xFC, 0x04}},
        {"equal bytes, low 0xFE", {0x01, 0x53, 0xFE, 0xFE, d}, 1, true, 0, {0x01, 0x53, 0xFE, 0x04}},
        {"equal bytes, low 0xFE wrapping", {0x01, 0x4F, 0xFE, 0xFE, d}, 0x7D - 0x4C, true, 0, {0x01, 0x4F, 0xFE, 0x04}},
        {"equal bytes, no repair fits", {0x01, 0x4D, 0x40, 0x40, d}, 1, false, 0, {0x01, 0x4D, 0x40, 0x40}},
        {"stray word", {0xA5, 0xA5, 0x01, 0x4F, 0x40, 0x01}, 1, true, 2, {0x01, 0x4F, 0x40, 0x01}},
        {"stray word, position 0 fails on length only", {0x01, 0x4D, 0x01, 0x4F, 0x40, 0x01}, 1, true, 2,
         {0x01, 0x4F, 0x40, 0x01}},
        {"bad status at both positions: position 0", {0x03, 0x4F, 0x40, 0x01, d}, 1, true, 0, {0x03, 0x4F, 0x40, 0x01}},
        {"group status, individual destination", {0x21, 0x4F, 0x40, 0x01, d}, 1, true, 0, {0x21, 0x4F, 0x40, 0x01}},
        {"all ones", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1, false, 0, {}},
    });
    // Ring 0x2C..0x40.
    RunHeaderCases(hw::BoardKind::Isa8, {
        {"good", {0x01, 0x2F, 0x40, 0x01, d}, 1, true, 0, {0x01, 0x2F, 0x40, 0x01}},
        {"stray byte", {0xA5, 0x01, 0x2F, 0x40, 0x01, d}, 1, true, 1, {0x01, 0x2F, 0x40, 0x01}},
    });
    // A group status with an individual destination tries the shifted
    // position, taken when good there.
    RunHeaderCases(hw::BoardKind::Isa8, {
        {"even destination: shifted", {0x21, 0x01, 0x30, 0x01, 0x02}, 0x30, true, 1, {0x01, 0x30, 0x01, 0x02}},
        {"odd destination: position 0", {0x21, 0x01, 0x30, 0x01, 0x03}, 0x30, true, 0, {0x21, 0x01, 0x30, 0x01}},
    }, 0x00, 0xFF);
}

// The next frame lies high + 1 or high + 2 pages on; + 3 is refused and the
// ring resynchronised (the frame still counts as received). A next page
// equal to the stop page passes the range test (it can follow from the
// arithmetic only on a small ring); the drain then resynchronises to CURR.
TEST(RxIndicate, NextPageMustFollowFromTheCount) {
    struct Case { int claimed; bool indicated; } cases[] = {{1, true}, {2, true}, {3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.claimed);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.Mask();
        int page = r.rec->RxNextPage;
        r.Place(100, {-1, page + c.claimed}, page);
        r.Place(80, {}, page + c.claimed);
        r.card.regs().curr = std::uint8_t(r.NextPage(page + c.claimed, 84));
        r.card.core().raise_isr(ISR_PRX);
        r.Unmask();
        EXPECT_EQ(r.proto.frames().size(), c.indicated ? 2u : 0u);
        EXPECT_EQ(r.rec->RcvOkCount, c.indicated ? 2u : 1u);
        r.allow_rx_loss = !c.indicated;
        EXPECT_EQ(r.Check(), "");
    }
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    r.proto.transfer = false;
    r.Mask();
    r.rec->RxFirstPage = 0x7C;  // a ring of pages 0x7C..0x7F on both sides
    r.rec->RxRingAddress = 0x7C00;
    r.card.regs().pstart = 0x7C;
    r.rec->RxNextPage = 0x7F;
    r.card.regs().bnry = 0x7E;
    r.Place(200, {-1, 0x80, 0x4F0}, 0x7F);  // high 4: 0x7F + 5 - 4 = 0x80
    r.card.regs().curr = 0x7C;
    r.card.core().raise_isr(ISR_PRX);
    r.Unmask();
    ASSERT_EQ(r.adapter->indications().size(), 1u);
    EXPECT_EQ(r.adapter->indications()[0].packet_size, 0x4F0u - 4 - 14);
    EXPECT_EQ(r.rec->RxNextPage, 0x7C);
    EXPECT_EQ(r.rec->RcvOkCount, 1u);
}

}  // namespace
