// Finding the card at initialization: does a controller answer, how wide is
// its data path, where is its buffer RAM, what is its station address.
// These run only inside the initialize call, before the interrupt is
// connected, and lie in pageable code.
#include "card/card.h"
#include "card/cardlocal.h"
#include "card/dp8390reg.h"
#include "driver/placement.h"

// Reset pulse: read the reset port, then write it.
static NE2K_PAGEABLE_CODE VOID PulseReset(AdapterRecord* Adapter) {
    (VOID) CardReadRegister(Adapter, NIC_RESET);
    CardWriteRegister(Adapter, NIC_RESET, RESET_PULSE);
}

static NE2K_PAGEABLE_CODE VOID Disarm(AdapterRecord* Adapter) {
    Adapter->InterruptsArmed = 0;
    CardWriteRegister(Adapter, NIC_IMR, IMR_NONE);
}

// TRUE when a controller answers a stop command with CR 0x21 or 0x23.
NE2K_PAGEABLE_CODE BOOLEAN CardCheckParameters(AdapterRecord* Adapter) {
    Disarm(Adapter);
    SyncCardStop(Adapter);
    KeStallExecutionProcessor(STOP_SETTLE_US);
    UCHAR command = CardReadRegister(Adapter, NIC_CR);
    return command == (CR_STP | CR_RD_ABORT) || command == (CR_STP | CR_STA | CR_RD_ABORT);
}

// Resets the controller, decides the data path width, finds buffer RAM.
// Leaves the controller stopped.
NE2K_PAGEABLE_CODE BOOLEAN CardInitialize(AdapterRecord* Adapter) {
    (VOID) CardReadRegister(Adapter, NIC_RESET);
    KeStallExecutionProcessor(STOP_SETTLE_US);
    CardWriteRegister(Adapter, NIC_RESET, RESET_PULSE);

    SyncCardStop(Adapter);
    CardWriteRegister(Adapter, NIC_DCR, DCR_FT1 | DCR_AR);
    CardWriteRegister(Adapter, NIC_TPSR, INIT_XMIT_START_PAGE);
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    CardWriteRegister(Adapter, NIC_RCR, RCR_MON);
    CardWriteRegister(Adapter, NIC_PSTART, INIT_RING_START_PAGE);
    CardWriteRegister(Adapter, NIC_PSTOP, INIT_RING_STOP_PAGE);
    CardWriteRegister(Adapter, NIC_BNRY, INIT_RING_START_PAGE);
    CardWriteRegister(Adapter, NIC_TBCR0, INIT_XMIT_COUNT);
    CardWriteRegister(Adapter, NIC_TBCR1, 0x00);
    KeStallExecutionProcessor(STOP_SETTLE_US);

    CardWriteRegister(Adapter, NIC_ISR, ISR_ALL);
    CardWriteRegister(Adapter, NIC_CR, CR_STP | CR_PAGE1);
    CardWriteRegister(Adapter, NIC_CURR, INIT_RING_START_PAGE);
    CardWriteRegister(Adapter, NIC_CR, CR_STP | CR_PAGE0);
    KeStallExecutionProcessor(STOP_SETTLE_US);

    if ((CardReadRegister(Adapter, NIC_CR) & CR_STP) == 0) return FALSE;

    // A remote read with only the low count byte programmed.
    CardWriteRegister(Adapter, NIC_RBCR0, INIT_RMT_COUNT);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_READ | CR_PAGE0);

    // MCA cards and PC Cards are 16-bit; others tell by their PROM.
    if (Adapter->BusType == BUS_TYPE_MCA || Adapter->CardType == CARD_TYPE_PC_CARD) {
        Adapter->ByteWide = 0;
    } else if (!CardSlotTest(Adapter)) {
        SyncCardStop(Adapter);
        return FALSE;
    }

    Disarm(Adapter);
    CardWriteRegister(Adapter, NIC_DCR, Adapter->ByteWide ? DCR_BYTE_WIDE : DCR_WORD_WIDE);
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    CardWriteRegister(Adapter, NIC_RCR, 0x00);
    CardWriteRegister(Adapter, NIC_ISR, ISR_ALL);
    CardWriteRegister(Adapter, NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0);
    CardWriteRegister(Adapter, NIC_RBCR0, 0x00);
    CardWriteRegister(Adapter, NIC_RBCR1, 0x00);

    // At most 16,382 readings (about 65.5 ms); running out is not an error.
    for (ULONG polls = 0; polls < INIT_RESET_POLL_LIMIT; polls++) {
        if (CardReadRegister(Adapter, NIC_ISR) & ISR_RST) break;
        KeStallExecutionProcessor(INIT_RESET_STALL_US);
    }

    CardWriteRegister(Adapter, NIC_TCR, TCR_LB0);
    CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0);

    if (Adapter->CardType == CARD_TYPE_ISA) {
        if (!CardRamTest(Adapter)) {
            SyncCardStop(Adapter);
            return FALSE;
        }
    } else {
        Adapter->RamStart = PC_CARD_RAM_START;
        Adapter->RamSize = PC_CARD_RAM_SIZE;
    }

    SyncCardStop(Adapter);
    return TRUE;
}

