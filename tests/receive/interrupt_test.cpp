// Interrupt service, the deferred handler's order of service, the ring
// overflow recovery, and transfer data called inside the indication.
#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "tests/support/rig.h"

namespace {

using rig::Bytes;

// A shared line fires: masked, the service routine touches no port; armed
// with no enabled condition (nothing, or RDC alone) it reads ISR, claims
// nothing and leaves the card armed.
TEST(RxIsr, ForeignInterruptsAreNotClaimed) {
    struct Case { bool masked; std::uint8_t isr; } cases[] = {{true, ISR_PRX}, {false, 0}, {false, ISR_RDC}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.masked << " " << int(c.isr));
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        if (c.masked) r.Mask();
        r.card.core().raise_isr(c.isr);
        r.Trace();
        r.adapter->fire_shared();
        r.Run();
        EXPECT_EQ(r.adapter->counters().isr_recognized, 0u);
        EXPECT_EQ(r.adapter->counters().deferred_runs, 0u);
        EXPECT_EQ(r.Accesses().size(), c.masked ? 0u : 2u);
        EXPECT_EQ(r.Count(false, NIC_ISR), c.masked ? 0u : 2u);
        EXPECT_EQ(r.card.regs().imr, c.masked ? 0x00 : 0x1B);
        if (!c.masked) { EXPECT_EQ(r.Check(), ""); }
    }
}

// The enable handler writes IMR, then sets InterruptsArmed: correct only
// because the wrapper runs it synchronized with the service routine. A frame
// waits behind the mask; the IMR write raises the line inside the enable
// handler. A service routine run right then (as an unsynchronized wrapper
// would) finds the card not armed and declines; the host holds the routine
// off instead and delivers the edge once the handler has returned, and the
// frame is indicated.
TEST(RxIsr, EnableRunsSynchronizedWithTheServiceRoutine) {
    for (hw::BoardKind kind : hw::kBoardKinds) {
        SCOPED_TRACE(hw::kind_name(kind));
        rig::Rig r(kind);
        ASSERT_TRUE(r.Init());
        r.Mask();
        r.Inject(rig::kToStation, 100);
        ASSERT_TRUE(r.Run());
        ASSERT_TRUE(r.card.regs().isr & ISR_PRX);
        const sim::Adapter::Counters before = r.adapter->counters();
        int raised_inside = 0, declined = 0;
        r.host.bus().set_access_hook([&](std::uint64_t) {
            if (!r.card.irq_level() || r.rec->InterruptsArmed || raised_inside++) return;
            BOOLEAN recognized = TRUE, queue = TRUE;
            Ne2000Isr(&recognized, &queue, r.rec);  // not armed: no port access
            declined += !recognized && !queue;
        });
        r.adapter->enable_interrupt();
        r.host.bus().set_access_hook(nullptr);
        ASSERT_TRUE(r.Run());
        EXPECT_EQ(raised_inside, 1);
        EXPECT_EQ(declined, 1);
        EXPECT_EQ(r.adapter->counters().held_off - before.held_off, 1u);
        EXPECT_EQ(r.adapter->counters().isr_recognized - before.isr_recognized, 1u);
        EXPECT_EQ(r.adapter->counters().indications - before.indications, 1u);
        EXPECT_EQ(r.Check(), "");
    }
}

// A receive error drops nothing: the frames already in the ring were stored
// without error and are all indicated. With PRX beside it the tallies are
// not read at selection; without PRX (found beside a transmit completion)
// they are read before the receive service.
TEST(RxDispatch, ReceiveErrorWithAndWithoutFrameReceived) {
    for (bool with_prx : {true, false}) {
        SCOPED_TRACE(with_prx);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.Mask();
        r.Place(100);
        r.Place(100);
        if (!with_prx) r.Send(100);
        r.Run();  // transmitted: PTX waits behind the mask
        r.card.core().raise_isr(with_prx ? ISR_PRX | ISR_RXE : ISR_RXE);
        r.Trace();
        r.Unmask();
        EXPECT_EQ(r.Count(false, NIC_CNTR0), with_prx ? 0u : 1u);
        EXPECT_EQ(r.adapter->counters().indications, 2u);
        EXPECT_EQ(r.rec->XmitOkCount, with_prx ? 0u : 1u);
        EXPECT_EQ(r.Check(), "");
    }
}

