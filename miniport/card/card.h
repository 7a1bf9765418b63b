// Register-level routines: synchronized register sequences, remote DMA
// copies, card setup/stop/reset, and card detection and bring-up.
//
// Routines named SyncCard* have the shape NdisMSynchronizeWithInterrupt
// requires (one context pointer, BOOLEAN result); each returns FALSE, which
// no caller examines. Card* routines return TRUE on success.
#ifndef CARD_CARD_H
#define CARD_CARD_H

#include "driver/adapter.h"

// Stable reads give up after this many readings and take the last one.
#define STABLE_READ_LIMIT 16

// Synchronized register sequences
BOOLEAN NDIS_API SyncCardStop(PVOID Context);
BOOLEAN NDIS_API SyncCardGetCurrent(PVOID Context);
BOOLEAN NDIS_API SyncCardGetXmitStatus(PVOID Context);
BOOLEAN NDIS_API SyncCardSetReceiveConfig(PVOID Context);
BOOLEAN NDIS_API SyncCardUpdateCounters(PVOID Context);
BOOLEAN NDIS_API SyncCardAcknowledgeOverflow(PVOID Context);
BOOLEAN NDIS_API SyncCardHandleOverflow(PVOID Context);
VOID SyncCardReadPortUchar(ULONG Port, PUCHAR Value);
VOID CardSetBoundary(AdapterRecord* Adapter);
VOID CardStartXmit(AdapterRecord* Adapter);

// The transmitter-idle wait: up to 1,000 stalls of 10 us on CR TXP.
VOID CardWaitTransmitterIdle(AdapterRecord* Adapter);

// Remote DMA
BOOLEAN CardCopyUp(AdapterRecord* Adapter, PUCHAR Target, ULONG Source, ULONG Length);
BOOLEAN CardCopyDown(AdapterRecord* Adapter, ULONG Target, const UCHAR* Source, ULONG Length);
VOID CardStartRemoteRead(AdapterRecord* Adapter, ULONG Address, ULONG Count);
VOID CardStartRemoteWrite(AdapterRecord* Adapter, ULONG Address, ULONG Count);
BOOLEAN CardWaitRemoteDmaDone(AdapterRecord* Adapter);  // FALSE: the card reads all ones
BOOLEAN CardPrepareRemoteWrite(AdapterRecord* Adapter, ULONG Address);

// Multicast hash registers. Under ALL_MULTICAST_FILTER the card takes every
// group address (all hash bits set), whatever MarValues holds.
#define ALL_MULTICAST_FILTER (NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS)
// What MAR0..MAR7 hold for the current PacketFilter: MarValues, or null for
// all bits set.
const UCHAR* CardMulticastRegisterValues(AdapterRecord* Adapter);
// Writes MAR0..MAR7 from Values (null: every bit set). Register page 1 must
// be selected, and so the card masked.
VOID CardWriteMulticastRegisters(AdapterRecord* Adapter, const UCHAR* Values);

// Setup, stop, reset
BOOLEAN CardSetup(AdapterRecord* Adapter);
VOID CardStop(AdapterRecord* Adapter);
BOOLEAN CardReset(AdapterRecord* Adapter);

// Detection and bring-up (initialization only)
BOOLEAN CardCheckParameters(AdapterRecord* Adapter);
BOOLEAN CardInitialize(AdapterRecord* Adapter);
BOOLEAN CardSlotTest(AdapterRecord* Adapter);
BOOLEAN CardRamTest(AdapterRecord* Adapter);
BOOLEAN CardReadEthernetAddress(AdapterRecord* Adapter);

// Port helpers: every register is IoPortBase + offset.
static inline UCHAR CardReadRegister(AdapterRecord* Adapter, ULONG Offset) {
    return READ_PORT_UCHAR(Adapter->IoPortBase + Offset);
}
static inline VOID CardWriteRegister(AdapterRecord* Adapter, ULONG Offset, UCHAR Value) {
    WRITE_PORT_UCHAR(Adapter->IoPortBase + Offset, Value);
}

#endif  // CARD_CARD_H
