// Short register sequences used by the interrupt, receive and transmit
// paths. All run on register page 0 except SyncCardGetCurrent, which selects
// page 1 for the single read of CURR and returns to page 0 after it.
#include "card/card.h"
#include "card/cardlocal.h"
#include "card/dp8390reg.h"

BOOLEAN NDIS_API SyncCardStop(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    CardWriteRegister(adapter, NIC_COMMAND, CR_VALUE_STOP);
    return FALSE;
}

// One reading of CURR: page 1 for the read only.
static UCHAR ReadCurrentOnce(AdapterRecord* Adapter) {
    CardWriteRegister(Adapter, NIC_COMMAND, CR_VALUE_START_NO_DMA_PAGE1);
    UCHAR value = CardReadRegister(Adapter, NIC_CURRENT);
    CardWriteRegister(Adapter, NIC_COMMAND, CR_VALUE_START);
    return value;
}

// CURR until two successive readings agree, at most STABLE_READ_LIMIT
// readings; a register that never settles leaves the last reading.
BOOLEAN NDIS_API SyncCardGetCurrent(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    adapter->RxCurrentPage = ReadCurrentOnce(adapter);
    for (ULONG readings = 1; readings < STABLE_READ_LIMIT; readings++) {
        UCHAR value = ReadCurrentOnce(adapter);
        if (value == adapter->RxCurrentPage) break;
        adapter->RxCurrentPage = value;
    }
    return FALSE;
}

BOOLEAN NDIS_API SyncCardGetXmitStatus(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    adapter->TxStatus = CardReadRegister(adapter, NIC_XMIT_STATUS);
    return FALSE;
}

// BNRY names the page just before the next unread frame, wrapping from the
// first ring page to the last.
VOID CardSetBoundary(AdapterRecord* Adapter) {
    UCHAR page = Adapter->RxNextPage;
    if (page == Adapter->RxFirstPage) page = Adapter->RxStopPage;
    CardWriteRegister(Adapter, NIC_BOUNDARY, (UCHAR)(page - 1));
}

BOOLEAN NDIS_API SyncCardSetReceiveConfig(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    CardWriteRegister(adapter, NIC_RCV_CONFIG, adapter->RcrValue);
    return FALSE;
}

// The tallies clear when read; each reading is 0..255 and is added as such.
BOOLEAN NDIS_API SyncCardUpdateCounters(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    adapter->AlignmentErrorCount += CardReadRegister(adapter, NIC_FAE_ERR_CNTR);
    adapter->CrcErrorCount += CardReadRegister(adapter, NIC_CRC_ERR_CNTR);
    adapter->MissedPacketCount += CardReadRegister(adapter, NIC_MISSED_CNTR);
    return FALSE;
}

BOOLEAN NDIS_API SyncCardAcknowledgeOverflow(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    if (adapter->IsrBits & ISR_RCV_ERR) SyncCardUpdateCounters(adapter);
    return FALSE;
}

// Register half of ring-overflow recovery: stop, note a transmit that was
// cut off without a completion, and restart in internal loopback.
BOOLEAN NDIS_API SyncCardHandleOverflow(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;
    SyncCardStop(adapter);
    KeStallExecutionProcessor(STOP_SETTLE_US);
    if ((adapter->IsrBits & ISR_XMIT_DONE) == 0) {
        UCHAR isr = CardReadRegister(adapter, NIC_INTR_STATUS);
        if ((isr & ISR_XMIT_DONE) == 0) adapter->TxResendPending = adapter->TxInterruptPending;
    }
    adapter->TxInterruptPending = 0;
    CardWriteRegister(adapter, NIC_RMT_COUNT_MSB, 0);
    CardWriteRegister(adapter, NIC_RMT_COUNT_LSB, 0);
    CardWriteRegister(adapter, NIC_XMIT_CONFIG, TCR_LOOPBACK);
    CardWriteRegister(adapter, NIC_COMMAND, CR_VALUE_START);
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
    UCHAR command = CardReadRegister(Adapter, NIC_COMMAND);
    while ((command & CR_XMIT) && waited < XMIT_IDLE_LIMIT_US) {
        KeStallExecutionProcessor(XMIT_IDLE_STALL_US);
        waited = (USHORT)(waited + XMIT_IDLE_STALL_US);
        command = CardReadRegister(Adapter, NIC_COMMAND);
    }
}

// Puts the frame of slot TxActiveIndex on the wire; frames shorter than the
// Ethernet minimum go out as 60 bytes (the slot is already filled to 60).
VOID CardStartXmit(AdapterRecord* Adapter) {
    ULONG length = Adapter->TxSlotLength[Adapter->TxActiveIndex];
    CardWaitTransmitterIdle(Adapter);
    CardWriteRegister(Adapter, NIC_INTR_STATUS, ISR_XMIT_DONE);
    CardWriteRegister(Adapter, NIC_XMIT_START,
                      (UCHAR)(Adapter->TxStartPage + Adapter->TxActiveIndex));
    if (length < ETH_MIN_FRAME) length = ETH_MIN_FRAME;
    CardWriteRegister(Adapter, NIC_XMIT_COUNT_MSB, (UCHAR)(length >> 8));
    CardWriteRegister(Adapter, NIC_XMIT_COUNT_LSB, (UCHAR)(length & 0xFF));
    (VOID) CardReadRegister(Adapter, NIC_COMMAND);
    CardWriteRegister(Adapter, NIC_COMMAND, CR_VALUE_START_XMIT);
}
