// Receiving into the ring: header, next page and wrap; ring-full refusal
// and recovery; the address filter; runts, FCS errors, missed frames and
// the tally counters.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

struct Header {
    std::uint8_t status, next;
    std::uint16_t count;
};

Header header_at(Card& c, std::uint8_t page) {
    Bytes h = c.copy_up(static_cast<std::uint16_t>(page << 8), 4, true);
    return {h[0], h[1], static_cast<std::uint16_t>(h[2] | h[3] << 8)};
}

// The frame as stored: from page*256+4, wrapping from PSTOP to PSTART.
Bytes stored(Card& c, std::uint8_t page, std::size_t len) {
    Bytes out(len);
    std::uint32_t a = (page << 8) + 4;
    for (std::size_t i = 0; i < len; i++) {
        if (a == static_cast<std::uint32_t>(kRingStop) << 8) a = kRingStart << 8;
        out[i] = c.board.peek(static_cast<std::uint16_t>(a++));
    }
    return out;
}

Bytes with_fcs(Bytes f) {
    std::uint32_t fcs = hw::ethernet_fcs(f.data(), f.size());
    for (int i = 0; i < 4; i++) f.push_back(static_cast<std::uint8_t>(fcs >> (8 * i)));
    return f;
}

TEST(Receive, FramesLandWithExactHeaderAndNextPage) {
    struct Case {
        std::size_t len;
        std::uint8_t curr;   // where it is stored
        std::uint8_t bnry;
        std::uint8_t next;   // expected next page
    };
    const Case cases[] = {
        {60, 0x4D, 0x4C, 0x4E},   {61, 0x4D, 0x4C, 0x4E},   {255, 0x4D, 0x4C, 0x4F},
        {256, 0x4D, 0x4C, 0x4F},  {1514, 0x4D, 0x4C, 0x53}, {252, 0x50, 0x4F, 0x52},  // 252+8 = 260 > 256
        {248, 0x50, 0x4F, 0x51},  {1514, 0x7E, 0x7D, 0x50},  // wraps over PSTOP
        {60, 0x7F, 0x7E, 0x4C},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.len << " bytes at page " << int(k.curr));
        Rig rig;
        Card& c = rig.add();
        Card& peer = rig.add(hw::BoardConfig{});
        (void)peer;
        c.bring_up();
        c.w(r::P0W_BNRY, k.bnry);
        c.w(r::CR, 0x62);
        c.w(r::P1_CURR, k.curr);
        c.w(r::CR, 0x22);
        Bytes f = make_frame(kStationA, k.len, 5);
        rig.inject(f);
        Header h = header_at(c, k.curr);
        EXPECT_EQ(h.status, r::RSR_PRX);
        EXPECT_EQ(h.next, k.next);
        EXPECT_EQ(h.count, k.len + 4);
        EXPECT_EQ(c.curr(), k.next);
        EXPECT_EQ(stored(c, k.curr, k.len + 4), with_fcs(f));
        EXPECT_EQ(c.isr(), r::ISR_PRX | r::ISR_RDC);
        EXPECT_EQ(c.rd(r::P0R_RSR), r::RSR_PRX);
    }
}

TEST(Receive, RingFullRefusesUntilStopAndStart) {
    Rig rig;
    Card& c = rig.add();
    c.bring_up(true, r::RCR_AB, 0x4C, 0x50);  // four pages, CURR 0x4D, BNRY 0x4C
    Bytes f = make_frame(kStationA, 60);
    rig.inject(f);
    rig.inject(f);
    EXPECT_EQ(c.curr(), 0x4F);
    c.w(r::P0W_ISR, 0xFF);

    rig.inject(make_frame(kStationA, 60, 1));  // its next page would be BNRY
    EXPECT_EQ(c.isr() & (r::ISR_OVW | r::ISR_RST | r::ISR_PRX), r::ISR_OVW | r::ISR_RST);
    EXPECT_EQ(c.curr(), 0x4F);
    EXPECT_EQ(c.board.peek(0x4F00), 0x00);  // nothing stored
    EXPECT_EQ(c.board.peek(0x4F04), 0x00);
    EXPECT_TRUE(c.board.receive_disabled());

    // Room again, but the receiver stays off until stop and start.
    c.w(r::P0W_BNRY, 0x4E);
    rig.inject(f);
    EXPECT_EQ(c.curr(), 0x4F);
    EXPECT_EQ(c.rd(r::P0R_CNTR2), 2);
    c.w(r::CR, 0x21);
    c.w(r::CR, 0x22);
    EXPECT_FALSE(c.board.receive_disabled());
    c.w(r::P0W_ISR, 0xFF);
    rig.inject(f);
    EXPECT_EQ(c.curr(), 0x4C);
    EXPECT_EQ(c.isr() & r::ISR_PRX, r::ISR_PRX);
}

