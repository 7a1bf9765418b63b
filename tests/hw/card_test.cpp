// The emulated card on its own, by port accesses: remote DMA, receiving
// into the ring, the address filter, transmitting, the command register,
// ISR and the line, and the fault knobs whose effect no driver test shows.
#include <gtest/gtest.h>

#include "tests/hw/rig.h"

namespace hwtest {
namespace {

Bytes WithFcs(Bytes f) {
    std::uint32_t fcs = hw::ethernet_fcs(f.data(), f.size());
    for (int i = 0; i < 4; i++) f.push_back(std::uint8_t(fcs >> (8 * i)));
    return f;
}

// Both widths: CRDA moves with every access, RDC only when the count
// reaches 0, CR reads the command while it runs; transfers wrap from PSTOP
// to PSTART; an access with no transfer under way moves nothing.
TEST(RemoteDma, BothWidthsCrdaRdcAndTheWrap) {
    for (bool words : {false, true}) {
        SCOPED_TRACE(words);
        Rig rig;
        Card& c = rig.add();
        c.up(words);
        Bytes data = Frame(kStationB, 64, 3);
        c.dma(0x4100, 64, 0x12);
        EXPECT_EQ(c.rd(r::CR), 0x12);
        for (std::size_t i = 0, step = words ? 2 : 1; i < data.size(); i += step) {
            if (words) c.board.write16(0x10, std::uint16_t(data[i] | data[i + 1] << 8));
            else c.board.write8(0x10, data[i]);
            EXPECT_EQ(c.crda(), 0x4100 + i + step);
            EXPECT_EQ((c.isr() & r::ISR_RDC) != 0, i + step == data.size());
        }
        EXPECT_EQ(c.rd(r::CR), 0x22);
        c.w(r::P0W_ISR, r::ISR_RDC);
        EXPECT_EQ(c.copy_up(0x4100, 64, words), data);
        EXPECT_TRUE(c.isr() & r::ISR_RDC);
        c.copy_down(0x7FFC, Bytes(data.begin(), data.begin() + 8), words);
        EXPECT_EQ(c.crda(), 0x4C04);
        EXPECT_EQ(c.board.peek(0x4C03), data[7]);
        EXPECT_EQ(c.copy_up(0x7FFC, 8, words), Bytes(data.begin(), data.begin() + 8));
        EXPECT_EQ(c.board.misuse().total(), 0u);
        c.w(r::CR, 0x22);
        EXPECT_EQ(c.board.read16(0x10), 0xFFFF);  // past the count
        c.dma(0x4100, 0, 0x0A);                    // a count of 0 completes at once
        EXPECT_TRUE(c.isr() & r::ISR_RDC);
        EXPECT_EQ(c.board.read8(0x10), 0xFF);
        EXPECT_EQ(c.board.misuse().data_port_idle, 2u);
    }
}

// Word mode: an 8-bit read gives the low byte of a word moved, an 8-bit
// write moves a word with high byte 0, an odd count stores only the bytes
// counted, a word at an odd address is misuse. Byte mode: a 16-bit read is
// the byte zero-extended, a 16-bit write its low byte.
TEST(RemoteDma, WidthRules) {
    Rig rig;
    Card& c = rig.add();
    for (std::uint16_t a : {0x4000, 0x4001, 0x4003, 0x4005, 0x4006, 0x4011}) c.board.poke(a, std::uint8_t(a));
    c.dma(0x4000, 4, 0x0A);
    EXPECT_EQ(c.board.read8(0x10), 0x00);
    EXPECT_EQ(c.crda(), 0x4002);
    c.dma(0x4010, 2, 0x12);
    c.board.write8(0x10, 0xAB);
    EXPECT_EQ(c.board.peek(0x4011), 0x00);
    c.dma(0x4000, 3, 0x12);
    c.board.write16(0x10, 0x2211);
    c.board.write16(0x10, 0x0033);
    EXPECT_EQ(c.board.peek(0x4003), 0x03);
    EXPECT_EQ(c.board.misuse().total(), 0u);
    c.dma(0x4005, 4, 0x0A);
    EXPECT_EQ(c.board.read16(0x10), 0x0605);
    c.board.read16(0x10);
    EXPECT_EQ(c.board.misuse().odd_word, 1u);  // once per transfer
    c.w(r::P0W_DCR, 0x48);
    c.dma(0x4000, 2, 0x0A);
    EXPECT_EQ(c.board.read16(0x10), 0x0011);
    EXPECT_EQ(c.crda(), 0x4001);
    c.dma(0x4020, 2, 0x12);
    c.board.write16(0x10, 0xBEEF);
    EXPECT_EQ(c.board.peek(0x4020), 0xEF);
    EXPECT_EQ(c.crda(), 0x4021);
}

// A frame lands at CURR behind its header (status, next page, count with
// FCS), wrapping over PSTOP; CURR moves to the next page.
TEST(Receive, FramesLandWithExactHeaderAndNextPage) {
    struct Case { std::size_t len; std::uint8_t curr, next; } cases[] = {
        {60, 0x4D, 0x4E}, {61, 0x4D, 0x4E}, {255, 0x4D, 0x4F}, {256, 0x4D, 0x4F}, {1514, 0x4D, 0x53},
        {252, 0x50, 0x52}, {248, 0x50, 0x51}, {1514, 0x7E, 0x50}, {60, 0x7F, 0x4C}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.len << " at " << int(k.curr));
        Rig rig;
        Card& c = rig.add();
        c.w({{r::P0W_BNRY, k.curr - 1}, {r::CR, 0x62}, {r::P1_CURR, k.curr}, {r::CR, 0x22}});
        Bytes f = Frame(kStationA, k.len, 5), stored = WithFcs(f);
        rig.inject(f);
        Bytes h = c.copy_up(std::uint16_t(k.curr << 8), 4, true);
        EXPECT_EQ(h, (Bytes{r::RSR_PRX, k.next, std::uint8_t(k.len + 4), std::uint8_t((k.len + 4) >> 8)}));
        EXPECT_EQ(c.curr(), k.next);
        for (std::size_t i = 0, a = (k.curr << 8) + 4; i < stored.size(); i++, a = a + 1 == 0x8000 ? 0x4C00 : a + 1)
            ASSERT_EQ(c.board.peek(std::uint16_t(a)), stored[i]) << i;
        EXPECT_EQ(c.isr(), r::ISR_PRX | r::ISR_RDC);
    }
}

// A frame whose next page would reach BNRY is refused with OVW and the
// receiver stays off, also once there is room, until a stop and a start.
TEST(Receive, RingFullRefusesUntilStopAndStart) {
    Rig rig;
    Card& c = rig.add();
    c.up(true, r::RCR_AB, 0x4C, 0x50);  // four pages
    Bytes f = Frame(kStationA, 60);
    rig.inject(f);
    rig.inject(f);
    c.w(r::P0W_ISR, 0xFF);
    rig.inject(Frame(kStationA, 60, 1));
    EXPECT_EQ(c.isr() & (r::ISR_OVW | r::ISR_RST | r::ISR_PRX), r::ISR_OVW | r::ISR_RST);
    EXPECT_EQ(c.curr(), 0x4F);
    EXPECT_TRUE(c.board.receive_disabled());
    c.w(r::P0W_BNRY, 0x4E);
    rig.inject(f);
    EXPECT_EQ(c.curr(), 0x4F);
    EXPECT_EQ(c.rd(r::P0R_CNTR2), 2);
    c.w({{r::CR, 0x21}, {r::CR, 0x22}, {r::P0W_ISR, 0xFF}});
    rig.inject(f);
    EXPECT_EQ(c.curr(), 0x4C);
    // A frame takes only free pages: three free, four needed.
    c.w(r::P0W_BNRY, 0x4F);
    rig.inject(Frame(kStationA, 1000));
    EXPECT_TRUE(c.isr() & r::ISR_OVW);
}

// The address filter, the multicast hash on its check values, runts, FCS
// errors and what the tallies count.
TEST(Receive, AddressFilterRuntsAndErrors) {
    const std::array<std::uint8_t, 6> other{0x02, 0x00, 0x00, 0x00, 0x00, 0x09}, group{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    const std::pair<std::array<std::uint8_t, 6>, unsigned> bits[] = {
        {group, 3 * 8 + 7}, {{0x33, 0x33, 0, 0, 0, 1}, 62}, {{0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA}, 43}, {kBroadcast, 63}};
    for (auto [a, bit] : bits) EXPECT_EQ(hw::Dp8390::hash_bit(a.data()), bit);
    struct Case { const char* name; std::array<std::uint8_t, 6> dest; std::size_t len; bool bad_fcs; std::uint8_t rcr, mar3;
                  int status; std::uint8_t isr, cntr1; } cases[] = {
        {"directed", kStationA, 64, false, 0, 0, r::RSR_PRX, r::ISR_PRX, 0},
        {"other station", other, 64, false, r::RCR_AB | r::RCR_AM, 0xFF, -1, 0, 0},
        {"broadcast, AB", kBroadcast, 64, false, r::RCR_AB, 0, r::RSR_PRX | r::RSR_PHY, r::ISR_PRX, 0},
        {"broadcast, no AB", kBroadcast, 64, false, r::RCR_AM | r::RCR_PRO, 0xFF, -1, 0, 0},
        {"multicast, AM and its bit", group, 64, false, r::RCR_AM, 0x80, r::RSR_PRX | r::RSR_PHY, r::ISR_PRX, 0},
        {"multicast, AM, other bits", group, 64, false, r::RCR_AM, 0x7F, -1, 0, 0},
        {"multicast, its bit, no AM", group, 64, false, r::RCR_AB | r::RCR_PRO, 0x80, -1, 0, 0},
        {"promiscuous, other station", other, 64, false, r::RCR_PRO, 0, r::RSR_PRX, r::ISR_PRX, 0},
        {"runt", kStationA, 59, false, 0, 0, -1, 0, 0},
        {"runt kept with AR", kStationA, 14, false, r::RCR_AR, 0, r::RSR_PRX, r::ISR_PRX, 0},
        {"bad FCS", kStationA, 100, true, 0, 0, -1, r::ISR_RXE, 1},
        {"bad FCS kept with SEP", kStationA, 100, true, r::RCR_SEP, 0, r::RSR_CRC, r::ISR_RXE, 1},
        {"runt with bad FCS", kStationA, 40, true, 0, 0, -1, 0, 0}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        Card& c = rig.add();
        c.up(true, k.rcr);
        c.w({{r::CR, 0x62}, {r::P1_MAR3, k.mar3}, {r::CR, 0x22}});
        Bytes f = WithFcs(Frame(k.dest, k.len));
        if (k.bad_fcs) f.back() ^= 0x40;
        rig.inject(f, false);
        EXPECT_EQ(c.curr() != 0x4D, k.status >= 0);
        if (k.status >= 0) { EXPECT_EQ(c.copy_up(0x4D00, 2, true)[0], k.status); }
        EXPECT_EQ(c.isr() & ~r::ISR_RDC, k.isr);
        EXPECT_EQ(c.rd(r::P0R_CNTR1), k.cntr1);
        EXPECT_EQ(c.rd(r::P0R_CNTR1) + c.rd(r::P0R_CNTR2), 0);  // cleared by the read; nothing missed
    }
}

// A frame takes its wire time, then TXP clears, TSR and ISR show PTX and the
// line rises; the wire carries it with its FCS (none with CRC inhibit),
// unpadded. Loopback keeps it off the wire; a stop lets it finish first.
TEST(Transmit, WireTimeFcsLoopbackAndStop) {
    struct Case { std::size_t len; std::uint8_t tcr, dcr, cr_after; bool on_wire; } cases[] = {
        {60, 0x00, 0x49, 0, true}, {1514, 0x00, 0x49, 0, true}, {64, r::TCR_CRC, 0x49, 0, true}, {42, 0x00, 0x49, 0, true},
        {100, 0x02, 0x49, 0, false}, {100, 0x04, 0x49, 0, false}, {100, 0x00, 0x41, 0, false}, {200, 0x00, 0x49, 0x21, true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.len << " tcr " << int(k.tcr) << " dcr " << int(k.dcr));
        Rig rig;
        Card& c = rig.add();
        c.w({{r::P0W_IMR, 0x1B}, {r::P0W_TCR, k.tcr}, {r::P0W_DCR, k.dcr}});
        Bytes f = Frame(k.on_wire ? kStationB : kStationA, k.len);  // in loopback even to itself
        c.send(0x40, f);
        if (k.cr_after) {
            c.w(r::CR, k.cr_after);
            EXPECT_EQ(c.rd(r::CR), 0x25);  // stopped, still sending
            EXPECT_FALSE(c.isr() & r::ISR_RST);
        }
        std::size_t wire_len = k.len + (k.tcr & r::TCR_CRC ? 0 : 4);
        hw::Nanos end = rig.clock.now() + hw::wire_time(wire_len);
        rig.clock.run_until(end - 1);
        if (k.on_wire) {
            EXPECT_TRUE(c.rd(r::CR) & r::CR_TXP);
            EXPECT_EQ(c.rd(r::P0R_TSR), 0);
            EXPECT_FALSE(c.board.irq_level());
        }
        rig.settle();
        EXPECT_FALSE(c.rd(r::CR) & r::CR_TXP);
        EXPECT_EQ(c.rd(r::P0R_TSR), r::TSR_PTX);
        EXPECT_EQ(c.isr() & (r::ISR_PTX | r::ISR_RST), r::ISR_PTX | (k.cr_after ? r::ISR_RST : 0));
        EXPECT_EQ(c.board.irq_level(), true);
        ASSERT_EQ(rig.wire.size(), k.on_wire ? 1u : 0u);
        if (k.on_wire) {
            EXPECT_EQ(rig.wire[0].first, end);
            EXPECT_EQ(rig.wire[0].second, k.tcr & r::TCR_CRC ? f : WithFcs(f));
        }
        EXPECT_EQ(c.curr(), 0x4D);  // not even to itself in loopback
    }
}

// Two boards on one segment: the second sender waits for the medium, and a
// frame sent by register writes arrives at the other board whole.
TEST(Transmit, SharedMediumAndTwoBoards) {
    Rig rig;
    Card& a = rig.add();
    hw::BoardConfig cb;
    cb.station = kStationB;
    cb.kind = hw::BoardKind::Isa8;
    Card& b = rig.add(cb, false);
    b.up(false, r::RCR_AB, 0x26, 0x40);
    Bytes fa = Frame(kStationB, 300, 77), fb = Frame(kStationA, 60);
    b.send(0x20, fb);
    a.send(0x40, fa);
    hw::Nanos end_b = rig.clock.now() + hw::wire_time(64);
    rig.clock.run_until(end_b + 1);
    EXPECT_TRUE(a.rd(r::CR) & r::CR_TXP);  // waited for the medium
    rig.settle();
    ASSERT_EQ(rig.wire.size(), 2u);
    EXPECT_EQ(rig.wire[1].first, rig.wire[0].first + hw::wire_time(304));
    EXPECT_EQ(b.curr(), 0x29);
    Bytes got = b.copy_up(0x2700, 4 + 304, false);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{r::RSR_PRX, 0x29, 0x30, 0x01}));
    EXPECT_TRUE(std::equal(fa.begin(), fa.end(), got.begin() + 4));
    EXPECT_EQ(a.curr(), 0x4E);
    EXPECT_EQ(a.board.misuse().total() + b.board.misuse().total(), 0u);
}

