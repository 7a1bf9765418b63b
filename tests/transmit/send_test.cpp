// Send queue and transmit slots, through the wrapper on an emulated card:
// where frames are placed, when they are started, what reaches the wire,
// and that every packet is completed exactly once.
#include <gtest/gtest.h>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "transmit/transmit.h"
#include "tests/transmit/tx_rig.h"

using namespace tx_test;
using ne2k_test::CardFixture;

namespace {

struct TxSnapshot {
    ULONG fill, send, active;
    std::vector<ULONG> slots;
    ULONG ok, errors;
    PNDIS_PACKET head;
    bool operator==(const TxSnapshot& o) const {
        return fill == o.fill && send == o.send && active == o.active && slots == o.slots &&
               ok == o.ok && errors == o.errors && head == o.head;
    }
};

TxSnapshot Snap(const AdapterRecord& r) {
    return TxSnapshot{r.TxFillIndex, r.TxSendIndex, r.TxActiveIndex,
                      std::vector<ULONG>(r.TxSlotState, r.TxSlotState + TX_SLOT_COUNT),
                      r.XmitOkCount, r.XmitErrorCount, r.TxQueueHead};
}

// Slot states as a string, one digit a slot.
std::string Slots(const AdapterRecord& r) {
    std::string s;
    for (ULONG i = 0; i < TX_SLOT_COUNT; i++) s += char('0' + r.TxSlotState[i]);
    return s;
}

std::vector<unsigned> TpsrWrites(CardFixture& f) {
    std::vector<unsigned> v;
    for (const auto& a : f.RegisterTrace())
        if (a.write && a.offset == NIC_TPSR) v.push_back(a.value);
    return v;
}

}  // namespace

// Frames of every size class, cut into pieces, sent back to back on each
// board: the wire carries them in order, byte for byte, padded to 60.
TEST(Transmit, FramesReachTheWireInOrderPaddedTo60) {
    struct Case {
        size_t length;
        std::vector<size_t> pieces;
    };
    const std::vector<Case> cases = {
        {1, {}},          {14, {14}},         {41, {14, 27}},   {42, {}},
        {59, {1, 58}},    {60, {14, 0, 46}},  {61, {61}},       {255, {14, 241}},
        {256, {}},        {257, {13, 244}},   {1000, {100, 900}}, {1513, {1, 1511, 1}},
        {1514, {14, 1500}}, {60, {0, 0, 60}}, {65, {7, 0, 0, 9, 5, 0, 44}},
        {71, {3, 5, 7, 11, 13, 17, 15}}, {1514, {255, 2, 255, 1, 1001}}};
    for (hw::BoardKind kind : {hw::BoardKind::Isa16, hw::BoardKind::Isa8, hw::BoardKind::PcCard}) {
        SCOPED_TRACE(int(kind));
        TxRig rig(kind);
        ASSERT_TRUE(rig.up);
        for (size_t i = 0; i < cases.size(); i++)
            EXPECT_EQ(rig.Send(Frame(cases[i].length, (unsigned)i), cases[i].pieces),
                      NDIS_STATUS_PENDING);
        rig.Run();
        ASSERT_EQ(rig.wire.size(), cases.size());
        for (size_t i = 0; i < cases.size(); i++) {
            EXPECT_EQ(rig.wire[i], Padded(Frame(cases[i].length, (unsigned)i))) << "frame " << i;
            EXPECT_EQ(rig.Completion(i), NDIS_STATUS_SUCCESS);
        }
        EXPECT_EQ(rig.r().XmitOkCount, cases.size());
        EXPECT_EQ(rig.r().XmitErrorCount, 0u);
        EXPECT_EQ(rig.r().TxActiveIndex, TX_INDEX_IDLE);
        EXPECT_EQ(Slots(rig.r()), "000000000000");
        rig.ExpectCleanBookkeeping();
    }
}

