// Halt and reset: the end of an adapter's life, and its restart.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "driver/driver.h"
#include "receive/receive.h"
#include "transmit/transmit.h"

namespace {

#define HALT_STALL_US 250000

// Gives every packet still on the send queue back to its protocol and
// empties the queue. Packets already in the transmit slots were completed
// when they were copied to the card.
VOID AbortQueuedSends(AdapterRecord* Adapter) {
    PNDIS_PACKET packet = Adapter->TxQueueHead;
    Adapter->TxQueueHead = nullptr;
    Adapter->TxQueueTail = nullptr;
    while (packet) {
        PNDIS_PACKET next = *Ne2000QueueLink(packet);
        NdisMSendComplete(Adapter->MiniportHandle, packet, NDIS_STATUS_REQUEST_ABORTED);
        packet = next;
    }
}

}  // namespace

// The card is masked before it is stopped and its status acknowledged
// after: the stop leaves the controller running in internal loopback, and a
// card whose loopback does not isolate it from the wire (some emulated cards)
// goes on storing frames. Masked, nothing it does can raise its line, which
// another device may share (IRQ 3 is also the second serial port's).
VOID NDIS_API Ne2000Halt(NDIS_HANDLE MiniportAdapterContext) {
    AdapterRecord* adapter = (AdapterRecord*)MiniportAdapterContext;
    Ne2000DisableInterrupt(adapter);
    CardStop(adapter);
    CardWriteRegister(adapter, NIC_ISR, ISR_ALL);
    NdisMDeregisterInterrupt(&adapter->InterruptObject);
    adapter->InterruptConnected = 0;
    KeStallExecutionProcessor(HALT_STALL_US);
    NdisMDeregisterIoPortRange(adapter->MiniportHandle, adapter->IoBaseAddress, NIC_PORT_COUNT,
                               adapter->IoPortBase);
    Ne2000UnlinkAdapter(adapter);
    AbortQueuedSends(adapter);
    NdisFreeMemory(adapter, sizeof(AdapterRecord), 0);
}

NDIS_STATUS NDIS_API Ne2000Reset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    (void)AddressingReset;  // not written: the restart reprograms everything from the record
    AdapterRecord* adapter = (AdapterRecord*)MiniportAdapterContext;
    adapter->TxActiveIndex = TX_INDEX_IDLE;
    adapter->TxFillIndex = 0;
    adapter->TxSendIndex = 0;
    // Nothing is outstanding after a reset. A completion noted as pending for
    // a frame the stop let finish would otherwise be taken, at the next ring
    // overflow, for a transmission cut off, and a later frame sent twice.
    adapter->TxInterruptPending = 0;
    adapter->TxResendPending = 0;
    AbortQueuedSends(adapter);
    for (ULONG i = 0; i < adapter->TxSlotCount; i++) adapter->TxSlotState[i] = TX_SLOT_EMPTY;
    adapter->ImrValue = IMR_VALUE;
    return CardReset(adapter) ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}
