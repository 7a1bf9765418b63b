// Rig, record invariants and bookkeeping checks shared by the fuzz
// harnesses and the reliability tests.
#include "fuzz/common.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "card/dp8390reg.h"

namespace ne2k {

sim::MacAddress RigStation() { return {0x02, 0x4E, 0x45, 0x00, 0x00, 0x01}; }

Rig::Rig(hw::BoardKind kind, bool initialize, ULONG filter) {
    if (host.load_driver(DriverEntry) != 0) return;
    hw::BoardConfig bc;
    bc.kind = kind;
    bc.station = RigStation();
    if (kind == hw::BoardKind::Mca) bc.pos_data1 = 0x4A;  // 0x320, interrupt 5
    card = &host.add_card(bc);
    if (!initialize) return;
    if (host.initialize(host.config_for(*card)) != NDIS_STATUS_SUCCESS) return;
    adapter = &host.adapter();
    rec = adapter->record<AdapterRecord>();
    if (filter && adapter->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter) !=
                      NDIS_STATUS_SUCCESS)
        return;
    up = true;
}

namespace {
std::string Hex(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}
}  // namespace

std::string CheckRecord(const AdapterRecord& r, bool quiescent) {
    std::ostringstream out;
    if (r.TxSlotCount != TX_SLOT_COUNT) out << "TxSlotCount " << r.TxSlotCount << "; ";
    for (ULONG i = 0; i < TX_SLOT_COUNT; i++)
        if (r.TxSlotState[i] != TX_SLOT_EMPTY && r.TxSlotState[i] != TX_SLOT_FULL)
            out << "TxSlotState[" << i << "] = " << r.TxSlotState[i] << "; ";
    if (r.TxFillIndex >= TX_SLOT_COUNT) out << "TxFillIndex " << r.TxFillIndex << "; ";
    if (r.TxSendIndex >= TX_SLOT_COUNT) out << "TxSendIndex " << r.TxSendIndex << "; ";
    if (r.TxActiveIndex != TX_INDEX_IDLE) {
        ULONG a = r.TxActiveIndex;
        if (a >= TX_SLOT_COUNT) {
            out << "TxActiveIndex " << a << "; ";
        } else {
            ULONG n = (r.TxSlotLength[a] + 255) / 256;
            if (n == 0 || a + n > TX_SLOT_COUNT)
                out << "active frame at " << a << " of " << r.TxSlotLength[a] << " bytes does not fit; ";
            else if (quiescent)
                for (ULONG i = a; i < a + n; i++)
                    if (r.TxSlotState[i] != TX_SLOT_FULL)
                        out << "active frame at " << a << ": slot " << i << " not full; ";
            if (quiescent && a != r.TxSendIndex)
                out << "TxActiveIndex " << a << " != TxSendIndex " << r.TxSendIndex << "; ";
        }
    }
    if ((r.TxQueueHead == nullptr) != (r.TxQueueTail == nullptr)) out << "send queue head/tail disagree; ";
    if (!(r.RxFirstPage <= r.RxNextPage && r.RxNextPage < r.RxStopPage))
        out << "RxNextPage " << Hex(r.RxNextPage) << " outside [" << Hex(r.RxFirstPage) << ", "
            << Hex(r.RxStopPage) << "); ";
    if (!(r.RxFirstPage <= r.RxCurrentPage && r.RxCurrentPage < r.RxStopPage))
        out << "RxCurrentPage " << Hex(r.RxCurrentPage) << " outside the ring; ";
    if (r.LookaheadSize > MAX_LOOKAHEAD) out << "LookaheadSize " << r.LookaheadSize << "; ";
    if (r.MaxMulticastList > MAX_MULTICAST_LIST) out << "MaxMulticastList " << r.MaxMulticastList << "; ";
    if (r.ImrValue != IMR_VALUE) out << "ImrValue " << Hex(r.ImrValue) << "; ";
    for (UCHAR f : {r.InterruptsArmed, r.OverflowPending, r.RxIndicated, r.TxInterruptPending,
                    r.TxResendPending, r.ByteWide})
        if (f > 1) out << "a flag holds " << unsigned(f) << "; ";
    if (quiescent) {
        if (r.OverflowPending) out << "OverflowPending at rest; ";
        if (r.RxIndicated) out << "receive-complete owed at rest; ";
        if (!r.InterruptsArmed) out << "card left masked (InterruptsArmed 0) at rest; ";
        if (r.IsrBits & 0x3F) out << "IsrBits " << Hex(r.IsrBits) << " unserved at rest; ";
    }
    return out.str();
}

