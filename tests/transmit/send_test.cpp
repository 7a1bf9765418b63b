// Send queue, transmit slots and packet copy, through the wrapper on the
// emulated card: where frames are placed, when they are started, what
// reaches the wire, and that every packet is completed exactly once.
#include <gtest/gtest.h>

#include <algorithm>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "tests/support/rig.h"
#include "transmit/transmit.h"

namespace {

using rig::Bytes;

// A frame of `length` bytes to another station (any length, however short).
Bytes Raw(std::size_t length, unsigned seed) {
    Bytes b(length);
    for (std::size_t i = 0; i < length; i++) b[i] = i < 6 ? 0x02 + i : std::uint8_t(i * 7 + seed * 31 + 5);
    return b;
}

std::string Slots(const AdapterRecord& r) {
    std::string s;
    for (ULONG state : r.TxSlotState) s += char('0' + state);
    return s;
}

// Frames of every size class cut into pieces, sent back to back and, from
// the completions, twenty more: the wire carries them in order, byte for
// byte, short ones filled to 60 with spaces.
TEST(Transmit, FramesReachTheWireInOrderPaddedTo60) {
    const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> cases = {
        {1, {}}, {14, {14}}, {41, {14, 27}}, {42, {}}, {59, {1, 58}}, {60, {14, 0, 46}}, {61, {61}},
        {255, {14, 241}}, {256, {}}, {257, {13, 244}}, {1000, {100, 900}}, {1513, {1, 1511, 1}},
        {1514, {14, 1500}}, {60, {0, 0, 60}}, {65, {7, 0, 0, 9, 5, 0, 44}}, {71, {3, 5, 7, 11, 13, 17, 15}},
        {1514, {255, 2, 255, 1, 1001}}};
    for (hw::BoardKind kind : {hw::BoardKind::Isa16, hw::BoardKind::Isa8, hw::BoardKind::PcCard}) {
        SCOPED_TRACE(int(kind));
        rig::Rig r(kind);
        ASSERT_TRUE(r.Init());
        unsigned more = 0;
        r.proto.completed = [&](NDIS_PACKET*, NDIS_STATUS) {
            if (more < 20) r.proto.send(*r.adapter, Raw(14 + more * 71, 100 + more), {14, 0, more * 71});
            more++;
        };
        for (std::size_t i = 0; i < cases.size(); i++)
            EXPECT_EQ(r.proto.send(*r.adapter, Raw(cases[i].first, unsigned(i)), cases[i].second), NDIS_STATUS_PENDING);
        r.Run();
        ASSERT_EQ(r.wire.size(), cases.size() + 20);
        for (std::size_t i = 0; i < r.wire.size(); i++) {
            EXPECT_EQ(r.wire[i], rig::Padded(r.proto.sent()[i].bytes)) << "frame " << i;
            EXPECT_EQ(r.proto.sent()[i].completion, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(r.proto.sent()[i].completions, 1u);
        }
        EXPECT_GT(r.adapter->counters().queued_sends, 0u);
        EXPECT_EQ(r.rec->XmitOkCount, cases.size() + 20);
        EXPECT_EQ(Slots(*r.rec), "000000000000");
        EXPECT_EQ(r.Check(), "");
    }
}

// Slots taken per frame length, the fill of a short frame on the card (an
// odd start on the word path merges a byte of its own), the count the
// controller is given, and the completion made before the frame is on the
// wire.
TEST(Transmit, SlotsFillAndTransmitCount) {
    struct Case { ULONG length, slots; unsigned remote_writes, tbcr; };
    for (const Case& c : {Case{256, 1, 1, 256}, Case{257, 2, 1, 257}, Case{1514, 6, 1, 1514}, Case{42, 1, 2, 60},
                          Case{60, 1, 1, 60}, Case{41, 1, 3, 60}}) {
        SCOPED_TRACE(c.length);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        std::vector<UCHAR> dirt(256, 0xEE);
        r.card.poke_block(std::uint16_t(r.rec->TxAreaAddress), dirt.data(), dirt.size());
        r.Trace();
        Bytes f = Raw(c.length, 0);
        r.proto.send(*r.adapter, f);
        EXPECT_EQ(r.proto.sent()[0].completion, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Slots(*r.rec), std::string(c.slots, '2') + std::string(12 - c.slots, '0'));
        EXPECT_EQ(r.rec->TxFillIndex, c.slots);
        EXPECT_EQ(r.rec->TxSlotLength[0], c.length);
        EXPECT_EQ(r.Count(true, NIC_CR, 0x12), c.remote_writes);
        EXPECT_TRUE(r.card.transmitting());
        EXPECT_EQ(r.card.regs().tbcr, c.tbcr);
        Bytes ram(61), want = rig::Padded(f);
        want.push_back(0xEE);  // nothing past the 60 bytes
        r.card.peek_block(std::uint16_t(r.rec->TxAreaAddress), ram.data(), ram.size());
        if (c.length < 60) { EXPECT_EQ(ram, want); }
        r.Run();
        EXPECT_EQ(r.wire, std::vector<Bytes>{rig::Padded(f)});
        EXPECT_EQ(r.Check(), "");
    }
}

// Where frames go with the fill and send points at a given slot: a frame
// that does not fit before the end goes to slot 0, waits while earlier
// frames hold its slots, and the send point skips free slots to reach it.
TEST(Transmit, SlotPlacement) {
    struct Case {
        const char* name;
        ULONG start;
        std::vector<std::size_t> lengths;
        const char* slots;  // after the sends
        ULONG fill;
        bool queued;
        std::vector<unsigned> started;  // slots of the frames started, in order
    } cases[] = {
        {"idle at slot 9: a 4-slot frame goes to slot 0", 9, {1000}, "222200000000", 4, false, {0}},
        {"a 6-slot frame waits for slots 2..7", 2, {1514, 1514}, "002222220000", 0, true, {2, 0}},
        {"the send point skips free slots to slot 0", 5, {700, 1200}, "222222220000", 5, false, {5, 0}},
        {"twelve full slots hold a third frame back", 0, {1514, 1514, 1514}, "222222222222", 0, true, {0, 6, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.host.bus().set_port_cost(0);  // no frame ends while the sends are made
        r.rec->TxFillIndex = r.rec->TxSendIndex = c.start;
        r.Trace();
        std::vector<Bytes> sent;
        for (std::size_t len : c.lengths) sent.push_back(r.Send(len));
        EXPECT_EQ(Slots(*r.rec), c.slots);
        EXPECT_EQ(r.rec->TxFillIndex, c.fill);
        EXPECT_EQ(r.rec->TxQueueHead != nullptr, c.queued);
        r.Run();
        std::vector<unsigned> started;
        for (const sim::TraceEntry& e : r.Accesses())
            if (e.write && e.port == r.card.io_base() + NIC_TPSR) started.push_back(e.value - r.rec->TxStartPage);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(r.wire, sent);
        EXPECT_EQ(r.Check(), "");
    }
}

// The completion shared by the deferred handler and the transfer tail: the
// send index moves to the next frame's first slot, slot 0 past the area's
// end or past slots the fill point skipped; the frame's slots are freed.
TEST(Transmit, CompletionMovesToTheNextFrame) {
    struct Case { ULONG active, length; std::vector<ULONG> full; ULONG fill, next; } cases[] = {
        {0, 300, {0, 1, 2}, 3, 2}, {4, 200, {4}, 5, 5}, {6, 1514, {6, 7, 8, 9, 10, 11, 0}, 1, 0},
        {2, 1000, {2, 3, 4, 5, 0, 1}, 2, 0}, {9, 1000, {9, 10, 11}, 0, 0}};
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    AdapterRecord& a = *r.rec;
    for (const Case& c : cases) {
        for (ULONG& s : a.TxSlotState) s = TX_SLOT_EMPTY;
        for (ULONG s : c.full) a.TxSlotState[s] = TX_SLOT_FULL;
        a.TxActiveIndex = a.TxSendIndex = c.active;
        a.TxSlotLength[c.active] = c.length;
        a.TxFillIndex = c.fill;
        ULONG done = a.XmitOkCount + a.XmitErrorCount;
        Ne2000CompleteTransmit(&a);
        EXPECT_EQ(a.TxSendIndex, c.next) << c.active;
        for (ULONG s = c.active; s < 12 && s < c.active + (c.length + 255) / 256; s++)
            EXPECT_EQ(a.TxSlotState[s], ULONG{TX_SLOT_EMPTY}) << s;
        EXPECT_EQ(a.XmitOkCount + a.XmitErrorCount, done + 1);
    }
    a.TxActiveIndex = TX_INDEX_IDLE;
    for (ULONG& s : a.TxSlotState) s = TX_SLOT_EMPTY;
    a.TxFillIndex = a.TxSendIndex = 0;
}

// During ring-overflow recovery a frame placed while idle is marked active
// and for restart, and the controller is left alone.
TEST(Transmit, OverflowPendingMarksTheFrameWithoutStartingIt) {
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    r.rec->OverflowPending = 1;
    r.Trace();
    Bytes a = r.Send(100), b = r.Send(300);
    EXPECT_EQ(r.rec->TxActiveIndex, 0u);
    EXPECT_EQ(r.rec->TxResendPending, 1);
    EXPECT_EQ(r.rec->TxInterruptPending, 0);
    EXPECT_EQ(Slots(*r.rec), "222000000000");
    EXPECT_EQ(r.Count(true, NIC_TPSR), 0u);
    EXPECT_FALSE(r.card.transmitting());
    // What the recovery does when it is over: the frames then go in order.
    r.rec->OverflowPending = r.rec->TxResendPending = 0;
    r.rec->TxInterruptPending = 1;
    CardStartXmit(r.rec);
    r.Run();
    EXPECT_EQ(r.wire, (std::vector<Bytes>{a, b}));
    EXPECT_EQ(r.Check(), "");
}

// The remote address never moves: the packet is failed with one entry
// (1, card address), its slots stay empty and unwritten, the fill point
// keeps its value (also a move to slot 0), and the next packet goes out.
TEST(Transmit, FailedWritePreparationFailsThePacket) {
    struct Case { ULONG start; std::size_t length; ULONG fill; };
    for (const Case& c : {Case{0, 60, 0}, Case{9, 1000, 0}, Case{5, 300, 5}}) {
        SCOPED_TRACE(c.start);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        r.rec->TxFillIndex = r.rec->TxSendIndex = c.start;
        std::vector<UCHAR> dirt(0xC00, 0xEE), ram(0xC00);
        r.card.poke_block(std::uint16_t(r.rec->TxAreaAddress), dirt.data(), dirt.size());
        r.card.faults().crda_frozen = true;
        r.proto.send(*r.adapter, Raw(c.length, 0));
        EXPECT_EQ(r.proto.sent()[0].completion, NDIS_STATUS_FAILURE);
        ASSERT_EQ(r.host.error_log().size(), 1u);
        EXPECT_EQ(r.host.error_log()[0].data, (std::vector<ULONG>{1, r.rec->TxAreaAddress + c.fill * 256}));
        r.card.peek_block(std::uint16_t(r.rec->TxAreaAddress), ram.data(), ram.size());
        EXPECT_EQ(ram, dirt);
        EXPECT_EQ(r.rec->TxFillIndex, c.fill);
        EXPECT_EQ(r.rec->TxSendIndex, c.start);
        EXPECT_EQ(r.rec->TxActiveIndex, TX_INDEX_IDLE);
        EXPECT_EQ(Slots(*r.rec), "000000000000");
        r.card.faults().crda_frozen = false;
        Bytes next = r.Send(c.length);
        r.Run();
        EXPECT_EQ(r.wire, std::vector<Bytes>{next});
        r.allowed_log = {NDIS_ERROR_CODE_HARDWARE_FAILURE};
        EXPECT_EQ(r.Check(), "");
    }
}

// Packets that cannot be sent (no bytes, more than 1514, or buffers that
// hold another count than TotalLength says) fail at once without a port
// access, also when every slot is full or when queued behind a waiting
// packet, and hold up nobody.
TEST(Transmit, UnsendablePacketsFailWithoutTouchingTheCard) {
    struct Case {
        const char* name;
        std::size_t bytes;
        std::vector<std::size_t> pieces;
        UINT stated;  // TotalLength made valid with this value; 0: left to the driver
        std::vector<ULONG> lengths;  // buffer lengths written over the real ones
    } cases[] = {
        {"empty", 0, {}, 0, {}}, {"empty pieces", 0, {0, 0, 0}, 0, {}}, {"1515 bytes", 1515, {14, 1501}, 0, {}},
        {"buffers hold more", 100, {50, 50}, 60, {}}, {"buffers hold less", 50, {14, 36}, 60, {}},
        {"stated 0, buffers hold 60", 60, {}, 0xFFFFFFFFu, {}}, {"stated above 1514", 1514, {}, 1515, {}},
        {"buffer lengths wrap to the stated total", 80, {10, 70}, 60, {0xFFFFFFF6u, 70}}};
    for (const Case& c : cases) {
        for (bool queued : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (queued ? ", queued" : ""));
            rig::Rig r(hw::BoardKind::Isa16);
            ASSERT_TRUE(r.Init());
            std::vector<Bytes> sent = {r.Send(1514), r.Send(1514)};  // every slot is full now
            if (queued) sent.push_back(r.Send(1000));
            sim::Packet bad(Raw(c.bytes, 9), c.pieces);
            if (c.stated) {
                bad.get()->Private.TotalLength = c.stated == 0xFFFFFFFFu ? 0 : c.stated;
                bad.get()->Private.ValidCounts = TRUE;
            }
            for (std::size_t i = 0; i < c.lengths.size(); i++) bad.buffer(i)->ByteCount = c.lengths[i];
            r.Trace();
            NDIS_STATUS status = 0;
            r.proto.completed = [&](NDIS_PACKET* p, NDIS_STATUS s) { if (p == bad.get()) status = s; };
            EXPECT_EQ(r.adapter->send(bad, 0, &r.proto), NDIS_STATUS_PENDING);
            EXPECT_TRUE(r.Accesses().empty());
            EXPECT_EQ(status, queued ? 0 : NDIS_STATUS_FAILURE);
            sent.push_back(r.Send(100));
            r.Run();
            EXPECT_EQ(status, NDIS_STATUS_FAILURE);
            EXPECT_EQ(r.wire, sent);
            EXPECT_EQ(r.Check(), "");
            r.proto.completed = nullptr;
        }
    }
}

// A packet whose first buffers are empty: the copy steps over them to the
// first buffer with data, on every board, whatever follows (an odd piece, a
// short frame filled to 60, a full frame). A copy that does not step on
// loops for ever; the test watchdog (tests/support/watchdog.cpp) ends it.
TEST(CardCopyDownPacket, LeadingEmptyBuffersAreSkipped) {
    const std::vector<std::vector<std::size_t>> layouts = {
        {0, 60}, {0, 0, 0, 61}, {0, 0, 13, 0, 1}, {0, 41}, {0, 0, 1514}, {0, 7, 0, 0, 300}};
    for (hw::BoardKind kind : hw::kBoardKinds) {
        SCOPED_TRACE(hw::kind_name(kind));
        rig::Rig r(kind);
        ASSERT_TRUE(r.Init());
        for (const auto& pieces : layouts) {
            std::size_t total = 0;
            for (std::size_t p : pieces) total += p;
            Bytes frame = Raw(total, unsigned(pieces.size()));
            r.proto.send(*r.adapter, frame, pieces);
            r.Run();
            ASSERT_FALSE(r.wire.empty());
            EXPECT_EQ(r.wire.back(), rig::Padded(frame)) << pieces.size() << " pieces";
            EXPECT_EQ(r.proto.sent().back().completion, NDIS_STATUS_SUCCESS);
        }
        EXPECT_EQ(r.wire.size(), layouts.size());
        EXPECT_EQ(r.Check(), "");
    }
}

// Packet copy into a slot: one remote write for the whole chain, bytes
// paired across buffers on the word path, the card holding exactly the
// frame (filled to 60 bytes with spaces by a second write), and the last odd
// byte a word on a PC Card, a byte elsewhere.
TEST(CardCopyDownPacket, BufferLayoutsOnBothDataPaths) {
    struct Case { hw::BoardKind kind; std::vector<std::size_t> pieces; unsigned last_width; } cases[] = {
        {hw::BoardKind::Isa16, {14, 3, 0, 43}, 16}, {hw::BoardKind::Isa16, {13, 1}, 16},
        {hw::BoardKind::PcCard, {61}, 16}, {hw::BoardKind::Isa16, {61}, 8}, {hw::BoardKind::Isa16, {7, 0, 3, 51}, 8},
        {hw::BoardKind::Isa8, {14, 3, 0, 43}, 8}, {hw::BoardKind::Isa8, {61}, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.kind) << " " << c.pieces.size() << " pieces");
        rig::Rig r(c.kind);
        ASSERT_TRUE(r.Init());
        r.rec->TxFillIndex = 3;
        const ULONG d = r.rec->TxAreaAddress + 3 * 256;
        std::vector<UCHAR> ram(256, 0xEE);
        r.card.poke_block(std::uint16_t(d), ram.data(), ram.size());
        std::size_t total = 0;
        for (std::size_t p : c.pieces) total += p;
        Bytes frame = Raw(total, 3);
        sim::Packet packet(frame, c.pieces);
        ULONG length = 0;
        r.Trace();
        ASSERT_TRUE(CardCopyDownPacket(r.rec, packet, &length));
        EXPECT_EQ(length, total);
        const std::size_t filled = std::max<std::size_t>(total, 60), end = (filled + 1) & ~std::size_t{1};
        EXPECT_EQ(r.Count(true, NIC_CR, 0x12), total < 60 ? 2u : 1u);  // the fill is a write of its own
        std::vector<sim::TraceEntry> t = r.Accesses();
        auto last = std::find_if(t.rbegin(), t.rend(), [&](const sim::TraceEntry& e) { return e.write && e.port == r.card.io_base() + NIC_DATA; });
        ASSERT_NE(last, t.rend());
        EXPECT_EQ(last->width, c.last_width);
        r.card.peek_block(std::uint16_t(d), ram.data(), ram.size());
        EXPECT_EQ(Bytes(ram.begin(), ram.begin() + total), frame);
        EXPECT_EQ(Bytes(ram.begin() + total, ram.begin() + filled), Bytes(filled - total, 0x20));
        EXPECT_EQ(Bytes(ram.begin() + end, ram.end()), Bytes(256 - end, 0xEE));
        EXPECT_EQ(r.card.misuse().total(), 0u);
    }
}

}  // namespace
