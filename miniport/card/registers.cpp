// Short register sequences used by the interrupt, receive and transmit
// paths. All run on register page 0 except SyncCardGetCurrent, which selects
// page 1 for the single read of CURR and returns to page 0 after it.
#include "card/card.h"
#include "card/cardlocal.h"
#include "card/dp8390reg.h"

BOOLEAN NDIS_API SyncCardStop(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    CardWriteRegister(adapter, NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0);
    return FALSE;
}

// One reading of CURR: page 1 for the read only.
static UCHAR ReadCurrentOnce(AdapterRecord* Adapter) {
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE1);
    UCHAR value = CardReadRegister(Adapter, NIC_CURR);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0);
    return value;
}

// CURR until two successive readings agree, at most STABLE_READ_LIMIT
// readings; a register that never settles leaves the last reading. A
// reading outside the ring is no page the controller writes to: it does not
// answer (a card pulled out reads all ones), and RxCurrentPage is left at
// RxNextPage, as for an empty ring.
BOOLEAN NDIS_API SyncCardGetCurrent(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    UCHAR current = ReadCurrentOnce(adapter);
    for (ULONG readings = 1; readings < STABLE_READ_LIMIT; readings++) {
        UCHAR value = ReadCurrentOnce(adapter);
        if (value == current) break;
        current = value;
    }
    BOOLEAN inRing = current >= adapter->RxFirstPage && current < adapter->RxStopPage;
    adapter->RxCurrentPage = inRing ? current : adapter->RxNextPage;
    return FALSE;
}

BOOLEAN NDIS_API SyncCardGetXmitStatus(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    adapter->TxStatus = CardReadRegister(adapter, NIC_TSR);
    return FALSE;
}

// BNRY names the page just before the next unread frame, wrapping from the
// first ring page to the last.
VOID CardSetBoundary(AdapterRecord* Adapter) {
    UCHAR page = Adapter->RxNextPage;
    if (page == Adapter->RxFirstPage) page = Adapter->RxStopPage;
    CardWriteRegister(Adapter, NIC_BNRY, (UCHAR)(page - 1));
}

BOOLEAN NDIS_API SyncCardSetReceiveConfig(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    CardWriteRegister(adapter, NIC_RCR, adapter->RcrValue);
    return FALSE;
}

// The tallies clear when read; each reading is 0..255 and is added as such.
BOOLEAN NDIS_API SyncCardUpdateCounters(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    adapter->AlignmentErrorCount += CardReadRegister(adapter, NIC_CNTR0);
    adapter->CrcErrorCount += CardReadRegister(adapter, NIC_CNTR1);
    adapter->MissedPacketCount += CardReadRegister(adapter, NIC_CNTR2);
    return FALSE;
}

BOOLEAN NDIS_API SyncCardAcknowledgeOverflow(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    if (adapter->IsrBits & ISR_RXE) SyncCardUpdateCounters(adapter);
    return FALSE;
}

// Register half of ring-overflow recovery: stop, note a transmit that was
// cut off without a completion, and restart in internal loopback.
BOOLEAN NDIS_API SyncCardHandleOverflow(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    SyncCardStop(adapter);
    KeStallExecutionProcessor(STOP_SETTLE_US);
    if ((adapter->IsrBits & ISR_TX_DONE) == 0) {
        UCHAR isr = CardReadRegister(adapter, NIC_ISR);
        if ((isr & ISR_TX_DONE) == 0) adapter->TxResendPending = adapter->TxInterruptPending;
    }
    adapter->TxInterruptPending = 0;
    CardWriteRegister(adapter, NIC_RBCR1, 0);
    CardWriteRegister(adapter, NIC_RBCR0, 0);
    CardWriteRegister(adapter, NIC_TCR, TCR_LB0);
    CardWriteRegister(adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0);
    return FALSE;
}

// A port until two successive readings agree, at most STABLE_READ_LIMIT
// readings; a port that never settles leaves the last reading.
VOID SyncCardReadPortUchar(ULONG Port, PUCHAR Value) {
    *Value = READ_PORT_UCHAR(Port);
    for (ULONG readings = 1; readings < STABLE_READ_LIMIT; readings++) {
        UCHAR value = READ_PORT_UCHAR(Port);
        if (value == *Value) break;
        *Value = value;
    }
}

// Polls CR TXP in 10 us stalls for at most 10 ms; running out is not
// reported, the caller goes on.
VOID CardWaitTransmitterIdle(AdapterRecord* Adapter) {
    USHORT waited = 0;  // microseconds
    UCHAR command = CardReadRegister(Adapter, NIC_CR);
    while ((command & CR_TXP) && waited < XMIT_IDLE_LIMIT_US) {
        KeStallExecutionProcessor(XMIT_IDLE_STALL_US);
        waited = (USHORT)(waited + XMIT_IDLE_STALL_US);
        command = CardReadRegister(Adapter, NIC_CR);
    }
}

// Puts the frame of slot TxActiveIndex on the wire; frames shorter than the
// Ethernet minimum go out as 60 bytes (the slot is already filled to 60).
VOID CardStartXmit(AdapterRecord* Adapter) {
    ULONG length = Adapter->TxSlotLength[Adapter->TxActiveIndex];
    CardWaitTransmitterIdle(Adapter);
    CardWriteRegister(Adapter, NIC_ISR, ISR_TX_DONE);
    CardWriteRegister(Adapter, NIC_TPSR,
                      (UCHAR)(Adapter->TxStartPage + Adapter->TxActiveIndex));
    if (length < ETH_MIN_FRAME) length = ETH_MIN_FRAME;
    CardWriteRegister(Adapter, NIC_TBCR1, (UCHAR)(length >> 8));
    CardWriteRegister(Adapter, NIC_TBCR0, (UCHAR)(length & 0xFF));
    (VOID) CardReadRegister(Adapter, NIC_CR);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_TXP | CR_RD_ABORT | CR_PAGE0);
}
