// The command register, the reset port, ISR/IMR and the interrupt line,
// the trace decoder and the page-1 rule for the service routine.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

TEST(Control, CommandRegisterReadsBack) {
    struct Step {
        std::uint8_t write, read;
    };
    const Step steps[] = {
        {0x21, 0x21}, {0x22, 0x22}, {0x21, 0x21},  // STA not sticky
        {0x61, 0x61}, {0x62, 0x62}, {0x22, 0x22},
        {0x0A, 0x22},                                // remote read of 0 bytes completes at once
        {0x23, 0x23}, {0xA1, 0xA1}, {0x21, 0x21},
    };
    Rig rig;
    Card& c = rig.add();
    for (const Step& s : steps) {
        c.w(r::CR, s.write);
        EXPECT_EQ(c.rd(r::CR), s.read) << std::hex << int(s.write);
    }
}

TEST(Control, StartClearsRstWritingIsrDoesNot) {
    Rig rig;
    Card& c = rig.add();
    EXPECT_EQ(c.rd(r::CR), 0x21);
    EXPECT_EQ(c.isr(), r::ISR_RST);
    c.w(r::P0W_ISR, 0xFF);
    EXPECT_EQ(c.isr(), r::ISR_RST);
    c.w(r::CR, 0x22);
    EXPECT_EQ(c.isr(), 0);
    c.w(r::CR, 0x21);
    EXPECT_EQ(c.isr(), r::ISR_RST);
    EXPECT_TRUE(c.board.running() == false);
}

TEST(Control, ResetPortByReadOrWriteOfEveryOffset) {
    for (std::uint32_t port = 0x18; port < 0x20; port++) {
        for (bool write : {false, true}) {
            Rig rig;
            Card& c = rig.add();
            c.bring_up(true, r::RCR_AB);
            c.w(r::P0W_IMR, 0x1B);
            c.w(r::P0W_DCR, 0x49 | r::DCR_LAS);
            c.w(r::P0W_TCR, 0x02 | r::TCR_CRC);
            c.start_dma(0x4000, 100, 0x0A);
            c.send(0x40, make_frame(kStationB, 60));
            if (write)
                c.board.write8(port, 0xFF);
            else
                c.board.read8(port);
            const hw::Dp8390State& s = c.board.regs();
            EXPECT_EQ(c.rd(r::CR), 0x21);  // TXP 0, RD 100, page 0
            EXPECT_EQ(s.isr & r::ISR_RST, r::ISR_RST);
            EXPECT_EQ(s.imr, 0);
            EXPECT_EQ(s.dcr, 0x49);
            EXPECT_EQ(s.tcr, r::TCR_CRC);
            EXPECT_EQ(s.pstart, kRingStart);  // the rest kept
            EXPECT_EQ(s.pstop, kRingStop);
            EXPECT_EQ(s.rcr, r::RCR_AB);
            EXPECT_EQ(s.par[5], 0x01);
            EXPECT_EQ(c.board.read8(0x10), 0xFF);  // the remote read stopped
            rig.settle();
            EXPECT_TRUE(rig.wire.empty());          // and the transmission
            EXPECT_EQ(s.tsr, 0);
        }
    }
}

TEST(Control, IsrWriteOneToClear) {
    Rig rig;
    Card& c = rig.up();
    c.board.core().raise_isr(0x5F);  // CNT follows the counters, so not here
    c.w(r::P0W_ISR, 0x0A);
    EXPECT_EQ(c.isr(), 0x55);
    c.w(r::P0W_ISR, 0x55);
    EXPECT_EQ(c.isr(), 0);
}

TEST(Control, LineFollowsIsrAndImrEdgeByEdge) {
    Rig rig;
    Card& c = rig.up();
    c.edges.clear();
    struct Step {
        const char* what;
        std::uint8_t raise, imr, clear;  // raise ISR bits, then IMR, then clear bits
        bool level;
    };
    const Step steps[] = {
        {"PRX masked", r::ISR_PRX, 0x00, 0, false},
        {"unmask PRX", 0, 0x1B, 0, true},
        {"PTX too: no new edge", r::ISR_PTX, 0x1B, 0, true},
        {"clear PRX only", 0, 0x1B, r::ISR_PRX, true},
        {"clear PTX", 0, 0x1B, r::ISR_PTX, false},
        {"RDC masked by 0x1B", r::ISR_RDC, 0x1B, r::ISR_RDC, false},
        {"RST never drives the line", r::ISR_RST, 0xFF, 0, false},
        {"OVW", r::ISR_OVW, 0xFF, 0, true},
        {"mask all", 0, 0x00, 0, false},
        {"unmask again", 0, 0x10, 0, true},
    };
    std::vector<bool> expected_edges;
    bool level = false;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.raise) c.board.core().raise_isr(s.raise);
        c.w(r::P0W_IMR, s.imr);
        if (s.clear) c.w(r::P0W_ISR, s.clear);
        EXPECT_EQ(c.board.irq_level(), s.level);
        if (s.level != level) expected_edges.push_back(s.level);
        level = s.level;
    }
    EXPECT_EQ(c.edges, expected_edges);
}

