// Remote DMA through the data port: both transfer widths, CRDA, the count
// reaching 0, the PSTOP wrap and the width rules of mismatched accesses.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

struct Width {
    const char* name;
    bool words;
};
const Width kWidths[] = {{"byte", false}, {"word", true}};

std::uint16_t crda(Card& c) {
    std::uint8_t lo = c.rd(r::P0R_CRDA0);
    return static_cast<std::uint16_t>(lo | c.rd(r::P0R_CRDA1) << 8);
}

TEST(RemoteDma, WriteThenReadBackInBothWidths) {
    for (const Width& wd : kWidths) {
        SCOPED_TRACE(wd.name);
        Rig rig;
        Card& c = rig.add();
        c.bring_up(wd.words);
        Bytes data = make_frame(kStationB, 64, 3);

        c.start_dma(0x4100, 64, 0x12);
        EXPECT_EQ(c.rd(r::CR), 0x12);  // a transfer under way reads its command
        EXPECT_EQ(crda(c), 0x4100);
        for (std::size_t i = 0; i < data.size(); i += wd.words ? 2 : 1) {
            if (wd.words)
                c.board.write16(0x10, static_cast<std::uint16_t>(data[i] | data[i + 1] << 8));
            else
                c.board.write8(0x10, data[i]);
            EXPECT_EQ(crda(c), 0x4100 + i + (wd.words ? 2 : 1));
            // RDC only once the count reaches 0
            EXPECT_EQ((c.isr() & r::ISR_RDC) != 0, i + (wd.words ? 2 : 1) == data.size());
        }
        EXPECT_EQ(c.rd(r::CR), 0x22);  // RD reads 100 after completion
        Bytes in_card(64);
        c.board.peek_block(0x4100, in_card.data(), 64);
        EXPECT_EQ(in_card, data);

        c.w(r::P0W_ISR, r::ISR_RDC);
        EXPECT_EQ(c.copy_up(0x4100, 64, wd.words), data);
        EXPECT_TRUE(c.isr() & r::ISR_RDC);
        EXPECT_EQ(crda(c), 0x4140);
        EXPECT_EQ(c.board.misuse().total(), 0u);
    }
}

TEST(RemoteDma, WrapsAtPstopForReadsAndWrites) {
    for (const Width& wd : kWidths) {
        SCOPED_TRACE(wd.name);
        Rig rig;
        Card& c = rig.add();
        c.bring_up(wd.words);
        Bytes data = make_frame(kStationB, 8, 9);
        c.copy_down(0x7FFC, data, wd.words);
        EXPECT_EQ(crda(c), 0x4C04);
        EXPECT_EQ(c.board.peek(0x7FFC), data[0]);
        EXPECT_EQ(c.board.peek(0x7FFF), data[3]);
        EXPECT_EQ(c.board.peek(0x4C00), data[4]);
        EXPECT_EQ(c.board.peek(0x4C03), data[7]);
        EXPECT_EQ(c.board.peek(0x8000), 0xFF);  // nothing past the RAM
        EXPECT_EQ(c.copy_up(0x7FFC, 8, wd.words), data);
        // A transfer that never reaches PSTOP is not touched.
        c.w(r::P0W_PSTOP, 0x60);
        c.copy_down(0x7FFC, data, wd.words);
        EXPECT_EQ(c.board.peek(0x7FFF), data[3]);
        EXPECT_EQ(crda(c), 0x8004);
    }
}

TEST(RemoteDma, ZeroCountCompletesAtOnce) {
    for (std::uint8_t cmd : {std::uint8_t{0x0A}, std::uint8_t{0x12}}) {
        Rig rig;
        Card& c = rig.up();
        c.start_dma(0x4000, 0, cmd);
        EXPECT_TRUE(c.isr() & r::ISR_RDC);
        EXPECT_EQ(c.rd(r::CR), 0x22);
        EXPECT_EQ(c.board.read8(0x10), 0xFF);
        EXPECT_EQ(c.board.misuse().data_port_idle, 1u);
    }
}

TEST(RemoteDma, AccessesOutsideATransferMoveNothing) {
    Rig rig;
    Card& c = rig.up();
    c.board.poke(0x4000, 0x11);
    EXPECT_EQ(c.board.read16(0x10), 0xFFFF);  // never started
    c.start_dma(0x4000, 2, 0x0A);
    c.board.read16(0x10);
    EXPECT_EQ(c.board.read16(0x10), 0xFFFF);  // past the count
    c.start_dma(0x4000, 2, 0x0A);
    c.w(r::CR, 0x22);                          // aborted
    EXPECT_EQ(c.board.read8(0x10), 0xFF);
    c.start_dma(0x4000, 2, 0x0A);
    c.board.write16(0x10, 0x5555);             // wrong direction
    EXPECT_EQ(c.board.peek(0x4000), 0x11);
    EXPECT_EQ(c.board.misuse().data_port_idle, 4u);
    EXPECT_EQ(crda(c), 0x4000);
}

