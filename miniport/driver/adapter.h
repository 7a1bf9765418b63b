// The per-adapter record, the driver-wide record and the adapter list.
//
// Every adapter is described by one AdapterRecord: allocated and zero-filled
// by Ne2000Initialize, handed to the wrapper as the miniport adapter context,
// freed by Ne2000Halt (or by Ne2000Initialize when initialization fails).
// It is the only mutable state of an adapter and carries no lock: the
// wrapper calls one handler at a time, and the interrupt service routine
// reads only InterruptsArmed, ImrValue and IoPortBase and writes only
// InterruptsArmed.
#ifndef DRIVER_ADAPTER_H
#define DRIVER_ADAPTER_H

#include "platform/ndis.h"

#define TX_SLOT_COUNT 12            // 256-byte transmit slots in the record
#define TX_SLOT_EMPTY 0
#define TX_SLOT_FULL 2
#define TX_INDEX_IDLE 0xFFFFFFFFu   // TxActiveIndex while the transmitter is idle

#define ETH_ADDRESS_LENGTH 6
#define ETH_HEADER_SIZE 14
#define ETH_MIN_FRAME 60            // bytes, without the 4-byte CRC
#define ETH_MAX_FRAME 1514          // bytes, without the 4-byte CRC
#define ETH_MAX_DATA 1500
#define MAX_LOOKAHEAD 238
#define MAX_MULTICAST_LIST 8        // entries of MulticastList

#define CARD_PAGE_SIZE 256

// Data words of the event-log entries, which say where a failure was met.
// The first word names the place; the reset's entry carries a second fixed
// word, the packet copy's the card address it could not prepare.
#define LOG_WHERE_RESET 0u              // CardReset: the setup failed ...
#define LOG_RESET_SETUP 1u              // ... (second word)
#define LOG_WHERE_PACKET_COPY 1u        // CardCopyDownPacket: write preparation failed or card gone
#define LOG_WHERE_TRANSFER_DATA 2u      // Ne2000TransferData: card copy failed
#define LOG_WHERE_TRANSMIT_DONE 4u      // Ne2000XmitDpc: a completion with no frame on the wire

// Card kinds, from the configuration: CardType 0 is an ISA or MCA card
// (BusType 3 is MCA), CardType 1 a PC Card.
#define CARD_TYPE_ISA 0u
#define CARD_TYPE_PC_CARD 1u
#define BUS_TYPE_MCA 3u

struct AdapterRecord {
    // Platform links
    NDIS_HANDLE MiniportHandle;
    NDIS_MINIPORT_INTERRUPT InterruptObject;
    AdapterRecord* NextAdapter;
    ULONG RxBurstCount;              // frames taken since the receive budget last ran out

    // Configuration
    ULONG TxSlotCount;               // always 12
    ULONG IoBaseAddress;             // configured I/O base
    UCHAR InterruptNumber;
    ULONG MaxMulticastList;          // at most 8
    UCHAR BusType;                   // NDIS interface type; 3 is MCA
    ULONG CardType;                  // 0 ISA/MCA, 1 PC Card
    ULONG AttributeMemoryAddress;    // PC Card attribute window, physical
    ULONG AttributeMemorySize;

    // Transmit state
    ULONG TxFillIndex;               // next slot to be filled
    ULONG TxSendIndex;               // first slot of the oldest frame held
    ULONG TxActiveIndex;             // first slot of the frame on the wire, or TX_INDEX_IDLE
    UCHAR TxInterruptPending;        // a transmit was started, completion not yet seen
    UCHAR TxResendPending;           // restart the transmit after overflow recovery
    ULONG TxSlotState[TX_SLOT_COUNT];        // TX_SLOT_EMPTY or TX_SLOT_FULL
    PNDIS_PACKET TxSlotPacket[TX_SLOT_COUNT];  // packet whose frame starts there
    ULONG TxSlotLength[TX_SLOT_COUNT];       // bytes of the frame that starts there
    PNDIS_PACKET TxQueueHead;        // packets with no slot yet, oldest first
    PNDIS_PACKET TxQueueTail;

    // Card memory map
    ULONG TxAreaAddress;             // card address of slot 0
    ULONG RxRingAddress;             // card address of the first ring page
    ULONG RamEndAddress;             // card address one past the ring
    UCHAR TxStatus;                  // last TSR read
    UCHAR TxStartPage;
    UCHAR RxFirstPage;               // PSTART
    UCHAR RxStopPage;                // PSTOP
    UCHAR RxNextPage;                // page of the next unread frame
    UCHAR RxCurrentPage;             // last stable CURR
    ULONG RxFrameLength;             // frame being indicated: header and data, no CRC

    // Port access and addresses
    ULONG IoPortBase;                // every register is IoPortBase + offset
    UCHAR IsrBits;                   // ISR bits seen and not yet served
    UCHAR StationAddress[ETH_ADDRESS_LENGTH];
    UCHAR PermanentAddress[ETH_ADDRESS_LENGTH];
    ULONG RamStart;
    ULONG RamSize;
    ULONG PacketFilter;
    UCHAR OverflowPending;           // ring overflow seen, recovery not complete
    UCHAR RxIndicated;               // receive-complete indication owed
    UCHAR ByteWide;                  // 1: 8-bit data path, 0: 16-bit

    // Statistics
    ULONG XmitOkCount;
    ULONG RcvOkCount;
    ULONG XmitErrorCount;
    ULONG OneCollisionCount;
    ULONG MoreCollisionsCount;
    ULONG AlignmentErrorCount;
    ULONG CrcErrorCount;
    ULONG MissedPacketCount;

    // Register images and receive state
    UCHAR MarValues[8];              // MAR0..MAR7
    UCHAR RcrValue;
    UCHAR ImrValue;
    UCHAR InterruptsArmed;           // 1 while IMR holds ImrValue
    ULONG LookaheadSize;             // at most MAX_LOOKAHEAD
    UCHAR RxHeader[4];               // status, next page, count low, count high
    ULONG RxDataAddress;             // card address of the frame's first byte
    UCHAR RxLookahead[ETH_HEADER_SIZE + MAX_LOOKAHEAD];
    UCHAR MulticastList[MAX_MULTICAST_LIST][ETH_ADDRESS_LENGTH];

    // 1 while the interrupt is connected: from a successful
    // NdisMRegisterInterrupt until Ne2000Halt disconnects it. CardSetup then
    // runs its page-1 section through NdisMSynchronizeWithInterrupt.
    UCHAR InterruptConnected;
};

typedef AdapterRecord* PADAPTER_RECORD;

// The driver-wide record.
struct MINIPORT_BLOCK {
    NDIS_HANDLE WrapperHandle;       // from NdisInitializeWrapper
    AdapterRecord* AdapterList;      // newest first, or null
};

extern MINIPORT_BLOCK Ne2000MiniportBlock;

// Adapter list: the list never owns a record.
VOID Ne2000LinkAdapter(AdapterRecord* Adapter);     // push at the front
VOID Ne2000UnlinkAdapter(AdapterRecord* Adapter);   // the record must be on the list
BOOLEAN Ne2000AdapterListEmpty(VOID);

#endif  // DRIVER_ADAPTER_H
