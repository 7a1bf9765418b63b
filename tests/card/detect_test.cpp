// Finding the card: the answer to a stop, bring-up of each kind of card,
// the width signature, the RAM search and the station address.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/card_fixture.h"

using namespace ne2k_test;

namespace {

hw::BoardConfig Board(hw::BoardKind kind) {
    hw::BoardConfig c;
    c.kind = kind;
    c.station = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    return c;
}

hw::BoardConfig WithRam(hw::BoardKind kind, std::uint32_t start, std::uint32_t size) {
    hw::BoardConfig c = Board(kind);
    c.ram_start = start;
    c.ram_size = size;
    return c;
}

hw::BoardConfig WithProm(std::vector<std::pair<size_t, UCHAR>> bytes) {
    hw::BoardConfig c = Board(hw::BoardKind::Isa16);
    std::vector<UCHAR> image(32, 0x00);
    for (auto [i, v] : bytes) image[i] = v;
    c.prom = image;
    return c;
}

// CR reads `value` right after the first write of `after`.
void ForceCommand(CardFixture& f, UCHAR after, UCHAR value) {
    f.StartTrace();
    f.OnAccess([&f, after, value, done = false]() mutable {
        if (done || f.LastAccess() != W(NIC_CR, after)) return;
        done = true;
        f.card().regs().cr_run = value & 0x03;
        f.card().regs().cr_rd = value & 0x38;
    });
}

TEST(CardCheckParameters, AcceptsOnlyAStoppedAnswer) {
    struct Case { int forced; bool ok; } cases[] = {{-1, true}, {0x23, true}, {0xFF, false}, {0x22, false}};
    for (const Case& c : cases) {
        CardFixture f;
        f.adapter().InterruptsArmed = 1;
        if (c.forced == 0xFF) f.card().faults().no_answer = true;
        else if (c.forced >= 0) ForceCommand(f, 0x21, (UCHAR)c.forced);
        EXPECT_EQ(CardCheckParameters(&f.adapter()), c.ok) << c.forced;
        EXPECT_EQ(f.adapter().InterruptsArmed, 0);
        EXPECT_EQ(f.StalledMicroseconds(), 2000u);
    }
}

// Width, RAM and the number of reset pulses per kind of card; CardType 2
// takes the width from the PROM and the RAM as fixed.
TEST(CardInitialize, BringsUpEachKindOfCard) {
    struct Case { hw::BoardKind kind; ULONG card_type; UCHAR wide; ULONG start, size; unsigned pulses; bool ram_test; }
    cases[] = {{hw::BoardKind::Isa16, 0, 0, 0x4000, 0x4000, 3, true},
               {hw::BoardKind::Isa8, 0, 1, 0x2000, 0x2000, 3, true},
               {hw::BoardKind::PcCard, 1, 0, 0x4000, 0x4000, 1, false},
               {hw::BoardKind::Mca, 0, 0, 0x4000, 0x4000, 1, true},
               {hw::BoardKind::Isa16, 2, 0, 0x4000, 0x4000, 3, false},
               {hw::BoardKind::Isa8, 2, 1, 0x4000, 0x4000, 3, false}};
    for (const Case& c : cases) {
        CardFixture f(Board(c.kind));
        AdapterRecord& a = f.adapter();
        a.CardType = c.card_type;
        a.ByteWide = (UCHAR)!c.wide;
        a.RamStart = a.RamSize = 0;
        a.InterruptsArmed = 1;
        f.StartTrace();
        ASSERT_TRUE(CardInitialize(&a)) << int(c.kind) << "/" << c.card_type;
        EXPECT_EQ(a.ByteWide, c.wide);
        EXPECT_EQ(a.RamStart, c.start);
        EXPECT_EQ(a.RamSize, c.size);
        EXPECT_EQ(f.Count(false, NIC_RESET), c.pulses);
        EXPECT_EQ(f.CountWrites(NIC_CR, 0x12) > 0, c.ram_test);
        EXPECT_EQ(f.Trace().back(), W(NIC_CR, 0x21));
        const hw::Dp8390State& r = f.card().regs();
        EXPECT_EQ(r.dcr, c.wide ? 0x48 : 0x49);
        EXPECT_EQ(r.tcr, 0x02);
        EXPECT_EQ(r.rcr, 0x00);
        EXPECT_EQ(r.imr, 0x00);
        EXPECT_EQ(a.InterruptsArmed, 0);
        EXPECT_EQ(f.card().misuse().total(), 0u);
    }
}

TEST(CardInitialize, PcCardSequence) {
    CardFixture f(Board(hw::BoardKind::PcCard));
    f.StartTrace();
    ASSERT_TRUE(CardInitialize(&f.adapter()));
    EXPECT_EQ(WithoutReadValues(f.Trace()),
              (std::vector<RegAccess>{R(0x1F, 0), W(0x1F, 0xFF), W(0, 0x21), W(0x0E, 0x50), W(0x04, 0xA0),
                                      W(0x0D, 0x00), W(0x0C, 0x20), W(0x01, 0x04), W(0x02, 0xFF), W(0x03, 0x04),
                                      W(0x05, 0x3C), W(0x06, 0x00), W(0x07, 0xFF), W(0, 0x41), W(0x07, 0x04),
                                      W(0, 0x01), R(0, 0), W(0x0A, 0x37), W(0, 0x0A), W(0x0F, 0x00),
                                      W(0x0E, 0x49), W(0x0D, 0x00), W(0x0C, 0x00), W(0x07, 0xFF), W(0, 0x21),
                                      W(0x0A, 0x00), W(0x0B, 0x00), R(0x07, 0), W(0x0D, 0x02), W(0, 0x22),
                                      W(0, 0x21)}));
    EXPECT_EQ(f.StalledMicroseconds(), 6000u);
}

TEST(CardInitialize, FailsWhenTheControllerDoesNotStop) {
    CardFixture f(Board(hw::BoardKind::PcCard));
    ForceCommand(f, 0x01, 0x22);
    EXPECT_FALSE(CardInitialize(&f.adapter()));
    EXPECT_EQ(f.Trace().back(), R(NIC_CR, 0x22));
}

TEST(CardInitialize, FailsStoppedWithoutASignature) {
    CardFixture f(WithProm({}));
    f.adapter().ByteWide = 7;
    f.StartTrace();
    EXPECT_FALSE(CardInitialize(&f.adapter()));
    EXPECT_EQ(f.adapter().ByteWide, 7);
    EXPECT_EQ(f.Trace().back(), W(NIC_CR, 0x21));
}

// RST that never shows: 16,382 readings with 4 us stalls, then on.
TEST(CardInitialize, ResetWaitRunsOut) {
    CardFixture f(Board(hw::BoardKind::PcCard));
    f.OnAccess([&f] { f.card().regs().isr &= 0x7F; });
    f.StartTrace();
    ASSERT_TRUE(CardInitialize(&f.adapter()));
    EXPECT_EQ(f.Count(false, NIC_ISR), 16382u);
    EXPECT_EQ(f.StalledMicroseconds(), 6000u + 16382u * 4);
}

TEST(CardSlotTest, SignaturePairsAtPositionsSixteenToThirtyOne) {
    const UCHAR B = 0x42, Wd = 0x57;
    struct Case { std::vector<std::pair<size_t, UCHAR>> prom; bool ok; UCHAR wide; } cases[] = {
        {{{16, B}, {17, B}, {28, Wd}, {29, Wd}}, true, 0},
        {{{16, Wd}, {17, Wd}, {28, B}, {29, B}}, true, 0},
        {{{20, B}, {21, B}}, true, 1},
        {{{30, B}, {31, B}}, true, 1},
        {{{30, Wd}, {31, Wd}}, true, 0},
        {{{15, B}, {16, B}}, false, 7},
        {{{15, Wd}, {16, Wd}}, false, 7},
        {{{20, B}, {21, Wd}}, false, 7},
        {{}, false, 7}};
    for (const Case& c : cases) {
        CardFixture f(WithProm(c.prom));
        f.adapter().ByteWide = 7;
        f.StartTrace();
        EXPECT_EQ(CardSlotTest(&f.adapter()), c.ok);
        EXPECT_EQ(f.adapter().ByteWide, c.wide);
        EXPECT_EQ(f.Count(false, NIC_RESET), 2u);
        EXPECT_EQ(f.Count(false, NIC_DATA), 32u);
    }
    for (hw::BoardKind kind : {hw::BoardKind::Isa16, hw::BoardKind::Isa8}) {
        CardFixture f(kind);
        f.adapter().ByteWide = 7;
        EXPECT_TRUE(CardSlotTest(&f.adapter()));
        EXPECT_EQ(f.adapter().ByteWide, kind == hw::BoardKind::Isa8 ? 1 : 0);
    }
    CardFixture f;
    ForceCommand(f, 0x21, 0x23);
    EXPECT_FALSE(CardSlotTest(&f.adapter()));
}

// Faults for the RAM search, set from an access hook: a RAM that answers
// its first probe only, and one bad byte away from the 1 KB probe steps.
enum class RamFault { None, FirstProbeOnly, BadByte };

TEST(CardRamTest, FindsTheRamThatAnswersOnBothPaths) {
    struct Case { std::uint32_t start, size; RamFault fault; bool ok; ULONG ram_start, ram_size; } cases[] = {
        {0x4000, 0x4000, RamFault::None, true, 0x4000, 0x4000},
        {0x4000, 0xC000, RamFault::None, true, 0x4000, 0xBF00},
        {0x0400, 0x3C00, RamFault::None, true, 0x0400, 0x3C00},
        {0x4000, 0x0000, RamFault::None, false, 0, 0},
        {0x4000, 0x4000, RamFault::FirstProbeOnly, false, 0, 0},
        {0x4000, 0x4000, RamFault::BadByte, false, 0, 0}};
    for (hw::BoardKind kind : {hw::BoardKind::Isa16, hw::BoardKind::Isa8}) {
        for (const Case& c : cases) {
            CardFixture f(WithRam(kind, c.start, c.size));
            f.adapter().RamStart = f.adapter().RamSize = 0;
            unsigned writes_at_start = 0;
            if (c.fault != RamFault::None) {
                f.StartTrace();
                f.OnAccess([&] {
                    if (c.fault == RamFault::BadByte) {
                        f.card().poke(0x5006, 0x13);
                    } else if (f.LastAccess() == W(NIC_CR, 0x12) && f.card().regs().rsar == c.start &&
                               ++writes_at_start == 2) {
                        f.card().memory().set_ram(0, 0);  // and what it held reads as no RAM
                        for (std::uint16_t i = 0; i < 4; i++) f.card().poke((std::uint16_t)(c.start + i), 0xFF);
                    }
                });
            }
            EXPECT_EQ(CardInitialize(&f.adapter()), c.ok) << int(kind) << " " << c.start << "+" << c.size;
            EXPECT_EQ(f.adapter().RamStart, c.ram_start);
            EXPECT_EQ(f.adapter().RamSize, c.ram_size);
            EXPECT_EQ(f.card().regs().cr_run, 0x01);
        }
    }
}

TEST(CardReadEthernetAddress, FromThePromOrTheAttributeWindow) {
    const std::array<UCHAR, 6> station{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const std::array<UCHAR, 6> configured{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    struct Case { hw::BoardKind kind; ULONG card_type; } cases[] = {
        {hw::BoardKind::Isa16, 0}, {hw::BoardKind::Isa8, 0}, {hw::BoardKind::Mca, 0},
        {hw::BoardKind::PcCard, 1}, {hw::BoardKind::Isa16, 2}};
    for (const Case& c : cases) {
        for (bool overridden : {false, true}) {
            CardFixture f(Board(c.kind));
            // The window is mapped for an adapter the wrapper knows.
            if (c.card_type == 1) {
                ASSERT_EQ(f.BringUp(), NDIS_STATUS_SUCCESS);
            }
            AdapterRecord& a = f.adapter();
            a.CardType = c.card_type;
            if (c.card_type != 1) {
                ASSERT_TRUE(CardInitialize(&a));
            }
            NdisZeroMemory(a.PermanentAddress, 6);
            for (int i = 0; i < 6; i++) a.StationAddress[i] = overridden ? configured[i] : 0;
            size_t maps = f.host().mappings().size();
            ASSERT_TRUE(CardReadEthernetAddress(&a));
            EXPECT_EQ(std::vector<UCHAR>(a.PermanentAddress, a.PermanentAddress + 6),
                      std::vector<UCHAR>(station.begin(), station.end())) << int(c.kind);
            EXPECT_EQ(std::vector<UCHAR>(a.StationAddress, a.StationAddress + 6),
                      std::vector<UCHAR>(overridden ? configured.begin() : station.begin(),
                                         overridden ? configured.end() : station.end()));
            EXPECT_EQ(f.host().mappings().size(), maps + (c.card_type == 1 ? 1 : 0));
            EXPECT_TRUE(f.host().live_mappings().empty());
            EXPECT_TRUE(f.host().problems().empty());
        }
    }
}

// The window must reach offset 0xFFA; a smaller one is refused unmapped.
TEST(CardReadEthernetAddress, PcCardWindowTooSmallOrUnmappable) {
    struct Case { ULONG address, size; bool ok; } cases[] = {
        {0xD4000, 0xFFA, false}, {0xD4000, 0xFFB, true}, {0xD4000, 0x1000, true}, {0x0, 0x1000, false}};
    for (const Case& c : cases) {
        CardFixture f(Board(hw::BoardKind::PcCard));
        ASSERT_EQ(f.BringUp(), NDIS_STATUS_SUCCESS);
        AdapterRecord& a = f.adapter();
        size_t maps = f.host().mappings().size();
        NdisZeroMemory(a.PermanentAddress, 6);
        NdisZeroMemory(a.StationAddress, 6);
        a.AttributeMemoryAddress = c.address;
        a.AttributeMemorySize = c.size;
        EXPECT_EQ(CardReadEthernetAddress(&a), c.ok) << c.size;
        EXPECT_EQ(a.PermanentAddress[1], c.ok ? 0x11 : 0);
        EXPECT_EQ(a.StationAddress[1], c.ok ? 0x11 : 0);
        EXPECT_EQ(f.host().mappings().size(), maps + (c.ok ? 1 : 0));
        EXPECT_TRUE(f.host().live_mappings().empty());
    }
}

}  // namespace
