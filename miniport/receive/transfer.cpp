// Transfer data: copy a range of the frame being indicated from the receive
// ring into a protocol's packet, then, if the transmission on the wire has
// finished and the next frame already waits in its slots, complete the one
// and start the other at once.
//
// Runs only inside an indication made by the ring drain: RxFrameLength and
// RxDataAddress describe that frame, whose pages the controller cannot
// reuse until the indication returns.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "transmit/transmit.h"

// When the frame on the wire has finished and the next frame is full in its
// slots, completes the one and starts the next. Otherwise acknowledges the
// completion in ISR and leaves it, noted in IsrBits, to the deferred handler.
static VOID TransferTransmitTail(AdapterRecord* Adapter) {
    if (Adapter->OverflowPending || Adapter->TxActiveIndex == TX_INDEX_IDLE) return;

    // A card that reads all ones is gone: its status says nothing.
    UCHAR status = CardReadRegister(Adapter, NIC_ISR);
    if (status == NIC_NO_ANSWER || !(status & ISR_TX_DONE)) return;

    if (Adapter->TxSlotState[Ne2000NextSendIndex(Adapter)] != TX_SLOT_FULL) {
        CardWriteRegister(Adapter, NIC_ISR, ISR_TX_DONE);
        Adapter->IsrBits |= status;
        return;
    }

    Ne2000CompleteTransmit(Adapter);
    Adapter->TxInterruptPending = 0;
    CardWriteRegister(Adapter, NIC_ISR, ISR_TX_DONE);
    Adapter->IsrBits &= (UCHAR)~ISR_TX_DONE;
    Ne2000StartTransmit(Adapter);
}

// ByteOffset counts from the first byte after the 14-byte Ethernet header.
// The range checks avoid unsigned wrap-around, so a range whose true start
// lies past the frame's end fails whatever its offset and count.
NDIS_STATUS NDIS_API Ne2000TransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                               NDIS_HANDLE MiniportAdapterContext,
                               NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                               UINT BytesToTransfer) {
    (VOID) MiniportAdapterContext;
    AdapterRecord* adapter = (AdapterRecord*)MiniportReceiveContext;
    ULONG frameLength = adapter->RxFrameLength;

    if (frameLength < ETH_HEADER_SIZE || ByteOffset > frameLength - ETH_HEADER_SIZE) {
        *BytesTransferred = 0;
        return NDIS_STATUS_FAILURE;
    }
    ULONG start = ByteOffset + ETH_HEADER_SIZE;   // position in the frame, <= frameLength
    ULONG count = BytesToTransfer;
    if (count > frameLength - start) count = frameLength - start;

    // Card address of the range; the ring continues at its first page.
    ULONG address = adapter->RxDataAddress + start;
    if (address >= adapter->RamEndAddress) {
        address = address - adapter->RamEndAddress + adapter->RxRingAddress;
    }

    PNDIS_BUFFER buffer = nullptr;
    NdisQueryPacket(Packet, nullptr, nullptr, &buffer, nullptr);

    ULONG remaining = count;
    if (buffer != nullptr) {
        PVOID virtualAddress;
        UINT bufferLength;
        NdisQueryBuffer(buffer, &virtualAddress, &bufferLength);
        ULONG position = 0;

        // Each piece ends at the end of a buffer or at the end of the ring.
        while (remaining != 0) {
            ULONG piece = bufferLength - position;
            if (piece > remaining) piece = remaining;
            if (address + piece > adapter->RamEndAddress) piece = adapter->RamEndAddress - address;

            if (!CardCopyUp(adapter, (PUCHAR)virtualAddress + position, address, piece)) {
                *BytesTransferred = count - remaining;
                NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE,
                                       1, LOG_WHERE_TRANSFER_DATA);
                return NDIS_STATUS_FAILURE;
            }

            address += piece;
            remaining -= piece;
            if (remaining == 0) break;
            if (address == adapter->RamEndAddress) address = adapter->RxRingAddress;

            position += piece;
            if (position == bufferLength) {
                NdisGetNextBuffer(buffer, &buffer);
                if (buffer == nullptr) break;  // the packet holds fewer bytes
                NdisQueryBuffer(buffer, &virtualAddress, &bufferLength);
                position = 0;
            }
        }
    }

    *BytesTransferred = count - remaining;
    TransferTransmitTail(adapter);
    return NDIS_STATUS_SUCCESS;
}
