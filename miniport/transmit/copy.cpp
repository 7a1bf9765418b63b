// Packet copy to card RAM: the whole buffer chain goes out as one remote-DMA
// write at the start of the slot being filled, so the frame lies contiguous
// on the card with no staging copy in host memory.
//
// On the 16-bit path each data-port write moves a little-endian word (low
// byte at the even card address). A buffer of odd remaining length leaves its
// last byte carried over, to be paired with the first byte of the next buffer.
// A frame shorter than the Ethernet minimum is filled up to it on the card.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "transmit/transmit.h"

// The copy to CardAddress failed: the write preparation timed out, or the
// card stopped answering (pulled out). Logged with the slot's card address.
static BOOLEAN CopyFailed(AdapterRecord* Adapter, ULONG CardAddress) {
    NdisWriteErrorLogEntry(Adapter->MiniportHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2,
                           LOG_WHERE_PACKET_COPY, CardAddress);
    return FALSE;
}

BOOLEAN CardCopyDownPacket(AdapterRecord* Adapter, PNDIS_PACKET Packet, PULONG Length) {
    PNDIS_BUFFER buffer;
    UINT totalLength;
    NdisQueryPacket(Packet, nullptr, nullptr, &buffer, &totalLength);
    if (totalLength == 0) return TRUE;

    // Start of the slot: a multiple of 256, so always even.
    ULONG cardAddress = Adapter->TxAreaAddress + Adapter->TxFillIndex * CARD_PAGE_SIZE;
    ULONG dataPort = Adapter->IoPortBase + NIC_DATA;

    PVOID address;
    UINT remaining;
    NdisQueryBuffer(buffer, &address, &remaining);
    while (remaining == 0) {
        NdisGetNextBuffer(buffer, &buffer);
        NdisQueryBuffer(buffer, &address, &remaining);
    }
    PUCHAR data = (PUCHAR)address;

    if (!CardPrepareRemoteWrite(Adapter, cardAddress)) return CopyFailed(Adapter, cardAddress);
    // The count is the frame length, odd or not.
    CardStartRemoteWrite(Adapter, cardAddress, totalLength);

    UCHAR carried = 0;
    BOOLEAN carrying = FALSE;  // 16-bit path only
    for (;;) {
        if (carrying) {
            WRITE_PORT_USHORT(dataPort, (USHORT)(carried | (data[0] << 8)));
            carrying = FALSE;
            data++;
            remaining--;
        }
        if (Adapter->ByteWide) {
            WRITE_PORT_BUFFER_UCHAR(dataPort, data, remaining);
        } else {
            if (remaining >= 2) {
                WRITE_PORT_BUFFER_USHORT(dataPort, (PUSHORT)(PVOID)data, remaining / 2);
            }
            if (remaining & 1) {
                carried = data[remaining - 1];
                carrying = TRUE;
            }
        }
        if (!CardWaitRemoteDmaDone(Adapter)) return CopyFailed(Adapter, cardAddress);

        // Next buffer with data, if any.
        do {
            NdisGetNextBuffer(buffer, &buffer);
            if (buffer == nullptr) break;
            NdisQueryBuffer(buffer, &address, &remaining);
            data = (PUCHAR)address;
        } while (remaining == 0);
        if (buffer == nullptr) break;
    }

    if (carrying) {
        // The final odd byte: PC Cards take it as a word with a zero high
        // byte, other cards as a single byte.
        if (Adapter->CardType == CARD_TYPE_PC_CARD) {
            WRITE_PORT_USHORT(dataPort, (USHORT)carried);
        } else {
            WRITE_PORT_UCHAR(dataPort, carried);
        }
        if (!CardWaitRemoteDmaDone(Adapter)) return CopyFailed(Adapter, cardAddress);
    }

    // Filled up to the minimum frame with spaces; the length stays the
    // packet's own.
    if (totalLength < ETH_MIN_FRAME &&
        !CardCopyDown(Adapter, cardAddress + totalLength, BlankBuffer, ETH_MIN_FRAME - totalLength)) {
        return CopyFailed(Adapter, cardAddress);
    }
    *Length = totalLength;
    return TRUE;
}
