// Transfer data, called by a protocol inside the indication: ranges, pieces,
// the ring's end, and the transmit tail.
#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "tests/receive/rx_fixture.h"

using namespace rx_test;
using ne2k_test::RegAccess;
using ne2k_test::W;

namespace {

struct Transfer {
    UINT offset = 0;
    UINT count = 0;
    std::vector<std::size_t> pieces;  // destination buffers
    NDIS_STATUS status = 0xFFFFFFFF;
    UINT got = 0xFFFFFFFF;
    Bytes contents;
};

// Makes `x` from inside the first indication; other frames are only noted.
void TransferInside(RxFixture& t, Transfer& x, std::function<void()> before = nullptr,
                    std::function<void()> after = nullptr) {
    t.proto.transfer = false;
    t.proto.during = [&x, done = false, before, after](sim::Adapter& a, unsigned) mutable {
        if (done) return;
        done = true;
        if (before) before();
        std::size_t total = 0;
        for (std::size_t p : x.pieces) total += p;
        sim::Packet dest = sim::Packet::zeroed(total, x.pieces);
        x.status = a.transfer_data(dest, x.offset, x.count, &x.got);
        x.contents = dest.contents();
        if (after) after();
    };
}

Bytes Slice(const Bytes& f, std::size_t from, std::size_t n) {
    return Bytes(f.begin() + from, f.begin() + from + n);
}

TEST(RxTransfer, RangesAndDestinationPieces) {
    struct Case {
        const char* name;
        UINT offset, count;
        std::vector<std::size_t> pieces;
        bool ok;
        UINT got;
    } cases[] = {
        {"whole", 0, 586, {586}, true, 586},
        {"offset at the frame end", 586, 10, {10}, true, 0},
        {"offset one past the end", 587, 10, {10}, false, 0},
        {"cut to the frame end", 10, 5000, {1000}, true, 576},
        {"100+100+50 pieces", 0, 250, {100, 100, 50}, true, 250},
        {"empty buffer in the chain", 30, 250, {100, 0, 150}, true, 250},
        {"short destination", 0, 250, {100}, true, 100},
        {"nothing asked", 100, 0, {10}, true, 0},
        // Offsets and counts near 2^32 behave as the true range would.
        {"offset wraps to the start", 0xFFFFFFF2u, 10, {10}, false, 0},
        {"offset all ones", 0xFFFFFFFFu, 1, {10}, false, 0},
        {"count all ones", 0, 0xFFFFFFFFu, {1000}, true, 586},
        {"start plus count wraps", 5, 0xFFFFFFFCu, {1000}, true, 581},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RxFixture t;
        Bytes f = t.MakeFrame(600, 1);
        Transfer x;
        x.offset = c.offset;
        x.count = c.count;
        x.pieces = c.pieces;
        TransferInside(t, x);
        t.Inject(f);
        EXPECT_EQ(x.status, c.ok ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE);
        EXPECT_EQ(x.got, c.got);
        if (c.got) {
            EXPECT_EQ(Slice(x.contents, 0, c.got), Slice(f, 14 + c.offset, c.got));
        }
        EXPECT_TRUE(t.host().error_log().empty());
        t.ExpectClean();
    }
}

// A frame that runs past the ring's last page: a range across the end is
// copied in two pieces, the second from the ring's first page; a range that
// starts past the end starts at the matching place after the first page.
TEST(RxTransfer, RingEndSplitsTheCopy) {
    struct Case {
        const char* name;
        UINT offset, count;
        unsigned reads;             // remote reads made by the transfer
        std::uint32_t first_read;   // card address of the first
    } cases[] = {
        {"across the end", 0, 986, 2, 0x7E12},
        {"starting past the end", 600, 100, 1, 0x4C00 + (0x7E04 + 614 - 0x8000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RxFixture t;
        t.Mask();
        t.card().regs().curr = 0x7E;
        t.card().regs().bnry = 0x7D;
        t.rec().RxNextPage = 0x7E;
        Bytes f = t.MakeFrame(1000, 2);
        t.Inject(f);
        Transfer x;
        x.offset = c.offset;
        x.count = c.count;
        x.pieces = {c.count};
        std::vector<RegAccess> trace;
        TransferInside(t, x, [&] { t.fx.StartTrace(); }, [&] { trace = t.fx.RegisterTrace(); });
        t.Unmask();
        ASSERT_EQ(x.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(x.got, c.count);
        EXPECT_EQ(x.contents, Slice(f, 14 + c.offset, c.count));
        unsigned reads = 0;
        int first = -1;
        for (std::size_t i = 0; i < trace.size(); i++) {
            if (trace[i] == W(NIC_CR, CR_STA | CR_RD_READ | CR_PAGE0)) reads++;
            if (first < 0 && trace[i].write && trace[i].offset == NIC_RSAR0) first = (int)i;
        }
        EXPECT_EQ(reads, c.reads);
        ASSERT_GE(first, 0);
        ASSERT_LT(first + 1, (int)trace.size());
        EXPECT_EQ(trace[first].value | trace[first + 1].value << 8, c.first_read);
        t.ExpectClean();
    }
}

// The transmit tail: a transmission that ended during the indication is
// completed at once when the next frame waits in its slots (also when the
// finished frame held the last slots and the next one starts at slot 0);
// otherwise it is acknowledged and left to the deferred handler; during
// overflow recovery it is left alone.
TEST(RxTransfer, TransmitTail) {
    enum Kind { kNextWaiting, kNothingWaiting, kDuringOverflow, kNextAfterTheLastSlots };
    for (Kind kind : {kNextWaiting, kNothingWaiting, kDuringOverflow, kNextAfterTheLastSlots}) {
        SCOPED_TRACE(kind);
        RxFixture t;
        unsigned earlier = 0;
        if (kind == kNextAfterTheLastSlots) {
            Bytes p = t.MakeFrame(1514, 4);
            p[5] = 0x77;
            t.proto.send(t.wa(), p);  // slots 0-5, so the next frame takes 6-11
            ASSERT_TRUE(t.host().run_until_idle());
            earlier = 1;
        }
        t.Mask();
        t.Inject(t.MakeFrame(600, 1));
        std::uint64_t carried = t.host().segment().frames_carried();
        Bytes a = t.MakeFrame(1514, 2), b = t.MakeFrame(100, 3);
        a[5] = b[5] = 0x77;  // to another station
        t.proto.send(t.wa(), a);
        if (kind == kNextWaiting || kind == kNextAfterTheLastSlots) t.proto.send(t.wa(), b);
        ASSERT_TRUE(t.card().transmitting());
        if (kind == kDuringOverflow) t.RaiseIsr(ISR_OVW);

        struct Seen {
            ULONG active, xmit_ok;
            std::uint8_t isr, isr_bits;
            bool transmitting;
            unsigned full_slots;
        } seen{};
        Transfer x;
        x.count = 586;
        x.pieces = {586};
        TransferInside(
            t, x,
            [&] {
                if (kind != kDuringOverflow) t.host().stall(2000 * hw::kMicrosecond);  // a ends
            },
            [&] {
                unsigned full = 0;
                for (ULONG state : t.rec().TxSlotState) full += state == TX_SLOT_FULL;
                seen = {t.rec().TxActiveIndex, t.rec().XmitOkCount - earlier,
                        t.card().regs().isr, t.rec().IsrBits, t.card().transmitting(), full};
            });
        t.Unmask();
        ASSERT_EQ(x.status, NDIS_STATUS_SUCCESS);
        switch (kind) {
            case kNextWaiting:
            case kNextAfterTheLastSlots:
                // b, after a's six slots or at slot 0; a's slots are free.
                EXPECT_EQ(seen.active, kind == kNextWaiting ? 6u : 0u);
                EXPECT_EQ(seen.full_slots, 1u);
                EXPECT_EQ(seen.xmit_ok, 1u);
                EXPECT_EQ(seen.isr & ISR_TX_DONE, 0);
                EXPECT_EQ(seen.isr_bits & ISR_TX_DONE, 0);
                EXPECT_TRUE(seen.transmitting);
                break;
            case kNothingWaiting:
                EXPECT_EQ(seen.active, 0u);
                EXPECT_EQ(seen.xmit_ok, 0u);
                EXPECT_EQ(seen.isr & ISR_TX_DONE, 0);
                EXPECT_EQ(seen.isr_bits & ISR_PTX, ISR_PTX);
                break;
            case kDuringOverflow:
                EXPECT_EQ(seen.active, 0u);
                EXPECT_EQ(seen.xmit_ok, 0u);
                EXPECT_EQ(seen.isr & ISR_PTX, ISR_PTX);  // not acknowledged
                EXPECT_EQ(seen.isr_bits & ISR_TX_DONE, 0);
                break;
        }
        // Afterwards every frame went out once and was counted once.
        unsigned sent = kind == kNextWaiting || kind == kNextAfterTheLastSlots ? 2 : 1;
        EXPECT_EQ(t.host().segment().frames_carried(), carried + sent);
        EXPECT_EQ(t.rec().XmitOkCount, earlier + sent);
        EXPECT_EQ(t.rec().TxActiveIndex, TX_INDEX_IDLE);
        EXPECT_EQ(t.proto.send_completions(), earlier + sent);
        EXPECT_TRUE(t.host().error_log().empty());
        t.ExpectClean();
    }
}

}  // namespace