// Service order: a transmit completion found beside received frames first;
// at the drain's budget stop, one that came during the pass (noted by
// transfer-data) before the drain resumes; a counter overflow arising in
// that pass after the transmit service. RDC and RST never keep the handler
// going.
TEST(RxDispatch, TransmitCompletionsAreServedBeforeReceivedFrames) {
    for (int frames : {2, 12}) {
        SCOPED_TRACE(frames);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        std::vector<ULONG> xmit_ok_seen;
        r.proto.during = [&](sim::Adapter&, unsigned) {
            xmit_ok_seen.push_back(r.rec->XmitOkCount);
            if (xmit_ok_seen.size() == 5) {
                r.card.regs().cntr[0] = 0x80;
                r.card.core().refresh();  // CNT
            }
        };
        r.Mask();
        for (int i = 0; i < frames; i++) r.Inject(rig::kToStation, frames == 2 ? 100 : 600);
        r.Run();
        r.Send(frames == 2 ? 100 : 1514);  // on the wire for 1.2 ms when long
        if (frames == 2) r.Run();           // transmitted: PTX beside PRX
        r.card.core().raise_isr(ISR_RDC | ISR_RST);
        r.Trace();
        r.Unmask();
        std::vector<ULONG> want(frames, frames == 2 ? 1 : 0);
        want.back() = 1;
        EXPECT_EQ(xmit_ok_seen, want);
        EXPECT_EQ(r.proto.events, frames == 2 ? "RRC" : "RRRRRRRRRRRC" "RC");
        EXPECT_EQ(r.adapter->counters().deferred_runs, 1u);
        if (frames == 12) {
            EXPECT_EQ(r.rec->AlignmentErrorCount, 0x80u);
            std::vector<sim::TraceEntry> t = r.Accesses();
            auto at = [&](unsigned offset, int value) {
                for (std::size_t i = 0; i < t.size(); i++)
                    if (!t[i].write && t[i].port == r.card.io_base() + offset && (value < 0 || int(t[i].value) == value)) return i;
                return t.size();
            };
            EXPECT_LT(at(NIC_TSR, TSR_PTX), at(NIC_CNTR0, -1));
        }
        EXPECT_EQ(r.rec->IsrBits & (ISR_RDC | ISR_RST), ISR_RDC | ISR_RST);
        EXPECT_EQ(r.Check(), "");
    }
}

// OVW with frames in the ring: one pass stops the controller, drains in
// loopback, returns TCR to normal and makes its one receive-complete.
TEST(RxOverflow, RecoveryDrainsThenCompletesOnce) {
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    std::vector<int> tcr_at_complete;
    r.proto.at_complete = [&] { tcr_at_complete.push_back(r.card.regs().tcr); };
    r.Mask();
    for (std::size_t len : {100, 700, 1514}) r.Inject(rig::kToStation, len);
    r.Run();
    r.card.core().raise_isr(ISR_OVW);
    r.Trace();
    r.Unmask();
    EXPECT_EQ(r.proto.events, "RRRC");
    EXPECT_EQ(r.Count(false, NIC_CNTR2), 1u);  // by the overflow service alone
    EXPECT_EQ(tcr_at_complete, std::vector<int>{0x00});
    r.Inject(rig::kToStation, 300);
    r.Run();
    EXPECT_EQ(r.figures().rx_indicated, 4u);
    EXPECT_EQ(r.Check(), "");
}