// Reads the 32-byte PROM image byte-wide and decides ByteWide from the
// signature pairs at positions 16..31. A 'W' pair wins over a 'B' pair
// wherever either lies. FALSE, ByteWide unchanged, when neither is there.
NE2K_PAGEABLE_CODE BOOLEAN CardSlotTest(AdapterRecord* Adapter) {
    UCHAR image[PROM_IMAGE_LENGTH];

    PulseReset(Adapter);
    CardWriteRegister(Adapter, NIC_CR, CR_STP | CR_RD_ABORT | CR_PAGE0);
    KeStallExecutionProcessor(STOP_SETTLE_US);
    if (CardReadRegister(Adapter, NIC_CR) != (CR_STP | CR_RD_ABORT | CR_PAGE0)) return FALSE;

    CardWriteRegister(Adapter, NIC_DCR, DCR_BYTE_WIDE);
    Disarm(Adapter);
    CardWriteRegister(Adapter, NIC_ISR, ISR_ALL);
    CardStartRemoteRead(Adapter, 0, PROM_IMAGE_LENGTH);
    for (ULONG i = 0; i < PROM_IMAGE_LENGTH; i++) {
        image[i] = READ_PORT_UCHAR(Adapter->IoPortBase + NIC_DATA);
    }
    PulseReset(Adapter);

    BOOLEAN byteSignature = FALSE;
    for (ULONG i = PROM_SIGNATURE_FIRST; i + 1 < PROM_IMAGE_LENGTH; i++) {
        if (image[i] == PROM_SIGNATURE_BYTE && image[i + 1] == PROM_SIGNATURE_BYTE) {
            Adapter->ByteWide = 1;
            byteSignature = TRUE;
        } else if (image[i] == PROM_SIGNATURE_WORD && image[i + 1] == PROM_SIGNATURE_WORD) {
            Adapter->ByteWide = 0;
            return TRUE;
        }
    }
    return byteSignature;
}

static const UCHAR RamTestPattern[RAM_PATTERN_LENGTH] = {0xAA, 0x55, 0xFF, 0x00};

// Writes the pattern at Address and reads it back; TRUE when both copies
// succeed and the four bytes come back as written.
static NE2K_PAGEABLE_CODE BOOLEAN ProbeRam(AdapterRecord* Adapter, ULONG Address) {
    UCHAR readBack[RAM_PATTERN_LENGTH];
    if (!CardCopyDown(Adapter, Address, RamTestPattern, RAM_PATTERN_LENGTH)) return FALSE;
    if (!CardCopyUp(Adapter, readBack, Address, RAM_PATTERN_LENGTH)) return FALSE;
    for (ULONG i = 0; i < RAM_PATTERN_LENGTH; i++) {
        if (readBack[i] != RamTestPattern[i]) return FALSE;
    }
    return TRUE;
}

