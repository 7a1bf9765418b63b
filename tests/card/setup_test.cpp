// Card setup, stop and reset: the register order of the setup, its answer
// check, the RST wait of the stop, reset on a controller that has stopped
// answering, and the service routine held off the page-1 section on the
// reset path.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/card_fixture.h"

using namespace ne2k_test;

namespace {

// Forces what CR reads until the next CR write, by setting the controller's
// run and remote-DMA fields after the access that precedes the read.
void ForceCommandAfterStop(CardFixture& f, UCHAR value) {
    f.OnAccess([&f, value] {
        if (f.LastAccess() != W(NIC_CR, 0x21)) return;
        f.card().regs().cr_run = value & 0x03;
        f.card().regs().cr_rd = value & 0x38;
    });
}

TEST(CardSetup, ProgramsTheControllerInOrderOnBothPaths) {
    struct Case { hw::BoardKind kind; UCHAR dcr, first, stop; } cases[] = {
        {hw::BoardKind::Isa16, 0x49, 0x4C, 0x80}, {hw::BoardKind::Isa8, 0x48, 0x2C, 0x40}};
    for (const Case& c : cases) {
        CardFixture f(c.kind);
        AdapterRecord& a = f.adapter();
        a.RcrValue = 0x0C;
        a.PacketFilter = 0x0B;
        for (int i = 0; i < 8; i++) a.MarValues[i] = (UCHAR)(0x10 + i);
        a.OverflowPending = 1;
        f.StartTrace();
        ASSERT_TRUE(CardSetup(&a));
        const UCHAR* s = a.StationAddress;
        UCHAR cur = (UCHAR)(c.first + 1);
        std::vector<RegAccess> want{W(0, 0x21), R(0, 0), W(0x0E, c.dcr), W(0x0B, 0), W(0x0A, 0), W(0x0C, 0x0C),
                                    W(0x0D, 0x02), W(0x03, c.first), W(0x01, c.first), W(0x02, c.stop),
                                    W(0x07, 0xFF), W(0x0F, 0x00), W(0, 0x61), W(1, s[0]), W(2, s[1]), W(3, s[2]),
                                    W(4, s[3]), W(5, s[4]), W(6, s[5])};
        for (unsigned i = 0; i < 8; i++) want.push_back(W(0x08 + i, 0x10 + i));
        for (RegAccess x : {W(0x07, cur), W(0, 0x21), W(0x0F, 0x1B), W(0, 0x22)}) want.push_back(x);
        EXPECT_EQ(WithoutReadValues(f.Trace()), want) << int(c.kind);
        EXPECT_EQ(a.RxNextPage, cur);
        EXPECT_EQ(a.RxCurrentPage, cur);
        EXPECT_EQ(a.OverflowPending, 0);
        EXPECT_EQ(a.InterruptsArmed, 1);
        const hw::Dp8390State& r = f.card().regs();
        EXPECT_EQ(r.bnry, c.first);
        EXPECT_EQ(r.curr, cur);
        EXPECT_EQ(r.tcr, 0x02);
        EXPECT_EQ(r.imr, 0x1B);
        EXPECT_TRUE(f.card().running());
        // Not connected: the page-1 section runs directly, not synchronized.
        EXPECT_TRUE(f.host().problems().empty());
    }
}

// All-multicast or promiscuous opens the hash completely, as a filter set
// does; otherwise MAR holds MarValues.
TEST(CardSetup, AllMulticastOrPromiscuousOpensTheHash) {
    struct Case { ULONG filter; bool all; } cases[] = {{0x04, true}, {0x0E, true}, {0x24, true},
                                                       {0x20, true}, {0x0B, false}, {0x00, false}};
    for (const Case& c : cases) {
        CardFixture f;
        f.adapter().PacketFilter = c.filter;
        for (int i = 0; i < 8; i++) f.adapter().MarValues[i] = (UCHAR)(1 << i);
        ASSERT_TRUE(CardSetup(&f.adapter()));
        for (int i = 0; i < 8; i++)
            EXPECT_EQ(f.card().regs().mar[i], c.all ? 0xFF : 1 << i) << c.filter << " MAR" << i;
    }
}

// STP and the remote-DMA abort bit are examined after the stop, and 0xFF
// (a card that is gone) fails; a failed check leaves everything but the
// stop command unwritten.
TEST(CardSetup, AnswerCheckLooksAtStopAndAbortBits) {
    struct Case { int forced; bool ok; } cases[] = {{-1, true}, {0x23, true}, {0xFF, false},
                                                    {0x01, false}, {0x22, false}, {0x20, false}};
    for (const Case& c : cases) {
        CardFixture f;
        if (c.forced == 0xFF) f.card().faults().no_answer = true;
        else if (c.forced >= 0) ForceCommandAfterStop(f, (UCHAR)c.forced);
        f.adapter().InterruptsArmed = 0;
        f.StartTrace();
        EXPECT_EQ(CardSetup(&f.adapter()), c.ok) << c.forced;
        if (!c.ok) {
            EXPECT_EQ(WithoutReadValues(f.Trace()), (std::vector<RegAccess>{W(0, 0x21), R(0, 0)}));
            EXPECT_EQ(f.adapter().InterruptsArmed, 0);
        }
    }
}

TEST(CardStop, WaitsForResetAtMostFourTimes) {
    for (bool stops : {true, false}) {
        CardFixture f;
        ASSERT_TRUE(f.Setup());
        f.card().faults().ignore_stop = !stops;
        f.ResetStalls();
        f.StartTrace();
        CardStop(&f.adapter());
        std::vector<RegAccess> want{W(0, 0x21), W(0x0B, 0), W(0x0A, 0)};
        for (int i = 0; i < (stops ? 1 : 4); i++) want.push_back(R(0x07, 0));
        want.push_back(W(0x0D, 0x02));
        want.push_back(W(0, 0x22));
        EXPECT_EQ(WithoutReadValues(f.Trace()), want);
        EXPECT_EQ(f.StalledMicroseconds(), stops ? 0u : 2000u);
        EXPECT_EQ(f.card().regs().tcr, 0x02);
        EXPECT_TRUE(f.card().running());
    }
}

TEST(CardReset, ControllerThatNoLongerStopsFailsWithOneLogEntry) {
    CardFixture f;
    ASSERT_EQ(f.BringUp(), NDIS_STATUS_SUCCESS);
    size_t logged = f.host().error_log().size();
    f.card().faults().ignore_stop = true;
    f.ResetStalls();
    EXPECT_FALSE(CardReset(&f.adapter()));
    EXPECT_EQ(f.StalledMicroseconds(), 4000u);
    ASSERT_EQ(f.host().error_log().size(), logged + 1);
    const sim::ErrorLogEntry& e = f.host().error_log().back();
    EXPECT_EQ(e.code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(e.data, (std::vector<ULONG>{0, 1}));
    EXPECT_EQ(f.card().regs().tcr, 0x02);
    EXPECT_EQ(f.adapter().InterruptsArmed, 1);
}

// On the reset path the interrupt is connected: a service routine that
// fires while page 1 is selected is held off until the section has ended
// and page 0 is back.
TEST(CardReset, ServiceRoutineIsHeldOffThePageOneSection) {
    CardFixture f;
    ASSERT_EQ(f.BringUp(), NDIS_STATUS_SUCCESS);
    sim::Adapter& w = f.wrapper_adapter();
    const sim::Adapter::Counters& n = w.counters();
    std::uint64_t held = n.held_off;
    std::uint64_t calls_at_fire = 0, calls_after_fire = 0, calls_at_page0 = 0;
    bool fired = false, back = false;
    f.StartTrace();
    f.OnAccess([&] {
        RegAccess last = f.LastAccess();
        if (!fired && last == W(0, 0x61)) {
            fired = true;
            calls_at_fire = n.isr_calls;
            w.fire_shared();
            calls_after_fire = n.isr_calls;
        } else if (fired && !back && last == W(0, 0x21)) {
            back = true;
            calls_at_page0 = n.isr_calls;
        }
    });
    EXPECT_EQ(w.reset(), NDIS_STATUS_SUCCESS);
    f.OnAccess(nullptr);
    ASSERT_TRUE(fired && back);
    EXPECT_EQ(calls_after_fire, calls_at_fire);
    EXPECT_EQ(calls_at_page0, calls_at_fire);
    EXPECT_EQ(n.isr_calls, calls_at_fire + 1);
    EXPECT_EQ(n.held_off, held + 1);
    EXPECT_EQ(f.card().misuse().page1_in_isr, 0u);
    EXPECT_EQ(f.card().regs().tcr, 0x00);
    EXPECT_EQ(f.adapter().InterruptsArmed, 1);
    EXPECT_TRUE(f.host().problems().empty());
}

}  // namespace
