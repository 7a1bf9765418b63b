// Interrupt service and dispatch.
//
// The service routine claims the interrupt only while the card is armed and
// shows an enabled condition, and then masks the card. The deferred handler
// acknowledges what ISR shows, collects it in IsrBits and serves it in a
// fixed order until nothing served is left: counter overflow, ring overflow,
// transmit completion, received frames, receive errors. The wrapper re-arms
// the card through Ne2000EnableInterrupt after the deferred handler returns.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "transmit/transmit.h"

// Correct only synchronized with the service routine, as the wrapper runs
// it: an interrupt the IMR write raises must not reach the routine before
// InterruptsArmed is set, or it is declined and, on an edge-triggered line,
// lost for good.
VOID NDIS_API Ne2000EnableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    AdapterRecord* adapter = (AdapterRecord*)MiniportAdapterContext;
    CardWriteRegister(adapter, NIC_IMR, adapter->ImrValue);
    adapter->InterruptsArmed = 1;
}

VOID NDIS_API Ne2000DisableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    AdapterRecord* adapter = (AdapterRecord*)MiniportAdapterContext;
    adapter->InterruptsArmed = 0;
    CardWriteRegister(adapter, NIC_IMR, IMR_NONE);
}

// May run beside any other handler: touches the card only while armed, and
// then only reads ISR and writes IMR. A card that reads all ones is gone (a
// PC Card pulled out): the interrupt is another device's on the shared line.
VOID NDIS_API Ne2000Isr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
               NDIS_HANDLE MiniportAdapterContext) {
    AdapterRecord* adapter = (AdapterRecord*)MiniportAdapterContext;
    BOOLEAN ours = FALSE;

    if (adapter->InterruptsArmed) {
        UCHAR status;
        SyncCardReadPortUchar(adapter->IoPortBase + NIC_ISR, &status);
        if (status != NIC_NO_ANSWER && (status & adapter->ImrValue)) {
            adapter->InterruptsArmed = 0;
            CardWriteRegister(adapter, NIC_IMR, IMR_NONE);
            ours = TRUE;
        }
    }

    *InterruptRecognized = ours;
    *QueueMiniportHandleInterrupt = ours;
}

// Reads ISR once, acknowledges exactly the bits seen and notes them. FALSE
// when the controller no longer answers: its ISR would show every condition
// for ever and the handler would never return, so the noted bits are
// dropped and the pass ends.
static BOOLEAN IntCollectStatus(AdapterRecord* Adapter) {
    UCHAR status = CardReadRegister(Adapter, NIC_ISR);
    if (status == NIC_NO_ANSWER) {
        Adapter->IsrBits = 0;
        return FALSE;
    }
    Adapter->IsrBits |= status;
    if (status != 0) CardWriteRegister(Adapter, NIC_ISR, status);
    return TRUE;
}

// TXE and PTX each stand for one finished transmission.
static VOID IntServeTransmit(AdapterRecord* Adapter) {
    SyncCardGetXmitStatus(Adapter);
    Adapter->TxInterruptPending = 0;
    if (Adapter->IsrBits & ISR_TXE) Ne2000XmitDpc(Adapter);
    if (Adapter->IsrBits & ISR_PTX) Ne2000XmitDpc(Adapter);
    Adapter->IsrBits &= (UCHAR)~ISR_TX_DONE;
}

// PRX and RXE stay noted while the drain stops on its budget, so that the
// receive service is chosen again after any transmit completion.
static VOID IntServeReceive(AdapterRecord* Adapter) {
    if (Ne2000RcvDpc(Adapter)) Adapter->IsrBits &= (UCHAR)~(ISR_PRX | ISR_RXE);
    if (Adapter->IsrBits & ISR_TX_DONE) IntServeTransmit(Adapter);
}

VOID NDIS_API Ne2000HandleInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    AdapterRecord* adapter = (AdapterRecord*)MiniportAdapterContext;

    // The service routine masked the card when it asked for this call, but a
    // reset or a synchronized multicast load made in between arms it again.
    // Everything below assumes the card masked (the ring drain selects page
    // 1, where offset 0x07 is CURR and 0x0F is MAR7), so mask it once more.
    if (adapter->InterruptsArmed) Ne2000DisableInterrupt(adapter);

    if (!IntCollectStatus(adapter)) return;

    for (;;) {
        UCHAR bits = adapter->IsrBits;

        if (bits & ISR_CNT) {
            SyncCardUpdateCounters(adapter);
            adapter->IsrBits &= (UCHAR)~ISR_CNT;
        } else if (bits & ISR_OVW) {
            SyncCardUpdateCounters(adapter);
            adapter->IsrBits &= (UCHAR)~ISR_OVW;
            adapter->OverflowPending = 1;  // the drain carries out the recovery
            IntServeReceive(adapter);
        } else if (bits & ISR_TX_DONE) {
            IntServeTransmit(adapter);
        } else if (bits & ISR_PRX) {
            IntServeReceive(adapter);
        } else if (bits & ISR_RXE) {
            SyncCardUpdateCounters(adapter);
            IntServeReceive(adapter);
        } else {
            return;  // RDC and RST alone are never served
        }

        if (!IntCollectStatus(adapter)) return;
    }
}