TEST(RemoteDma, WidthRulesForMismatchedPortAccesses) {
    Rig rig;
    Card& c = rig.up();
    c.board.poke(0x4000, 0x34);
    c.board.poke(0x4001, 0x12);
    // Word mode: an 8-bit read returns the low byte of the word moved.
    c.start_dma(0x4000, 4, 0x0A);
    EXPECT_EQ(c.board.read8(0x10), 0x34);
    EXPECT_EQ(crda(c), 0x4002);
    // Word mode: an 8-bit write moves a word with high byte 0.
    c.start_dma(0x4010, 2, 0x12);
    c.board.poke(0x4011, 0x77);
    c.board.write8(0x10, 0xAB);
    EXPECT_EQ(c.board.peek(0x4010), 0xAB);
    EXPECT_EQ(c.board.peek(0x4011), 0x00);
    // Byte mode: a 16-bit read is the byte zero-extended, a 16-bit write its low byte.
    c.w(r::P0W_DCR, 0x48);
    c.start_dma(0x4000, 2, 0x0A);
    EXPECT_EQ(c.board.read16(0x10), 0x0034);
    EXPECT_EQ(crda(c), 0x4001);
    c.start_dma(0x4020, 2, 0x12);
    c.board.write16(0x10, 0xBEEF);
    EXPECT_EQ(c.board.peek(0x4020), 0xEF);
    EXPECT_EQ(crda(c), 0x4021);
    EXPECT_EQ(c.board.misuse().total(), 0u);
}

TEST(RemoteDma, OddWordTransferIsMisuse) {
    Rig rig;
    Card& c = rig.up();
    c.board.poke(0x4005, 0xAA);
    c.board.poke(0x4006, 0xBB);
    c.start_dma(0x4005, 4, 0x0A);
    EXPECT_EQ(c.board.read16(0x10), 0xBBAA);
    c.board.read16(0x10);
    EXPECT_EQ(c.board.misuse().odd_word, 1u);  // once per transfer
}

TEST(RemoteDma, OddCountInWordModeStoresOnlyCountedBytes) {
    Rig rig;
    Card& c = rig.up();
    c.board.poke(0x4003, 0x99);
    c.start_dma(0x4000, 3, 0x12);
    c.board.write16(0x10, 0x2211);
    c.board.write16(0x10, 0x0033);
    EXPECT_EQ(c.board.peek(0x4002), 0x33);
    EXPECT_EQ(c.board.peek(0x4003), 0x99);
    EXPECT_TRUE(c.isr() & r::ISR_RDC);
    EXPECT_EQ(c.board.misuse().total(), 0u);
}

// The string forms take a bulk path; they must agree with single accesses
// across the wrap, the PROM and the end of RAM.
TEST(RemoteDma, StringFormsMatchSingleAccesses) {
    struct Case {
        std::uint16_t addr;
        std::uint16_t len;
    };
    const Case cases[] = {{0x0000, 40}, {0x7F00, 0x200}, {0x7FF0, 0x20}, {0x4000, 0x600}, {0xBFF0, 0x40}};
    for (const Width& wd : kWidths) {
        for (const Case& k : cases) {
            SCOPED_TRACE(testing::Message() << wd.name << " at " << k.addr);
            hw::BoardConfig cfg;
            cfg.ram_size = 0x8000;  // 0x4000-0xBFFF
            Rig rig;
            Card& a = rig.add(cfg);
            Card& b = rig.add(cfg);
            a.bring_up(wd.words);
            b.bring_up(wd.words);
            Bytes data(k.len);
            for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i * 13 + 1);
            a.copy_down(k.addr, data, wd.words);
            b.start_dma(k.addr, k.len, 0x12);
            for (std::size_t i = 0; i < data.size(); i += wd.words ? 2 : 1) {
                if (wd.words)
                    b.board.write16(0x10, static_cast<std::uint16_t>(data[i] | data[i + 1] << 8));
                else
                    b.board.write8(0x10, data[i]);
            }
            for (std::uint32_t p = 0; p < 0x10000; p += 0x100) {
                Bytes pa(256), pb(256);
                a.board.peek_block(static_cast<std::uint16_t>(p), pa.data(), 256);
                b.board.peek_block(static_cast<std::uint16_t>(p), pb.data(), 256);
                ASSERT_EQ(pa, pb) << "page " << (p >> 8);
            }
            Bytes bulk = a.copy_up(k.addr, k.len, wd.words);
            Bytes single;
            b.start_dma(k.addr, k.len, 0x0A);
            for (std::size_t i = 0; i < k.len; i += wd.words ? 2 : 1) {
                if (wd.words) {
                    std::uint16_t v = b.board.read16(0x10);
                    single.push_back(static_cast<std::uint8_t>(v));
                    single.push_back(static_cast<std::uint8_t>(v >> 8));
                } else {
                    single.push_back(b.board.read8(0x10));
                }
            }
            EXPECT_EQ(bulk, single);
            EXPECT_EQ(crda(a), crda(b));
            EXPECT_EQ(a.isr(), b.isr());
        }
    }
}

}  // namespace
}  // namespace hwtest
