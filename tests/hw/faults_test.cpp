// Every fault knob, shown acting.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

std::uint16_t crda(Card& c) {
    std::uint8_t lo = c.rd(r::P0R_CRDA0);
    return static_cast<std::uint16_t>(lo | c.rd(r::P0R_CRDA1) << 8);
}

TEST(Faults, ControllerDoesNotAnswer) {
    Rig rig;
    Card& c = rig.add();
    c.board.faults().no_answer = true;
    c.w(r::CR, 0x22);
    EXPECT_EQ(c.rd(r::CR), 0xFF);
    EXPECT_EQ(c.board.read16(0x10), 0xFFFF);
    EXPECT_EQ(c.board.read8(0x1F), 0xFF);
    c.board.faults().no_answer = false;
    EXPECT_EQ(c.rd(r::CR), 0x21);  // the write never arrived
}

TEST(Faults, StopNotHonoured) {
    Rig rig;
    Card& c = rig.up();
    c.board.faults().ignore_stop = true;
    c.w(r::CR, 0x21);
    EXPECT_EQ(c.rd(r::CR), 0x22);
    EXPECT_TRUE(c.board.running());
    EXPECT_FALSE(c.isr() & r::ISR_RST);
}

TEST(Faults, CrdaNeverMoves) {
    Rig rig;
    Card& c = rig.up();
    c.board.faults().crda_frozen = true;
    c.start_dma(0x4000, 2, 0x0A);
    c.board.read16(0x10);
    EXPECT_EQ(crda(c), 0x4000);
}

TEST(Faults, RdcNeverSet) {
    Rig rig;
    Card& c = rig.up();
    c.board.faults().rdc_never = true;
    c.copy_up(0x4000, 4, true);
    EXPECT_FALSE(c.isr() & r::ISR_RDC);
    EXPECT_EQ(c.rd(r::CR), 0x22);
}

TEST(Faults, TransmitterNeverIdle) {
    Rig rig;
    Card& c = rig.up();
    c.board.faults().txp_stuck = true;
    EXPECT_TRUE(c.rd(r::CR) & r::CR_TXP);
    rig.clock.advance(10 * hw::kMicrosecond * 1000);
    EXPECT_TRUE(c.rd(r::CR) & r::CR_TXP);
}

TEST(Faults, TransmissionAborted) {
    Rig rig;
    Card& c = rig.up();
    c.w(r::P0W_IMR, 0x1B);
    c.board.faults().tx_abort = 1;
    c.send(0x40, make_frame(kStationB, 60));
    rig.settle();
    EXPECT_EQ(c.rd(r::P0R_TSR), r::TSR_ABT);
    EXPECT_EQ(c.isr() & (r::ISR_TXE | r::ISR_PTX), r::ISR_TXE);
    EXPECT_TRUE(c.board.irq_level());
    EXPECT_TRUE(rig.wire.empty());
    c.send(0x40, make_frame(kStationB, 60));  // the count ran out
    rig.settle();
    EXPECT_EQ(c.rd(r::P0R_TSR), r::TSR_PTX);
    EXPECT_EQ(rig.wire.size(), 1u);
}

TEST(Faults, StopCutsTheTransmissionOff) {
    Rig rig;
    Card& c = rig.up();
    c.board.faults().stop_cuts_tx = true;
    c.send(0x40, make_frame(kStationB, 200));
    rig.clock.advance(50 * hw::kMicrosecond);
    c.w(r::CR, 0x21);
    EXPECT_EQ(c.rd(r::CR), 0x21);
    EXPECT_EQ(c.isr() & (r::ISR_RST | r::ISR_PTX | r::ISR_TXE), r::ISR_RST);
    rig.settle();
    EXPECT_EQ(c.isr() & (r::ISR_PTX | r::ISR_TXE), 0);
    EXPECT_TRUE(rig.wire.empty());
    EXPECT_FALSE(rig.segment.busy());
}

TEST(Faults, CurrUnstable) {
    Rig rig;
    Card& c = rig.up();
    c.board.faults().curr_unstable = 3;
    std::vector<std::uint8_t> reads;
    for (int i = 0; i < 5; i++) reads.push_back(c.curr());
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(reads[i], 0x4D);
        EXPECT_NE(reads[i], reads[i + 1]);
    }
    EXPECT_EQ(reads[3], 0x4D);
    EXPECT_EQ(reads[4], 0x4D);
}

