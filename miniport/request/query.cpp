// Query information: every answer is a constant, a field of the adapter
// record or a driver-wide table. The card is never touched.
#include "request/request.h"

// Answer to OID_GEN_SUPPORTED_LIST, in this order.
const NDIS_OID Ne2000SupportedOids[SUPPORTED_OID_COUNT] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_VENDOR_ID,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
};

// Vendor description, answered with its terminating zero (21 bytes).
static const char VendorDescription[] = "Novell 2000 Adapter.";

#define LINK_SPEED_100BPS 100000u        // 10 Mbit/s in units of 100 bit/s
#define RECEIVE_BUFFER_BASE 0x2000u      // fixed 8 KB, less the transmit area
#define DRIVER_NDIS_VERSION 0x0300u      // NDIS 3.0, major version in the high byte
#define MAC_OPTIONS                                                                  \
    (NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_RECEIVE_SERIALIZED |      \
     NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK)

NDIS_STATUS NDIS_API Ne2000QueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                   PVOID InformationBuffer, ULONG InformationBufferLength,
                                   PULONG BytesWritten, PULONG BytesNeeded) {
    AdapterRecord* Adapter = (AdapterRecord*)MiniportAdapterContext;
    ULONG genericUlong = 0;
    USHORT genericUshort = 0;
    UCHAR vendorId[4];
    const VOID* source = &genericUlong;
    ULONG length = sizeof(ULONG);

    switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
        source = Ne2000SupportedOids;
        length = sizeof(Ne2000SupportedOids);
        break;
    case OID_GEN_HARDWARE_STATUS:
        genericUlong = NdisHardwareStatusReady;
        break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
        genericUlong = NdisMedium802_3;
        break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
        genericUlong = MAX_LOOKAHEAD;
        break;
    case OID_GEN_MAXIMUM_FRAME_SIZE:
        genericUlong = ETH_MAX_DATA;
        break;
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
        genericUlong = ETH_MAX_FRAME;
        break;
    case OID_GEN_MAC_OPTIONS:
        genericUlong = MAC_OPTIONS;
        break;
    case OID_GEN_LINK_SPEED:
        genericUlong = LINK_SPEED_100BPS;
        break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
        genericUlong = Adapter->TxSlotCount * CARD_PAGE_SIZE;
        break;
    case OID_GEN_RECEIVE_BUFFER_SPACE:
        genericUlong = RECEIVE_BUFFER_BASE - Adapter->TxSlotCount * CARD_PAGE_SIZE;
        break;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
        genericUlong = CARD_PAGE_SIZE;
        break;
    case OID_GEN_VENDOR_DESCRIPTION:
        source = VendorDescription;
        length = sizeof(VendorDescription);
        break;
    case OID_GEN_VENDOR_ID:
        // The first three bytes of the card's own address, then 0.
        vendorId[0] = Adapter->PermanentAddress[0];
        vendorId[1] = Adapter->PermanentAddress[1];
        vendorId[2] = Adapter->PermanentAddress[2];
        vendorId[3] = 0;
        source = vendorId;
        break;
    case OID_GEN_DRIVER_VERSION:
        genericUshort = DRIVER_NDIS_VERSION;
        source = &genericUshort;
        length = sizeof(USHORT);
        break;
    case OID_GEN_CURRENT_LOOKAHEAD:
        genericUlong = Adapter->LookaheadSize;
        break;
    case OID_GEN_XMIT_OK:
        genericUlong = Adapter->XmitOkCount;
        break;
    case OID_GEN_RCV_OK:
        genericUlong = Adapter->RcvOkCount;
        break;
    case OID_GEN_XMIT_ERROR:
        genericUlong = Adapter->XmitErrorCount;
        break;
    case OID_GEN_RCV_ERROR:
        genericUlong = Adapter->CrcErrorCount;
        break;
    case OID_GEN_RCV_NO_BUFFER:
        genericUlong = Adapter->MissedPacketCount;
        break;
    case OID_802_3_PERMANENT_ADDRESS:
        source = Adapter->PermanentAddress;
        length = ETH_ADDRESS_LENGTH;
        break;
    case OID_802_3_CURRENT_ADDRESS:
        source = Adapter->StationAddress;
        length = ETH_ADDRESS_LENGTH;
        break;
    case OID_802_3_MAXIMUM_LIST_SIZE:
        genericUlong = Adapter->MaxMulticastList;
        break;
    case OID_802_3_RCV_ERROR_ALIGNMENT:
        genericUlong = Adapter->AlignmentErrorCount;
        break;
    case OID_802_3_XMIT_ONE_COLLISION:
        genericUlong = Adapter->OneCollisionCount;
        break;
    case OID_802_3_XMIT_MORE_COLLISIONS:
        genericUlong = Adapter->MoreCollisionsCount;
        break;
    default:
        // Also OID_GEN_PROTOCOL_OPTIONS, OID_GEN_CURRENT_PACKET_FILTER and
        // OID_802_3_MULTICAST_LIST: listed as supported, but not reported.
        return NDIS_STATUS_INVALID_OID;
    }

    if (length > InformationBufferLength) {
        *BytesNeeded = length;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NdisMoveMemory(InformationBuffer, source, length);
    *BytesWritten += length;  // adds to what the caller holds
    return NDIS_STATUS_SUCCESS;
}
