// Every bounded wait and loop on the card, run to its bound by the fault
// that keeps its condition from ever coming: the readings it makes, the
// time it stalls, and what the routine then does.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/rig.h"
#include "transmit/transmit.h"

namespace {

struct Wait {
    const char* name;
    std::function<void(rig::Rig&)> fault;
    std::function<bool(AdapterRecord*)> routine;
    unsigned polled;  // register read until the condition comes
    unsigned readings;
    std::uint64_t stalled_us;
    bool result;
};

const UCHAR kData[61] = {0x12, 0x34};

const Wait kWaits[] = {
    // Bring-up: RST never shows after the reset pulse (2 ms settle each for
    // the pulse, the stop and the start).
    {"RST after the reset pulse", [](rig::Rig& r) {
         r.host.bus().set_access_hook([&r](std::uint64_t) { r.card.regs().isr &= 0x7F; });
     }, [](AdapterRecord* a) { return CardInitialize(a) != 0; }, NIC_ISR, 16382, 6000 + 16382 * 4, true},
    {"RST after a stop", [](rig::Rig& r) { r.card.faults().ignore_stop = true; },
     [](AdapterRecord* a) { CardStop(a); return true; }, NIC_ISR, 4, 2000, true},
    // A reset: the stop, its settle, then a setup that finds the controller
    // running and fails.
    {"RST at a reset", [](rig::Rig& r) { r.card.faults().ignore_stop = true; },
     [](AdapterRecord* a) { return CardReset(a) != 0; }, NIC_ISR, 4, 4000, false},
    {"remote address moving", [](rig::Rig& r) { r.card.faults().crda_frozen = true; },
     [](AdapterRecord* a) { return CardCopyDown(a, a->RamStart + 0x201, kData, 4) != 0; }, NIC_CRDA0, 65535,
     65535, false},
    {"remote DMA done", [](rig::Rig& r) { r.card.faults().rdc_never = true; r.card.regs().isr = 0; },
     [](AdapterRecord* a) { return CardCopyDown(a, a->RamStart + 0x200, kData, 8) != 0; }, NIC_ISR, 65535,
     65535 * 4, true},
    // One completion wait per buffer, one for the odd last byte.
    {"remote DMA done, packet of two buffers", [](rig::Rig& r) { r.card.faults().rdc_never = true; r.card.regs().isr = 0; },
     [](AdapterRecord* a) {
         sim::Packet p(std::vector<std::uint8_t>(kData, kData + 61), {20, 41});
         ULONG length = 0;
         return CardCopyDownPacket(a, p, &length) && length == 61;
     }, NIC_ISR, 3 * 65535, 3 * 65535 * 4, true},
    {"transmitter idle", [](rig::Rig& r) { r.card.faults().txp_stuck = true; },
     [](AdapterRecord* a) {
         a->TxActiveIndex = 2;
         a->TxSlotLength[2] = 100;
         CardStartXmit(a);
         return true;
     }, NIC_CR, 1001 + 1, 10000, true},
    {"CURR settling", [](rig::Rig& r) { r.card.faults().curr_unstable = hw::Faults::kAlways; },
     [](AdapterRecord* a) { SyncCardGetCurrent(a); return true; }, NIC_CURR, 16, 0, true},
    {"ISR settling", [](rig::Rig& r) {
         r.host.bus().set_access_hook([&r](std::uint64_t) { r.card.regs().isr ^= 0x01; });
     }, [](AdapterRecord* a) {
         UCHAR v;
         SyncCardReadPortUchar(a->IoPortBase + NIC_ISR, &v);
         return true;
     }, NIC_ISR, 16, 0, true},
};

TEST(CardWaits, EachRunsToItsBoundAndNoFurther) {
    for (const Wait& w : kWaits) {
        SCOPED_TRACE(w.name);
        rig::Rig r;
        ASSERT_TRUE(r.Init());
        w.fault(r);
        r.Trace();
        EXPECT_EQ(w.routine(r.rec), w.result);
        r.host.bus().set_access_hook(nullptr);
        EXPECT_EQ(r.Count(false, w.polled), w.readings);
        EXPECT_EQ(r.StalledUs(), w.stalled_us);
        r.card.faults() = hw::Faults{};
        r.rec->TxActiveIndex = TX_INDEX_IDLE;
    }
}

}  // namespace
