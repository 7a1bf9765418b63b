// Halt and reset: what they empty, what they keep, what they give back.
#include <gtest/gtest.h>

#include <vector>

#include "card/dp8390reg.h"
#include "driver/driver.h"
#include "hw/board.h"
#include "sim/host.h"

namespace {

// A host with the driver loaded and `count` running adapters on one segment.
struct Rig {
    sim::Host host;
    std::vector<hw::Ne2000Board*> cards;

    explicit Rig(int count = 1) {
        EXPECT_EQ(host.load_driver(DriverEntry), 0u);
        for (int i = 0; i < count; i++) {
            hw::BoardConfig cfg;
            cfg.io_base = 0x300 + 0x20 * i;
            cfg.irq = 3 + i;
            cfg.station[5] = static_cast<std::uint8_t>(1 + i);
            cards.push_back(&host.add_card(cfg));
            EXPECT_EQ(host.initialize(host.config_for(*cards.back())), NDIS_STATUS_SUCCESS);
        }
    }
    AdapterRecord* record(std::size_t i = 0) { return host.adapter(i).record<AdapterRecord>(); }
};

std::vector<std::uint8_t> Frame(std::size_t len, std::uint8_t tag) {
    std::vector<std::uint8_t> f(len);
    for (std::size_t i = 0; i < len; i++) f[i] = static_cast<std::uint8_t>(tag + i);
    for (int i = 0; i < 6; i++) f[i] = 0xFF;  // broadcast
    return f;
}

// Sends three full-size frames at once: two fill the twelve slots, the
// third waits on the send queue.
void FillSlotsAndQueue(sim::Adapter& a, sim::RecordingProtocol& proto) {
    for (int i = 0; i < 3; i++) proto.send(a, Frame(1514, static_cast<std::uint8_t>(i)));
    AdapterRecord* r = a.record<AdapterRecord>();
    ASSERT_NE(r->TxQueueHead, nullptr);
    ASSERT_EQ(r->TxQueueHead, r->TxQueueTail);
    for (ULONG s : r->TxSlotState) ASSERT_EQ(s, ULONG{TX_SLOT_FULL});
}

TEST(Reset, EmptiesTheTransmitSideAndGivesQueuedPacketsBack) {
    Rig rig;
    sim::Adapter& a = rig.host.adapter();
    sim::RecordingProtocol proto;
    a.bind(proto);
    FillSlotsAndQueue(a, proto);

    ASSERT_EQ(a.reset(), NDIS_STATUS_SUCCESS);
    AdapterRecord* r = rig.record();
    EXPECT_EQ(r->TxQueueHead, nullptr);
    EXPECT_EQ(r->TxQueueTail, nullptr);
    for (ULONG s : r->TxSlotState) EXPECT_EQ(s, ULONG{TX_SLOT_EMPTY});
    EXPECT_EQ(r->TxFillIndex, 0u);
    EXPECT_EQ(r->TxSendIndex, 0u);
    EXPECT_EQ(r->TxActiveIndex, TX_INDEX_IDLE);
    EXPECT_EQ(r->ImrValue, IMR_VALUE);
    EXPECT_EQ(r->InterruptsArmed, 1);
    EXPECT_EQ(rig.cards[0]->regs().imr, IMR_VALUE);
    EXPECT_EQ(rig.cards[0]->regs().tcr, TCR_NORMAL);

    // Two packets were completed when copied; the queued one now, aborted.
    ASSERT_EQ(proto.sent().size(), 3u);
    EXPECT_EQ(proto.sent()[0].completion, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(proto.sent()[1].completion, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(proto.sent()[2].completion, NDIS_STATUS_REQUEST_ABORTED);
    for (const auto& s : proto.sent()) EXPECT_EQ(s.completions, 1u);
    EXPECT_EQ(rig.host.double_completions(), 0u);
    EXPECT_TRUE(rig.host.never_completed().empty());

    // The adapter goes on sending after the reset.
    proto.send(a, Frame(100, 9));
    rig.host.run_until_idle();
    EXPECT_EQ(proto.sent().back().completion, NDIS_STATUS_SUCCESS);
    a.halt();
    EXPECT_TRUE(rig.host.problems().empty());
    EXPECT_EQ(rig.cards[0]->misuse().total(), 0u);
}

TEST(Reset, FailedSetupReportsFailureWithTheTransmitSideEmptied) {
    Rig rig;
    sim::Adapter& a = rig.host.adapter();
    sim::RecordingProtocol proto;
    a.bind(proto);
    FillSlotsAndQueue(a, proto);
    rig.cards[0]->faults().ignore_stop = true;

    EXPECT_EQ(a.reset(), NDIS_STATUS_FAILURE);
    AdapterRecord* r = rig.record();
    EXPECT_EQ(r->TxQueueHead, nullptr);
    for (ULONG s : r->TxSlotState) EXPECT_EQ(s, ULONG{TX_SLOT_EMPTY});
    EXPECT_EQ(r->TxActiveIndex, TX_INDEX_IDLE);
    EXPECT_EQ(r->ImrValue, IMR_VALUE);
    // The one entry of the failed setup. (The controller, which ignores the
    // stop, may still finish its frame afterwards; that completion finds no
    // frame on the wire and is logged as such.)
    ASSERT_GE(rig.host.error_log().size(), 1u);
    EXPECT_EQ(rig.host.error_log()[0].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(rig.host.error_log()[0].data, (std::vector<ULONG>{0, 1}));
    EXPECT_EQ(proto.sent()[2].completion, NDIS_STATUS_REQUEST_ABORTED);
    // The record stays valid and on the list; the adapter can still be halted.
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, r);
    rig.cards[0]->faults().ignore_stop = false;
    a.halt();
    EXPECT_TRUE(rig.host.leaked_allocations().empty());
    EXPECT_TRUE(rig.host.never_completed().empty());
}

TEST(Halt, GivesQueuedPacketsBackAndReleasesEverything) {
    Rig rig;
    sim::Adapter& a = rig.host.adapter();
    sim::RecordingProtocol proto;
    a.bind(proto);
    FillSlotsAndQueue(a, proto);
    std::uint64_t stalled = rig.host.stalled_ns();

    a.halt();
    EXPECT_EQ(proto.sent()[2].completion, NDIS_STATUS_REQUEST_ABORTED);
    for (const auto& s : proto.sent()) EXPECT_EQ(s.completions, 1u);
    EXPECT_TRUE(rig.host.never_completed().empty());
    EXPECT_EQ(rig.host.double_completions(), 0u);
    EXPECT_GE(rig.host.stalled_ns() - stalled, 250000u * hw::kMicrosecond);
    EXPECT_FALSE(a.interrupt().connected);
    EXPECT_TRUE(rig.host.leaked_allocations().empty());
    EXPECT_TRUE(rig.host.live_port_ranges().empty());
    EXPECT_TRUE(rig.host.live_mappings().empty());
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, nullptr);
    // Off the wire: stopped and restarted in internal loopback.
    EXPECT_EQ(rig.cards[0]->regs().tcr, TCR_LB0);
    EXPECT_TRUE(rig.host.problems().empty());
}

TEST(Halt, WaitsAQuarterSecondBetweenDisconnectingAndReleasingThePorts) {
    Rig rig;
    sim::Adapter& a = rig.host.adapter();
    a.halt();
    ASSERT_EQ(rig.host.port_ranges().size(), 1u);
    const sim::PortRange& ports = rig.host.port_ranges()[0];
    ASSERT_TRUE(ports.released);
    EXPECT_EQ(ports.released_at - a.interrupt().disconnected_at, 250000u * hw::kMicrosecond);
}

TEST(Halt, TheMiddleOfThreeLeavesTheOthersInOrder) {
    Rig rig(3);
    AdapterRecord* first = rig.record(0);
    AdapterRecord* third = rig.record(2);
    rig.host.adapter(1).halt();
    ASSERT_EQ(Ne2000MiniportBlock.AdapterList, third);
    EXPECT_EQ(third->NextAdapter, first);
    EXPECT_EQ(first->NextAdapter, nullptr);
    rig.host.adapter(2).halt();
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, first);
    rig.host.adapter(0).halt();
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, nullptr);
    EXPECT_TRUE(rig.host.leaked_allocations().empty());
}

}  // namespace
