// Finding the card: the answer to a stop, bring-up of each kind of card,
// the width signature, the RAM search and the station address.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/rig.h"

namespace {

hw::BoardConfig Board(hw::BoardKind kind) {
    hw::BoardConfig c;
    c.kind = kind;
    c.station = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    return c;
}

std::vector<std::uint8_t> Prom(std::vector<std::pair<int, UCHAR>> bytes) {
    std::vector<std::uint8_t> image(32, 0x00);
    for (auto [i, v] : bytes) image[i] = v;
    return image;
}

// CR reads `value` after the first write of `after` to it (-1: left alone;
// 0xFF: the controller does not answer at all).
void ForceCommand(rig::Rig& r, int after, int value) {
    if (value == 0xFF) r.card.faults().no_answer = true;
    if (value < 0 || value == 0xFF) return;
    r.host.bus().trace_to_vector(true);
    r.host.bus().set_access_hook([&r, after, value, done = false](std::uint64_t) mutable {
        const sim::TraceEntry& e = r.host.bus().trace().back();
        if (done || !e.write || e.port != r.card.io_base() || int(e.value) != after) return;
        done = true;
        r.card.regs().cr_run = value & 0x03;
        r.card.regs().cr_rd = value & 0x38;
    });
}

// STP and the abort bit are looked at after a stop; a card that reads 0xFF
// is gone. A failed check of the setup writes nothing after it.
TEST(CardAnswer, OnlyAStoppedControllerAnswers) {
    struct Case { int forced; bool ok; } cases[] = {{-1, true}, {0x23, true}, {0xFF, false},
                                                    {0x01, false}, {0x22, false}, {0x20, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.forced);
        for (bool setup : {false, true}) {
            rig::Rig r;
            ASSERT_TRUE(r.Init());
            r.rec->InterruptsArmed = !setup;
            ForceCommand(r, 0x21, c.forced);
            r.Trace();
            EXPECT_EQ(setup ? CardSetup(r.rec) : CardCheckParameters(r.rec), c.ok);
            r.host.bus().set_access_hook(nullptr);
            if (!setup) { EXPECT_EQ(r.StalledUs(), 2000u); }
            EXPECT_EQ(r.rec->InterruptsArmed, setup && c.ok);
            if (setup && !c.ok) { EXPECT_EQ(r.Accesses().size(), 2u); }
            r.card.faults() = hw::Faults{};
            ASSERT_TRUE(CardSetup(r.rec));
        }
    }
}

// Width, RAM and reset pulses per kind of card; a nonzero CardType takes
// the width from the PROM and the RAM as fixed.
TEST(CardInitialize, BringsUpEachKindOfCard) {
    struct Case { hw::BoardKind kind; ULONG card_type; UCHAR wide; ULONG start, size; unsigned pulses; bool ram_test; }
    cases[] = {{hw::BoardKind::Isa16, 0, 0, 0x4000, 0x4000, 3, true},
               {hw::BoardKind::Isa8, 0, 1, 0x2000, 0x2000, 3, true},
               {hw::BoardKind::PcCard, 1, 0, 0x4000, 0x4000, 1, false},
               {hw::BoardKind::Mca, 0, 0, 0x4000, 0x4000, 1, true},
               {hw::BoardKind::Isa16, 2, 0, 0x4000, 0x4000, 3, false},
               {hw::BoardKind::Isa8, 2, 1, 0x4000, 0x4000, 3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.kind) << "/" << c.card_type);
        rig::Rig r(Board(c.kind));
        ASSERT_TRUE(r.Init());
        AdapterRecord& a = *r.rec;
        a.CardType = c.card_type;
        a.ByteWide = (UCHAR)!c.wide;
        a.RamStart = a.RamSize = 0;
        r.Trace();
        ASSERT_TRUE(CardInitialize(&a));
        EXPECT_EQ(a.ByteWide, c.wide);
        EXPECT_EQ(a.RamStart, c.start);
        EXPECT_EQ(a.RamSize, c.size);
        EXPECT_EQ(r.Count(false, 0x1F), c.pulses);  // a pulse is a read and a write: cards differ in which resets them
        EXPECT_EQ(r.Count(true, 0x1F), c.pulses);
        EXPECT_EQ(r.Count(true, NIC_CR, 0x12) > 0, c.ram_test);
        EXPECT_EQ(r.Accesses().back().value, 0x21u);
        const hw::Dp8390State& s = r.card.regs();
        EXPECT_EQ(s.dcr, c.wide ? 0x48 : 0x49);
        EXPECT_EQ(s.tcr, 0x02);
        EXPECT_EQ(s.rcr, 0x00);
        EXPECT_EQ(s.imr, 0x00);
        EXPECT_EQ(a.InterruptsArmed, 0);
        ASSERT_TRUE(CardSetup(&a));
        EXPECT_EQ(r.Check(), "");
    }
}