// CR reads back (STA not sticky, a remote read of 0 bytes completes at
// once); a start clears RST, writing ISR does not; TXP while stopped or
// busy is misuse.
TEST(Control, CommandRegister) {
    Rig rig;
    Card& c = rig.add({}, false);
    EXPECT_EQ(c.isr(), r::ISR_RST);
    for (auto [write, read] : {std::pair<int, int>{0x22, 0x22}, {0x21, 0x21}, {0x61, 0x61}, {0x62, 0x62}, {0x0A, 0x22},
                               {0x23, 0x23}, {0xA1, 0xA1}, {0x21, 0x21}}) {
        c.w(r::CR, std::uint8_t(write));
        EXPECT_EQ(c.rd(r::CR), read) << write;
    }
    c.w(r::P0W_ISR, 0xFF);
    EXPECT_EQ(c.isr(), r::ISR_RST);
    c.w({{r::P0W_TBCR0, 60}, {r::CR, 0x25}});
    EXPECT_EQ(c.board.misuse().txp_stopped, 1u);
    c.up(true, r::RCR_AB | r::RCR_AM);
    EXPECT_EQ(c.isr(), 0);
    c.w({{r::P0W_TBCR0, 60}, {r::CR, 0x26}, {r::CR, 0x26}});
    EXPECT_EQ(c.board.misuse().txp_busy, 1u);
}

