// The wrapper's C operations other than configuration (config.cpp), port
// I/O (bus.cpp) and NdisMSynchronizeWithInterrupt (dispatch.cpp):
// registration, memory, an adapter's resources, its interrupt, send
// completion, the receive indications and the event log. Each does its work
// here, on the current host and the adapter its handle names.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/host.h"

using sim::Adapter;
using sim::Host;

extern "C" {

// ---------------------------------------------------------------------------
// Registration

VOID NDIS_API NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID, PVOID, PVOID) {
    NDIS_HANDLE handle = Host::current().initialize_wrapper();
    if (NdisWrapperHandle) *NdisWrapperHandle = handle;
}

NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                           PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                           UINT CharacteristicsLength) {
    Host& host = Host::current();
    if (NdisWrapperHandle != host.wrapper_handle()) {
        host.problem("NdisMRegisterMiniport: unknown wrapper handle");
        return NDIS_STATUS_FAILURE;
    }
    if (!MiniportCharacteristics || MiniportCharacteristics->MajorNdisVersion != 3 ||
        MiniportCharacteristics->MinorNdisVersion != 0) {
        host.problem("NdisMRegisterMiniport: not the 3.0 form of the handler table");
        return NDIS_STATUS_FAILURE;
    }
    // The wrapper takes exactly the bytes the driver names: the 3.0 form is
    // the record's size (60 bytes on the 32-bit target), and a shorter
    // length leaves the handlers past it unknown.
    if (CharacteristicsLength != sizeof(NDIS_MINIPORT_CHARACTERISTICS))
        host.problem("NdisMRegisterMiniport: characteristics length " +
                     std::to_string(CharacteristicsLength) + ", the 3.0 form is " +
                     std::to_string(sizeof(NDIS_MINIPORT_CHARACTERISTICS)));
    NDIS_MINIPORT_CHARACTERISTICS taken{};
    std::memcpy(&taken, MiniportCharacteristics,
                CharacteristicsLength < sizeof taken ? CharacteristicsLength : sizeof taken);
    return host.register_miniport(taken, CharacteristicsLength) ? NDIS_STATUS_SUCCESS
                                                                 : NDIS_STATUS_FAILURE;
}

// ---------------------------------------------------------------------------
// Memory

NDIS_STATUS NDIS_API NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                        NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress) {
    Host& host = Host::current();
    Adapter* a = host.initializing();
    if (a && a->config().fail.allocate_memory) {
        *VirtualAddress = nullptr;
        return a->config().fail_status;
    }
    void* p = std::malloc(Length ? Length : 1);
    if (!p) {
        *VirtualAddress = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    std::memset(p, 0xCC, Length);  // fresh memory is not zero
    sim::Allocation rec;
    rec.address = p;
    rec.length = Length;
    rec.flags = MemoryFlags;
    rec.highest = HighestAcceptableAddress;
    rec.adapter = a;
    rec.after_initialize = a == nullptr;
    rec.time = host.now();
    host.add_allocation(rec);
    *VirtualAddress = p;
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    Host& host = Host::current();
    const sim::Allocation* rec = host.live_allocation(VirtualAddress);
    if (!rec) {
        host.problem("NdisFreeMemory: address not allocated (or freed twice)");
        return;
    }
    if (rec->length != Length)
        host.problem("NdisFreeMemory: length " + std::to_string(Length) + ", allocated " +
                     std::to_string(rec->length));
    if (rec->flags != MemoryFlags)
        host.problem("NdisFreeMemory: flags " + std::to_string(MemoryFlags) + ", allocated with " +
                     std::to_string(rec->flags));
    host.remove_allocation(VirtualAddress);
    std::free(VirtualAddress);
}

// ---------------------------------------------------------------------------
// An adapter's resources

VOID NDIS_API NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                                 BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType) {
    Adapter* a = Host::current().find_adapter(MiniportAdapterHandle, "NdisMSetAttributes");
    if (a) a->set_attributes(MiniportAdapterContext, BusMaster, AdapterType);
}

NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PULONG PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                              UINT InitialPort, UINT NumberOfPorts) {
    Host& host = Host::current();
    Adapter* a = host.find_adapter(MiniportAdapterHandle, "NdisMRegisterIoPortRange");
    if (!a) return NDIS_STATUS_FAILURE;
    if (a->config().fail.register_ports) return a->config().fail_status;
    for (auto& r : host.port_ranges())
        if (!r.released && InitialPort < r.base + r.count && r.base < InitialPort + NumberOfPorts)
            return NDIS_STATUS_RESOURCES;  // another adapter holds these ports
    host.add_port_range(sim::PortRange{a, InitialPort, NumberOfPorts, false});
    *PortOffset = InitialPort;  // port I/O uses the port numbers themselves
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                         UINT NumberOfPorts, ULONG PortOffset) {
    Host& host = Host::current();
    Adapter* a = host.find_adapter(MiniportAdapterHandle, "NdisMDeregisterIoPortRange");
    if (!a) return;
    sim::PortRange* r = host.live_port_range(a, InitialPort);
    if (!r) {
        host.problem("NdisMDeregisterIoPortRange: no such range registered");
        return;
    }
    if (r->count != NumberOfPorts || PortOffset != InitialPort)
        host.problem("NdisMDeregisterIoPortRange: arguments do not match the registration");
    r->released = true;
    r->released_at = host.now();
}