// Pairs of 0x42 (byte-wide) or 0x57 (word-wide) at positions 16..31 of the
// PROM image; a word-wide pair anywhere makes the card word-wide.
TEST(CardSlotTest, SignaturePairs) {
    const UCHAR B = 0x42, W = 0x57;
    struct Case { std::vector<std::pair<int, UCHAR>> prom; bool ok; UCHAR wide; } cases[] = {
        {{{16, B}, {17, B}, {28, W}, {29, W}}, true, 0}, {{{16, W}, {17, W}, {28, B}, {29, B}}, true, 0},
        {{{20, B}, {21, B}}, true, 1}, {{{30, B}, {31, B}}, true, 1}, {{{30, W}, {31, W}}, true, 0},
        {{{15, B}, {16, B}}, false, 7}, {{{15, W}, {16, W}}, false, 7}, {{{20, B}, {21, W}}, false, 7},
        {{}, false, 7}};
    for (const Case& c : cases) {
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.card.memory().set_prom(Prom(c.prom));
        r.rec->ByteWide = 7;
        r.Trace();
        EXPECT_EQ(CardSlotTest(r.rec), c.ok) << c.prom.size();
        EXPECT_EQ(r.rec->ByteWide, c.wide);
        EXPECT_EQ(r.Count(false, 0x1F), 2u);
        EXPECT_EQ(r.Count(false, NIC_DATA), 32u);
    }
    rig::Rig r(hw::BoardKind::Isa16);  // here the stop must read exactly STP, abort
    ASSERT_TRUE(r.Init());
    ForceCommand(r, 0x21, 0x23);
    EXPECT_FALSE(CardSlotTest(r.rec));
}

// The RAM search: the first and last 1 KB step that hold the pattern on
// both paths, then every byte between; a fault anywhere fails it.
TEST(CardRamTest, FindsTheRamThatAnswersOnBothPaths) {
    enum Fault { kNone, kFirstProbeOnly, kBadByte };
    struct Case { std::uint32_t start, size; Fault fault; bool ok; ULONG ram_start, ram_size; } cases[] = {
        {0x4000, 0x4000, kNone, true, 0x4000, 0x4000}, {0x4000, 0xC000, kNone, true, 0x4000, 0xBF00},
        {0x0400, 0x3C00, kNone, true, 0x0400, 0x3C00}, {0x4000, 0x0000, kNone, false, 0, 0},
        {0x4000, 0x4000, kFirstProbeOnly, false, 0, 0}, {0x4000, 0x4000, kBadByte, false, 0, 0}};
    for (hw::BoardKind kind : {hw::BoardKind::Isa16, hw::BoardKind::Isa8}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << int(kind) << " " << c.start << "+" << c.size);
            rig::Rig r(kind);
            ASSERT_TRUE(r.Init());
            r.card.memory().set_ram(c.start, c.size);
            AdapterRecord& a = *r.rec;
            a.RamStart = a.RamSize = 0;
            unsigned probes = 0;
            r.host.bus().trace_to_vector(true);
            r.host.bus().set_access_hook([&](std::uint64_t) {
                const sim::TraceEntry& e = r.host.bus().trace().back();
                if (c.fault == kBadByte) r.card.poke(0x5006, 0x13);
                if (c.fault == kFirstProbeOnly && e.write && e.port == r.card.io_base() && e.value == 0x12 &&
                    r.card.regs().rsar == c.start && ++probes == 2) {
                    r.card.memory().set_ram(0, 0);  // and what it held reads as no RAM
                    for (std::uint16_t i = 0; i < 4; i++) r.card.poke(std::uint16_t(c.start + i), 0xFF);
                }
            });
            EXPECT_EQ(CardInitialize(&a), c.ok);
            EXPECT_EQ(a.RamStart, c.ram_start);
            EXPECT_EQ(a.RamSize, c.ram_size);
            r.host.bus().set_access_hook(nullptr);
        }
    }
}

// From the PROM, or a PC Card's attribute window (which must reach 0xFFA);
// a configured station address is kept, the window unmapped again.
TEST(CardReadEthernetAddress, FromThePromOrTheAttributeWindow) {
    const std::vector<UCHAR> prom{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, mine{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    struct Case { hw::BoardKind kind; ULONG card_type, window; bool overridden, ok; } cases[] = {
        {hw::BoardKind::Isa16, 0, 0, false, true}, {hw::BoardKind::Isa8, 0, 0, true, true},
        {hw::BoardKind::Mca, 0, 0, false, true}, {hw::BoardKind::Isa16, 2, 0, true, true},
        {hw::BoardKind::PcCard, 1, 0x1000, false, true}, {hw::BoardKind::PcCard, 1, 0xFFB, true, true},
        {hw::BoardKind::PcCard, 1, 0xFFA, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.kind) << " window " << c.window);
        rig::Rig r(Board(c.kind));
        ASSERT_TRUE(r.Init());
        AdapterRecord& a = *r.rec;
        a.CardType = c.card_type;
        if (c.window) a.AttributeMemorySize = c.window;
        NdisZeroMemory(a.PermanentAddress, 6);
        for (int i = 0; i < 6; i++) a.StationAddress[i] = c.overridden ? mine[i] : 0;
        std::size_t maps = r.host.mappings().size();
        EXPECT_EQ(CardReadEthernetAddress(&a), c.ok);
        std::vector<UCHAR> want = c.ok ? prom : std::vector<UCHAR>(6, 0);
        EXPECT_EQ(std::vector<UCHAR>(a.PermanentAddress, a.PermanentAddress + 6), want);
        EXPECT_EQ(std::vector<UCHAR>(a.StationAddress, a.StationAddress + 6), c.overridden ? mine : want);
        EXPECT_EQ(r.host.mappings().size(), maps + (c.card_type == 1 && c.ok));
        EXPECT_TRUE(r.host.live_mappings().empty());
    }
}

}  // namespace