TEST(Receive, BigFrameNeedsEveryPageFree) {
    Rig rig;
    Card& c = rig.up();
    c.w(r::P0W_BNRY, 0x50);  // 0x4D..0x4F free: three pages, next page would be 0x51
    rig.inject(make_frame(kStationA, 1000));
    EXPECT_TRUE(c.isr() & r::ISR_OVW);
    EXPECT_EQ(c.curr(), 0x4D);
}

TEST(Receive, MulticastHashCheckValues) {
    struct Case {
        std::array<std::uint8_t, 6> addr;
        unsigned reg, bit;
    };
    const Case cases[] = {{{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, 3, 7},
                          {{0x33, 0x33, 0x00, 0x00, 0x00, 0x01}, 7, 6},
                          {{0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA}, 5, 3},
                          {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 7, 7}};
    for (const Case& k : cases) {
        EXPECT_EQ(hw::Dp8390::hash_bit(k.addr.data()), k.reg * 8 + k.bit);
        if (k.addr == kBroadcast) continue;
        // Accepted with exactly that MAR bit, refused with every other.
        for (unsigned bit = 0; bit < 64; bit++) {
            Rig rig;
            Card& c = rig.add();
            c.bring_up(true, r::RCR_AM);
            c.w(r::CR, 0x62);
            c.w(static_cast<std::uint8_t>(r::P1_MAR0 + bit / 8), static_cast<std::uint8_t>(1u << (bit % 8)));
            c.w(r::CR, 0x22);
            rig.inject(make_frame(k.addr, 60));
            EXPECT_EQ(c.curr() != 0x4D, bit == k.reg * 8 + k.bit) << bit;
        }
    }
}

TEST(Receive, AddressFilter) {
    const std::array<std::uint8_t, 6> other{0x02, 0x00, 0x00, 0x00, 0x00, 0x09};
    const std::array<std::uint8_t, 6> group{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};  // MAR3 bit 7
    struct Case {
        const char* name;
        std::array<std::uint8_t, 6> dest;
        std::uint8_t rcr;
        std::uint8_t mar3;
        bool accepted;
        std::uint8_t status;
    };
    const Case cases[] = {
        {"directed", kStationA, 0, 0, true, r::RSR_PRX},
        {"other station", other, r::RCR_AB | r::RCR_AM, 0xFF, false, 0},
        {"broadcast, AB", kBroadcast, r::RCR_AB, 0, true, r::RSR_PRX | r::RSR_PHY},
        {"broadcast, no AB", kBroadcast, r::RCR_AM | r::RCR_PRO, 0xFF, false, 0},
        {"multicast, AM and bit", group, r::RCR_AM, 0x80, true, r::RSR_PRX | r::RSR_PHY},
        {"multicast, AM no bit", group, r::RCR_AM, 0x7F, false, 0},
        {"multicast, bit no AM", group, r::RCR_AB | r::RCR_PRO, 0x80, false, 0},
        {"promiscuous, other", other, r::RCR_PRO, 0, true, r::RSR_PRX},
        {"promiscuous, multicast", group, r::RCR_PRO, 0x00, false, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        Card& c = rig.add();
        c.bring_up(true, k.rcr);
        c.w(r::CR, 0x62);
        c.w(r::P1_MAR3, k.mar3);
        c.w(r::CR, 0x22);
        rig.inject(make_frame(k.dest, 64));
        EXPECT_EQ(c.curr() != 0x4D, k.accepted);
        if (k.accepted) {
            EXPECT_EQ(header_at(c, 0x4D).status, k.status);
        }
        EXPECT_EQ(c.rd(r::P0R_CNTR2), 0);  // a frame for someone else is not "missed"
    }
}

TEST(Receive, RuntsAndFcsErrors) {
    struct Case {
        const char* name;
        std::size_t len;
        bool good_fcs;
        std::uint8_t rcr;
        bool stored;
        std::uint8_t status;
        std::uint8_t cntr1;
        std::uint8_t isr;
    };
    const Case cases[] = {
        {"runt", 59, true, 0, false, 0, 0, 0},
        {"runt kept with AR", 59, true, r::RCR_AR, true, r::RSR_PRX, 0, r::ISR_PRX},
        {"tiny runt kept with AR", 14, true, r::RCR_AR, true, r::RSR_PRX, 0, r::ISR_PRX},
        {"minimum", 60, true, 0, true, r::RSR_PRX, 0, r::ISR_PRX},
        {"bad FCS", 100, false, 0, false, 0, 1, r::ISR_RXE},
        {"bad FCS kept with SEP", 100, false, r::RCR_SEP, true, r::RSR_CRC, 1, r::ISR_RXE},
        {"runt with bad FCS", 40, false, 0, false, 0, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        Card& c = rig.add();
        c.bring_up(true, k.rcr);
        Bytes f = with_fcs(make_frame(kStationA, k.len));
        if (!k.good_fcs) f.back() ^= 0x40;
        rig.inject(f, false);
        EXPECT_EQ(c.curr() != 0x4D, k.stored);
        if (k.stored) {
            EXPECT_EQ(header_at(c, 0x4D).status, k.status);
            EXPECT_EQ(header_at(c, 0x4D).count, k.len + 4);
        }
        EXPECT_EQ(c.isr() & ~r::ISR_RDC, k.isr);
        EXPECT_EQ(c.rd(r::P0R_CNTR1), k.cntr1);
        EXPECT_EQ(c.rd(r::P0R_CNTR1), 0);  // cleared by the read
    }
}

TEST(Receive, MissedFramesCountUnlessStopped) {
    struct Case {
        const char* name;
        std::uint8_t tcr, dcr, rcr, cr;
        std::uint8_t cntr2;
    };
    const Case cases[] = {
        {"running", 0x00, 0x49, r::RCR_AB, 0x22, 0},
        {"monitor", 0x00, 0x49, r::RCR_AB | r::RCR_MON, 0x22, 1},
        {"internal loopback", 0x02, 0x49, r::RCR_AB, 0x22, 1},
        {"loopback by DCR LS clear", 0x00, 0x41, r::RCR_AB, 0x22, 1},
        {"stopped", 0x00, 0x49, r::RCR_AB | r::RCR_MON, 0x21, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Rig rig;
        Card& c = rig.add();
        c.bring_up(true, k.rcr);
        c.w(r::P0W_TCR, k.tcr);
        c.w(r::P0W_DCR, k.dcr);
        c.w(r::CR, k.cr);
        rig.inject(make_frame(kStationA, 60));
        rig.inject(make_frame(kBroadcast, 60));
        EXPECT_EQ(c.curr() != 0x4D, k.cntr2 == 0 && k.cr == 0x22);
        EXPECT_EQ(c.rd(r::P0R_CNTR2), 2 * k.cntr2);
    }
}

TEST(Receive, TallyCountersSaturateAndRaiseCnt) {
    Rig rig;
    Card& c = rig.add();
    c.bring_up(true, r::RCR_AB);
    c.w(r::P0W_IMR, r::ISR_CNT);
    Bytes bad = with_fcs(make_frame(kStationA, 60));
    bad[0x20] ^= 1;
    for (int i = 0; i < 0x7F; i++) rig.inject(bad, false);
    EXPECT_FALSE(c.isr() & r::ISR_CNT);
    EXPECT_FALSE(c.board.irq_level());
    rig.inject(bad, false);  // 0x80: bit 7 set
    EXPECT_TRUE(c.isr() & r::ISR_CNT);
    EXPECT_TRUE(c.board.irq_level());
    c.w(r::P0W_ISR, r::ISR_CNT);  // stays while the counter keeps bit 7
    EXPECT_TRUE(c.isr() & r::ISR_CNT);
    for (int i = 0; i < 0x100; i++) rig.inject(bad, false);
    EXPECT_EQ(c.board.regs().cntr[hw::kTallyCrc], 0xFF);
    EXPECT_EQ(c.rd(r::P0R_CNTR1), 0xFF);
    EXPECT_FALSE(c.isr() & r::ISR_CNT);
    EXPECT_FALSE(c.board.irq_level());
    EXPECT_EQ(c.rd(r::P0R_CNTR1), 0);
}

}  // namespace
}  // namespace hwtest
