// Declarations of the miniport wrapper and the hardware abstraction layer
// that the driver calls. Header-only: the operations are implemented by
// whatever platform the driver is linked with (the host platform in sim/
// on this machine). Every operation has C linkage.
//
// Widths are fixed: ULONG is 32 bits on every host. Layouts that the
// 32-bit x86 target fixes are checked below when pointers are 4 bytes; on a
// 64-bit host the same fields come in the same order.
//
// On the 32-bit x86 target every wrapper and HAL operation, every handler
// the wrapper calls and the entry point use the callee-pops convention
// (NDIS_API); NdisWriteErrorLogEntry, whose argument count varies, is the
// one caller-pops operation. 64-bit hosts have a single convention.
#ifndef PLATFORM_NDIS_H
#define PLATFORM_NDIS_H

#if defined(__i386__)
#define NDIS_API __attribute__((stdcall))
#else
#define NDIS_API
#endif

typedef unsigned char UCHAR, *PUCHAR;
typedef unsigned short USHORT, *PUSHORT;
typedef short SHORT;
typedef unsigned int ULONG, *PULONG;  // 32 bits on ILP32 and LP64 alike
typedef unsigned int UINT, *PUINT;
typedef signed char CCHAR;
typedef char CHAR, *PCHAR;
typedef int LONG;
typedef unsigned long long ULONGLONG;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef void VOID, *PVOID;
typedef char16_t WCHAR, *PWSTR;

static_assert(sizeof(ULONG) == 4, "ULONG must be 32 bits");
static_assert(sizeof(USHORT) == 2, "USHORT must be 16 bits");

#define TRUE 1
#define FALSE 0

typedef ULONG NDIS_STATUS, *PNDIS_STATUS;
typedef ULONG NTSTATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef ULONG NDIS_ERROR_CODE;

// A 64-bit physical address, kept as two halves as on the 32-bit target.
typedef struct _NDIS_PHYSICAL_ADDRESS {
    ULONG LowPart;
    LONG HighPart;
} NDIS_PHYSICAL_ADDRESS;

// Counted wide string; Length and MaximumLength in bytes.
typedef struct _NDIS_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} NDIS_STRING, *PNDIS_STRING;

