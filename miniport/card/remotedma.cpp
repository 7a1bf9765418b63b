// Card RAM through the controller's remote DMA and the data port.
//
// In 16-bit mode every data-port access moves one little-endian word whose
// low byte is the card byte at the even address; transfers start at even
// addresses, so odd edges are handled with single words. In 8-bit mode any
// address and length go through as they are. Only the low 16 bits of an
// address or count are programmed. Everything runs on register page 0.
#include "card/card.h"
#include "card/cardlocal.h"
#include "card/dp8390reg.h"

static inline ULONG DataPort(AdapterRecord* Adapter) {
    return Adapter->IoPortBase + NIC_DATA;
}

// RSAR0, RSAR1, RBCR0, RBCR1 in exactly this order.
static VOID LoadRemoteRegisters(AdapterRecord* Adapter, ULONG Address, ULONG Count) {
    CardWriteRegister(Adapter, NIC_RSAR0, (UCHAR)(Address & 0xFF));
    CardWriteRegister(Adapter, NIC_RSAR1, (UCHAR)((Address >> 8) & 0xFF));
    CardWriteRegister(Adapter, NIC_RBCR0, (UCHAR)(Count & 0xFF));
    CardWriteRegister(Adapter, NIC_RBCR1, (UCHAR)((Count >> 8) & 0xFF));
}

VOID CardStartRemoteRead(AdapterRecord* Adapter, ULONG Address, ULONG Count) {
    LoadRemoteRegisters(Adapter, Address, Count);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_READ | CR_PAGE0);
}

VOID CardStartRemoteWrite(AdapterRecord* Adapter, ULONG Address, ULONG Count) {
    LoadRemoteRegisters(Adapter, Address, Count);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_WRITE | CR_PAGE0);
}

// Waits for RDC, at most 65,535 readings with a 4 us stall after each miss.
// Running out is not an error. RDC is left set. FALSE when ISR reads all
// ones: the card is gone (a PC Card pulled out), and the transfer that this
// wait ends moved nothing.
BOOLEAN CardWaitRemoteDmaDone(AdapterRecord* Adapter) {
    for (ULONG polls = 0; polls < RMT_DONE_POLL_LIMIT; polls++) {
        UCHAR status = CardReadRegister(Adapter, NIC_ISR);
        if (status == NIC_NO_ANSWER) return FALSE;
        if (status & ISR_RDC) return TRUE;
        KeStallExecutionProcessor(RMT_DONE_STALL_US);
    }
    return TRUE;
}

// Run before every remote write to Address: a 2-byte remote read at the
// address rounded up to even, then a wait for the controller's current
// remote address to move off it (at most 65,535 polls of 1 us). FALSE when
// it never moves.
BOOLEAN CardPrepareRemoteWrite(AdapterRecord* Adapter, ULONG Address) {
    USHORT even = (USHORT)(Address + (Address & 1));
    CardStartRemoteRead(Adapter, even, 2);
    if (Adapter->ByteWide) {
        (VOID) READ_PORT_UCHAR(DataPort(Adapter));
        (VOID) READ_PORT_UCHAR(DataPort(Adapter));
    } else {
        (VOID) READ_PORT_USHORT(DataPort(Adapter));
    }
    for (ULONG polls = 0; polls < RMT_ADDR_POLL_LIMIT; polls++) {
        UCHAR low = CardReadRegister(Adapter, NIC_CRDA0);
        UCHAR high = CardReadRegister(Adapter, NIC_CRDA1);
        if ((USHORT)(high * 256 + low) != even) return TRUE;
        KeStallExecutionProcessor(RMT_ADDR_STALL_US);
    }
    return FALSE;
}

// 16-bit mode: writes byte Value at odd card address Address, keeping the
// byte below it, as one word at Address - 1.
static BOOLEAN MergeOddByte(AdapterRecord* Adapter, ULONG Address, UCHAR Value) {
    CardStartRemoteRead(Adapter, Address - 1, 2);
    UCHAR kept = (UCHAR)(READ_PORT_USHORT(DataPort(Adapter)) & 0xFF);
    if (!CardPrepareRemoteWrite(Adapter, Address + 1)) return FALSE;
    CardStartRemoteWrite(Adapter, Address - 1, 2);
    WRITE_PORT_USHORT(DataPort(Adapter), (USHORT)(kept + Value * 256));
    return CardWaitRemoteDmaDone(Adapter);
}

// Card RAM at Source to host memory at Target. FALSE when the card stopped
// answering: what Target holds then is not what card RAM held.
BOOLEAN CardCopyUp(AdapterRecord* Adapter, PUCHAR Target, ULONG Source, ULONG Length) {
    if (Length == 0) return TRUE;
    (VOID) CardReadRegister(Adapter, NIC_CR);

    if (Adapter->ByteWide) {
        CardStartRemoteRead(Adapter, Source, Length);
        READ_PORT_BUFFER_UCHAR(DataPort(Adapter), Target, Length);
        return CardWaitRemoteDmaDone(Adapter);
    }

    if (Source & 1) {
        // The odd first byte is the high half of the word below it.
        CardStartRemoteRead(Adapter, Source - 1, 2);
        Target[0] = (UCHAR)(READ_PORT_USHORT(DataPort(Adapter)) >> 8);
        if (!CardWaitRemoteDmaDone(Adapter)) return FALSE;
        Source++;
        Target++;
        Length--;
        if (Length == 0) return TRUE;
    }

    CardStartRemoteRead(Adapter, Source, Length + (Length & 1));
    READ_PORT_BUFFER_USHORT(DataPort(Adapter), (PUSHORT)Target, Length / 2);
    if (Length & 1) {
        // The odd last byte is the low half of one more word.
        Target[Length - 1] = (UCHAR)(READ_PORT_USHORT(DataPort(Adapter)) & 0xFF);
    }
    return CardWaitRemoteDmaDone(Adapter);
}

// Host memory at Source to card RAM at Target. FALSE when a write
// preparation fails (a byte merged at an odd start stays written then) or
// the card stopped answering.
BOOLEAN CardCopyDown(AdapterRecord* Adapter, ULONG Target, const UCHAR* Source, ULONG Length) {
    if (Length == 0) return TRUE;

    if (!Adapter->ByteWide && (Target & 1)) {
        if (!MergeOddByte(Adapter, Target, Source[0])) return FALSE;
        Target++;
        Source++;
        Length--;
        if (Length == 0) return TRUE;
    }

    if (!CardPrepareRemoteWrite(Adapter, Target)) return FALSE;
    // The count is Length itself, odd or not.
    CardStartRemoteWrite(Adapter, Target, Length);

    if (Adapter->ByteWide) {
        WRITE_PORT_BUFFER_UCHAR(DataPort(Adapter), (PUCHAR)Source, Length);
    } else {
        WRITE_PORT_BUFFER_USHORT(DataPort(Adapter), (PUSHORT)Source, Length / 2);
        if (Length & 1) WRITE_PORT_USHORT(DataPort(Adapter), Source[Length - 1]);
    }
    return CardWaitRemoteDmaDone(Adapter);
}
