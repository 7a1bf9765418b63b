// Receive ring processing: take frames out of the ring from RxNextPage up
// to the controller's write page (CURR), check each 4-byte ring header,
// copy the Ethernet header and lookahead into RxLookahead and indicate the
// frame; recover from a ring overflow; one receive-complete per pass.
//
// Ring header, at the start of each frame's first page:
//
//   +0 status (RSR)  +1 next page  +2 count low  +3 count high  +4 frame...
//
// The count includes the 4-byte CRC; the frame length (len) does not.
// All page arithmetic is on 8-bit page numbers.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "receive/receive.h"

#define RX_HEADER_SIZE 4
#define RX_WINDOW_SIZE 6         // ring header and the first two frame bytes
#define RX_CRC_SIZE 4
#define RX_BURST_LIMIT 10        // the budget stop comes after the 11th frame
#define RX_LOW_BYTE_ONE_PAGE 0xFC  // count low byte up to which header+count end in the last page

// Frame length (header and data, no CRC) from the count bytes, unsigned:
// a count below 4 gives a huge value that fails every range test.
static inline ULONG RxLengthOf(UCHAR Low, UCHAR High) {
    return (ULONG)High * 256u + (ULONG)Low - RX_CRC_SIZE;
}

static inline BOOLEAN RxLengthPlausible(ULONG Length) {
    return Length >= ETH_MIN_FRAME && Length <= ETH_MAX_FRAME;
}

// RxFirstPage <= Next <= RxStopPage (RxStopPage itself passes).
static inline BOOLEAN RxNextPageInRange(AdapterRecord* Adapter, UCHAR Next) {
    return Next >= Adapter->RxFirstPage && Next <= Adapter->RxStopPage;
}

// Bytes of the frame copied for an indication: the header and at most
// LookaheadSize (never above MAX_LOOKAHEAD, the size of RxLookahead) data bytes.
static inline ULONG RxLookaheadBytes(AdapterRecord* Adapter, ULONG Length) {
    ULONG lookahead = Adapter->LookaheadSize;
    if (lookahead > MAX_LOOKAHEAD) lookahead = MAX_LOOKAHEAD;
    ULONG n = lookahead + ETH_HEADER_SIZE;
    return Length < n ? Length : n;
}

// High count byte that matches a frame whose header starts at RxNextPage
// and whose following frame starts at Next: Next is d pages ahead around the
// ring; the header and the count fill d pages, so the high byte is d - 1,
// or d - 2 when the low byte carries the header and CRC into one more page.
static UCHAR RxRepairedHigh(AdapterRecord* Adapter, UCHAR Next, UCHAR Low) {
    LONG distance = (LONG)Next - (LONG)Adapter->RxNextPage;
    if (Next < Adapter->RxNextPage) {
        distance += (LONG)Adapter->RxStopPage - (LONG)Adapter->RxFirstPage;
    }
    LONG high = Low <= RX_LOW_BYTE_ONE_PAGE ? distance - 1 : distance - 2;
    return (UCHAR)high;
}

// Examines the header at window position Shift. Tests, first failure wins:
// status errors, (position 0 only) a group status with an individual
// destination, length with the equal-bytes repair, next page in range.
// A repair whose length passes stays in the window.
static BOOLEAN RxHeaderGood(AdapterRecord* Adapter, UCHAR* Window, ULONG Shift) {
    UCHAR status = Window[Shift];
    UCHAR next = Window[Shift + 1];
    UCHAR low = Window[Shift + 2];

    if (status & RSR_ERRORS) return FALSE;
    if (Shift == 0 && (status & RSR_PHY) && !(Window[RX_HEADER_SIZE] & 0x01)) {
        return FALSE;
    }

    UCHAR original = Window[Shift + 3];
    if (low == original) Window[Shift + 3] = RxRepairedHigh(Adapter, next, low);
    if (!RxLengthPlausible(RxLengthOf(low, Window[Shift + 3]))) {
        Window[Shift + 3] = original;
        return FALSE;
    }

    return RxNextPageInRange(Adapter, next);
}

BOOLEAN Ne2000PacketOK(AdapterRecord* Adapter) {
    ULONG header = Adapter->RxRingAddress +
                   (ULONG)(Adapter->RxNextPage - Adapter->RxFirstPage) * CARD_PAGE_SIZE;
    UCHAR window[RX_WINDOW_SIZE];

    if (!CardCopyUp(Adapter, window, header, RX_WINDOW_SIZE)) return FALSE;

    // A header read one byte (8-bit path) or one word (16-bit path) late sits
    // at the shifted position; if neither position is good, take position 0.
    ULONG shift = 0;
    if (!RxHeaderGood(Adapter, window, 0)) {
        ULONG shifted = Adapter->ByteWide ? 1 : 2;
        if (RxHeaderGood(Adapter, window, shifted)) shift = shifted;
    }

    NdisMoveMemory(Adapter->RxHeader, window + shift, RX_HEADER_SIZE);
    Adapter->RxDataAddress = header + RX_HEADER_SIZE + shift;

    ULONG length = RxLengthOf(Adapter->RxHeader[2], Adapter->RxHeader[3]);
    return RxLengthPlausible(length) && RxNextPageInRange(Adapter, Adapter->RxHeader[1]);
}