#define NDIS_STRING_CONST(x) \
    { (USHORT)(sizeof(u##x) - sizeof(WCHAR)), (USHORT)sizeof(u##x), (PWSTR)(u##x) }

// ---------------------------------------------------------------------------
// Status codes
#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009A)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BB)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006)
#define NDIS_STATUS_REQUEST_ABORTED ((NDIS_STATUS)0xC001000C)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019)

// Event-log error codes
#define NDIS_ERROR_CODE_HARDWARE_FAILURE ((NDIS_ERROR_CODE)0xC000138A)
#define NDIS_ERROR_CODE_ADAPTER_NOT_FOUND ((NDIS_ERROR_CODE)0xC000138B)
#define NDIS_ERROR_CODE_INTERRUPT_CONNECT ((NDIS_ERROR_CODE)0xC000138C)
#define NDIS_ERROR_CODE_DRIVER_FAILURE ((NDIS_ERROR_CODE)0xC000138D)
#define NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION ((NDIS_ERROR_CODE)0xC0001391)

// ---------------------------------------------------------------------------
// Media, interface types, parameter types, interrupt modes
typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
} NDIS_MEDIUM, *PNDIS_MEDIUM;

// Int-sized like every enumeration the wrapper takes: a configured bus type
// is handed over as read (its low 8 bits), whatever its value.
typedef enum _NDIS_INTERFACE_TYPE : int {
    NdisInterfaceInternal = 0,
    NdisInterfaceIsa = 1,
    NdisInterfaceEisa = 2,
    NdisInterfaceMca = 3,
    NdisInterfaceTurboChannel = 4,
    NdisInterfacePci = 5,
    NdisInterfacePcMcia = 8,
} NDIS_INTERFACE_TYPE;

typedef enum _NDIS_PARAMETER_TYPE {
    NdisParameterInteger = 0,
    NdisParameterHexInteger = 1,
    NdisParameterString = 2,
    NdisParameterMultiString = 3,
} NDIS_PARAMETER_TYPE;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

typedef enum _NDIS_INTERRUPT_MODE {
    NdisInterruptLevelSensitive = 0,
    NdisInterruptLatched = 1,
} NDIS_INTERRUPT_MODE;

typedef enum _NDIS_HARDWARE_STATUS {
    NdisHardwareStatusReady = 0,
} NDIS_HARDWARE_STATUS;

// MCA POS data of one slot.
typedef struct _NDIS_MCA_POS_DATA {
    USHORT AdapterId;
    UCHAR PosData1;
    UCHAR PosData2;
    UCHAR PosData3;
    UCHAR PosData4;
} NDIS_MCA_POS_DATA, *PNDIS_MCA_POS_DATA;

// Storage for the wrapper's interrupt object; its contents belong to the
// wrapper. The driver only passes its address.
typedef struct _NDIS_MINIPORT_INTERRUPT {
    PVOID WrapperReserved[8];
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

// The wrapper's Ethernet filter database of one adapter; its contents
// belong to the wrapper.
typedef struct _ETH_FILTER ETH_FILTER, *PETH_FILTER;

// The start of the wrapper's record of one miniport adapter, at which the
// miniport adapter handle points. The receive indications find the
// adapter's Ethernet filter database there; the rest of the record belongs
// to the wrapper.
typedef struct _NDIS_MINIPORT_BLOCK {
    PETH_FILTER EthDB;
} NDIS_MINIPORT_BLOCK, *PNDIS_MINIPORT_BLOCK;

// ---------------------------------------------------------------------------
// Buffers and packets.
//
// A buffer describes one piece of host memory, laid out as the target's
// memory descriptor; Next links the next buffer of the chain (null at the
// end). The wrapper hands buffers over mapped: MappedSystemVa is where the
// bytes are, StartVa the start of the page they begin in, ByteOffset their
// offset in that page.
typedef struct _NDIS_BUFFER {
    struct _NDIS_BUFFER* Next;
    SHORT Size;             // bytes of this descriptor and its page list
    SHORT Flags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;        // bytes
    ULONG ByteOffset;       // offset of the first byte within StartVa's page
} NDIS_BUFFER, *PNDIS_BUFFER;

#define NDIS_PAGE_SIZE 4096u

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;    // pages spanned by all buffers
    UINT TotalLength;      // bytes in all buffers
    PNDIS_BUFFER Head;     // first buffer of the chain
    PNDIS_BUFFER Tail;     // last buffer of the chain
    PVOID Pool;
    UINT Count;            // number of buffers
    ULONG Flags;
    BOOLEAN ValidCounts;   // non-zero when the three totals are valid
    UCHAR NdisPacketFlags;
    USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR WrapperReserved[2 * sizeof(PVOID)];
    UCHAR ProtocolReserved[4 * sizeof(PVOID)];
} NDIS_PACKET, *PNDIS_PACKET;

// ---------------------------------------------------------------------------
// Handler table, NDIS 3.0 form.
//
// How the wrapper calls the interrupt handlers, which the driver relies on
// (any platform that runs it must keep this):
// - W_ISR_HANDLER runs at the interrupt's level, beside any other handler,
//   and on a shared line also for interrupts other devices raised.
// - W_ENABLE_INTERRUPT_HANDLER and W_DISABLE_INTERRUPT_HANDLER, and every
//   W_SYNCHRONIZE_FUNCTION passed to NdisMSynchronizeWithInterrupt, run
//   synchronized with the service routine: it cannot run while they do, and
//   an interrupt raised meanwhile (by their own mask write, say) reaches it
//   right after they return. The driver's enable handler writes the card's
//   mask before it marks the card armed; a service routine run between the
//   two finds the card not armed and declines an interrupt that, on an
//   edge-triggered line, never comes again.
// - W_HANDLE_INTERRUPT_HANDLER runs after the service routine asked for it,
//   one at a time with the other handlers of the adapter, and the enable
//   handler right after it.
typedef BOOLEAN (NDIS_API *W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NDIS_API *W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NDIS_API *W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NDIS_API *W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NDIS_API *W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (NDIS_API *W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                            PUINT SelectedMediumIndex,
                                            PNDIS_MEDIUM MediumArray,
                                            UINT MediumArraySize,
                                            NDIS_HANDLE MiniportAdapterHandle,
                                            NDIS_HANDLE WrapperConfigurationContext);
typedef VOID (NDIS_API *W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                              PBOOLEAN QueueMiniportHandleInterrupt,
                              NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (NDIS_API *W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                   NDIS_OID Oid, PVOID InformationBuffer,
                                                   ULONG InformationBufferLength,
                                                   PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS (NDIS_API *W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                             NDIS_HANDLE MiniportAdapterContext,
                                             NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS (NDIS_API *W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                       NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (NDIS_API *W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                                      UINT Flags);
typedef NDIS_STATUS (NDIS_API *W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                 NDIS_OID Oid, PVOID InformationBuffer,
                                                 ULONG InformationBufferLength,
                                                 PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS (NDIS_API *W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                               NDIS_HANDLE MiniportAdapterContext,
                                               NDIS_HANDLE MiniportReceiveContext,
                                               UINT ByteOffset, UINT BytesToTransfer);
typedef BOOLEAN (NDIS_API *W_SYNCHRONIZE_FUNCTION)(PVOID SynchronizeContext);

// The driver's entry point: the driver object and the registry path.
typedef NTSTATUS (NDIS_API *DRIVER_INITIALIZE)(PVOID DriverObject, PVOID RegistryPath);

typedef struct _NDIS_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    USHORT Filler;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
} NDIS_MINIPORT_CHARACTERISTICS, *PNDIS_MINIPORT_CHARACTERISTICS;

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 60, "NDIS 3.0 characteristics are 60 bytes");
static_assert(__builtin_offsetof(NDIS_PACKET, Private.PhysicalCount) == 0x00, "PhysicalCount");
static_assert(__builtin_offsetof(NDIS_PACKET, Private.TotalLength) == 0x04, "TotalLength");
static_assert(__builtin_offsetof(NDIS_PACKET, Private.Head) == 0x08, "buffer chain head");
static_assert(__builtin_offsetof(NDIS_PACKET, Private.Count) == 0x14, "buffer count");
static_assert(__builtin_offsetof(NDIS_PACKET, Private.ValidCounts) == 0x1C, "ValidCounts");
static_assert(__builtin_offsetof(NDIS_PACKET, MiniportReserved) == 0x20, "MiniportReserved");
static_assert(sizeof(NDIS_BUFFER) == 0x1C, "buffer descriptor");
static_assert(__builtin_offsetof(NDIS_BUFFER, Size) == 0x04, "Size");
static_assert(__builtin_offsetof(NDIS_BUFFER, Flags) == 0x06, "Flags");
static_assert(__builtin_offsetof(NDIS_BUFFER, Process) == 0x08, "Process");
static_assert(__builtin_offsetof(NDIS_BUFFER, MappedSystemVa) == 0x0C, "MappedSystemVa");
static_assert(__builtin_offsetof(NDIS_BUFFER, StartVa) == 0x10, "StartVa");
static_assert(__builtin_offsetof(NDIS_BUFFER, ByteCount) == 0x14, "ByteCount");
static_assert(__builtin_offsetof(NDIS_BUFFER, ByteOffset) == 0x18, "ByteOffset");
#endif

// ---------------------------------------------------------------------------
// OIDs
#define OID_GEN_SUPPORTED_LIST 0x00010101u
#define OID_GEN_HARDWARE_STATUS 0x00010102u
#define OID_GEN_MEDIA_SUPPORTED 0x00010103u
#define OID_GEN_MEDIA_IN_USE 0x00010104u
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105u
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106u
#define OID_GEN_LINK_SPEED 0x00010107u
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108u
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109u
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010Au
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010Bu
#define OID_GEN_VENDOR_ID 0x0001010Cu
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010Du
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010Eu
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010Fu
#define OID_GEN_DRIVER_VERSION 0x00010110u
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111u
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112u
#define OID_GEN_MAC_OPTIONS 0x00010113u
#define OID_GEN_XMIT_OK 0x00020101u
#define OID_GEN_RCV_OK 0x00020102u
#define OID_GEN_XMIT_ERROR 0x00020103u
#define OID_GEN_RCV_ERROR 0x00020104u
#define OID_GEN_RCV_NO_BUFFER 0x00020105u
#define OID_802_3_PERMANENT_ADDRESS 0x01010101u
#define OID_802_3_CURRENT_ADDRESS 0x01010102u
#define OID_802_3_MULTICAST_LIST 0x01010103u
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104u
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101u
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102u
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103u

// MAC options
#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001u
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002u
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004u
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008u

// Packet filter bits
#define NDIS_PACKET_TYPE_DIRECTED 0x0001u
#define NDIS_PACKET_TYPE_MULTICAST 0x0002u
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x0004u
#define NDIS_PACKET_TYPE_BROADCAST 0x0008u
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x0010u
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x0020u
#define NDIS_PACKET_TYPE_SMT 0x0040u
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x0080u
#define NDIS_PACKET_TYPE_GROUP 0x1000u
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x2000u
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x4000u
#define NDIS_PACKET_TYPE_MAC_FRAME 0x8000u

// ---------------------------------------------------------------------------
// Platform operations.
extern "C" {

// Wrapper: registration
VOID NDIS_API NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                           PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength);

// Wrapper: configuration
VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext);
VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType);
VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                            PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle);
VOID NDIS_API NdisReadMcaPosInformation(PNDIS_STATUS Status, NDIS_HANDLE WrapperConfigurationContext,
                               PUINT ChannelNumber, PNDIS_MCA_POS_DATA McaData);
VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);
CCHAR NDIS_API NdisSystemProcessorCount(VOID);

// Wrapper: memory
NDIS_STATUS NDIS_API NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                               NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

// Wrapper: adapter resources
VOID NDIS_API NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                        BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType);
NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PULONG PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                     UINT InitialPort, UINT NumberOfPorts);
VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                UINT NumberOfPorts, ULONG PortOffset);
NDIS_STATUS NDIS_API NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                            NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length);
VOID NDIS_API NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length);
NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                   NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                   UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode);
VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
BOOLEAN NDIS_API NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                      PVOID SynchronizeFunction, PVOID SynchronizeContext);

