// Register sequences of the interrupt, receive and transmit paths, on the
// emulated card: values, write order where it is fixed, and every bounded
// loop with the fault that makes it run to its bound.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/card_fixture.h"

using namespace ne2k_test;

namespace {

std::vector<UCHAR> ReadingsOf(const std::vector<RegAccess>& trace, unsigned offset) {
    std::vector<UCHAR> out;
    for (const RegAccess& a : trace)
        if (!a.write && a.offset == offset) out.push_back((UCHAR)a.value);
    return out;
}

TEST(CardRegisters, SetBoundaryNamesThePageBeforeTheNextFrame) {
    struct Case { UCHAR next, bnry; } cases[] = {{0x4C, 0x7F}, {0x50, 0x4F}, {0x4D, 0x4C}, {0x7F, 0x7E}};
    for (const Case& c : cases) {
        CardFixture f;
        ASSERT_TRUE(f.Setup());
        f.adapter().RxNextPage = c.next;
        f.StartTrace();
        CardSetBoundary(&f.adapter());
        EXPECT_EQ(f.Trace(), (std::vector<RegAccess>{W(NIC_BNRY, c.bnry)})) << int(c.next);
    }
}

TEST(CardRegisters, StartXmitProgramsPageAndCountHighByteFirst) {
    struct Case { ULONG length, index; UCHAR tpsr, high, low; } cases[] = {
        {42, 0, 0x40, 0x00, 0x3C}, {1514, 6, 0x46, 0x05, 0xEA}, {60, 11, 0x4B, 0x00, 0x3C},
        {256, 3, 0x43, 0x01, 0x00}};
    for (const Case& c : cases) {
        CardFixture f;
        ASSERT_TRUE(f.Setup());
        f.adapter().TxActiveIndex = c.index;
        f.adapter().TxSlotLength[c.index] = c.length;
        f.StartTrace();
        CardStartXmit(&f.adapter());
        EXPECT_EQ(f.Trace(), (std::vector<RegAccess>{R(NIC_CR, 0x22), W(NIC_ISR, 0x0A),
                                                     W(NIC_TPSR, c.tpsr), W(NIC_TBCR1, c.high),
                                                     W(NIC_TBCR0, c.low), R(NIC_CR, 0x22),
                                                     W(NIC_CR, 0x26)}))
            << c.length;
    }
}

// A second start while the first frame is on the wire waits for it.
TEST(CardRegisters, StartXmitWaitsForTheFrameOnTheWire) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    f.adapter().TxActiveIndex = 0;
    f.adapter().TxSlotLength[0] = ETH_MAX_FRAME;
    CardStartXmit(&f.adapter());
    ASSERT_TRUE(f.card().transmitting());
    f.ResetStalls();
    CardStartXmit(&f.adapter());
    EXPECT_GT(f.StalledMicroseconds(), 0u);
    EXPECT_LT(f.StalledMicroseconds(), 10000u);
    EXPECT_EQ(f.card().misuse().total(), 0u);
}

TEST(CardRegisters, StartXmitGoesOnWhenTheTransmitterNeverIdles) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    f.card().faults().txp_stuck = true;
    f.adapter().TxActiveIndex = 2;
    f.adapter().TxSlotLength[2] = 100;
    f.ResetStalls();
    f.StartTrace();
    CardStartXmit(&f.adapter());
    std::vector<RegAccess> t = f.Trace();
    ASSERT_EQ(t.size(), 1001u + 6u);
    for (size_t i = 0; i < 1001; i++) ASSERT_EQ(t[i], R(NIC_CR, 0x26)) << i;
    EXPECT_EQ(std::vector<RegAccess>(t.begin() + 1001, t.end()),
              (std::vector<RegAccess>{W(NIC_ISR, 0x0A), W(NIC_TPSR, 0x42),
                                      W(NIC_TBCR1, 0x00), W(NIC_TBCR0, 100),
                                      R(NIC_CR, 0x26), W(NIC_CR, 0x26)}));
    EXPECT_EQ(f.StalledMicroseconds(), 10000u);
}

TEST(CardRegisters, HandleOverflowNotesACutOffTransmit) {
    struct Case { UCHAR isr_bits, live, tx_pending, resend_before, resend_after; bool reads_isr; } cases[] = {
        {0x00, 0x00, 1, 0, 1, true},  {0x01, 0x00, 1, 0, 1, true},  {0x00, 0x00, 0, 1, 0, true},
        {0x02, 0x00, 1, 0, 0, false}, {0x08, 0x00, 1, 0, 0, false}, {0x0A, 0x00, 1, 1, 1, false},
        {0x00, 0x02, 1, 0, 0, true},  {0x00, 0x08, 1, 0, 0, true}};
    for (const Case& c : cases) {
        CardFixture f;
        ASSERT_TRUE(f.Setup());
        AdapterRecord& a = f.adapter();
        a.IsrBits = c.isr_bits;
        a.TxInterruptPending = c.tx_pending;
        a.TxResendPending = c.resend_before;
        if (c.live) f.card().core().raise_isr(c.live);
        f.ResetStalls();
        f.StartTrace();
        SyncCardHandleOverflow(&a);
        std::vector<RegAccess> want{W(NIC_CR, 0x21), R(NIC_ISR, 0), W(NIC_RBCR1, 0),
                                    W(NIC_RBCR0, 0), W(NIC_TCR, 0x02), W(NIC_CR, 0x22)};
        if (!c.reads_isr) want.erase(want.begin() + 1);
        EXPECT_EQ(WithoutReadValues(f.Trace()), want) << int(c.isr_bits) << "/" << int(c.live);
        EXPECT_EQ(a.TxResendPending, c.resend_after);
        EXPECT_EQ(a.TxInterruptPending, 0);
        EXPECT_EQ(f.StalledMicroseconds(), 2000u);
        EXPECT_TRUE(f.card().running());
        EXPECT_EQ(f.card().regs().tcr, 0x02);
    }
}

