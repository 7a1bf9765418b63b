// Send queue and transmit slots.
//
// Packets the wrapper hands to Ne2000Send wait in a queue linked through
// their MiniportReserved area. Ne2000DoNextSend copies each into one or more
// consecutive 256-byte slots of the transmit area, completes it at once and
// starts the transmitter when it is idle; Ne2000XmitDpc frees the slots of a
// finished frame, starts the next full slot and refills from the queue.
//
// A frame never runs from slot 11 into slot 0: when it does not fit before
// the end of the area it goes to slot 0, and the skipped slots stay empty
// until the send point passes them.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "transmit/transmit.h"

const UCHAR BlankBuffer[ETH_MIN_FRAME] = {
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
};

// Slots a frame of Length bytes occupies.
static inline ULONG TxSlotsNeeded(ULONG Length) {
    return (Length + CARD_PAGE_SIZE - 1) / CARD_PAGE_SIZE;
}

static VOID TxSetSlotState(AdapterRecord* Adapter, ULONG First, ULONG Count, ULONG State) {
    for (ULONG i = 0; i < Count; i++) Adapter->TxSlotState[First + i] = State;
}

// Where the next frame starts when its turn comes at slot Index: slot 0 when
// Index is past the area's end, or when the fill point skipped the slots from
// Index on (a frame that did not fit before the end went to slot 0).
static ULONG TxFrameSlotAt(AdapterRecord* Adapter, ULONG Index) {
    if (Index >= TX_SLOT_COUNT) return 0;
    if (Adapter->TxSlotState[Index] == TX_SLOT_EMPTY && Index != Adapter->TxFillIndex) return 0;
    return Index;
}

ULONG Ne2000NextSendIndex(AdapterRecord* Adapter) {
    ULONG slots = TxSlotsNeeded(Adapter->TxSlotLength[Adapter->TxActiveIndex]);
    return TxFrameSlotAt(Adapter, Adapter->TxSendIndex + slots);
}

VOID Ne2000CompleteTransmit(AdapterRecord* Adapter) {
    ULONG active = Adapter->TxActiveIndex;
    ULONG next = Ne2000NextSendIndex(Adapter);

    SyncCardGetXmitStatus(Adapter);
    if (Adapter->TxStatus & TSR_PTX) {
        Adapter->XmitOkCount++;
    } else {
        Adapter->XmitErrorCount++;  // not retried
    }

    // A frame never runs past the last slot; the bound keeps a record that
    // says otherwise from reaching beyond the slot array.
    ULONG slots = TxSlotsNeeded(Adapter->TxSlotLength[active]);
    if (slots > TX_SLOT_COUNT - active) slots = TX_SLOT_COUNT - active;
    TxSetSlotState(Adapter, active, slots, TX_SLOT_EMPTY);
    Adapter->TxSlotPacket[active] = nullptr;  // completed when it was copied to the card
    Adapter->TxSendIndex = next;
}

VOID Ne2000StartTransmit(AdapterRecord* Adapter) {
    Adapter->TxActiveIndex = Adapter->TxSendIndex;
    Adapter->TxInterruptPending = 1;
    CardStartXmit(Adapter);
}

// TRUE when the packet can be put on the wire: its length is 1..1514 bytes
// and its buffers hold exactly that many bytes. A longer frame could run past
// slot 11 into the receive ring, and a chain that disagrees with TotalLength
// would leave the remote write short or overrun it into the next slots.
static BOOLEAN TxPacketIsSendable(PNDIS_PACKET Packet, UINT TotalLength) {
    if (TotalLength == 0 || TotalLength > ETH_MAX_FRAME) return FALSE;

    PNDIS_BUFFER buffer;
    NdisQueryPacket(Packet, nullptr, nullptr, &buffer, nullptr);
    ULONG held = 0;  // bytes in the chain, never above TotalLength
    while (buffer) {
        PVOID address;
        UINT length;
        NdisQueryBuffer(buffer, &address, &length);
        if (length > TotalLength - held) return FALSE;
        held += length;
        NdisGetNextBuffer(buffer, &buffer);
    }
    return held == TotalLength ? TRUE : FALSE;
}

NDIS_STATUS NDIS_API Ne2000Send(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags) {
    (void)Flags;
    AdapterRecord* Adapter = (AdapterRecord*)MiniportAdapterContext;

    if (Adapter->TxQueueHead == nullptr) {
        Adapter->TxQueueHead = Packet;
    } else {
        *Ne2000QueueLink(Adapter->TxQueueTail) = Packet;
    }
    *Ne2000QueueLink(Packet) = nullptr;
    Adapter->TxQueueTail = Packet;

    Ne2000DoNextSend(Adapter);
    return NDIS_STATUS_PENDING;
}

