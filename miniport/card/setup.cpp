// Programming the controller from the adapter record and starting it;
// taking it off the network; restarting it after a reset request.
//
// CardSetup and CardStop leave the controller running in internal loopback
// (TCR = 0x02); CardReset, and initialization once the interrupt is
// connected, put it on the wire (TCR = 0x00).
#include "card/card.h"
#include "card/cardlocal.h"
#include "card/dp8390reg.h"

const UCHAR* CardMulticastRegisterValues(AdapterRecord* Adapter) {
    return (Adapter->PacketFilter & ALL_MULTICAST_FILTER) ? nullptr : Adapter->MarValues;
}

VOID CardWriteMulticastRegisters(AdapterRecord* Adapter, const UCHAR* Values) {
    for (ULONG i = 0; i < MAR_COUNT; i++) {
        CardWriteRegister(Adapter, NIC_MAR0 + i, Values ? Values[i] : MAR_ACCEPT_ALL);
    }
}

// Steps 10 to 16 of the setup: with the card disarmed, select page 1, load
// the station address, the multicast hash and CURR, return to page 0
// (stopped) and re-arm. While page 1 is selected, offset 0x07 is CURR and
// 0x0F is MAR7, so the interrupt service routine must not run meanwhile.
static BOOLEAN NDIS_API SyncCardLoadAddressRegisters(PVOID Context) {
    AdapterRecord* adapter = (AdapterRecord*)Context;

    adapter->InterruptsArmed = 0;
    CardWriteRegister(adapter, NIC_IMR, IMR_NONE);

    CardWriteRegister(adapter, NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE1);
    for (ULONG i = 0; i < ETH_ADDRESS_LENGTH; i++) {
        CardWriteRegister(adapter, NIC_PAR0 + i, adapter->StationAddress[i]);
    }
    CardWriteMulticastRegisters(adapter, CardMulticastRegisterValues(adapter));
    CardWriteRegister(adapter, NIC_CURR, adapter->RxCurrentPage);
    CardWriteRegister(adapter, NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0);

    CardWriteRegister(adapter, NIC_IMR, adapter->ImrValue);
    adapter->InterruptsArmed = 1;
    return FALSE;
}

// Programs every register from the record and starts the controller in
// internal loopback with its interrupts armed. FALSE, with only the stop
// command written, when the controller does not answer it or is not there.
BOOLEAN CardSetup(AdapterRecord* Adapter) {
    CardWriteRegister(Adapter, NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0);
    UCHAR command = CardReadRegister(Adapter, NIC_CR);
    // 0xFF (every remote-DMA bit, TXP, STA and STP at once) is no state of
    // the controller: it is what a card that is gone reads on every port.
    if (command == NIC_NO_ANSWER) return FALSE;
    if ((command & (CR_STP | CR_RD_ABORT)) != (CR_STP | CR_RD_ABORT)) return FALSE;

    CardWriteRegister(Adapter, NIC_DCR, Adapter->ByteWide ? DCR_BYTE_WIDE : DCR_WORD_WIDE);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);
    CardWriteRegister(Adapter, NIC_RBCR0, 0x00);
    CardWriteRegister(Adapter, NIC_RCR, Adapter->RcrValue);
    CardWriteRegister(Adapter, NIC_TCR, TCR_LB0);
    CardWriteRegister(Adapter, NIC_BNRY, Adapter->RxFirstPage);
    CardWriteRegister(Adapter, NIC_PSTART, Adapter->RxFirstPage);
    CardWriteRegister(Adapter, NIC_PSTOP, Adapter->RxStopPage);

    // Empty ring: CURR one page after BNRY.
    Adapter->OverflowPending = 0;
    Adapter->RxCurrentPage = (UCHAR)(Adapter->RxFirstPage + 1);
    Adapter->RxNextPage = (UCHAR)(Adapter->RxFirstPage + 1);

    CardWriteRegister(Adapter, NIC_ISR, ISR_ALL);

    // Once the interrupt is connected (the reset path) the page-1 section
    // runs with the service routine held off; at initialization nothing
    // can interrupt it.
    if (Adapter->InterruptConnected) {
        NdisMSynchronizeWithInterrupt(&Adapter->InterruptObject,
                                      (PVOID)SyncCardLoadAddressRegisters, Adapter);
    } else {
        SyncCardLoadAddressRegisters(Adapter);
    }

    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0);
    return TRUE;
}

// Stops the controller and restarts it in internal loopback, off the
// network. Waits at most 4 x 500 us for RST; running out is not reported.
VOID CardStop(AdapterRecord* Adapter) {
    SyncCardStop(Adapter);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);
    CardWriteRegister(Adapter, NIC_RBCR0, 0x00);
    for (ULONG polls = 0; polls < STOP_RESET_POLL_LIMIT; polls++) {
        if (CardReadRegister(Adapter, NIC_ISR) & ISR_RST) break;
        KeStallExecutionProcessor(STOP_RESET_STALL_US);
    }
    CardWriteRegister(Adapter, NIC_TCR, TCR_LB0);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0);
}

// Stop, settle, set up again and go back on the wire. A failed setup is
// logged here (hardware failure, data words 0 and 1).
BOOLEAN CardReset(AdapterRecord* Adapter) {
    CardStop(Adapter);
    KeStallExecutionProcessor(STOP_SETTLE_US);
    if (!CardSetup(Adapter)) {
        NdisWriteErrorLogEntry(Adapter->MiniportHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2,
                               LOG_WHERE_RESET, LOG_RESET_SETUP);
        return FALSE;
    }
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    return TRUE;
}