TEST(Faults, RingHeaderCorrupted) {
    struct Case {
        const char* name;
        bool status, next, count, high_is_low;
        std::uint8_t h[4];
    };
    // A 300-byte frame at 0x4D: good header 01 4F 30 01.
    const Case cases[] = {
        {"status", true, false, false, false, {0x00, 0x4F, 0x30, 0x01}},
        {"next page", false, true, false, false, {0x01, 0xEE, 0x30, 0x01}},
        {"count", false, false, true, false, {0x01, 0x4F, 0x34, 0x12}},
        {"high count byte is the low one", false, false, false, true, {0x01, 0x4F, 0x30, 0x30}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        Card& c = rig.up();
        hw::Faults& f = c.board.faults();
        f.corrupt_header = (k.status || k.next || k.count) ? 1 : 0;
        f.corrupt_status = k.status;
        f.corrupt_next = k.next;
        f.corrupt_count = k.count;
        f.bad_next = 0xEE;
        f.bad_count = 0x1234;
        f.count_high_is_low = k.high_is_low ? 1 : 0;
        rig.inject(make_frame(kStationA, 300));
        EXPECT_EQ(c.copy_up(0x4D00, 4, true), Bytes(k.h, k.h + 4));
        EXPECT_EQ(c.curr(), 0x4F);  // the controller itself is not misled
        rig.inject(make_frame(kStationA, 60));
        EXPECT_EQ(c.copy_up(0x4F00, 4, true), (Bytes{0x01, 0x50, 0x40, 0x00}));  // only once
    }
}

// Stray bytes stored ahead of the ring header: one byte with byte-wide
// local DMA, one word with word-wide; the header and the frame follow them,
// and the next page covers the extra bytes.
TEST(Faults, StrayBytesStoredBeforeTheHeader) {
    struct Case {
        bool words;
        std::size_t len;       // frame without FCS
        Bytes head;            // card RAM from 0x4D00
        std::uint8_t next;     // CURR afterwards
    };
    const Case cases[] = {
        {false, 60, {0xA5, 0x01, 0x4E, 0x40, 0x00}, 0x4E},
        {true, 60, {0xA5, 0x5A, 0x01, 0x4E, 0x40, 0x00}, 0x4E},
        // 4 + 252 bytes fill one page exactly; the stray byte needs another.
        {false, 248, {0xA5, 0x01, 0x4F, 0xFC, 0x00}, 0x4F},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.len);
        Rig rig;
        Card& c = rig.add();
        c.bring_up(k.words);
        c.board.faults().stray_before_header = 1;
        c.board.faults().stray_value = 0x5AA5;
        Bytes frame = make_frame(kStationA, k.len);
        rig.inject(frame);
        EXPECT_EQ(c.board.regs().curr, k.next);
        Bytes ram(k.head.size() + k.len);
        c.board.peek_block(0x4D00, ram.data(), ram.size());
        EXPECT_EQ(Bytes(ram.begin(), ram.begin() + k.head.size()), k.head);
        EXPECT_EQ(Bytes(ram.begin() + k.head.size(), ram.end()), frame);
        rig.inject(make_frame(kStationA, 60));  // only once
        EXPECT_EQ(c.board.peek(static_cast<std::uint16_t>(k.next << 8)), 0x01);
    }
}

TEST(Faults, ReceivedFrameErrors) {
    struct Case {
        const char* name;
        bool fcs, align;
        hw::Tally counter;
    };
    const Case cases[] = {{"bad FCS", true, false, hw::kTallyCrc}, {"alignment", false, true, hw::kTallyAlignment}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        Card& c = rig.up();
        c.board.faults().rx_bad_fcs = k.fcs ? 1 : 0;
        c.board.faults().rx_alignment = k.align ? 1 : 0;
        rig.inject(make_frame(kStationA, 60));
        EXPECT_EQ(c.curr(), 0x4D);
        EXPECT_TRUE(c.isr() & r::ISR_RXE);
        EXPECT_EQ(c.board.regs().cntr[k.counter], 1);
        rig.inject(make_frame(kStationA, 60));
        EXPECT_EQ(c.curr(), 0x4E);
    }
}

TEST(Faults, SpuriousIsrBits) {
    Rig rig;
    Card& c = rig.up();
    c.board.faults().spurious_isr = r::ISR_PRX | r::ISR_OVW;
    c.board.faults().spurious_isr_reads = 2;
    EXPECT_EQ(c.isr(), 0x11);
    EXPECT_EQ(c.isr(), 0x11);
    EXPECT_EQ(c.isr(), 0x00);
}

TEST(Faults, SharedLineFiresWithoutCardCause) {
    Rig rig;
    Card& c = rig.up();
    c.w(r::P0W_IMR, 0x1B);
    c.edges.clear();
    EXPECT_FALSE(c.board.fire_foreign_irq());  // none pending
    c.board.faults().foreign_irq = 1;
    bool seen_high_isr = true;
    c.board.set_irq_listener([&](bool level) {
        c.edges.push_back(level);
        if (level) seen_high_isr = c.isr() != 0;
    });
    EXPECT_TRUE(c.board.fire_foreign_irq());
    EXPECT_EQ(c.edges, (std::vector<bool>{true, false}));
    EXPECT_FALSE(seen_high_isr);  // the card shows no cause
    EXPECT_FALSE(c.board.fire_foreign_irq());
}

}  // namespace
}  // namespace hwtest
