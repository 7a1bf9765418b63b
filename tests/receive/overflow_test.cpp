// Receive-ring overflow: the recovery carried out by the drain, and its
// effect on a transmission under way.
#include <gtest/gtest.h>

#include <algorithm>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "tests/receive/rx_fixture.h"

using namespace rx_test;
using ne2k_test::RegAccess;
using ne2k_test::W;

namespace {

// Index of the first access equal to `a` at or after `from`, or -1.
int Find(const std::vector<RegAccess>& trace, const RegAccess& a, int from = 0) {
    for (int i = from; i < static_cast<int>(trace.size()); i++)
        if (trace[i] == a) return i;
    return -1;
}

// OVW with frames in the ring: one pass stops the controller, drains in
// loopback, returns TCR to normal and then makes its one receive-complete.
TEST(RxOverflow, RecoveryDrainsThenCompletesOnce) {
    RxFixture t;
    std::vector<int> tcr_at_complete;
    t.proto.at_complete = [&] { tcr_at_complete.push_back(t.card().regs().tcr); };
    t.Mask();
    std::vector<Bytes> frames = {t.MakeFrame(100, 1), t.MakeFrame(700, 2), t.MakeFrame(1514, 3)};
    t.InjectAll(frames);
    t.RaiseIsr(ISR_OVW);
    t.fx.StartTrace();
    t.Unmask();
    EXPECT_EQ(t.proto.events, "RRRC");
    EXPECT_EQ(t.wa().counters().deferred_runs, 1u);
    EXPECT_EQ(tcr_at_complete, std::vector<int>{TCR_NORMAL});
    EXPECT_EQ(t.rec().OverflowPending, 0);
    EXPECT_EQ(t.rec().IsrBits & 0x3F, 0);

    std::vector<RegAccess> regs = t.fx.RegisterTrace();
    int stop = Find(regs, W(NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0));
    int loop = Find(regs, W(NIC_TCR, TCR_LB0), stop);
    int normal = Find(regs, W(NIC_TCR, TCR_NORMAL), loop);
    ASSERT_GE(stop, 0);
    ASSERT_GT(loop, stop);
    ASSERT_GT(normal, loop);
    // Tallies read once, by the overflow service (no RXE).
    EXPECT_EQ(t.fx.Count(false, NIC_CNTR2), 1u);

    for (std::size_t i = 0; i < frames.size(); i++) EXPECT_EQ(t.proto.frames()[i].bytes, frames[i]);
    Bytes after = t.MakeFrame(300, 4);
    t.Inject(after);
    ASSERT_EQ(t.proto.frames().size(), 4u);
    EXPECT_EQ(t.proto.frames()[3].bytes, after);
    t.ExpectClean();
}

// The stop of the recovery cuts off a transmission (no PTX, no TXE): the
// frame is started again from its slot, after the transmitter-idle wait and
// TCR back to normal, and reaches the wire once, whole. A transmitter that
// never reads idle costs the wait's full 10 ms and changes nothing else.
TEST(RxOverflow, CutOffTransmissionIsRestartedAfterLoopbackEnds) {
    for (bool stuck : {false, true}) {
        SCOPED_TRACE(stuck ? "TXP stuck" : "TXP clears");
        RxFixture t;
        std::vector<Bytes> wire;
        t.host().segment().add_tap([&](hw::Nanos, const std::uint8_t* f, std::size_t len) {
            wire.emplace_back(f, f + hw::Segment::strip_fcs(len));
        });
        t.card().faults().stop_cuts_tx = true;
        t.Mask();
        t.InjectAll({t.MakeFrame(200, 1), t.MakeFrame(200, 2), t.MakeFrame(200, 3)});
        wire.clear();
        Bytes out = t.MakeFrame(1514, 50);
        out[5] = 0x77;  // to another station
        t.proto.send(t.wa(), out);
        ASSERT_TRUE(t.card().transmitting());
        t.card().faults().txp_stuck = stuck;
        t.RaiseIsr(ISR_OVW);
        t.fx.StartTrace();
        t.fx.ResetStalls();
        t.Unmask();

        std::vector<RegAccess> regs = t.fx.RegisterTrace();
        int stop = Find(regs, W(NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0));
        int ack = Find(regs, W(NIC_ISR, ISR_TX_DONE), stop);
        int normal = Find(regs, W(NIC_TCR, TCR_NORMAL), stop);
        int restart = Find(regs, W(NIC_CR, CR_STA | CR_TXP | CR_RD_ABORT | CR_PAGE0), stop);
        ASSERT_GE(stop, 0);
        EXPECT_GT(ack, stop);
        EXPECT_GT(normal, ack);
        EXPECT_GT(restart, normal);
        // The 2 ms stop, plus 10 ms in each of the tail's and the restart's
        // transmitter-idle waits when TXP never clears.
        if (stuck) {
            EXPECT_GE(t.fx.StalledMicroseconds(), 22000u);
        } else {
            EXPECT_LT(t.fx.StalledMicroseconds(), 12000u);
        }
        EXPECT_EQ(t.rec().TxResendPending, 0);
        EXPECT_EQ(t.proto.events, "RRRC");
        ASSERT_EQ(wire.size(), 1u);
        EXPECT_EQ(wire[0], out);
        EXPECT_EQ(t.rec().XmitOkCount, 1u);
        EXPECT_EQ(t.rec().TxActiveIndex, TX_INDEX_IDLE);
        EXPECT_TRUE(t.host().error_log().empty());
        t.ExpectClean();
    }
}

}  // namespace