// Wrapper: sends and receives
VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                       NDIS_STATUS Status);
// The wrapper's Ethernet filter: hands a received frame (its header and
// lookahead; Address is its destination) to the protocols whose filter
// passes it, and tells them a pass of indications is complete. Reached
// through NdisMEthIndicateReceive and NdisMEthIndicateReceiveComplete below.
VOID NDIS_API EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext,
                                          PCHAR Address, PVOID HeaderBuffer,
                                          UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                          UINT LookaheadBufferSize, UINT PacketSize);
VOID NDIS_API EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter);

// Wrapper: event log. NumberOfErrorValues 32-bit data words follow.
VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...);

// Hardware abstraction layer: port I/O and stall.
UCHAR NDIS_API READ_PORT_UCHAR(ULONG Port);
USHORT NDIS_API READ_PORT_USHORT(ULONG Port);
VOID NDIS_API WRITE_PORT_UCHAR(ULONG Port, UCHAR Value);
VOID NDIS_API WRITE_PORT_USHORT(ULONG Port, USHORT Value);
VOID NDIS_API READ_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count);
VOID NDIS_API READ_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count);
VOID NDIS_API WRITE_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count);
VOID NDIS_API WRITE_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count);
VOID NDIS_API KeStallExecutionProcessor(ULONG MicroSeconds);

}  // extern "C"

