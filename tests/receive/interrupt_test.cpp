// Interrupt service and the deferred handler's selection, through the wrapper.
#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "tests/receive/rx_fixture.h"

using namespace rx_test;
using ne2k_test::R;
using ne2k_test::RegAccess;

namespace {

// A shared line fires: masked, the service routine touches no port; armed
// with no enabled condition (nothing, or RDC alone), it reads ISR only and
// leaves the card armed.
TEST(RxIsr, ForeignInterruptsAreNotClaimed) {
    struct Case {
        const char* name;
        bool masked;
        std::uint8_t isr;
    } cases[] = {{"masked", true, ISR_PRX}, {"armed, nothing", false, 0},
                 {"armed, RDC alone", false, ISR_RDC}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RxFixture t;
        if (c.masked) t.Mask();
        t.RaiseIsr(c.isr);
        t.fx.StartTrace();
        std::uint64_t runs = t.wa().counters().deferred_runs;
        t.wa().fire_shared();
        t.host().run_until_idle();
        EXPECT_EQ(t.wa().counters().isr_recognized, 0u);
        EXPECT_EQ(t.wa().counters().deferred_runs, runs);
        if (c.masked) {
            EXPECT_TRUE(t.fx.Trace().empty());
        } else {
            for (const RegAccess& a : t.fx.Trace()) EXPECT_EQ(a, R(NIC_ISR, c.isr));
            EXPECT_EQ(t.fx.Count(false, NIC_ISR), 2u);  // two equal readings
            EXPECT_EQ(t.card().regs().imr, IMR_VALUE);
            EXPECT_EQ(t.rec().InterruptsArmed, 1);
        }
        t.ExpectClean();
    }
}

// A receive error is served by emptying the ring. With PRX beside it the
// tallies are not read at selection; without PRX (found beside a transmit
// completion) they are read before the receive service.
TEST(RxDispatch, ReceiveErrorWithAndWithoutFrameReceived) {
    for (bool with_prx : {true, false}) {
        SCOPED_TRACE(with_prx ? "RXE with PRX" : "RXE alone");
        RxFixture t;
        t.Mask();
        t.Place(t.MakeFrame(100, 1));
        t.Place(t.MakeFrame(100, 2));
        if (!with_prx) {
            t.proto.send(t.wa(), t.MakeFrame(100, 3));
            t.host().run_until_idle();  // transmitted: PTX waits behind the mask
        }
        t.RaiseIsr(with_prx ? ISR_PRX | ISR_RXE : ISR_RXE);
        t.fx.StartTrace();
        t.Unmask();
        EXPECT_EQ(t.fx.Count(false, NIC_CNTR0), with_prx ? 0u : 1u);
        EXPECT_EQ(t.wa().counters().indications, 0u);
        EXPECT_EQ(t.rec().RxNextPage, t.card().regs().curr);
        EXPECT_EQ(t.rec().IsrBits & 0x3F, 0);
        EXPECT_EQ(t.rec().XmitOkCount, with_prx ? 0u : 1u);
        EXPECT_TRUE(t.host().error_log().empty());
        t.ExpectClean();
    }
}

// The budget stop hands over to a transmit completion that arrived during
// the pass (noted by transfer-data), before the drain resumes.
// A counter overflow that arises in the same pass waits for the transmit
// service, which the receive service runs before ISR is read again.
TEST(RxDispatch, BudgetStopServesPendingTransmitBeforeResuming) {
    RxFixture t;
    std::vector<ULONG> xmit_ok_seen;
    t.proto.during = [&](sim::Adapter&, unsigned) {
        xmit_ok_seen.push_back(t.rec().XmitOkCount);
        if (xmit_ok_seen.size() == 5) {
            t.card().regs().cntr[0] = 0x80;
            t.card().core().refresh();  // CNT
        }
    };
    t.Mask();
    std::vector<Bytes> frames;
    for (int i = 0; i < 12; i++) frames.push_back(t.MakeFrame(600, 10 + i));
    t.InjectAll(frames);
    t.proto.send(t.wa(), t.MakeFrame(1514, 99));  // on the wire for about 1.2 ms
    ASSERT_TRUE(t.card().transmitting());
    t.fx.StartTrace();
    t.Unmask();
    std::vector<RegAccess> regs = t.fx.RegisterTrace();
    int tsr = -1, cntr = -1;
    for (int i = 0; i < static_cast<int>(regs.size()); i++) {
        if (tsr < 0 && regs[i] == R(NIC_TSR, TSR_PTX)) tsr = i;
        if (cntr < 0 && !regs[i].write && regs[i].offset == NIC_CNTR0) cntr = i;
    }
    ASSERT_GE(tsr, 0);
    EXPECT_GT(cntr, tsr);
    EXPECT_EQ(t.rec().AlignmentErrorCount, 0x80u);
    EXPECT_EQ(t.proto.events, "RRRRRRRRRRRC" "RC");
    ASSERT_EQ(xmit_ok_seen.size(), 12u);
    for (int i = 0; i < 11; i++) EXPECT_EQ(xmit_ok_seen[i], 0u) << i;
    EXPECT_EQ(xmit_ok_seen[11], 1u);
    EXPECT_EQ(t.wa().counters().deferred_runs, 1u);
    EXPECT_EQ(t.rec().TxActiveIndex, TX_INDEX_IDLE);
    for (int i = 0; i < 12; i++) EXPECT_EQ(t.proto.frames()[i].bytes, frames[i]) << i;
    EXPECT_TRUE(t.host().error_log().empty());
    t.ExpectClean();
}

// A transmit completion found together with received frames is served first.
TEST(RxDispatch, TransmitCompletionBeforeReceivedFrames) {
    RxFixture t;
    std::vector<ULONG> xmit_ok_seen;
    t.proto.during = [&](sim::Adapter&, unsigned) { xmit_ok_seen.push_back(t.rec().XmitOkCount); };
    t.Mask();
    t.InjectAll({t.MakeFrame(100, 1), t.MakeFrame(200, 2)});
    Bytes out = t.MakeFrame(100, 3);
    out[5] = 0x77;
    t.proto.send(t.wa(), out);
    t.host().run_until_idle();  // transmitted: PTX beside PRX
    EXPECT_EQ(t.card().regs().isr & (ISR_PRX | ISR_PTX), ISR_PRX | ISR_PTX);
    t.Unmask();
    EXPECT_EQ(xmit_ok_seen, (std::vector<ULONG>{1, 1}));
    EXPECT_EQ(t.proto.events, "RRC");
    t.ExpectClean();
}

// The handler ends when its latest ISR reading leaves nothing it serves:
// RDC and RST stay noted but never keep it going; CNT is served by reading
// the tallies.
TEST(RxDispatch, LoopEndsWhenNothingServedRemains) {
    RxFixture t;
    t.Mask();
    t.Inject(t.MakeFrame(100, 1));
    t.RaiseIsr(ISR_RDC | ISR_RST);
    t.card().regs().cntr[0] = 0x85;
    t.card().core().refresh();  // CNT
    t.Unmask();
    EXPECT_TRUE(t.host().run_until_idle());
    EXPECT_EQ(t.wa().counters().deferred_runs, 1u);
    EXPECT_EQ(t.proto.events, "RC");
    EXPECT_EQ(t.rec().IsrBits & 0x3F, 0);
    EXPECT_EQ(t.rec().IsrBits & (ISR_RDC | ISR_RST), ISR_RDC | ISR_RST);
    EXPECT_EQ(t.rec().AlignmentErrorCount, 0x85u);
    EXPECT_EQ(t.card().regs().isr & ISR_RDC, 0);  // acknowledged as seen
    t.ExpectClean();
}

}  // namespace