// With port accesses costing bus time, transmissions end and interrupts
// arrive while later packets are being sent, and protocols send again from
// their completions: every frame still goes out once, in order.
TEST(Transmit, StreamUnderBusTimingWithSendsFromCompletions) {
    for (hw::BoardKind kind : {hw::BoardKind::Isa16, hw::BoardKind::Isa8}) {
        SCOPED_TRACE(int(kind));
        TxRig rig(kind);
        ASSERT_TRUE(rig.up);
        rig.host().set_port_cost(hw::kMicrosecond);
        std::vector<Bytes> sent;
        std::uint32_t seed = 7;
        auto next_length = [&] {
            seed = seed * 1103515245u + 12345u;
            return (size_t)(1 + (seed >> 8) % 1514);
        };
        unsigned resends = 0;
        rig.proto.hook = [&](NDIS_PACKET*, NDIS_STATUS) {
            if (resends >= 20) return;
            resends++;
            Bytes b = Frame(std::max<size_t>(next_length(), 14), 100 + resends);
            sent.push_back(b);
            rig.Send(b, {14, 0, b.size() - 14});
        };
        for (unsigned i = 0; i < 30; i++) {
            Bytes b = Frame(next_length(), i);
            sent.push_back(b);
            rig.Send(b);
        }
        rig.Run();
        EXPECT_EQ(sent.size(), 50u);
        EXPECT_GT(rig.a().counters().queued_sends, 0u);
        ASSERT_EQ(rig.wire.size(), sent.size());
        for (size_t i = 0; i < sent.size(); i++) EXPECT_EQ(rig.wire[i], Padded(sent[i])) << i;
        EXPECT_EQ(rig.r().XmitOkCount, sent.size());
        rig.ExpectCleanBookkeeping();
    }
}

// Slots taken per frame length, the fill of short frames on the card, and
// the count the controller is given.
TEST(Transmit, SlotCountsFillAndTransmitCount) {
    struct Case {
        ULONG length;
        ULONG slots;
        unsigned remote_writes;  // more when the frame is filled up to 60
        unsigned tbcr;
    };
    // A 41-byte frame's fill starts at an odd address: on the 16-bit path
    // the fill merges its first byte with a write of its own.
    for (const Case& c : {Case{256, 1, 1, 256}, Case{257, 2, 1, 257}, Case{1514, 6, 1, 1514},
                          Case{42, 1, 2, 60}, Case{60, 1, 1, 60}, Case{41, 1, 3, 60}}) {
        SCOPED_TRACE(c.length);
        TxRig rig;
        ASSERT_TRUE(rig.up);
        AdapterRecord& r = rig.r();
        std::vector<UCHAR> dirt(256, 0xEE);
        rig.card().poke_block((std::uint16_t)r.TxAreaAddress, dirt.data(), dirt.size());
        rig.f.StartTrace();
        rig.Send(Frame(c.length));

        EXPECT_EQ(rig.Completion(0), NDIS_STATUS_SUCCESS);  // before it is on the wire
        EXPECT_EQ(r.TxFillIndex, c.slots);
        EXPECT_EQ(Slots(r), std::string(c.slots, '2') + std::string(12 - c.slots, '0'));
        EXPECT_EQ(r.TxSlotLength[0], c.length);
        EXPECT_EQ(r.TxActiveIndex, 0u);
        EXPECT_EQ(r.TxInterruptPending, 1);
        EXPECT_EQ(rig.f.CountWrites(NIC_CR, CR_STA | CR_RD_WRITE | CR_PAGE0), c.remote_writes);
        EXPECT_TRUE(rig.card().transmitting());
        EXPECT_EQ(rig.card().regs().tpsr, r.TxStartPage);
        EXPECT_EQ(rig.card().regs().tbcr, c.tbcr);
        if (c.length < 60) {
            std::vector<UCHAR> ram(61);
            rig.card().peek_block((std::uint16_t)r.TxAreaAddress, ram.data(), ram.size());
            Bytes want = Padded(Frame(c.length));
            want.push_back(0xEE);  // nothing past the 60 bytes
            EXPECT_EQ(ram, want);
        }

        rig.Run();
        EXPECT_EQ(rig.wire, (std::vector<Bytes>{Padded(Frame(c.length))}));
        rig.ExpectCleanBookkeeping();
    }
}

// Idle with fill and send at slot 9: a 4-slot frame does not fit before the
// end, goes to slots 0..3 and is started at once.
TEST(Transmit, IdleAtSlotNineWrapsAFourSlotFrameToSlotZero) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    AdapterRecord& r = rig.r();
    r.TxFillIndex = r.TxSendIndex = 9;
    rig.Send(Frame(1000));
    EXPECT_EQ(Slots(r), "222200000000");
    EXPECT_EQ(r.TxFillIndex, 4u);
    EXPECT_EQ(r.TxSendIndex, 0u);
    EXPECT_EQ(r.TxActiveIndex, 0u);
    EXPECT_TRUE(rig.card().transmitting());
    EXPECT_EQ(rig.card().regs().tpsr, r.TxStartPage);
    rig.Run();
    EXPECT_EQ(rig.wire, (std::vector<Bytes>{Frame(1000)}));
    EXPECT_EQ(r.TxSendIndex, 4u);  // rests on the empty fill point
    EXPECT_EQ(r.TxActiveIndex, TX_INDEX_IDLE);
    rig.ExpectCleanBookkeeping();
}