// Finds buffer RAM: the first 1 KB step that answers, then the first step
// after it that does not, then every 4 bytes between. RAM reaching the top
// of the card address space loses its last page so that page numbers fit
// a byte. FALSE, RamStart and RamSize unchanged, when nothing answers or a
// verify probe fails.
NE2K_PAGEABLE_CODE BOOLEAN CardRamTest(AdapterRecord* Adapter) {
    ULONG start = RAM_PROBE_STEP;
    while (start < CARD_ADDRESS_SPACE && !ProbeRam(Adapter, start)) start += RAM_PROBE_STEP;
    if (start >= CARD_ADDRESS_SPACE) return FALSE;

    ULONG end = start;
    while (end < CARD_ADDRESS_SPACE && ProbeRam(Adapter, end)) end += RAM_PROBE_STEP;
    if (end == start) return FALSE;
    if (end >= CARD_ADDRESS_SPACE) end = CARD_RAM_TOP;

    for (ULONG address = start; address < end; address += RAM_PATTERN_LENGTH) {
        if (!ProbeRam(Adapter, address)) return FALSE;
    }

    Adapter->RamStart = start;
    Adapter->RamSize = end - start;
    return TRUE;
}

// PermanentAddress from the attribute window (PC Card) or the PROM, and
// StationAddress from it when no override was configured. FALSE when the
// window is too small to hold the address or cannot be mapped.
NE2K_PAGEABLE_CODE BOOLEAN CardReadEthernetAddress(AdapterRecord* Adapter) {
    if (Adapter->CardType == CARD_TYPE_PC_CARD) {
        if (Adapter->AttributeMemorySize < ATTRIBUTE_WINDOW_MINIMUM) return FALSE;
        PVOID window = nullptr;
        NDIS_PHYSICAL_ADDRESS physical;
        physical.LowPart = Adapter->AttributeMemoryAddress;
        physical.HighPart = 0;
        NDIS_STATUS status = NdisMMapIoSpace(&window, Adapter->MiniportHandle, physical,
                                             Adapter->AttributeMemorySize);
        if (status != NDIS_STATUS_SUCCESS) return FALSE;
        const volatile UCHAR* bytes = (const volatile UCHAR*)window;
        for (ULONG i = 0; i < ETH_ADDRESS_LENGTH; i++) {
            Adapter->PermanentAddress[i] = bytes[ATTRIBUTE_ADDRESS_OFFSET + 2 * i];
        }
        NdisMUnmapIoSpace(Adapter->MiniportHandle, window, Adapter->AttributeMemorySize);
    } else {
        // Twelve bytes programmed, six read: the next stop command ends it.
        CardWriteRegister(Adapter, NIC_RBCR0, PROM_ADDRESS_READ_COUNT);
        CardWriteRegister(Adapter, NIC_RBCR1, 0x00);
        CardWriteRegister(Adapter, NIC_RSAR0, 0x00);
        CardWriteRegister(Adapter, NIC_RSAR1, 0x00);
        CardWriteRegister(Adapter, NIC_CR, CR_STA | CR_RD_READ | CR_PAGE0);
        for (ULONG i = 0; i < ETH_ADDRESS_LENGTH; i++) {
            Adapter->PermanentAddress[i] = READ_PORT_UCHAR(Adapter->IoPortBase + NIC_DATA);
        }
    }

    BOOLEAN override = FALSE;
    for (ULONG i = 0; i < ETH_ADDRESS_LENGTH; i++) {
        if (Adapter->StationAddress[i] != 0) override = TRUE;
    }
    if (!override) {
        NdisMoveMemory(Adapter->StationAddress, Adapter->PermanentAddress, ETH_ADDRESS_LENGTH);
    }
    return TRUE;
}
