// Transmit path: send queue, transmit slots, packet copy to card RAM.
#ifndef TRANSMIT_TRANSMIT_H
#define TRANSMIT_TRANSMIT_H

#include "driver/adapter.h"

// 60 bytes of 0x20: fills short frames up to the minimum frame length.
extern const UCHAR BlankBuffer[ETH_MIN_FRAME];

NDIS_STATUS NDIS_API Ne2000Send(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
VOID Ne2000DoNextSend(AdapterRecord* Adapter);
VOID Ne2000XmitDpc(AdapterRecord* Adapter);
BOOLEAN CardCopyDownPacket(AdapterRecord* Adapter, PNDIS_PACKET Packet, PULONG Length);

// The send-queue link lives in the first pointer of MiniportReserved.
static inline PNDIS_PACKET* Ne2000QueueLink(PNDIS_PACKET Packet) {
    return (PNDIS_PACKET*)(PVOID)Packet->MiniportReserved;
}

#endif  // TRANSMIT_TRANSMIT_H