TEST(Control, DescribeNamesTheRegisterOnItsPage) {
    Rig rig;
    Card& c = rig.up();
    auto text = [&](std::uint32_t offset, bool write, unsigned width, std::uint32_t value) {
        std::string s;
        c.board.describe_to(s, offset, write, width, value);
        return s;
    };
    EXPECT_EQ(text(0x00, true, 8, 0x22), "CR = 0x22 (STA, abort DMA, page 0)");
    EXPECT_EQ(text(0x00, true, 8, 0x0A), "CR = 0x0A (STA, remote read, page 0)");
    EXPECT_EQ(text(0x00, true, 8, 0x61), "CR = 0x61 (STP, abort DMA, page 1)");
    EXPECT_EQ(text(0x07, false, 8, 0x01), "ISR -> 0x01 (PRX)");
    EXPECT_EQ(text(0x07, true, 8, 0x0A), "ISR = 0x0A (PTX, TXE)");
    EXPECT_EQ(text(0x08, true, 8, 0x00), "RSAR0 = 0x00");
    EXPECT_EQ(text(0x08, false, 8, 0x04), "CRDA0 -> 0x04");
    EXPECT_EQ(text(0x0F, false, 8, 0x00), "CNTR2 -> 0x00");
    EXPECT_EQ(text(0x0F, true, 8, 0x1B), "IMR = 0x1B (PRX, PTX, TXE, OVW)");
    EXPECT_EQ(text(0x10, true, 16, 0x1234), "data <- 0x1234");
    EXPECT_EQ(text(0x10, false, 8, 0x12), "data -> 0x12");
    EXPECT_EQ(text(0x1F, true, 8, 0xFF), "reset <- 0xFF");
    c.w(r::CR, 0x62);
    EXPECT_EQ(text(0x07, false, 8, 0x4D), "CURR -> 0x4D");
    EXPECT_EQ(text(0x0F, true, 8, 0x80), "MAR7 = 0x80");
    EXPECT_EQ(text(0x01, true, 8, 0x02), "PAR0 = 0x02");
}

TEST(Control, PageOneCurrOrMar7DuringServiceRoutineIsMisuse) {
    Rig rig;
    Card& c = rig.up();
    c.board.set_isr_context(true);
    c.rd(r::P0R_ISR);
    c.w(r::P0W_IMR, 0);  // page 0: fine
    c.w(r::CR, 0x62);
    c.rd(r::P1_PAR0);    // other page-1 registers are not counted
    c.rd(r::P1_CURR);
    c.w(r::P1_MAR7, 0x00);
    c.w(r::CR, 0x22);
    c.board.set_isr_context(false);
    c.w(r::CR, 0x62);
    c.rd(r::P1_CURR);
    EXPECT_EQ(c.board.misuse().page1_in_isr, 2u);
    EXPECT_EQ(c.board.misuse().total(), 2u);
}

TEST(Control, PageTwoReadsBackConfiguration) {
    Rig rig;
    Card& c = rig.add();
    c.bring_up(true, r::RCR_AB | r::RCR_AM);
    c.w(r::P0W_IMR, 0x1B);
    c.w(r::P0W_TPSR, 0x40);
    c.w(r::CR, 0xA2);
    EXPECT_EQ(c.rd(r::P2R_PSTART), kRingStart);
    EXPECT_EQ(c.rd(r::P2R_PSTOP), kRingStop);
    EXPECT_EQ(c.rd(r::P2R_TPSR), 0x40);
    EXPECT_EQ(c.rd(r::P2R_RCR), r::RCR_AB | r::RCR_AM);
    EXPECT_EQ(c.rd(r::P2R_DCR), 0x49);
    EXPECT_EQ(c.rd(r::P2R_IMR), 0x1B);
}

}  // namespace
}  // namespace hwtest