// ISR bits clear by writing ones; the line follows ISR & IMR edge by edge
// (RST never drives it); page-1 CURR or MAR7 in the service routine is
// misuse.
TEST(Control, IsrImrAndTheLine) {
    Rig rig;
    Card& c = rig.add();
    c.board.core().raise_isr(0x5F);
    c.w(r::P0W_ISR, 0x0A);
    EXPECT_EQ(c.isr(), 0x55);
    c.w(r::P0W_ISR, 0x55);
    c.edges.clear();
    struct Step { std::uint8_t raise, imr, clear; bool level; } steps[] = {
        {r::ISR_PRX, 0x00, 0, false}, {0, 0x1B, 0, true}, {r::ISR_PTX, 0x1B, 0, true}, {0, 0x1B, r::ISR_PRX, true},
        {0, 0x1B, r::ISR_PTX, false}, {r::ISR_RDC, 0x1B, r::ISR_RDC, false}, {r::ISR_RST, 0xFF, 0, false},
        {r::ISR_OVW, 0xFF, 0, true}, {0, 0x00, 0, false}, {0, 0x10, 0, true}};
    std::vector<bool> edges;
    for (const Step& s : steps) {
        if (s.raise) c.board.core().raise_isr(s.raise);
        c.w({{r::P0W_IMR, s.imr}, {r::P0W_ISR, s.clear}});
        EXPECT_EQ(c.board.irq_level(), s.level) << int(s.raise) << " " << int(s.imr) << " " << int(s.clear);
        if (edges.empty() ? s.level : edges.back() != s.level) edges.push_back(s.level);
    }
    EXPECT_EQ(c.edges, edges);
    c.board.set_isr_context(true);
    c.w({{r::CR, 0x62}, {r::P1_PAR0, 0}, {r::P1_MAR7, 0}, {r::CR, 0x22}});
    c.rd(r::P1_CURR);  // page 0 again: ISR
    c.w(r::CR, 0x62);
    c.rd(r::P1_CURR);
    c.board.set_isr_context(false);
    c.rd(r::P1_CURR);
    EXPECT_EQ(c.board.misuse().page1_in_isr, 2u);
}