// ---------------------------------------------------------------------------
// Operations that the platform provides as inline expansions (macros on the
// target). They touch only the records passed to them.

static inline VOID NdisMoveMemory(PVOID Destination, const VOID* Source, ULONG Length) {
    PUCHAR d = (PUCHAR)Destination;
    const UCHAR* s = (const UCHAR*)Source;
    for (ULONG i = 0; i < Length; i++) d[i] = s[i];
}

static inline VOID NdisZeroMemory(PVOID Destination, ULONG Length) {
    volatile UCHAR* d = (volatile UCHAR*)Destination;  // volatile: stays a plain loop
    for (ULONG i = 0; i < Length; i++) d[i] = 0;
}

static inline VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    if (VirtualAddress) *VirtualAddress = Buffer->MappedSystemVa;
    *Length = Buffer->ByteCount;
}

static inline VOID NdisQueryBufferOffset(PNDIS_BUFFER Buffer, PUINT Offset, PUINT Length) {
    *Offset = Buffer->ByteOffset;
    *Length = Buffer->ByteCount;
}

// Pages spanned by the buffer's bytes (at least 1 for an empty buffer).
static inline UINT NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER Buffer) {
    if (Buffer->ByteCount == 0) return 1;
    return (UINT)(((Buffer->ByteOffset & (NDIS_PAGE_SIZE - 1)) + Buffer->ByteCount +
                   NDIS_PAGE_SIZE - 1) / NDIS_PAGE_SIZE);
}

