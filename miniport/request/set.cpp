// Set information: packet filter, lookahead size and multicast list, and the
// multicast hash that the filter and the list turn into.
//
// The routines that select register page 1 (the hash registers) or change
// RCR run through NdisMSynchronizeWithInterrupt, so the interrupt service
// routine, which reads offset 0x07 as ISR, never meets page 1.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "request/request.h"

// Filter bits this card cannot honour; only the low 16 bits are examined.
#define UNSUPPORTED_FILTER_MASK                                                       \
    (NDIS_PACKET_TYPE_SOURCE_ROUTING | NDIS_PACKET_TYPE_SMT | NDIS_PACKET_TYPE_GROUP | \
     NDIS_PACKET_TYPE_ALL_FUNCTIONAL | NDIS_PACKET_TYPE_FUNCTIONAL |                  \
     NDIS_PACKET_TYPE_MAC_FRAME)
#define ACCEPT_MULTICAST_FILTER (NDIS_PACKET_TYPE_MULTICAST | ALL_MULTICAST_FILTER)
#define ACCEPT_BROADCAST_FILTER (NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_PROMISCUOUS)

#define MULTICAST_LIST_BYTES (MAX_MULTICAST_LIST * ETH_ADDRESS_LENGTH)  // 48
#define CRC_POLYNOMIAL 0x04C11DB7u

static inline ULONG ReadUlong(const VOID* Buffer) {
    ULONG value;
    NdisMoveMemory(&value, Buffer, sizeof value);  // the caller's buffer may be unaligned
    return value;
}

static inline VOID SyncWithInterrupt(AdapterRecord* Adapter, W_SYNCHRONIZE_FUNCTION Routine) {
    NdisMSynchronizeWithInterrupt(&Adapter->InterruptObject, (PVOID)Routine, Adapter);
}

