// Register-level routines where their outcome depends on values: the
// overflow handling and its note of a cut-off transmission,
// the tallies, the hash the setup loads, copies through the remote DMA on
// both data paths, and the service routine held off the page-1 section.
// Their fixed register sequences are in the golden traces.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/rig.h"

namespace {

// The overflow handling notes a transmission it cut off (pending, with
// neither PTX nor TXE noted or live) for a resend; ISR is read only when
// the noted bits do not already tell.
TEST(CardRegisters, HandleOverflowNotesACutOffTransmit) {
    struct Case { UCHAR noted, live, pending, resend_before, resend_after; bool reads_isr; } cases[] = {
        {0x00, 0x00, 1, 0, 1, true},  {0x01, 0x00, 1, 0, 1, true},  {0x00, 0x00, 0, 1, 0, true},
        {0x02, 0x00, 1, 0, 0, false}, {0x08, 0x00, 1, 0, 0, false}, {0x0A, 0x00, 1, 1, 1, false},
        {0x00, 0x02, 1, 0, 0, true},  {0x00, 0x08, 1, 0, 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.noted) << "/" << int(c.live) << "/" << int(c.pending));
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        AdapterRecord& a = *r.rec;
        a.IsrBits = c.noted;
        a.TxInterruptPending = c.pending;
        a.TxResendPending = c.resend_before;
        r.Mask();  // the stop's stall would deliver the live bits otherwise
        if (c.live) r.card.core().raise_isr(c.live);
        r.Trace();
        SyncCardHandleOverflow(&a);
        EXPECT_EQ(r.Count(false, NIC_ISR), c.reads_isr ? 1u : 0u);
        EXPECT_EQ(a.TxResendPending, c.resend_after);
        EXPECT_EQ(a.TxInterruptPending, 0);
        EXPECT_EQ(r.StalledUs(), 2000u);
        EXPECT_TRUE(r.card.running());
        EXPECT_EQ(r.card.regs().tcr, 0x02);
        a.IsrBits = 0;
        a.TxResendPending = 0;
        r.Unmask();
    }
}

// The tallies are read (and clear) only with a receive error noted, each
// reading added as a number 0..255.
TEST(CardRegisters, TalliesAddAsUnsignedBytesOnReceiveErrorOnly) {
    struct Case { UCHAR noted; std::array<UCHAR, 3> tally; ULONG after[3]; } cases[] = {
        {0x04, {0xFF, 0xFF, 0xFF}, {265, 265, 265}}, {0x05, {1, 0x80, 0}, {11, 138, 10}},
        {0x00, {0xFF, 0xFF, 0xFF}, {10, 10, 10}}, {0x11, {5, 5, 5}, {10, 10, 10}}};
    for (const Case& c : cases) {
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        AdapterRecord& a = *r.rec;
        a.AlignmentErrorCount = a.CrcErrorCount = a.MissedPacketCount = 10;
        for (int i = 0; i < 3; i++) r.card.regs().cntr[i] = c.tally[i];
        a.IsrBits = c.noted;
        SyncCardAcknowledgeOverflow(&a);
        EXPECT_EQ(a.AlignmentErrorCount, c.after[0]) << int(c.noted);
        EXPECT_EQ(a.CrcErrorCount, c.after[1]);
        EXPECT_EQ(a.MissedPacketCount, c.after[2]);
        a.IsrBits = 0;
    }
}

// All-multicast or promiscuous opens the hash completely, as a filter set
// does; otherwise the setup loads MarValues.
TEST(CardSetup, AllMulticastOrPromiscuousOpensTheHash) {
    struct Case { ULONG filter; bool all; } cases[] = {{0x04, true}, {0x0E, true}, {0x24, true},
                                                       {0x20, true}, {0x0B, false}, {0x00, false}};
    for (const Case& c : cases) {
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.rec->PacketFilter = c.filter;
        for (int i = 0; i < 8; i++) r.rec->MarValues[i] = UCHAR(1 << i);
        ASSERT_TRUE(CardSetup(r.rec));
        for (int i = 0; i < 8; i++) EXPECT_EQ(r.card.regs().mar[i], c.all ? 0xFF : 1 << i) << c.filter << " MAR" << i;
    }
}

