// Copies between host memory and card RAM through the remote DMA, on both
// data paths: contents, the odd edges of the 16-bit path, the register
// sequences the copies are built from, and both waits running out.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/card_fixture.h"

using namespace ne2k_test;

namespace {

const UCHAR kBackground = 0xEE;

std::vector<UCHAR> Pattern(size_t n) {
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (UCHAR)(i * 7 + 3);
    return v;
}

std::vector<UCHAR> Peek(CardFixture& f, ULONG address, size_t n) {
    std::vector<UCHAR> v(n);
    f.card().peek_block((std::uint16_t)address, v.data(), n);
    return v;
}

// Every start and length on both paths: exactly the bytes asked for change,
// the copy back returns them, and the card sees no misuse (no odd word
// transfer, no data-port access past the count).
TEST(CardRemoteDma, CopiesRoundTripOnBothPathsAtEveryAlignment) {
    for (hw::BoardKind kind : {hw::BoardKind::Isa8, hw::BoardKind::Isa16}) {
        for (ULONG offset : {0u, 1u, 2u, 3u}) {
            for (ULONG length : {1u, 2u, 3u, 4u, 5u, 14u, 15u, 16u, 255u, 256u, 1514u}) {
                CardFixture f(kind);
                ASSERT_TRUE(f.Setup());
                ULONG address = f.adapter().RamStart + 0x100 + offset;
                std::vector<UCHAR> fill(length + 16, kBackground);
                f.card().poke_block((std::uint16_t)(address - 8), fill.data(), fill.size());
                std::vector<UCHAR> data = Pattern(length);

                ASSERT_TRUE(CardCopyDown(&f.adapter(), address, data.data(), length));
                std::vector<UCHAR> want = fill;
                for (ULONG i = 0; i < length; i++) want[8 + i] = data[i];
                EXPECT_EQ(Peek(f, address - 8, length + 16), want)
                    << int(kind) << " +" << offset << " len " << length;

                std::vector<UCHAR> back(length + 2, 0x5A);
                ASSERT_TRUE(CardCopyUp(&f.adapter(), back.data() + 1, address, length));
                EXPECT_EQ(std::vector<UCHAR>(back.begin() + 1, back.end() - 1), data);
                EXPECT_EQ(back.front(), 0x5A);
                EXPECT_EQ(back.back(), 0x5A);
                EXPECT_EQ(f.card().misuse().total(), 0u) << int(kind) << " +" << offset << " len " << length;
            }
        }
    }
}

TEST(CardRemoteDma, LengthZeroTouchesNoPort) {
    for (hw::BoardKind kind : {hw::BoardKind::Isa8, hw::BoardKind::Isa16}) {
        CardFixture f(kind);
        ASSERT_TRUE(f.Setup());
        UCHAR byte = 0;
        f.StartTrace();
        EXPECT_TRUE(CardCopyUp(&f.adapter(), &byte, f.adapter().RamStart + 1, 0));
        EXPECT_TRUE(CardCopyDown(&f.adapter(), f.adapter().RamStart + 1, &byte, 0));
        EXPECT_TRUE(f.Trace().empty());
    }
}

TEST(CardRemoteDma, CopyUpFromAnOddAddressOnTheWordPath) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    std::vector<UCHAR> data = Pattern(6);
    f.card().poke_block(0x4C04, data.data(), 6);
    UCHAR target[4] = {};
    f.StartTrace();
    ASSERT_TRUE(CardCopyUp(&f.adapter(), target, 0x4C05, 4));
    EXPECT_EQ(std::vector<UCHAR>(target, target + 4), std::vector<UCHAR>(data.begin() + 1, data.begin() + 5));
    EXPECT_EQ(WithoutReadValues(f.Trace()),
              (std::vector<RegAccess>{R(0, 0), W(0x08, 0x04), W(0x09, 0x4C), W(0x0A, 2), W(0x0B, 0), W(0, 0x0A),
                                      R16(0x10, 0), R(0x07, 0), W(0x08, 0x06), W(0x09, 0x4C), W(0x0A, 4),
                                      W(0x0B, 0), W(0, 0x0A), R16(0x10, 0, 1), R16(0x10, 0), R(0x07, 0)}));
}

// One byte to an odd address: the word below is read, and one word carries
// the kept byte and the new one; no second remote write.
TEST(CardRemoteDma, CopyDownOneByteToAnOddAddressMergesOneWord) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    const UCHAR before[3] = {0x11, 0x22, 0x33};
    f.card().poke_block(0x4C04, before, 3);
    const UCHAR b = 0xAB;
    f.StartTrace();
    ASSERT_TRUE(CardCopyDown(&f.adapter(), 0x4C05, &b, 1));
    EXPECT_EQ(Peek(f, 0x4C04, 3), (std::vector<UCHAR>{0x11, 0xAB, 0x33}));
    EXPECT_EQ(WithoutReadValues(f.Trace()),
              (std::vector<RegAccess>{W(0x08, 0x04), W(0x09, 0x4C), W(0x0A, 2), W(0x0B, 0), W(0, 0x0A), R16(0x10, 0),
                                      W(0x08, 0x06), W(0x09, 0x4C), W(0x0A, 2), W(0x0B, 0), W(0, 0x0A), R16(0x10, 0),
                                      R(0x08, 0), R(0x09, 0), W(0x08, 0x04), W(0x09, 0x4C), W(0x0A, 2), W(0x0B, 0),
                                      W(0, 0x12), W16(0x10, 0xAB11), R(0x07, 0)}));
}

