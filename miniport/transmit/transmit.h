// Transmit path: send queue, transmit slots, packet copy to card RAM.
#ifndef TRANSMIT_TRANSMIT_H
#define TRANSMIT_TRANSMIT_H

#include "driver/adapter.h"

// 60 bytes of 0x20: fills short frames up to the minimum frame length.
extern const UCHAR BlankBuffer[ETH_MIN_FRAME];

NDIS_STATUS NDIS_API Ne2000Send(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
VOID Ne2000DoNextSend(AdapterRecord* Adapter);
VOID Ne2000XmitDpc(AdapterRecord* Adapter);

// The transmit completion, shared by the deferred handler and the transfer
// tail. With a frame on the wire (TxActiveIndex not idle):
// Ne2000NextSendIndex is the first slot of the frame after it (slot 0 past
// the area's end or past slots the fill point skipped); Ne2000CompleteTransmit
// counts the frame by TSR, frees its slots, forgets its packet and moves
// TxSendIndex there. Ne2000StartTransmit puts the frame at TxSendIndex on the
// wire.
ULONG Ne2000NextSendIndex(AdapterRecord* Adapter);
VOID Ne2000CompleteTransmit(AdapterRecord* Adapter);
VOID Ne2000StartTransmit(AdapterRecord* Adapter);
// The packet into the slot at TxFillIndex, filled to 60 bytes on the card,
// and its length (the packet's own) through Length. FALSE, logged, when the
// copy failed: the write preparation timed out or the card stopped
// answering; the length is not stored then.
BOOLEAN CardCopyDownPacket(AdapterRecord* Adapter, PNDIS_PACKET Packet, PULONG Length);

// The send-queue link lives in the first pointer of MiniportReserved.
static inline PNDIS_PACKET* Ne2000QueueLink(PNDIS_PACKET Packet) {
    return (PNDIS_PACKET*)(PVOID)Packet->MiniportReserved;
}

#endif  // TRANSMIT_TRANSMIT_H
