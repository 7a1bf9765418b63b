// Transmitting: wire time on the virtual clock, TXP, TSR and PTX, FCS,
// loopback, the shared medium, stop during a transmission, and two boards
// exchanging a frame driven only by register writes.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

bool txp(Card& c) { return c.rd(r::CR) & r::CR_TXP; }

TEST(Transmit, TakesItsWireTimeThenRaisesPtx) {
    struct Case {
        std::size_t len;
        bool crc_inhibit;
    };
    const Case cases[] = {{60, false}, {1514, false}, {64, true}, {42, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.len);
        Rig rig;
        Card& c = rig.up();
        c.w(r::P0W_IMR, 0x1B);
        c.w(r::P0W_TCR, k.crc_inhibit ? r::TCR_CRC : 0);
        Bytes f = make_frame(kStationB, k.len);
        c.send(0x40, f);
        hw::Nanos t0 = rig.clock.now();
        std::size_t wire_len = k.len + (k.crc_inhibit ? 0 : 4);
        hw::Nanos end = t0 + (8 + wire_len + 12) * 800;
        EXPECT_TRUE(txp(c));
        rig.clock.run_until(end - 1);
        EXPECT_TRUE(txp(c));
        EXPECT_EQ(c.rd(r::P0R_TSR), 0);
        EXPECT_FALSE(c.board.irq_level());
        EXPECT_TRUE(rig.wire.empty());
        rig.clock.run_until(end);
        EXPECT_FALSE(txp(c));
        EXPECT_EQ(c.rd(r::P0R_TSR), r::TSR_PTX);
        EXPECT_EQ(c.isr() & r::ISR_PTX, r::ISR_PTX);
        EXPECT_TRUE(c.board.irq_level());
        ASSERT_EQ(rig.wire.size(), 1u);
        EXPECT_EQ(rig.wire[0].time, end);
        ASSERT_EQ(rig.wire[0].bytes.size(), wire_len);
        EXPECT_TRUE(std::equal(f.begin(), f.end(), rig.wire[0].bytes.begin()));  // no padding
        if (!k.crc_inhibit) {
            std::uint32_t fcs = hw::ethernet_fcs(f.data(), f.size());
            for (int i = 0; i < 4; i++) EXPECT_EQ(rig.wire[0].bytes[k.len + i], static_cast<std::uint8_t>(fcs >> 8 * i));
        }
        EXPECT_EQ(c.board.misuse().total(), 0u);
    }
}

TEST(Transmit, ShortFrameArrivesAsARuntAndIsDropped) {
    Rig rig;
    Card& a = rig.up();
    Card& b = rig.up(Station(kStationB));
    a.send(0x40, make_frame(kStationB, 42));
    rig.settle();
    EXPECT_EQ(a.rd(r::P0R_TSR), r::TSR_PTX);
    EXPECT_EQ(b.curr(), 0x4D);
}

TEST(Transmit, LoopbackKeepsTheFrameOffTheWire) {
    struct Case {
        const char* name;
        std::uint8_t tcr, dcr;
    };
    const Case cases[] = {{"internal", 0x02, 0x49}, {"external", 0x04, 0x49}, {"DCR LS clear", 0x00, 0x41}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        Card& a = rig.up();
        Card& b = rig.up(Station(kStationB));
        a.w(r::P0W_TCR, k.tcr);
        a.w(r::P0W_DCR, k.dcr);
        a.send(0x40, make_frame(kStationA, 100));  // even to itself
        EXPECT_TRUE(txp(a));
        rig.settle();
        EXPECT_FALSE(txp(a));
        EXPECT_EQ(a.rd(r::P0R_TSR), r::TSR_PTX);
        EXPECT_TRUE(a.isr() & r::ISR_PTX);
        EXPECT_TRUE(rig.wire.empty());
        EXPECT_EQ(a.curr(), 0x4D);
        EXPECT_EQ(b.curr(), 0x4D);
    }
}