// A frame on the wire in slots 2..7 with the fill point at 8: a 6-slot frame
// waits with the fill point moved to 0. When the first ends the send point
// skips 8..11, the transmitter goes idle, and the waiting frame is placed in
// slots 0..5 and started.
TEST(Transmit, SixSlotFrameWaitsUntilSlotsTwoToSevenAreFree) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    AdapterRecord& r = rig.r();
    r.TxFillIndex = r.TxSendIndex = 2;
    rig.f.StartTrace();
    rig.Send(Frame(1514, 1));
    EXPECT_EQ(Slots(r), "002222220000");
    EXPECT_EQ(r.TxActiveIndex, 2u);
    EXPECT_EQ(r.TxFillIndex, 8u);

    rig.Send(Frame(1514, 2));
    EXPECT_EQ(rig.Completion(1), 0xFFFFFFFFu);  // still queued
    EXPECT_NE(r.TxQueueHead, nullptr);
    EXPECT_EQ(r.TxQueueHead, r.TxQueueTail);
    EXPECT_EQ(r.TxFillIndex, 0u);
    EXPECT_EQ(Slots(r), "002222220000");

    std::vector<TxSnapshot> at_completion;
    rig.proto.hook = [&](NDIS_PACKET*, NDIS_STATUS) { at_completion.push_back(Snap(r)); };
    rig.Run();
    ASSERT_EQ(at_completion.size(), 1u);
    const TxSnapshot& s = at_completion[0];
    EXPECT_EQ(s.send, 0u);
    EXPECT_EQ(s.active, 0u);
    EXPECT_EQ(s.fill, 6u);
    EXPECT_EQ(s.slots, (std::vector<ULONG>{2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0}));

    EXPECT_EQ(TpsrWrites(rig.f), (std::vector<unsigned>{r.TxStartPage + 2u, r.TxStartPage + 0u}));
    EXPECT_EQ(rig.wire, (std::vector<Bytes>{Frame(1514, 1), Frame(1514, 2)}));
    EXPECT_EQ(r.TxActiveIndex, TX_INDEX_IDLE);
    EXPECT_EQ(r.TxSendIndex, 6u);
    rig.ExpectCleanBookkeeping();
}

// A frame placed at slot 0 past free slots at the end while another is on
// the wire starts as soon as that one ends: the send point skips the free
// slots to reach it.
TEST(Transmit, SendPointSkipsFreeSlotsToAFrameAtSlotZero) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    AdapterRecord& r = rig.r();
    r.TxFillIndex = r.TxSendIndex = 5;
    rig.Send(Frame(700, 1));   // slots 5..7, on the wire
    rig.Send(Frame(1200, 2));  // 5 slots: not before slot 12, fits before slot 5
    EXPECT_EQ(Slots(r), "222222220000");
    EXPECT_EQ(r.TxFillIndex, 5u);
    EXPECT_EQ(r.TxActiveIndex, 5u);
    rig.Run();
    EXPECT_EQ(rig.wire, (std::vector<Bytes>{Frame(700, 1), Frame(1200, 2)}));
    EXPECT_EQ(r.TxSendIndex, 5u);
    EXPECT_EQ(r.TxActiveIndex, TX_INDEX_IDLE);
    rig.ExpectCleanBookkeeping();
}

