// Interrupt service and dispatch, receive ring processing, transfer data.
#ifndef RECEIVE_RECEIVE_H
#define RECEIVE_RECEIVE_H

#include "driver/adapter.h"

VOID NDIS_API Ne2000Isr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
               NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API Ne2000EnableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API Ne2000DisableInterrupt(NDIS_HANDLE MiniportAdapterContext);
VOID NDIS_API Ne2000HandleInterrupt(NDIS_HANDLE MiniportAdapterContext);

BOOLEAN Ne2000RcvDpc(AdapterRecord* Adapter);
BOOLEAN Ne2000PacketOK(AdapterRecord* Adapter);
ULONG Ne2000IndicatePacket(AdapterRecord* Adapter);  // 0 indicated, 1 refused

NDIS_STATUS NDIS_API Ne2000TransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                               NDIS_HANDLE MiniportAdapterContext,
                               NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                               UINT BytesToTransfer);

#endif  // RECEIVE_RECEIVE_H