TEST(Transmit, SharedMediumMakesTheSecondSenderWait) {
    Rig rig;
    Card& a = rig.up();
    Card& b = rig.up(Station(kStationB));
    Bytes fa = make_frame(kStationB, 1000), fb = make_frame(kStationA, 60);
    // Both frames are in card RAM before either starts.
    a.copy_down(0x4000, fa, true);
    b.copy_down(0x4000, fb, true);
    for (Card* c : {&a, &b}) {
        c->w(r::P0W_TPSR, 0x40);
        std::size_t n = c == &a ? fa.size() : fb.size();
        c->w(r::P0W_TBCR0, static_cast<std::uint8_t>(n));
        c->w(r::P0W_TBCR1, static_cast<std::uint8_t>(n >> 8));
    }
    hw::Nanos t0 = rig.clock.now();
    a.w(r::CR, 0x26);
    b.w(r::CR, 0x26);
    hw::Nanos end_a = t0 + hw::wire_time(1004);
    hw::Nanos end_b = end_a + hw::wire_time(64);
    rig.clock.run_until(end_a);
    EXPECT_FALSE(txp(a));
    EXPECT_TRUE(txp(b));  // waited for the medium
    EXPECT_EQ(b.curr(), 0x51);
    rig.clock.run_until(end_b - 1);
    EXPECT_TRUE(txp(b));
    rig.clock.run_until(end_b);
    EXPECT_FALSE(txp(b));
    EXPECT_EQ(a.curr(), 0x4E);
    ASSERT_EQ(rig.wire.size(), 2u);
    EXPECT_EQ(rig.wire[1].time, end_b);

    // An injected frame waits too.
    a.send(0x40, fa);
    rig.segment.inject(fb.data(), fb.size());
    EXPECT_TRUE(rig.segment.busy());
    rig.settle();
    EXPECT_EQ(rig.wire.back().time, rig.wire[rig.wire.size() - 2].time + hw::wire_time(64));
}

TEST(Transmit, TxpWhileStoppedOrBusyIsMisuse) {
    Rig rig;
    Card& c = rig.up();
    c.w(r::CR, 0x21);
    c.w(r::P0W_TBCR0, 60);
    c.w(r::CR, 0x25);
    EXPECT_FALSE(txp(c));
    EXPECT_EQ(c.board.misuse().txp_stopped, 1u);
    c.w(r::CR, 0x22);
    c.w(r::CR, 0x26);
    c.w(r::CR, 0x26);
    EXPECT_EQ(c.board.misuse().txp_busy, 1u);
    rig.settle();
    EXPECT_EQ(rig.wire.size(), 1u);
}

TEST(Transmit, StopFinishesTheFrameThenSetsRst) {
    Rig rig;
    Card& c = rig.up();
    c.send(0x40, make_frame(kStationB, 200));
    c.w(r::CR, 0x21);
    EXPECT_FALSE(c.isr() & r::ISR_RST);
    EXPECT_EQ(c.rd(r::CR), 0x25);  // stopped, still sending
    rig.settle();
    EXPECT_EQ(c.isr() & (r::ISR_RST | r::ISR_PTX), r::ISR_RST | r::ISR_PTX);
    EXPECT_EQ(c.rd(r::CR), 0x21);
    EXPECT_EQ(rig.wire.size(), 1u);
}

TEST(Transmit, TwoBoardsExchangeAFrameByRegisterWrites) {
    Rig rig;
    Card& a = rig.add();
    hw::BoardConfig cb;
    cb.station = kStationB;
    cb.kind = hw::BoardKind::Isa8;
    Card& b = rig.add(cb);
    a.bring_up(true);
    b.bring_up(false, r::RCR_AB, 0x26, 0x40);  // 8-bit board: RAM 0x2000-0x3FFF
    b.w(r::P0W_IMR, 0x1B);
    Bytes f = make_frame(kStationB, 300, 77);
    a.send(0x40, f);
    rig.settle();
    EXPECT_TRUE(b.board.irq_level());
    EXPECT_EQ(b.isr() & r::ISR_PRX, r::ISR_PRX);
    EXPECT_EQ(b.curr(), 0x29);
    Bytes got = b.copy_up(0x2700, 4 + 304, false);
    EXPECT_EQ(got[0], r::RSR_PRX);
    EXPECT_EQ(got[1], 0x29);
    EXPECT_EQ(got[2] | got[3] << 8, 304);
    EXPECT_TRUE(std::equal(f.begin(), f.end(), got.begin() + 4));
    EXPECT_EQ(a.board.misuse().total() + b.board.misuse().total(), 0u);
}

}  // namespace
}  // namespace hwtest