static inline VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer) {
    *NextBuffer = CurrentBuffer->Next;
}

// Learns a packet's totals. When ValidCounts is 0 the chain is walked and
// the totals are stored in the packet; otherwise the stored ones are used.
// Any out-pointer may be null.
static inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount,
                                   PUINT BufferCount, PNDIS_BUFFER* FirstBuffer,
                                   PUINT TotalPacketLength) {
    if (!Packet->Private.ValidCounts) {
        UINT physical = 0, total = 0, count = 0;
        for (PNDIS_BUFFER b = Packet->Private.Head; b; b = b->Next) {
            UINT offset, length;
            NdisQueryBufferOffset(b, &offset, &length);
            total += length;
            physical += NDIS_BUFFER_TO_SPAN_PAGES(b);
            count++;
        }
        Packet->Private.PhysicalCount = physical;
        Packet->Private.TotalLength = total;
        Packet->Private.Count = count;
        Packet->Private.ValidCounts = TRUE;
    }
    if (PhysicalBufferCount) *PhysicalBufferCount = Packet->Private.PhysicalCount;
    if (BufferCount) *BufferCount = Packet->Private.Count;
    if (FirstBuffer) *FirstBuffer = Packet->Private.Head;
    if (TotalPacketLength) *TotalPacketLength = Packet->Private.TotalLength;
}

// Receive indications go to the wrapper's Ethernet filter database of the
// adapter, found through the miniport adapter handle.
static inline VOID NdisMEthIndicateReceive(NDIS_HANDLE MiniportAdapterHandle,
                                           NDIS_HANDLE MiniportReceiveContext, PVOID HeaderBuffer,
                                           UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                           UINT LookaheadBufferSize, UINT PacketSize) {
    EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)MiniportAdapterHandle)->EthDB,
                                MiniportReceiveContext, (PCHAR)HeaderBuffer, HeaderBuffer,
                                HeaderBufferSize, LookaheadBuffer, LookaheadBufferSize,
                                PacketSize);
}

static inline VOID NdisMEthIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle) {
    EthFilterDprIndicateReceiveComplete(((PNDIS_MINIPORT_BLOCK)MiniportAdapterHandle)->EthDB);
}

#endif  // PLATFORM_NDIS_H