// Transfer data from inside the indication of a 600-byte frame: ranges
// (offsets and counts near 2^32 as the true range would be), destination
// pieces, and a frame that runs past the ring's last page, copied in two
// pieces (the second from the ring's first page).
TEST(RxTransfer, RangesPiecesAndTheRingEnd) {
    struct Case { UINT offset, count; std::vector<std::size_t> pieces; bool ok; UINT got; int page = -1, reads = -1; }
    cases[] = {{0, 586, {586}, true, 586}, {586, 10, {10}, true, 0}, {587, 10, {10}, false, 0},
               {10, 5000, {1000}, true, 576}, {0, 250, {100, 100, 50}, true, 250}, {30, 250, {100, 0, 150}, true, 250},
               {0, 250, {100}, true, 100}, {100, 0, {10}, true, 0}, {0xFFFFFFF2u, 10, {10}, false, 0},
               {0xFFFFFFFFu, 1, {10}, false, 0}, {0, 0xFFFFFFFFu, {1000}, true, 586}, {5, 0xFFFFFFFCu, {1000}, true, 581},
               {0, 586, {586}, true, 586, 0x7E, 2}, {500, 80, {80}, true, 80, 0x7E, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.count << " page " << c.page);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.Mask();
        if (c.page >= 0) {
            r.card.regs().curr = r.rec->RxNextPage = std::uint8_t(c.page);
            r.card.regs().bnry = std::uint8_t(c.page - 1);
        }
        Bytes f = r.Inject(rig::kToStation, 600);
        r.Run();
        NDIS_STATUS status = 0;
        UINT got = 0xFFFFFFFF;
        unsigned reads = 0;
        Bytes contents;
        r.proto.transfer = false;
        r.proto.during = [&](sim::Adapter& a, unsigned) {
            std::size_t total = 0;
            for (std::size_t p : c.pieces) total += p;
            sim::Packet dest = sim::Packet::zeroed(total, c.pieces);
            r.Trace();
            status = a.transfer_data(dest, c.offset, c.count, &got);
            reads = r.Count(true, NIC_CR, 0x0A);
            contents = dest.contents();
        };
        r.Unmask();
        EXPECT_EQ(status, c.ok ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE);
        EXPECT_EQ(got, c.got);
        if (got) {
            EXPECT_EQ(Bytes(contents.begin(), contents.begin() + got), Bytes(f.begin() + 14 + c.offset, f.begin() + 14 + c.offset + got));
        }
        if (c.reads >= 0) { EXPECT_EQ(int(reads), c.reads); }
        EXPECT_EQ(r.Check(), "");
    }
}

// The transmit tail: a transmission that ended during the indication is
// completed at once when the next frame waits in its slots (also when the
// finished frame held the last slots and the next starts at slot 0);
// otherwise it is acknowledged and left to the deferred handler; during an
// overflow recovery it is left alone.
TEST(RxTransfer, TransmitTail) {
    enum Kind { kNextWaiting, kNothingWaiting, kDuringOverflow, kNextAfterTheLastSlots };
    for (Kind kind : {kNextWaiting, kNothingWaiting, kDuringOverflow, kNextAfterTheLastSlots}) {
        SCOPED_TRACE(kind);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        ULONG earlier = 0;
        if (kind == kNextAfterTheLastSlots) {
            r.Send(1514);  // slots 0-5, so the next frame takes 6-11
            r.Run();
            earlier = 1;
        }
        r.Mask();
        r.Inject(rig::kToStation, 600);
        r.Run();
        r.Send(1514);
        if (kind == kNextWaiting || kind == kNextAfterTheLastSlots) r.Send(100);
        ASSERT_TRUE(r.card.transmitting());
        if (kind == kDuringOverflow) r.card.core().raise_isr(ISR_OVW);
        ULONG active = 99, xmit_ok = 99, full = 0;
        std::uint8_t isr = 0, noted = 0;
        bool transmitting = false;
        r.proto.during = [&](sim::Adapter& a, unsigned) {
            if (kind != kDuringOverflow) r.host.bus().stall(2000 * rig::kUs);  // the frame ends
            UINT got;
            sim::Packet dest = sim::Packet::zeroed(586);
            EXPECT_EQ(a.transfer_data(dest, 0, 586, &got), NDIS_STATUS_SUCCESS);
            for (ULONG state : r.rec->TxSlotState) full += state == TX_SLOT_FULL;
            active = r.rec->TxActiveIndex;
            xmit_ok = r.rec->XmitOkCount - earlier;
            isr = r.card.regs().isr;
            noted = r.rec->IsrBits;
            transmitting = r.card.transmitting();
        };
        r.Unmask();
        bool next = kind == kNextWaiting || kind == kNextAfterTheLastSlots;
        EXPECT_EQ(active, kind == kNextWaiting ? 6u : 0u);
        EXPECT_EQ(xmit_ok, next ? 1u : 0u);
        EXPECT_EQ(isr & ISR_PTX, kind == kDuringOverflow ? ISR_PTX : 0);
        EXPECT_EQ(noted & ISR_TX_DONE, kind == kNothingWaiting ? ISR_PTX : 0);
        if (next) { EXPECT_EQ(full, 1u); }
        if (next) { EXPECT_TRUE(transmitting); }
        EXPECT_EQ(r.rec->XmitOkCount, earlier + (next ? 2 : 1));
        EXPECT_EQ(r.Check(), "");
    }
}

}  // namespace