bool RecordSane(const AdapterRecord& r) {
    if (r.TxSlotCount != TX_SLOT_COUNT || r.TxFillIndex >= TX_SLOT_COUNT || r.TxSendIndex >= TX_SLOT_COUNT)
        return false;
    for (ULONG i = 0; i < TX_SLOT_COUNT; i++)
        if (r.TxSlotState[i] != TX_SLOT_EMPTY && r.TxSlotState[i] != TX_SLOT_FULL) return false;
    // The active frame's slots may be empty for a moment: the early
    // completion in transfer-data frees them, acknowledges ISR and only then
    // moves TxActiveIndex on.
    if (r.TxActiveIndex != TX_INDEX_IDLE && r.TxActiveIndex >= TX_SLOT_COUNT) return false;
    if ((r.TxQueueHead == nullptr) != (r.TxQueueTail == nullptr)) return false;
    if (!(r.RxFirstPage <= r.RxNextPage && r.RxNextPage < r.RxStopPage)) return false;
    if (!(r.RxFirstPage <= r.RxCurrentPage && r.RxCurrentPage < r.RxStopPage)) return false;
    return r.LookaheadSize <= MAX_LOOKAHEAD && r.ImrValue == IMR_VALUE && r.InterruptsArmed <= 1 &&
           r.OverflowPending <= 1 && r.TxInterruptPending <= 1 && r.TxResendPending <= 1;
}

std::string CheckRecordAgainstCard(const AdapterRecord& r, const hw::Ne2000Board& card) {
    std::ostringstream out;
    const hw::Dp8390State& s = card.regs();
    if (s.pstart != r.RxFirstPage || s.pstop != r.RxStopPage)
        out << "PSTART/PSTOP " << Hex(s.pstart) << "/" << Hex(s.pstop) << " differ from the record; ";
    UCHAR expect_bnry = (UCHAR)((r.RxNextPage == r.RxFirstPage ? r.RxStopPage : r.RxNextPage) - 1);
    if (s.bnry != expect_bnry)
        out << "BNRY " << Hex(s.bnry) << " not one page behind RxNextPage " << Hex(r.RxNextPage) << "; ";
    if (r.InterruptsArmed && s.imr != r.ImrValue) out << "armed but IMR " << Hex(s.imr) << "; ";
    if (!r.InterruptsArmed && s.imr != 0) out << "masked but IMR " << Hex(s.imr) << "; ";
    if (s.cr_page != 0) out << "register page " << unsigned(s.cr_page) << " left selected; ";
    return out.str();
}

std::string CheckHost(sim::Host& host, const hw::Ne2000Board* card) {
    std::ostringstream out;
    for (std::size_t i = 0; i < host.problems().size() && i < 3; i++)
        out << "problem: " << host.problems()[i] << "; ";
    if (host.double_completions()) out << host.double_completions() << " double completions; ";
    if (card) {
        const hw::Misuse& m = card->misuse();
        if (m.total())
            out << "card misuse: idle data port " << m.data_port_idle << ", TXP stopped "
                << m.txp_stopped << ", TXP busy " << m.txp_busy << ", odd word " << m.odd_word
                << ", page 1 in ISR " << m.page1_in_isr << "; ";
    }
    return out.str();
}

bool CardAccepts(const hw::Ne2000Board& card, const std::uint8_t* dest) {
    const hw::Dp8390State& s = card.regs();
    if (dest[0] & 1) {
        bool broadcast = std::all_of(dest, dest + 6, [](std::uint8_t b) { return b == 0xFF; });
        if (broadcast) return s.rcr & RCR_AB;
        if (!(s.rcr & RCR_AM)) return false;
        unsigned h = hw::Dp8390::hash_bit(dest);
        return s.mar[h >> 3] & (1u << (h & 7));
    }
    if (s.rcr & RCR_PRO) return true;
    return std::equal(dest, dest + 6, s.par.begin());
}

}  // namespace ne2k
