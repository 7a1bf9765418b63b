// Interrupt delivery, synchronization, the deferred handler and the clock.
#include <gtest/gtest.h>

#include <functional>

#include "fake_miniport.h"

namespace {

using fake::state;
using Log = std::vector<std::string>;

TEST(Interrupts, DeliveredOnRisingEdgeOnlyWhileConnected) {
    fake::Rig r;
    state.isr_masks = false;  // the line stays high after the ISR
    r.card.raise(0x01);       // high before the interrupt is connected: no edge seen later
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(a.counters().isr_calls, 0u);

    WRITE_PORT_UCHAR(0x307, 0x01);  // line drops
    r.card.raise(0x01);             // and rises
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(a.counters().isr_calls, 1u);
    r.card.raise(0x01);  // held high: no new interrupt
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(a.counters().isr_calls, 1u);

    WRITE_PORT_UCHAR(0x307, 0x01);
    r.card.raise(0x01);
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(a.counters().isr_calls, 2u);

    a.halt();
    WRITE_PORT_UCHAR(0x307, 0x01);
    r.card.raise(0x01);
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(a.counters().isr_calls, 2u);
    EXPECT_EQ(a.counters().deferred_runs, 0u);
    EXPECT_TRUE(r.host.problems().empty());
}

TEST(Interrupts, SynchronizeHoldsTheServiceRoutineOff) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    state.log.clear();
    ULONG unused = 0;
    EXPECT_EQ(a.set(fake::kOidSyncRaise, &unused, sizeof unused), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(state.isr_in_sync, 0u);
    EXPECT_EQ(state.log, (Log{"set", "sync", "sync-end", "isr", "set-end", "dpc", "enable"}));
    EXPECT_EQ(a.counters().sync_calls, 1u);
    EXPECT_EQ(a.counters().held_off, 1u);
    EXPECT_EQ(a.counters().isr_recognized, 1u);
}

TEST(Interrupts, DeferredHandlerRunsAfterTheIsrAndOutsideOtherHandlers) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();

    // Raised inside a handler: the ISR runs at once, the deferred handler
    // and EnableInterrupt when the handler has returned.
    state.log.clear();
    ULONG unused = 0;
    a.set(fake::kOidStallRaise, &unused, sizeof unused);
    EXPECT_EQ(state.log, (Log{"set", "isr", "set-end", "dpc", "enable"}));
    EXPECT_GT(r.card.isr_context_reads, 0u);  // the device was told the ISR ran
    EXPECT_FALSE(r.card.in_isr);

    // Raised by a hardware event while no handler runs: all three at once,
    // at the event's time.
    state.log.clear();
    hw::Nanos at = r.host.now() + 50 * hw::kMicrosecond;
    hw::Nanos isr_time = 0;
    r.host.clock().schedule(at, [&] { r.card.raise(0x01); });
    r.host.set_access_hook([&](std::uint64_t) {
        if (isr_time == 0 && r.card.in_isr) isr_time = r.host.now();
    });
    r.host.run_for(200 * hw::kMicrosecond);
    EXPECT_EQ(state.log, (Log{"isr", "dpc", "enable"}));
    EXPECT_GE(isr_time, at);
    EXPECT_LE(isr_time, at + 2 * hw::kMicrosecond);
    EXPECT_EQ(a.counters().deferred_runs, 2u);
    EXPECT_EQ(a.counters().enable_calls, 2u);
    EXPECT_TRUE(state.armed);  // re-armed by EnableInterrupt
    EXPECT_EQ(r.card.regs[15], 0x01);
}

TEST(Interrupts, EnableHandlerIsHeldOffFromTheIsr) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    state.dpc_raises_again = 1;
    state.log.clear();
    r.card.raise(0x01);
    r.host.run_for(100 * hw::kMicrosecond);
    // The IMR write in the enable handler raises the line before the flag is
    // set; the ISR sees it only after the handler has returned.
    EXPECT_EQ(state.log, (Log{"isr", "dpc", "enable", "isr", "dpc", "enable"}));
    EXPECT_EQ(a.counters().isr_recognized, 2u);

    // Through the host's own enable/disable calls, likewise.
    a.disable_interrupt();
    r.card.raise(0x01);
    EXPECT_FALSE(r.card.line());
    state.log.clear();
    a.enable_interrupt();
    EXPECT_EQ(state.log, (Log{"enable", "isr", "dpc", "enable"}));
}

TEST(Interrupts, PortAccessesOutsideWrapperCallsDeliverAtTheNextRunPoint) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    WRITE_PORT_UCHAR(0x30F, 0x00);  // the test masks the card itself
    r.card.raise(0x01);
    WRITE_PORT_UCHAR(0x30F, 0x01);  // and unmasks it: the line rises here
    EXPECT_EQ(a.counters().isr_calls, 0u);
    r.host.run_until_idle();
    EXPECT_EQ(a.counters().isr_calls, 1u);
    EXPECT_EQ(a.counters().deferred_runs, 1u);
}

TEST(Interrupts, SharedLineCallsTheIsrWithoutACardCause) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    a.fire_shared();
    EXPECT_EQ(a.counters().isr_calls, 1u);
    EXPECT_EQ(a.counters().isr_recognized, 0u);
    EXPECT_EQ(a.counters().deferred_runs, 0u);
    EXPECT_EQ(a.interrupt().vector, 5u);
    EXPECT_TRUE(a.interrupt().shared);
    EXPECT_EQ(a.interrupt().mode, NdisInterruptLatched);
}

TEST(Clock, StallsPortCostAndEventsMoveTimeInOrder) {
    sim::Host h;
    KeStallExecutionProcessor(7);
    EXPECT_EQ(h.now(), 7000u);
    EXPECT_EQ(h.stalled_ns(), 7000u);

    h.set_port_cost(250);
    for (int i = 0; i < 4; i++) EXPECT_EQ(READ_PORT_UCHAR(0x400), 0xFF);
    EXPECT_EQ(READ_PORT_USHORT(0x400), 0xFFFF);
    UCHAR buf[10];
    READ_PORT_BUFFER_UCHAR(0x400, buf, 10);  // each element costs
    EXPECT_EQ(h.now(), 7000u + 15 * 250);
    EXPECT_EQ(h.unmapped_accesses(), 15u);

    std::vector<std::pair<char, hw::Nanos>> fired;
    hw::Nanos t0 = h.now();
    h.clock().schedule(t0 + 3000, [&] { fired.push_back({'b', h.now()}); });
    h.clock().schedule(t0 + 1000, [&] { fired.push_back({'a', h.now()}); });
    h.clock().schedule(t0 + 3000, [&] { fired.push_back({'c', h.now()}); });
    h.set_port_cost(0);
    KeStallExecutionProcessor(2);
    ASSERT_EQ(fired.size(), 1u);
    KeStallExecutionProcessor(2);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], std::make_pair('a', t0 + 1000));
    EXPECT_EQ(fired[1], std::make_pair('b', t0 + 3000));
    EXPECT_EQ(fired[2], std::make_pair('c', t0 + 3000));
    EXPECT_EQ(h.now(), t0 + 4000);
    EXPECT_TRUE(h.run_until_idle());

    // Hardware that never goes quiet: the run stops at its limit.
    std::function<void()> tick = [&] { h.clock().schedule(h.now() + 1000, tick); };
    tick();
    hw::Nanos t1 = h.now();
    EXPECT_FALSE(h.run_until_idle(50'000));
    EXPECT_EQ(h.now(), t1 + 50'000);
}

}  // namespace
