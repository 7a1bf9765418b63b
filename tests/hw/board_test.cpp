// What each board kind carries: PROM image read byte- and word-wide, where
// buffer RAM lies and what lies outside it, PC Card attribute memory, MCA
// POS decoding.
#include <gtest/gtest.h>

#include "rig.h"

namespace hwtest {
namespace {

const std::array<std::uint8_t, 6> kSta{0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};

Bytes prom_bytes(Card& c, bool words) {
    c.w(r::P0W_DCR, words ? 0x49 : 0x48);
    return c.copy_up(0x0000, 32, words);
}

TEST(Board, PromImagesReadByteAndWordWide) {
    const Bytes wide{0x00, 0x00, 0x1B, 0x1B, 0x2C, 0x2C, 0x3D, 0x3D, 0x4E, 0x4E, 0x5F, 0x5F, 0, 0, 0, 0,
                     0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x57, 0x57, 0x57, 0x57};
    const Bytes half{0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0, 0, 0, 0, 0, 0, 0, 0, 0x42, 0x42};
    Bytes narrow(32);
    for (std::size_t i = 0; i < 32; i++) narrow[i] = half[i % 16];
    struct Case {
        hw::BoardKind kind;
        const Bytes* image;
    };
    const Case cases[] = {{hw::BoardKind::Isa16, &wide},
                          {hw::BoardKind::Isa8, &narrow},
                          {hw::BoardKind::PcCard, &wide},
                          {hw::BoardKind::Mca, &wide}};
    for (const Case& k : cases) {
        SCOPED_TRACE(static_cast<int>(k.kind));
        Rig rig;
        hw::BoardConfig cfg;
        cfg.kind = k.kind;
        cfg.station = kSta;
        Card& c = rig.add(cfg);
        c.bring_up(false);
        EXPECT_EQ(prom_bytes(c, false), *k.image);
        // A word read gives the PROM byte at the word's address in both halves.
        Bytes w = prom_bytes(c, true);
        for (std::size_t i = 0; i < 32; i += 2) {
            EXPECT_EQ(w[i], (*k.image)[i]) << i;
            EXPECT_EQ(w[i + 1], (*k.image)[i]) << i;
        }
        EXPECT_EQ(c.board.misuse().total(), 0u);
    }
}

TEST(Board, RamRangesAndWhatLiesOutside) {
    struct Case {
        hw::BoardKind kind;
        std::optional<std::uint32_t> start, size;
        std::uint32_t lo, hi;  // expected RAM [lo, hi)
    };
    const Case cases[] = {
        {hw::BoardKind::Isa16, {}, {}, 0x4000, 0x8000},
        {hw::BoardKind::Isa8, {}, {}, 0x2000, 0x4000},
        {hw::BoardKind::PcCard, {}, {}, 0x4000, 0x8000},
        {hw::BoardKind::Mca, {}, {}, 0x4000, 0x8000},
        {hw::BoardKind::Isa16, 0x0400, 0x1000, 0x0400, 0x1400},
        {hw::BoardKind::Isa16, 0x4000, 0xC000, 0x4000, 0x10000},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(k.kind) << " " << k.lo);
        Rig rig;
        hw::BoardConfig cfg;
        cfg.kind = k.kind;
        cfg.ram_start = k.start;
        cfg.ram_size = k.size;
        Card& c = rig.add(cfg);
        c.bring_up(false, 0, 0x01, 0x01);  // no ring wrap in the way
        const Bytes pattern{0xAA, 0x55, 0xFF, 0x00};
        auto probe = [&](std::uint32_t a) {
            c.copy_down(static_cast<std::uint16_t>(a), pattern, false);
            return c.copy_up(static_cast<std::uint16_t>(a), 4, false) == pattern;
        };
        EXPECT_TRUE(probe(k.lo));
        EXPECT_TRUE(probe(k.hi - 4));
        EXPECT_FALSE(probe(k.lo - 4));
        if (k.hi < 0x10000) {
            EXPECT_FALSE(probe(k.hi));
        }
        // Outside: reads 0xFF, writes dropped, no mirror of RAM anywhere.
        for (std::uint32_t a = 0x400; a < 0x10000; a += 0x400) {
            bool inside = a >= k.lo && a < k.hi;
            if (!inside) {
                EXPECT_EQ(c.copy_up(static_cast<std::uint16_t>(a), 4, false), Bytes(4, 0xFF)) << a;
            }
        }
    }
}

TEST(Board, ConfiguredPromImage) {
    Rig rig;
    hw::BoardConfig cfg;
    Bytes image(32, 0x11);
    image[16] = image[17] = 0x42;
    cfg.prom = image;
    Card& c = rig.add(cfg);
    c.bring_up(false);
    EXPECT_EQ(prom_bytes(c, false), image);
}

TEST(Board, PcCardAttributeMemory) {
    Rig rig;
    hw::BoardConfig cfg;
    cfg.kind = hw::BoardKind::PcCard;
    cfg.station = kSta;
    Card& c = rig.add(cfg);
    auto& attr = c.board.attribute_memory();
    ASSERT_EQ(attr.size(), 4096u);
    for (int i = 0; i < 6; i++) EXPECT_EQ(attr[0xFF0 + 2 * i], kSta[i]);
    EXPECT_EQ(c.board.attribute_address(), 0xD4000u);
    Rig other;
    EXPECT_TRUE(other.add().board.attribute_memory().empty());
}

TEST(Board, McaAnswersWherePosDataSays) {
    struct Case {
        std::uint16_t id;
        std::uint8_t pos;
        std::uint32_t base;
        unsigned irq;
    };
    const Case cases[] = {{0x67B0, 0x4A, 0x320, 5},  {0x7154, 0x4A, 0xB0B0, 5}, {0x67B0, 0x00, 0x300, 3},
                          {0x7154, 0x0E, 0xC3D0, 3}, {0x67B0, 0x68, 0x300, 9},  {0x67B0, 0x22, 0x1000, 4}};
    for (const Case& k : cases) {
        hw::Clock clock;
        hw::BoardConfig cfg;
        cfg.kind = hw::BoardKind::Mca;
        cfg.mca_adapter_id = k.id;
        cfg.pos_data1 = k.pos;
        hw::Ne2000Board b(clock, cfg);
        EXPECT_EQ(b.io_base(), k.base) << std::hex << k.id << " " << int(k.pos);
        EXPECT_EQ(b.irq(), k.irq);
        EXPECT_EQ(b.mca_adapter_id(), k.id);
        EXPECT_EQ(b.pos_data1(), k.pos);
    }
    hw::Clock clock;
    hw::BoardConfig isa;
    isa.io_base = 0x280;
    isa.irq = 10;
    hw::Ne2000Board b(clock, isa);
    EXPECT_EQ(b.io_base(), 0x280u);
    EXPECT_EQ(b.irq(), 10u);
}

}  // namespace
}  // namespace hwtest