// Two 6-slot frames fill all twelve slots; a third waits until the first
// has gone, then takes slots 0..5 behind the second.
TEST(Transmit, TwelveFullSlotsHoldAThirdFrameBack) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    AdapterRecord& r = rig.r();
    rig.f.StartTrace();
    for (unsigned i = 0; i < 3; i++) rig.Send(Frame(1514, i));
    EXPECT_EQ(Slots(r), "222222222222");
    EXPECT_EQ(r.TxFillIndex, 0u);
    EXPECT_EQ(rig.Completion(1), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(rig.Completion(2), 0xFFFFFFFFu);

    std::vector<TxSnapshot> at_completion;
    rig.proto.hook = [&](NDIS_PACKET*, NDIS_STATUS) { at_completion.push_back(Snap(r)); };
    rig.Run();
    ASSERT_EQ(at_completion.size(), 1u);
    EXPECT_EQ(at_completion[0].active, 6u);  // the second frame is on the wire
    EXPECT_EQ(at_completion[0].fill, 6u);
    EXPECT_EQ(at_completion[0].slots, std::vector<ULONG>(12, 2));

    EXPECT_EQ(TpsrWrites(rig.f),
              (std::vector<unsigned>{r.TxStartPage + 0u, r.TxStartPage + 6u, r.TxStartPage + 0u}));
    ASSERT_EQ(rig.wire.size(), 3u);
    for (unsigned i = 0; i < 3; i++) EXPECT_EQ(rig.wire[i], Frame(1514, i));
    rig.ExpectCleanBookkeeping();
}

// During ring-overflow recovery a frame placed while idle is marked active
// and for restart, but the controller is not touched.
TEST(Transmit, OverflowPendingMarksTheFrameWithoutStartingIt) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    AdapterRecord& r = rig.r();
    r.OverflowPending = 1;
    rig.f.StartTrace();
    rig.Send(Frame(100));
    EXPECT_EQ(rig.Completion(0), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.TxActiveIndex, 0u);
    EXPECT_EQ(r.TxResendPending, 1);
    EXPECT_EQ(r.TxInterruptPending, 0);
    EXPECT_EQ(rig.f.CountWrites(NIC_CR, CR_STA | CR_TXP | CR_RD_ABORT | CR_PAGE0), 0u);
    EXPECT_EQ(rig.f.Count(true, NIC_TPSR), 0u);
    EXPECT_FALSE(rig.card().transmitting());

    // A second frame queues behind it in the slots without a start either.
    rig.Send(Frame(300, 1));
    EXPECT_EQ(Slots(r), "222000000000");
    EXPECT_EQ(rig.f.CountWrites(NIC_CR, CR_STA | CR_TXP | CR_RD_ABORT | CR_PAGE0), 0u);

    // What the recovery does when it is over: the frames then go in order.
    r.OverflowPending = 0;
    r.TxResendPending = 0;
    r.TxInterruptPending = 1;
    CardStartXmit(&r);
    rig.Run();
    EXPECT_EQ(rig.wire, (std::vector<Bytes>{Frame(100), Frame(300, 1)}));
    rig.ExpectCleanBookkeeping();
}

// A transmit-done status after the last frame has ended: one event-log
// The completion shared by the deferred handler and the transfer tail: the
// send index moves to the next frame's first slot, slot 0 past the area's
// end or past slots the fill point skipped; the finished frame's slots are
// freed and its packet forgotten.
TEST(Transmit, CompletionMovesToTheNextFrame) {
    struct Case {
        const char* name;
        ULONG active, length;
        std::vector<ULONG> full;  // slots full before, the active frame's included
        ULONG fill;
        ULONG next;
    } cases[] = {
        {"next frame right after", 0, 300, {0, 1, 2}, 3, 2},
        {"nothing queued: stays at the fill point", 4, 200, {4}, 5, 5},
        {"last slots: next at slot 0", 6, 1514, {6, 7, 8, 9, 10, 11, 0}, 1, 0},
        {"skipped slots: next at slot 0", 2, 1000, {2, 3, 4, 5, 0, 1}, 2, 0},
        {"a frame said to run past the last slot", 9, 1000, {9, 10, 11}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TxRig t;
        AdapterRecord& r = t.r();
        for (ULONG& s : r.TxSlotState) s = TX_SLOT_EMPTY;
        for (ULONG s : c.full) r.TxSlotState[s] = TX_SLOT_FULL;
        r.TxActiveIndex = r.TxSendIndex = c.active;
        r.TxSlotLength[c.active] = c.length;
        r.TxFillIndex = c.fill;
        ULONG ok = r.XmitOkCount;
        Ne2000CompleteTransmit(&r);
        EXPECT_EQ(r.TxSendIndex, c.next);
        for (ULONG s = c.active; s < TX_SLOT_COUNT && s < c.active + (c.length + 255) / 256; s++)
            EXPECT_EQ(r.TxSlotState[s], ULONG{TX_SLOT_EMPTY}) << s;
        EXPECT_EQ(r.TxSlotPacket[c.active], nullptr);
        EXPECT_EQ(r.XmitOkCount + r.XmitErrorCount, ok + 1);
        r.TxActiveIndex = TX_INDEX_IDLE;  // nothing on the wire for the halt
        for (ULONG& s : r.TxSlotState) s = TX_SLOT_EMPTY;
    }
}

// entry, code 0xC000138D with data word 4, and no transmit state changes.
TEST(Transmit, SecondTransmitDoneIsLoggedAndChangesNothing) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    AdapterRecord& r = rig.r();
    rig.Send(Frame(70));
    rig.Send(Frame(600, 1));
    rig.Run();
    ASSERT_EQ(rig.wire.size(), 2u);
    ASSERT_TRUE(rig.host().error_log().empty());
    TxSnapshot before = Snap(r);

    rig.card().core().raise_isr(ISR_PTX);
    rig.Run();
    ASSERT_EQ(rig.host().error_log().size(), 1u);
    EXPECT_EQ(rig.host().error_log()[0].code, NDIS_ERROR_CODE_DRIVER_FAILURE);
    EXPECT_EQ(rig.host().error_log()[0].data, std::vector<ULONG>{4});
    EXPECT_TRUE(Snap(r) == before);

    // Called straight, too.
    Ne2000XmitDpc(&r);
    EXPECT_EQ(rig.host().error_log().size(), 2u);
    EXPECT_TRUE(Snap(r) == before);
    rig.ExpectCleanBookkeeping();
}