// Takes the head packet off the send queue.
static VOID TxDequeueHead(AdapterRecord* Adapter) {
    PNDIS_PACKET packet = Adapter->TxQueueHead;
    Adapter->TxQueueHead = *Ne2000QueueLink(packet);
    if (Adapter->TxQueueTail == packet) Adapter->TxQueueTail = nullptr;
}

VOID Ne2000DoNextSend(AdapterRecord* Adapter) {
    while (Adapter->TxQueueHead != nullptr) {
        PNDIS_PACKET packet = Adapter->TxQueueHead;
        UINT totalLength;
        NdisQueryPacket(packet, nullptr, nullptr, nullptr, &totalLength);

        // A packet that cannot be sent is failed before it waits for slots,
        // so it never holds up the packets behind it.
        if (!TxPacketIsSendable(packet, totalLength)) {
            TxDequeueHead(Adapter);
            NdisMSendComplete(Adapter->MiniportHandle, packet, NDIS_STATUS_FAILURE);
            continue;
        }

        // The fill point has reached a slot that a frame still holds.
        if (Adapter->TxSlotState[Adapter->TxFillIndex] != TX_SLOT_EMPTY) return;

        ULONG n = TxSlotsNeeded(totalLength);
        ULONG fill = Adapter->TxFillIndex;

        if (Adapter->TxActiveIndex == TX_INDEX_IDLE &&
            Adapter->TxSlotState[Adapter->TxSendIndex] == TX_SLOT_EMPTY) {
            // Nothing on the wire and nothing waiting: any place will do.
            if (fill + n > TX_SLOT_COUNT) Adapter->TxFillIndex = 0;
        } else {
            // First slot still held by earlier frames.
            ULONG held = Adapter->TxActiveIndex != TX_INDEX_IDLE ? Adapter->TxActiveIndex
                                                                 : Adapter->TxSendIndex;
            if (held > fill) {
                if (fill + n > held) return;
            } else if (fill + n > TX_SLOT_COUNT) {
                Adapter->TxFillIndex = 0;
                if (n > held) return;
            }
        }

        TxDequeueHead(Adapter);

        ULONG s = Adapter->TxFillIndex;
        NDIS_STATUS status;
        Adapter->TxSlotPacket[s] = packet;
        if (!CardCopyDownPacket(Adapter, packet, &Adapter->TxSlotLength[s])) {
            // The slots stay empty and the fill point stays where it is.
            TxSetSlotState(Adapter, s, n, TX_SLOT_EMPTY);
            Adapter->TxSlotPacket[s] = nullptr;
            status = NDIS_STATUS_FAILURE;
        } else {
            TxSetSlotState(Adapter, s, n, TX_SLOT_FULL);
            Adapter->TxFillIndex += n;
            if (Adapter->TxFillIndex == TX_SLOT_COUNT) Adapter->TxFillIndex = 0;

            if (Adapter->TxActiveIndex == TX_INDEX_IDLE) {
                // The frame may have gone to slot 0 past skipped slots.
                Adapter->TxSendIndex = TxFrameSlotAt(Adapter, Adapter->TxSendIndex);
                if (Adapter->OverflowPending) {
                    // The overflow recovery starts it when it is done.
                    Adapter->TxActiveIndex = Adapter->TxSendIndex;
                    Adapter->TxResendPending = 1;
                } else {
                    Ne2000StartTransmit(Adapter);
                }
            }
            status = NDIS_STATUS_SUCCESS;
        }

        NdisMSendComplete(Adapter->MiniportHandle, packet, status);
    }
}

VOID Ne2000XmitDpc(AdapterRecord* Adapter) {
    if (Adapter->TxActiveIndex == TX_INDEX_IDLE) {
        // A transmit-done status with no frame on the wire.
        NdisWriteErrorLogEntry(Adapter->MiniportHandle, NDIS_ERROR_CODE_DRIVER_FAILURE, 1,
                               LOG_WHERE_TRANSMIT_DONE);
        return;
    }

    Ne2000CompleteTransmit(Adapter);
    if (Adapter->TxSlotState[Adapter->TxSendIndex] == TX_SLOT_FULL) {
        Ne2000StartTransmit(Adapter);
    } else {
        Adapter->TxActiveIndex = TX_INDEX_IDLE;
    }

    Ne2000DoNextSend(Adapter);
}