// Pulled out after three more accesses, with a frame on the wire and the
// line high: the fourth access and every one after read all ones and write
// nothing, the line drops and stays low, the frame is cut off, and nothing
// arrives any more.
TEST(Faults, CardPulledOut) {
    Rig rig;
    Card& c = rig.add();
    c.w(r::P0W_IMR, 0x1B);
    c.send(0x40, Frame(kStationB, 1000));
    c.board.core().raise_isr(r::ISR_PRX);
    ASSERT_TRUE(c.board.irq_level());
    c.board.faults().pull_after = 3;
    EXPECT_EQ(c.rd(r::CR), 0x26);
    EXPECT_TRUE(c.isr() & r::ISR_PRX);
    EXPECT_FALSE(c.board.pulled());
    EXPECT_EQ(c.rd(r::P0R_TSR), 0);  // the third: still answered
    EXPECT_TRUE(c.board.pulled());
    EXPECT_EQ(c.edges, (std::vector<bool>{true, false}));
    EXPECT_EQ(c.rd(r::CR), 0xFF);
    EXPECT_EQ(c.board.read16(0x10), 0xFFFF);
    Bytes block(6, 0);
    c.board.read8_string(0x10, block.data(), 6);
    EXPECT_EQ(block, Bytes(6, 0xFF));
    c.w({{r::P0W_IMR, 0x00}, {r::CR, 0x21}});
    EXPECT_EQ(c.board.regs().imr, 0x1B);  // went nowhere
    c.board.core().raise_isr(r::ISR_PTX);
    rig.inject(Frame(kStationA, 100));
    EXPECT_FALSE(c.board.irq_level());
    EXPECT_EQ(c.edges.size(), 2u);
    EXPECT_TRUE(rig.wire.size() == 1 && rig.wire[0].second.size() == 104);  // only the injected frame
    EXPECT_EQ(c.board.regs().curr, 0x4D);
}

// Loopback keeps the wire out of the ring, unless it leaks (as QEMU's card
// does): then frames are stored while TCR selects loopback.
TEST(Faults, LoopbackThatLeaks) {
    for (bool leaks : {false, true}) {
        SCOPED_TRACE(leaks);
        Rig rig;
        Card& c = rig.add();
        c.board.faults().loopback_leaks = leaks;
        c.w({{r::P0W_TCR, 0x02}, {r::P0W_IMR, 0x1B}});
        rig.inject(Frame(kStationA, 100));
        EXPECT_EQ(c.curr(), leaks ? 0x4E : 0x4D);
        EXPECT_EQ(c.board.irq_level(), leaks);
        EXPECT_EQ(c.rd(r::P0R_CNTR2), leaks ? 0 : 1);  // missed otherwise
    }
}

}  // namespace
}  // namespace hwtest