ULONG Ne2000IndicatePacket(AdapterRecord* Adapter) {
    UCHAR next = Adapter->RxHeader[1];
    UCHAR high = Adapter->RxHeader[3];

    // The next frame starts high + 1 or high + 2 pages on, around the ring.
    UCHAR expected = (UCHAR)(Adapter->RxNextPage + high + 1);
    if (expected >= Adapter->RxStopPage) {
        expected = (UCHAR)(expected + Adapter->RxFirstPage - Adapter->RxStopPage);
    }
    if (next != expected) {
        expected = (UCHAR)(expected + 1);
        if (expected == Adapter->RxStopPage) expected = Adapter->RxFirstPage;
        if (next != expected) return 1;
    }
    if (!RxNextPageInRange(Adapter, next)) return 1;

    ULONG length = RxLengthOf(Adapter->RxHeader[2], high);
    if (length > ETH_MAX_FRAME) return 1;

    ULONG n = RxLookaheadBytes(Adapter, length);
    Adapter->RxFrameLength = length;

    // The record is the receive context: transfer-data finds the frame there.
    NdisMEthIndicateReceive(Adapter->MiniportHandle, (NDIS_HANDLE)Adapter, Adapter->RxLookahead,
                            ETH_HEADER_SIZE, Adapter->RxLookahead + ETH_HEADER_SIZE,
                            n - ETH_HEADER_SIZE, length - ETH_HEADER_SIZE);
    Adapter->RxIndicated = 1;
    return 0;
}

// Finishes a ring-overflow recovery: the controller was stopped and
// restarted in loopback before the drain; return the transmitter to normal
// and restart a transmission that the stop cut off.
static VOID RxFinishOverflow(AdapterRecord* Adapter) {
    Adapter->OverflowPending = 0;
    SyncCardAcknowledgeOverflow(Adapter);

    if (Adapter->TxResendPending) {
        CardWaitTransmitterIdle(Adapter);
        // A transmission that was still waiting for the medium when the
        // controller was stopped is finished before the stop takes hold, and
        // may end only now, after the stall. Its PTX or TXE shows that it did
        // end: it is not sent again, and the status stays for the transmit
        // service, which completes it like any other.
        if (CardReadRegister(Adapter, NIC_ISR) & ISR_TX_DONE) {
            Adapter->TxResendPending = 0;
            Adapter->TxInterruptPending = 1;
        } else {
            CardWriteRegister(Adapter, NIC_ISR, ISR_TX_DONE);
        }
    }

    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);

    if (Adapter->TxResendPending && Adapter->TxActiveIndex != TX_INDEX_IDLE) {
        Adapter->TxResendPending = 0;
        Adapter->TxInterruptPending = 1;
        CardStartXmit(Adapter);
    }
}

BOOLEAN Ne2000RcvDpc(AdapterRecord* Adapter) {
    BOOLEAN result = TRUE;

    Adapter->RxIndicated = 0;
    SyncCardGetCurrent(Adapter);

    if (Adapter->OverflowPending) SyncCardHandleOverflow(Adapter);

    // A receive error (RXE) needs no work of its own here: the controller
    // stores no frame with an error (RCR SEP is never set) and a frame it
    // missed never reached the ring, so every frame in the ring is good and
    // is drained like any other. The error itself is counted in the
    // controller's tally counters.
    for (;;) {
        if (Adapter->RxCurrentPage == Adapter->RxNextPage) {
            SyncCardGetCurrent(Adapter);
            if (Adapter->RxCurrentPage == Adapter->RxNextPage) break;
        }

        Adapter->RxBurstCount++;

        ULONG outcome = 1;
        if (Ne2000PacketOK(Adapter)) {
            ULONG length = RxLengthOf(Adapter->RxHeader[2], Adapter->RxHeader[3]);
            if (CardCopyUp(Adapter, Adapter->RxLookahead, Adapter->RxDataAddress,
                           RxLookaheadBytes(Adapter, length))) {
                outcome = Ne2000IndicatePacket(Adapter);
                Adapter->RcvOkCount++;
            }
        }

        if (outcome == 0) {
            Adapter->RxNextPage = Adapter->RxHeader[1];
        } else {
            // Resynchronise to the controller's write page; frames between are lost.
            SyncCardGetCurrent(Adapter);
            Adapter->RxNextPage = Adapter->RxCurrentPage;
        }
        CardSetBoundary(Adapter);

        if (Adapter->RxBurstCount > RX_BURST_LIMIT) {
            Adapter->RxBurstCount = 0;
            result = FALSE;
            break;
        }
    }

    if (Adapter->OverflowPending) RxFinishOverflow(Adapter);

    if (Adapter->RxIndicated) {
        NdisMEthIndicateReceiveComplete(Adapter->MiniportHandle);
        Adapter->RxIndicated = 0;
    }
    return result;
}