TEST(CardRegisters, TalliesAddAsUnsignedBytesAndOnlyOnReceiveError) {
    struct Case { UCHAR isr_bits; std::array<UCHAR, 3> tally; ULONG before, after0, after1, after2; } cases[] = {
        {0x04, {0xFF, 0xFF, 0xFF}, 10, 265, 265, 265},
        {0x05, {1, 0x80, 0}, 10, 11, 138, 10},
        {0x00, {0xFF, 0xFF, 0xFF}, 10, 10, 10, 10},
        {0x11, {5, 5, 5}, 10, 10, 10, 10}};
    for (const Case& c : cases) {
        CardFixture f;
        ASSERT_TRUE(f.Setup());
        AdapterRecord& a = f.adapter();
        a.AlignmentErrorCount = a.CrcErrorCount = a.MissedPacketCount = c.before;
        for (int i = 0; i < 3; i++) f.card().regs().cntr[i] = c.tally[i];
        a.IsrBits = c.isr_bits;
        f.StartTrace();
        SyncCardAcknowledgeOverflow(&a);
        EXPECT_EQ(a.AlignmentErrorCount, c.after0);
        EXPECT_EQ(a.CrcErrorCount, c.after1);
        EXPECT_EQ(a.MissedPacketCount, c.after2);
        std::vector<RegAccess> want;
        if (c.isr_bits & 0x04)
            want = {R(0x0D, c.tally[0]), R(0x0E, c.tally[1]), R(0x0F, c.tally[2])};
        EXPECT_EQ(f.Trace(), want) << int(c.isr_bits);
    }
}

TEST(CardRegisters, GetCurrentReadsCurrTwiceOnPageOneAndReturnsToPageZero) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    f.StartTrace();
    SyncCardGetCurrent(&f.adapter());
    EXPECT_EQ(f.Trace(), (std::vector<RegAccess>{W(0, 0x62), R(NIC_CURR, 0x4D), W(0, 0x22), W(0, 0x62),
                                                 R(NIC_CURR, 0x4D), W(0, 0x22)}));
    EXPECT_EQ(f.adapter().RxCurrentPage, 0x4D);
}

// An unstable CURR ends the loop at 16 readings with the last one; a CURR
// that settles ends it on the first agreeing pair.
TEST(CardRegisters, GetCurrentIsBoundedWhenCurrNeverSettles) {
    for (int unstable : {hw::Faults::kAlways, 3}) {
        CardFixture f;
        ASSERT_TRUE(f.Setup());
        f.card().faults().curr_unstable = unstable;
        f.StartTrace();
        SyncCardGetCurrent(&f.adapter());
        std::vector<RegAccess> t = f.Trace();
        std::vector<UCHAR> readings = ReadingsOf(t, NIC_CURR);
        ASSERT_GE(readings.size(), 2u);
        ASSERT_EQ(t.size(), readings.size() * 3);
        for (size_t i = 0; i < t.size(); i += 3) {
            EXPECT_EQ(t[i], W(0, 0x62));
            EXPECT_EQ(t[i + 2], W(0, 0x22));
        }
        EXPECT_EQ(f.adapter().RxCurrentPage, readings.back());
        EXPECT_EQ(f.card().regs().cr_page, 0);
        if (unstable == hw::Faults::kAlways) {
            EXPECT_EQ(readings.size(), (size_t)STABLE_READ_LIMIT);
        } else {
            EXPECT_LT(readings.size(), (size_t)STABLE_READ_LIMIT);
            EXPECT_EQ(readings[readings.size() - 2], readings.back());
            EXPECT_EQ(readings.back(), 0x4D);
        }
    }
}

// ISR that changes between every two readings (toggled from an access
// hook): 16 readings, the last one kept. Changing three times: five.
TEST(CardRegisters, ReadPortUcharIsBoundedWhenThePortNeverSettles) {
    struct Case { int changes; size_t readings; } cases[] = {{1000, STABLE_READ_LIMIT}, {3, 5}, {0, 2}};
    for (const Case& c : cases) {
        CardFixture f;
        ASSERT_TRUE(f.Setup());
        int left = c.changes;
        f.OnAccess([&] {
            if (left-- > 0) f.card().regs().isr ^= 0x01;
        });
        f.StartTrace();
        UCHAR value = 0xEE;
        SyncCardReadPortUchar(f.adapter().IoPortBase + NIC_ISR, &value);
        f.OnAccess(nullptr);
        std::vector<UCHAR> readings = ReadingsOf(f.Trace(), NIC_ISR);
        EXPECT_EQ(readings.size(), c.readings) << c.changes;
        EXPECT_EQ(f.Trace().size(), readings.size());
        EXPECT_EQ(value, readings.back());
    }
}

}  // namespace
