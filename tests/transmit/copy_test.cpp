// Packet copy into a transmit slot: one remote write per packet whatever the
// buffer layout, bytes paired across buffer boundaries on the 16-bit path,
// the final odd byte by card type, and card RAM holding exactly the frame.
#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "tests/support/card_fixture.h"
#include "transmit/transmit.h"

using namespace ne2k_test;

namespace {

const ULONG kSlot = 3;  // slot the copies go to
const UCHAR kBackground = 0xEE;

std::vector<UCHAR> Pattern(size_t n) {
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (UCHAR)(i * 13 + 1);
    return v;
}

struct Layout {
    const char* name;
    hw::BoardKind kind;
    std::vector<size_t> pieces;
    // Expected data-port and ISR accesses after the remote-write start.
    std::vector<RegAccess> body;
};

// Data-port accesses; string writes carry their first element.
RegAccess Words(const std::vector<UCHAR>& frame, size_t at, unsigned count) {
    return W16(NIC_DATA, frame[at] | frame[at + 1] << 8, count);
}
RegAccess Bytes(const std::vector<UCHAR>& frame, size_t at, unsigned count) {
    return Ws(NIC_DATA, frame[at], count);
}
const RegAccess kIsrRead = R(NIC_ISR, 0);

}  // namespace

// The layouts that exercise carrying and skipping, on each data path: the
// full register trace (one preparation, one remote write of the whole
// length, a completion wait after each buffer) and the slot's contents.
TEST(CardCopyDownPacket, BufferLayoutsOnBothDataPaths) {
    const std::vector<UCHAR> f60 = Pattern(60), f14 = Pattern(14), f61 = Pattern(61);
    const std::vector<Layout> layouts = {
        {"16-bit 14+3+0+43", hw::BoardKind::Isa16, {14, 3, 0, 43},
         {Words(f60, 0, 7), kIsrRead, Words(f60, 14, 1), kIsrRead,
          W16(NIC_DATA, f60[16] | f60[17] << 8), Words(f60, 18, 21), kIsrRead}},
        {"16-bit 13+1", hw::BoardKind::Isa16, {13, 1},
         {Words(f14, 0, 6), kIsrRead, W16(NIC_DATA, f14[12] | f14[13] << 8), kIsrRead}},
        {"PC Card 61", hw::BoardKind::PcCard, {61},
         {Words(f61, 0, 30), kIsrRead, W16(NIC_DATA, f61[60]), kIsrRead}},
        {"16-bit ISA 61", hw::BoardKind::Isa16, {61},
         {Words(f61, 0, 30), kIsrRead, W(NIC_DATA, f61[60]), kIsrRead}},
        {"8-bit 14+3+0+43", hw::BoardKind::Isa8, {14, 3, 0, 43},
         {Bytes(f60, 0, 14), kIsrRead, Bytes(f60, 14, 3), kIsrRead, Bytes(f60, 17, 43),
          kIsrRead}},
        {"8-bit 61", hw::BoardKind::Isa8, {61}, {Bytes(f61, 0, 61), kIsrRead}},
    };

    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        CardFixture f(l.kind);
        ASSERT_TRUE(f.Setup());
        AdapterRecord& r = f.adapter();
        r.TxFillIndex = kSlot;
        const ULONG d = r.TxAreaAddress + kSlot * 256;
        std::vector<UCHAR> background(256, kBackground);
        f.card().poke_block((std::uint16_t)d, background.data(), background.size());

        size_t total = 0;
        for (size_t p : l.pieces) total += p;
        std::vector<UCHAR> frame = Pattern(total);
        sim::Packet packet(frame, l.pieces);
        ULONG length = 0xDEAD;

        f.StartTrace();
        ASSERT_TRUE(CardCopyDownPacket(&r, packet, &length));
        EXPECT_EQ(length, total);

        std::vector<RegAccess> want = {
            W(NIC_RSAR0, d & 0xFF), W(NIC_RSAR1, d >> 8), W(NIC_RBCR0, 2),
            W(NIC_RBCR1, 0), W(NIC_CR, CR_STA | CR_RD_READ | CR_PAGE0)};
        if (r.ByteWide) {
            want.push_back(R(NIC_DATA, 0));
            want.push_back(R(NIC_DATA, 0));
        } else {
            want.push_back(R16(NIC_DATA, 0));
        }
        for (RegAccess a : {R(NIC_CRDA0, 0), R(NIC_CRDA1, 0), W(NIC_RSAR0, d & 0xFF),
                            W(NIC_RSAR1, d >> 8), W(NIC_RBCR0, (unsigned)total & 0xFF),
                            W(NIC_RBCR1, (unsigned)total >> 8),
                            W(NIC_CR, CR_STA | CR_RD_WRITE | CR_PAGE0)})
            want.push_back(a);
        want.insert(want.end(), l.body.begin(), l.body.end());
        EXPECT_EQ(ToString(WithoutReadValues(f.Trace())), ToString(want));

        std::vector<UCHAR> ram(total);
        f.card().peek_block((std::uint16_t)d, ram.data(), total);
        EXPECT_EQ(ram, frame);
        // Nothing past the frame (the word holding an odd last byte aside).
        std::vector<UCHAR> rest(256 - ((total + 1) & ~size_t{1}));
        f.card().peek_block((std::uint16_t)(d + 256 - rest.size()), rest.data(), rest.size());
        EXPECT_EQ(rest, std::vector<UCHAR>(rest.size(), kBackground));
        EXPECT_EQ(f.card().misuse().total(), 0u);
    }
}

TEST(CardCopyDownPacket, EmptyPacketTouchesNothing) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    sim::Packet packet(std::vector<std::uint8_t>{}, {0, 0});
    ULONG length = 0xDEAD;
    f.StartTrace();
    EXPECT_TRUE(CardCopyDownPacket(&f.adapter(), packet, &length));
    EXPECT_TRUE(f.Trace().empty());
    EXPECT_EQ(length, 0xDEADu);
}

// RDC never comes: every completion wait (one per buffer and one for the
// final byte) runs its 65,535 readings out, and the copy still completes.
TEST(CardCopyDownPacket, CompletionWaitsRunOutWithoutFailing) {
    CardFixture f(hw::BoardKind::Isa16);
    ASSERT_TRUE(f.Setup());
    f.card().faults().rdc_never = true;
    f.card().regs().isr &= (UCHAR)~ISR_RDC;
    std::vector<UCHAR> frame = Pattern(61);
    sim::Packet packet(frame, {20, 41});
    ULONG length = 0;
    f.StartTrace();
    f.ResetStalls();
    ASSERT_TRUE(CardCopyDownPacket(&f.adapter(), packet, &length));
    EXPECT_EQ(length, 61u);
    EXPECT_EQ(f.Count(false, NIC_ISR), 3u * 65535u);
    EXPECT_EQ(f.StalledMicroseconds(), 3u * 65535u * 4u);
    std::vector<UCHAR> ram(61);
    f.card().peek_block((std::uint16_t)f.adapter().TxAreaAddress, ram.data(), 61);
    EXPECT_EQ(ram, frame);
}
