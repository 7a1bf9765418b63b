// Information requests: query, set, packet filter, multicast hashing.
#ifndef REQUEST_REQUEST_H
#define REQUEST_REQUEST_H

#include "driver/adapter.h"

#define SUPPORTED_OID_COUNT 31
extern const NDIS_OID Ne2000SupportedOids[SUPPORTED_OID_COUNT];

NDIS_STATUS NDIS_API Ne2000QueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                   PVOID InformationBuffer, ULONG InformationBufferLength,
                                   PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS NDIS_API Ne2000SetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                 PVOID InformationBuffer, ULONG InformationBufferLength,
                                 PULONG BytesRead, PULONG BytesNeeded);

NDIS_STATUS DispatchSetPacketFilter(AdapterRecord* Adapter);
NDIS_STATUS DispatchSetMulticastAddressList(AdapterRecord* Adapter);
ULONG CardComputeCrc(const UCHAR* Buffer, UINT Length);
VOID CardGetMulticastBit(const UCHAR Address[ETH_ADDRESS_LENGTH], PUCHAR Byte, PUCHAR Value);
VOID CardFillMulticastRegs(AdapterRecord* Adapter);
BOOLEAN NDIS_API SyncCardSetAllMulticast(PVOID Context);
BOOLEAN NDIS_API SyncCardCopyMulticastRegs(PVOID Context);

#endif  // REQUEST_REQUEST_H