// An aborted transmission counts as an error, frees its slots like a good
// one, is not retried, and the next frame goes out.
TEST(Transmit, AbortedTransmissionIsCountedAndNotRetried) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    rig.card().faults().tx_abort = 1;
    rig.Send(Frame(500, 1));
    rig.Send(Frame(80, 2));
    rig.Run();
    EXPECT_EQ(rig.wire, (std::vector<Bytes>{Frame(80, 2)}));
    EXPECT_EQ(rig.r().XmitErrorCount, 1u);
    EXPECT_EQ(rig.r().XmitOkCount, 1u);
    EXPECT_EQ(Slots(rig.r()), "000000000000");
    rig.ExpectCleanBookkeeping();
}

// The controller's remote address never moves: the preparation polls run
// out, the packet is failed with one event-log entry (1, card address), its
// slot stays empty and unwritten, the fill point keeps its value (also a
// move to slot 0), and the next packet goes out once the card answers again.
TEST(Transmit, FailedWritePreparationFailsThePacket) {
    struct Case {
        ULONG start;   // fill and send index before
        size_t length;
        ULONG fill_after;
    };
    for (const Case& c : {Case{0, 60, 0}, Case{9, 1000, 0}, Case{5, 300, 5}}) {
        SCOPED_TRACE(c.start);
        TxRig rig;
        ASSERT_TRUE(rig.up);
        AdapterRecord& r = rig.r();
        r.TxFillIndex = r.TxSendIndex = c.start;
        std::vector<UCHAR> dirt(0xC00, 0xEE);
        rig.card().poke_block((std::uint16_t)r.TxAreaAddress, dirt.data(), dirt.size());
        rig.card().faults().crda_frozen = true;
        rig.f.StartTrace();
        rig.f.ResetStalls();
        rig.Send(Frame(c.length));

        EXPECT_EQ(rig.Completion(0), NDIS_STATUS_FAILURE);
        EXPECT_EQ(rig.f.StalledMicroseconds(), 65535u);
        ULONG d = r.TxAreaAddress + c.fill_after * 256;
        ASSERT_EQ(rig.host().error_log().size(), 1u);
        EXPECT_EQ(rig.host().error_log()[0].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
        EXPECT_EQ(rig.host().error_log()[0].data, (std::vector<ULONG>{1, d}));
        EXPECT_EQ(rig.f.CountWrites(NIC_CR, CR_STA | CR_RD_WRITE | CR_PAGE0), 0u);
        std::vector<UCHAR> ram(dirt.size());
        rig.card().peek_block((std::uint16_t)r.TxAreaAddress, ram.data(), ram.size());
        EXPECT_EQ(ram, dirt);
        EXPECT_EQ(r.TxFillIndex, c.fill_after);
        EXPECT_EQ(r.TxSendIndex, c.start);
        EXPECT_EQ(r.TxActiveIndex, TX_INDEX_IDLE);
        EXPECT_EQ(r.TxSlotPacket[c.fill_after], nullptr);
        EXPECT_EQ(Slots(r), "000000000000");

        rig.card().faults().crda_frozen = false;
        rig.Send(Frame(c.length, 1));
        rig.Run();
        EXPECT_EQ(rig.wire, (std::vector<Bytes>{Padded(Frame(c.length, 1))}));
        EXPECT_EQ(rig.Completion(1), NDIS_STATUS_SUCCESS);
        rig.ExpectCleanBookkeeping();
    }
}

// Packets that cannot be sent (length 0, above 1514 bytes, or buffers that
// hold another count than TotalLength says) are failed at once without a
// port access, also when every slot is full, and hold up nobody.
TEST(Transmit, UnsendablePacketsFailAtOnceWithoutTouchingTheCard) {
    struct Case {
        const char* name;
        size_t bytes;
        std::vector<size_t> pieces;
        UINT stated;  // TotalLength made valid with this value; 0: left to the driver
        std::vector<ULONG> lengths = {};  // buffer lengths written over the real ones
    };
    const std::vector<Case> cases = {
        {"empty", 0, {}, 0},
        {"empty pieces", 0, {0, 0, 0}, 0},
        {"1515 bytes", 1515, {14, 1501}, 0},
        {"4000 bytes", 4000, {}, 0},
        {"buffers hold more", 100, {50, 50}, 60},
        {"buffers hold less", 50, {14, 36}, 60},
        {"stated 0, buffers hold 60", 60, {}, 0xFFFFFFFFu},
        {"stated above 1514", 1514, {}, 1515},
        {"buffer lengths wrap to the stated total", 80, {10, 70}, 60, {0xFFFFFFF6u, 70}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TxRig rig;
        ASSERT_TRUE(rig.up);
        AdapterRecord& r = rig.r();
        rig.Send(Frame(1514, 1));
        rig.Send(Frame(1514, 2));  // every slot is full now
        ASSERT_EQ(Slots(r), "222222222222");

        sim::Packet bad(Frame(c.bytes, 9), c.pieces);
        if (c.stated) {
            bad.get()->Private.TotalLength = c.stated == 0xFFFFFFFFu ? 0 : c.stated;
            bad.get()->Private.ValidCounts = TRUE;
        }
        for (size_t i = 0; i < c.lengths.size(); i++) bad.buffer(i)->ByteCount = c.lengths[i];
        rig.f.StartTrace();
        EXPECT_EQ(rig.SendOwn(std::move(bad)), NDIS_STATUS_PENDING);
        EXPECT_TRUE(rig.f.Trace().empty());
        EXPECT_EQ(rig.OwnCompletion(0), NDIS_STATUS_FAILURE);
        EXPECT_EQ(r.TxQueueHead, nullptr);
        EXPECT_EQ(r.TxQueueTail, nullptr);

        rig.Send(Frame(100, 3));  // queued behind the full slots
        rig.Run();
        EXPECT_EQ(rig.wire, (std::vector<Bytes>{Frame(1514, 1), Frame(1514, 2), Frame(100, 3)}));
        EXPECT_EQ(rig.host().send_completions().size(), 4u);
        EXPECT_TRUE(rig.host().error_log().empty());
        rig.ExpectCleanBookkeeping();
    }
}

// A bad packet queued behind waiting good ones is failed when it reaches
// the head, and the packets behind it still go.
TEST(Transmit, UnsendablePacketInTheQueueDoesNotStallIt) {
    TxRig rig;
    ASSERT_TRUE(rig.up);
    for (unsigned i = 0; i < 3; i++) rig.Send(Frame(1514, i));  // the third waits
    rig.SendOwn(sim::Packet(Frame(1600, 7)));
    rig.Send(Frame(64, 4));
    EXPECT_EQ(rig.OwnCompletion(0), 0xFFFFFFFFu);  // behind the waiting third
    rig.Run();
    EXPECT_EQ(rig.OwnCompletion(0), NDIS_STATUS_FAILURE);
    ASSERT_EQ(rig.wire.size(), 4u);
    EXPECT_EQ(rig.wire[2], Frame(1514, 2));
    EXPECT_EQ(rig.wire[3], Frame(64, 4));
    // Completions in queue order.
    const auto& done = rig.host().send_completions();
    ASSERT_EQ(done.size(), 5u);
    EXPECT_EQ(done[3].packet, rig.own[0]->get());
    rig.ExpectCleanBookkeeping();
}