TEST(CardRemoteDma, CopyDownFifteenBytesToAnOddAddressWritesFourteenAtTheNextEven) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    std::vector<UCHAR> data = Pattern(15);
    f.StartTrace();
    ASSERT_TRUE(CardCopyDown(&f.adapter(), 0x4C05, data.data(), 15));
    std::vector<RegAccess> t = WithoutReadValues(f.Trace());
    std::vector<size_t> writes;
    for (size_t i = 0; i < t.size(); i++)
        if (t[i] == W(0, 0x12)) writes.push_back(i);
    ASSERT_EQ(writes.size(), 2u);
    size_t w = writes[1];
    EXPECT_EQ(std::vector<RegAccess>(t.begin() + w - 4, t.end()),
              (std::vector<RegAccess>{W(0x08, 0x06), W(0x09, 0x4C), W(0x0A, 14), W(0x0B, 0), W(0, 0x12),
                                      W16(0x10, data[1] | data[2] << 8, 7), R(0x07, 0)}));
    EXPECT_EQ(Peek(f, 0x4C05, 15), data);
}

// The byte path takes odd addresses and lengths in one transfer; the write
// preparation still reads at the address rounded up to even.
TEST(CardRemoteDma, BytePathCopiesOddRangesInOneTransfer) {
    CardFixture f(hw::BoardKind::Isa8);
    ASSERT_TRUE(f.Setup());
    std::vector<UCHAR> data = Pattern(5);
    f.StartTrace();
    ASSERT_TRUE(CardCopyDown(&f.adapter(), 0x2105, data.data(), 5));
    UCHAR back[5];
    ASSERT_TRUE(CardCopyUp(&f.adapter(), back, 0x2105, 5));
    EXPECT_EQ(std::vector<UCHAR>(back, back + 5), data);
    EXPECT_EQ(WithoutReadValues(f.Trace()),
              (std::vector<RegAccess>{W(0x08, 0x06), W(0x09, 0x21), W(0x0A, 2), W(0x0B, 0), W(0, 0x0A), R(0x10, 0),
                                      R(0x10, 0), R(0x08, 0), R(0x09, 0), W(0x08, 0x05), W(0x09, 0x21), W(0x0A, 5),
                                      W(0x0B, 0), W(0, 0x12), Ws(0x10, data[0], 5), R(0x07, 0), R(0, 0),
                                      W(0x08, 0x05), W(0x09, 0x21), W(0x0A, 5), W(0x0B, 0), W(0, 0x0A),
                                      Rs(0x10, 0, 5), R(0x07, 0)}));
}

// A remote address that never moves: FALSE after 65,535 polls of 1 us, and
// nothing is written, whichever path and alignment.
TEST(CardRemoteDma, FrozenRemoteAddressFailsTheWriteAfter65535Polls) {
    struct Case { hw::BoardKind kind; ULONG offset, length; } cases[] = {
        {hw::BoardKind::Isa8, 0, 4}, {hw::BoardKind::Isa16, 0, 4}, {hw::BoardKind::Isa16, 1, 4},
        {hw::BoardKind::Isa16, 1, 1}};
    for (const Case& c : cases) {
        CardFixture f(c.kind);
        ASSERT_TRUE(f.Setup());
        f.card().faults().crda_frozen = true;
        ULONG address = f.adapter().RamStart + 0x200 + c.offset;
        std::vector<UCHAR> before = Peek(f, address - 2, c.length + 4);
        std::vector<UCHAR> data = Pattern(c.length);
        f.ResetStalls();
        f.StartTrace();
        EXPECT_FALSE(CardCopyDown(&f.adapter(), address, data.data(), c.length));
        EXPECT_EQ(Peek(f, address - 2, c.length + 4), before);
        EXPECT_EQ(f.CountWrites(0, 0x12), 0u);
        EXPECT_EQ(f.Count(false, 0x08), 65535u);
        EXPECT_EQ(f.Count(false, 0x09), 65535u);
        EXPECT_EQ(f.StalledMicroseconds(), 65535u);
    }
}

// RDC never set: each completion wait ends after 65,535 readings with 4 us
// stalls, and the copies still succeed.
TEST(CardRemoteDma, MissingCompletionIsWaitedOutAndIgnored) {
    CardFixture f;
    ASSERT_TRUE(f.Setup());
    f.card().faults().rdc_never = true;
    f.card().core().state().isr = 0;
    std::vector<UCHAR> data = Pattern(8), back(8);
    f.ResetStalls();
    f.StartTrace();
    EXPECT_TRUE(CardCopyDown(&f.adapter(), 0x4C10, data.data(), 8));
    EXPECT_EQ(f.Count(false, NIC_ISR), 65535u);
    EXPECT_EQ(f.StalledMicroseconds(), 65535u * 4);
    EXPECT_TRUE(CardCopyUp(&f.adapter(), back.data(), 0x4C10, 8));
    EXPECT_EQ(f.Count(false, NIC_ISR), 2u * 65535);
    EXPECT_EQ(back, data);
}

}  // namespace