NDIS_STATUS NDIS_API NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length) {
    Host& host = Host::current();
    Adapter* a = host.find_adapter(MiniportAdapterHandle, "NdisMMapIoSpace");
    if (!a) return NDIS_STATUS_FAILURE;
    if (a->config().fail.map_io_space) return a->config().fail_status;
    std::uint64_t phys =
        (static_cast<std::uint64_t>(static_cast<ULONG>(PhysicalAddress.HighPart)) << 32) |
        PhysicalAddress.LowPart;
    std::uint8_t* bytes = host.physical(phys, Length);
    if (!bytes) return NDIS_STATUS_RESOURCES;
    host.add_mapping(sim::Mapping{a, phys, Length, bytes, false});
    *VirtualAddress = bytes;
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length) {
    Host& host = Host::current();
    Adapter* a = host.find_adapter(MiniportAdapterHandle, "NdisMUnmapIoSpace");
    if (!a) return;
    sim::Mapping* m = host.live_mapping(a, VirtualAddress);
    if (!m) {
        host.problem("NdisMUnmapIoSpace: no such mapping");
        return;
    }
    if (m->length != Length) host.problem("NdisMUnmapIoSpace: length does not match the mapping");
    m->unmapped = true;
}

// ---------------------------------------------------------------------------
// The interrupt

NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                            UINT InterruptLevel, BOOLEAN RequestIsr,
                                            BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode) {
    Host& host = Host::current();
    Adapter* a = host.find_adapter(MiniportAdapterHandle, "NdisMRegisterInterrupt");
    if (!a) return NDIS_STATUS_FAILURE;
    if (a->config().fail.register_interrupt) return a->config().fail_status;
    if (a->interrupt().connected) {
        host.problem("NdisMRegisterInterrupt: interrupt already connected");
        return NDIS_STATUS_FAILURE;
    }
    if (!a->attributes().set) host.problem("NdisMRegisterInterrupt before NdisMSetAttributes");
    for (std::size_t i = 0; i < host.adapter_count(); i++) {
        const Adapter::InterruptInfo& other = host.adapter(i).interrupt();
        if (&host.adapter(i) == a || !other.connected || other.vector != InterruptVector) continue;
        if (!SharedInterrupt || !other.shared) return NDIS_STATUS_RESOURCES;
    }
    a->connect_interrupt(Interrupt, InterruptVector, InterruptLevel, RequestIsr, SharedInterrupt,
                         InterruptMode);
    if (Interrupt) {
        Interrupt->WrapperReserved[0] = a;
        Interrupt->WrapperReserved[1] = host.wrapper_handle();
    }
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    Host& host = Host::current();
    Adapter* a = host.find_adapter(Interrupt);
    if (!a || !a->interrupt().connected) {
        host.problem("NdisMDeregisterInterrupt: interrupt not connected");
        return;
    }
    a->disconnect_interrupt();
}

// ---------------------------------------------------------------------------
// Sends completed and frames received

VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                NDIS_STATUS Status) {
    Adapter* a = Host::current().find_adapter(MiniportAdapterHandle, "NdisMSendComplete");
    if (a) a->send_complete(Packet, Status);
}

VOID NDIS_API EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext,
                                          PCHAR Address, PVOID HeaderBuffer,
                                          UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                          UINT LookaheadBufferSize, UINT PacketSize) {
    Adapter* a = Host::current().find_adapter(Filter, "EthFilterDprIndicateReceive");
    if (a)
        a->indicate(MacReceiveContext, reinterpret_cast<const std::uint8_t*>(Address),
                    static_cast<const std::uint8_t*>(HeaderBuffer), HeaderBufferSize,
                    static_cast<const std::uint8_t*>(LookaheadBuffer), LookaheadBufferSize,
                    PacketSize);
}

VOID NDIS_API EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter) {
    Adapter* a = Host::current().find_adapter(Filter, "EthFilterDprIndicateReceiveComplete");
    if (a) a->indicate_complete();
}

// ---------------------------------------------------------------------------
// Event log

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...) {
    Host& host = Host::current();
    std::vector<ULONG> data;
    va_list ap;
    va_start(ap, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues && i < 64; i++) data.push_back(va_arg(ap, ULONG));
    va_end(ap);
    Adapter* a = host.find_adapter(NdisAdapterHandle, "NdisWriteErrorLogEntry");
    host.add_error_log(sim::ErrorLogEntry{a, ErrorCode, std::move(data), host.now()});
}

}  // extern "C"