// Every start and length on both paths: exactly the bytes asked for change,
// the copy back returns them, and the card sees no misuse (no word transfer
// at an odd address, no data-port access past the count).
TEST(CardRemoteDma, CopiesRoundTripOnBothPathsAtEveryAlignment) {
    for (hw::BoardKind kind : {hw::BoardKind::Isa8, hw::BoardKind::Isa16}) {
        rig::Rig r(kind);
        ASSERT_TRUE(r.Init());
        for (ULONG offset : {0u, 1u, 2u, 3u}) {
            for (ULONG length : {0u, 1u, 2u, 3u, 4u, 5u, 14u, 15u, 16u, 255u, 256u, 1514u}) {
                SCOPED_TRACE(testing::Message() << int(kind) << " +" << offset << " len " << length);
                ULONG address = r.rec->RamStart + 0x100 + offset;
                std::vector<UCHAR> fill(length + 16, 0xEE), data(length);
                for (ULONG i = 0; i < length; i++) data[i] = UCHAR(i * 7 + 3);
                r.card.poke_block(std::uint16_t(address - 8), fill.data(), fill.size());
                r.Trace();
                ASSERT_TRUE(CardCopyDown(r.rec, address, data.data(), length));
                // One byte at an odd address on the word path: one word with
                // the byte below kept, no second remote write.
                if (length == 1) { EXPECT_EQ(r.Count(true, NIC_CR, 0x12), 1u); }
                if (length == 0) { EXPECT_TRUE(r.Accesses().empty()); }
                std::copy(data.begin(), data.end(), fill.begin() + 8);
                std::vector<UCHAR> ram(fill.size()), back(length + 2, 0x5A);
                r.card.peek_block(std::uint16_t(address - 8), ram.data(), ram.size());
                EXPECT_EQ(ram, fill);
                ASSERT_TRUE(CardCopyUp(r.rec, back.data() + 1, address, length));
                EXPECT_EQ(std::vector<UCHAR>(back.begin() + 1, back.end() - 1), data);
                EXPECT_EQ(back.front(), 0x5A);
                EXPECT_EQ(back.back(), 0x5A);
                ASSERT_EQ(r.card.misuse().total(), 0u);
            }
        }
    }
}

// On the reset path the interrupt is connected: a service routine that
// fires while page 1 is selected is held off until page 0 is back.
TEST(CardReset, ServiceRoutineIsHeldOffThePageOneSection) {
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    const sim::Adapter::Counters& n = r.adapter->counters();
    std::uint64_t held = n.held_off, at_fire = 0, after_fire = 0, at_page0 = 0;
    bool fired = false, back = false;
    r.Trace();
    r.host.bus().set_access_hook([&](std::uint64_t) {
        const sim::TraceEntry& e = r.host.bus().trace().back();
        if (!e.write || e.port != r.card.io_base()) return;
        if (!fired && e.value == 0x61) {
            fired = true;
            at_fire = n.isr_calls;
            r.adapter->fire_shared();
            after_fire = n.isr_calls;
        } else if (fired && !back && e.value == 0x21) {
            back = true;
            at_page0 = n.isr_calls;
        }
    });
    EXPECT_EQ(r.Reset(), NDIS_STATUS_SUCCESS);
    r.host.bus().set_access_hook(nullptr);
    ASSERT_TRUE(fired && back);
    EXPECT_EQ(after_fire, at_fire);
    EXPECT_EQ(at_page0, at_fire);
    EXPECT_EQ(n.isr_calls, at_fire + 1);
    EXPECT_EQ(n.held_off, held + 1);
    EXPECT_EQ(r.Check(), "");
}

}  // namespace