NDIS_STATUS NDIS_API Ne2000SetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                 PVOID InformationBuffer, ULONG InformationBufferLength,
                                 PULONG BytesRead, PULONG BytesNeeded) {
    AdapterRecord* Adapter = (AdapterRecord*)MiniportAdapterContext;

    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER: {
        if (InformationBufferLength != sizeof(ULONG)) {
            *BytesRead = 0;
            *BytesNeeded = 0;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        ULONG filter = ReadUlong(InformationBuffer);
        *BytesRead = sizeof(ULONG);
        *BytesNeeded = 0;
        if ((filter & 0xFFFFu) & UNSUPPORTED_FILTER_MASK) return NDIS_STATUS_NOT_SUPPORTED;
        Adapter->PacketFilter = filter;
        DispatchSetPacketFilter(Adapter);
        return NDIS_STATUS_SUCCESS;
    }

    case OID_GEN_CURRENT_LOOKAHEAD: {
        if (InformationBufferLength != sizeof(ULONG)) {
            *BytesRead = 0;
            *BytesNeeded = 0;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        ULONG lookahead = ReadUlong(InformationBuffer);
        if (lookahead > MAX_LOOKAHEAD) return NDIS_STATUS_INVALID_LENGTH;  // counts untouched
        Adapter->LookaheadSize = lookahead;
        *BytesRead = sizeof(ULONG);
        *BytesNeeded = 0;
        return NDIS_STATUS_SUCCESS;
    }

    case OID_802_3_MULTICAST_LIST:
        if (InformationBufferLength % ETH_ADDRESS_LENGTH != 0) {
            *BytesRead = 0;
            *BytesNeeded = 0;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        if (InformationBufferLength > MULTICAST_LIST_BYTES) {
            // More entries than MulticastList holds: refused, nothing changes.
            *BytesRead = 0;
            *BytesNeeded = MULTICAST_LIST_BYTES;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        // Written from entry 0 on; later entries keep what they held.
        NdisMoveMemory(Adapter->MulticastList, InformationBuffer, InformationBufferLength);
        // Under all-multicast or promiscuous the card takes every group
        // address; the list reaches the card with the next filter without them.
        if (!(Adapter->PacketFilter & ALL_MULTICAST_FILTER)) {
            DispatchSetMulticastAddressList(Adapter);
        }
        *BytesRead = InformationBufferLength;
        *BytesNeeded = 0;
        return NDIS_STATUS_SUCCESS;

    default:
        *BytesRead = 0;
        *BytesNeeded = 0;
        return NDIS_STATUS_INVALID_OID;
    }
}

NDIS_STATUS DispatchSetPacketFilter(AdapterRecord* Adapter) {
    ULONG filter = Adapter->PacketFilter;

    if (filter & ALL_MULTICAST_FILTER) {
        SyncWithInterrupt(Adapter, SyncCardSetAllMulticast);
    } else {
        DispatchSetMulticastAddressList(Adapter);
    }

    UCHAR rcr = Adapter->RcrValue;
    if (filter & ACCEPT_MULTICAST_FILTER) {
        rcr |= RCR_AM;
    } else {
        rcr &= (UCHAR)~RCR_AM;
    }
    if (filter & NDIS_PACKET_TYPE_PROMISCUOUS) {
        rcr |= RCR_PRO;
    } else {
        rcr &= (UCHAR)~RCR_PRO;
    }
    if (filter & ACCEPT_BROADCAST_FILTER) {
        rcr |= RCR_AB;
    } else {
        rcr &= (UCHAR)~RCR_AB;
    }
    Adapter->RcrValue = rcr;

    SyncWithInterrupt(Adapter, SyncCardSetReceiveConfig);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS DispatchSetMulticastAddressList(AdapterRecord* Adapter) {
    CardFillMulticastRegs(Adapter);
    SyncWithInterrupt(Adapter, SyncCardCopyMulticastRegs);
    return NDIS_STATUS_SUCCESS;
}

// The Ethernet CRC as its shift register holds it after the data: preset to
// all ones, data bits least significant first, no final complement and no
// bit reversal (the x^31 term is bit 31).
ULONG CardComputeCrc(const UCHAR* Buffer, UINT Length) {
    ULONG crc = 0xFFFFFFFFu;
    for (UINT i = 0; i < Length; i++) {
        UCHAR byte = Buffer[i];
        for (UINT bit = 0; bit < 8; bit++) {
            ULONG carry = ((crc >> 31) ^ byte) & 1u;
            crc <<= 1;
            byte >>= 1;
            if (carry) crc ^= CRC_POLYNOMIAL;
        }
    }
    return crc;
}

// The top six CRC bits pick one of the 64 hash bits: MAR index in the upper
// three, bit within the register in the lower three.
VOID CardGetMulticastBit(const UCHAR Address[ETH_ADDRESS_LENGTH], PUCHAR Byte, PUCHAR Value) {
    ULONG hash = CardComputeCrc(Address, ETH_ADDRESS_LENGTH) >> 26;
    *Byte = (UCHAR)(hash >> 3);
    *Value = (UCHAR)(1u << (hash & 7));
}

// All 8 entries take part, whatever the length of the last list: entries
// never written hash as the all-zero address.
VOID CardFillMulticastRegs(AdapterRecord* Adapter) {
    for (ULONG i = 0; i < MAR_COUNT; i++) Adapter->MarValues[i] = 0;
    for (ULONG i = MAX_MULTICAST_LIST; i-- > 0;) {
        UCHAR index, mask;
        CardGetMulticastBit(Adapter->MulticastList[i], &index, &mask);
        Adapter->MarValues[index] |= mask;
    }
}

// Loads MAR0..MAR7 from Values with the card masked: page 1 is selected for
// the whole load, and offset 0x0F is MAR7 there, not IMR. Re-arms the card
// whatever InterruptsArmed was on entry.
static VOID CardLoadMulticastRegs(AdapterRecord* Adapter, const UCHAR* Values) {
    Adapter->InterruptsArmed = 0;
    CardWriteRegister(Adapter, NIC_IMR, IMR_NONE);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE1);
    CardWriteMulticastRegisters(Adapter, Values);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0);
    CardWriteRegister(Adapter, NIC_IMR, Adapter->ImrValue);
    Adapter->InterruptsArmed = 1;
}

// Every hash bit set; MarValues is kept for when the filter drops
// all-multicast and promiscuous.
BOOLEAN NDIS_API SyncCardSetAllMulticast(PVOID Context) {
    CardLoadMulticastRegs((AdapterRecord*)Context, nullptr);
    return FALSE;
}

BOOLEAN NDIS_API SyncCardCopyMulticastRegs(PVOID Context) {
    AdapterRecord* Adapter = (AdapterRecord*)Context;
    CardLoadMulticastRegs(Adapter, Adapter->MarValues);
    return FALSE;
}
