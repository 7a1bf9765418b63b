// The wrapper's registration, memory, adapter resources and event log:
// NdisInitializeWrapper, NdisMRegisterMiniport, NdisAllocateMemory and
// NdisFreeMemory (from the fixed pool), NdisMSetAttributes, the port range,
// the memory mapping, NdisWriteErrorLogEntry; and the initialize call.
#include <cstdarg>

#include "metal/console.h"
#include "metal/pool.h"
#include "metal/state.h"
#include "metal/wrapper.h"

namespace metal {

AdapterState state;

namespace {

int wrapper_handle;         // its address is the wrapper handle
int configuration_context;  // its address is the adapter's configuration context

const char* error_name(NDIS_ERROR_CODE code) {
    switch (code) {
    case NDIS_ERROR_CODE_HARDWARE_FAILURE: return "hardware failure";
    case NDIS_ERROR_CODE_ADAPTER_NOT_FOUND: return "adapter not found";
    case NDIS_ERROR_CODE_INTERRUPT_CONNECT: return "interrupt connect";
    case NDIS_ERROR_CODE_DRIVER_FAILURE: return "driver failure";
    case NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION: return "unsupported configuration";
    default: return "unknown code";
    }
}

}  // namespace

void wrapper_problem(const char* format, ...) {
    state.counts.problems++;
    print("problem: ");
    va_list ap;
    va_start(ap, format);
    vprint(format, ap);
    va_end(ap);
    print("\n");
}

bool check_adapter(NDIS_HANDLE handle, const char* operation) {
    if (handle == &state.block) return true;
    wrapper_problem("%s: not the adapter's handle", operation);
    return false;
}

bool wrapper_load_driver(DRIVER_INITIALIZE entry) {
    static int driver_object, registry_path;  // nothing of either is read
    NTSTATUS status = entry(&driver_object, &registry_path);
    if (status != 0) print("wrapper: DriverEntry returned 0x%08x\n", status);
    return status == 0 && state.registered;
}

NDIS_STATUS wrapper_initialize(std::uint8_t station[6]) {
    NDIS_MEDIUM media[] = {NdisMedium802_5, NdisMedium802_3};
    UINT selected = 0xFFFFFFFFu;
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    state.block.EthDB = &state.filter_database;
    state.initializing = true;
    state.depth++;
    NDIS_STATUS s = state.handlers.InitializeHandler(&open_error, &selected, media, 2, &state.block,
                                                     &configuration_context);
    state.depth--;
    state.initializing = false;
    if (config_left_open()) wrapper_problem("initialize: a configuration handle was left open");
    if (s != NDIS_STATUS_SUCCESS) {
        if (state.irq >= 0) wrapper_problem("initialize failed with the interrupt connected");
        if (state.port_count) wrapper_problem("initialize failed with the ports registered");
        return s;
    }
    if (selected != 1) wrapper_problem("initialize: selected medium %u, not the 802.3 entry (1)", selected);
    if (!state.attributes_set) wrapper_problem("initialize succeeded without NdisMSetAttributes");
    if (state.irq < 0) wrapper_problem("initialize succeeded without connecting the interrupt");
    ULONG written = 0;
    std::uint8_t address[6] = {};
    if (wrapper_query(OID_802_3_CURRENT_ADDRESS, address, 6, &written) != NDIS_STATUS_SUCCESS || written != 6)
        wrapper_problem("the driver does not tell its station address");
    for (int i = 0; i < 6; i++) station[i] = state.station[i] = address[i];
    return s;
}

}  // namespace metal

using namespace metal;

extern "C" {

VOID NDIS_API NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID, PVOID, PVOID) {
    if (NdisWrapperHandle) *NdisWrapperHandle = &wrapper_handle;
}

NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                           PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                           UINT CharacteristicsLength) {
    if (NdisWrapperHandle != &wrapper_handle) {
        wrapper_problem("NdisMRegisterMiniport: unknown wrapper handle");
        return NDIS_STATUS_FAILURE;
    }
    if (!MiniportCharacteristics || MiniportCharacteristics->MajorNdisVersion != 3 ||
        MiniportCharacteristics->MinorNdisVersion != 0 || CharacteristicsLength != sizeof(NDIS_MINIPORT_CHARACTERISTICS)) {
        wrapper_problem("NdisMRegisterMiniport: not the 60-byte 3.0 form of the handler table (%u bytes)",
                        CharacteristicsLength);
        return NDIS_STATUS_FAILURE;
    }
    const NDIS_MINIPORT_CHARACTERISTICS& c = *MiniportCharacteristics;
    if (!c.ISRHandler || !c.HandleInterruptHandler || !c.EnableInterruptHandler || !c.InitializeHandler ||
        !c.HaltHandler || !c.SendHandler || !c.TransferDataHandler || !c.QueryInformationHandler ||
        !c.SetInformationHandler || !c.ResetHandler) {
        wrapper_problem("NdisMRegisterMiniport: a handler this wrapper calls is missing");
        return NDIS_STATUS_FAILURE;
    }
    state.handlers = c;
    state.registered = true;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NDIS_API NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                        NDIS_PHYSICAL_ADDRESS) {
    *VirtualAddress = pool_allocate(Length, MemoryFlags);
    if (!*VirtualAddress) {
        print("wrapper: no room in the pool for %u bytes\n", Length);
        return NDIS_STATUS_RESOURCES;
    }
    if (!state.initializing) wrapper_problem("NdisAllocateMemory of %u bytes outside initialize", Length);
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    if (!pool_free(VirtualAddress, Length, MemoryFlags))
        wrapper_problem("NdisFreeMemory: 0x%08x with %u bytes and flags %u is no block handed out so",
                        static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(VirtualAddress)), Length, MemoryFlags);
}

VOID NDIS_API NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                                 BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType) {
    if (!check_adapter(MiniportAdapterHandle, "NdisMSetAttributes")) return;
    if (BusMaster) wrapper_problem("NdisMSetAttributes: a bus master, which an ISA card here cannot be");
    state.context = MiniportAdapterContext;
    state.attributes_set = true;
    print("wrapper: attributes set, bus type %d\n", static_cast<int>(AdapterType));
}

NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PULONG PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                              UINT InitialPort, UINT NumberOfPorts) {
    if (!check_adapter(MiniportAdapterHandle, "NdisMRegisterIoPortRange")) return NDIS_STATUS_FAILURE;
    if (state.port_count) {
        wrapper_problem("NdisMRegisterIoPortRange: a range is registered already");
        return NDIS_STATUS_RESOURCES;
    }
    if (InitialPort + NumberOfPorts > 0x10000 || NumberOfPorts == 0) return NDIS_STATUS_RESOURCES;
    print("wrapper: ports 0x%x-0x%x\n", InitialPort, InitialPort + NumberOfPorts - 1);
    state.port_base = InitialPort;
    state.port_count = NumberOfPorts;
    *PortOffset = InitialPort;  // port I/O uses the port numbers themselves
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort, UINT NumberOfPorts,
                                         ULONG PortOffset) {
    if (!check_adapter(MiniportAdapterHandle, "NdisMDeregisterIoPortRange")) return;
    if (!state.port_count || InitialPort != state.port_base || NumberOfPorts != state.port_count ||
        PortOffset != InitialPort)
        wrapper_problem("NdisMDeregisterIoPortRange: 0x%x, %u ports does not match the registration", InitialPort,
                        NumberOfPorts);
    state.port_count = 0;
}

// Physical memory is where it is: the kernel runs unpaged.
NDIS_STATUS NDIS_API NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length) {
    if (!check_adapter(MiniportAdapterHandle, "NdisMMapIoSpace")) return NDIS_STATUS_FAILURE;
    if (PhysicalAddress.HighPart != 0 || PhysicalAddress.LowPart + std::uint64_t{Length} > 0x100000000ull)
        return NDIS_STATUS_RESOURCES;
    print("wrapper: memory 0x%x, %u bytes mapped\n", PhysicalAddress.LowPart, Length);
    *VirtualAddress = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(PhysicalAddress.LowPart));
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID, UINT) {
    check_adapter(MiniportAdapterHandle, "NdisMUnmapIoSpace");
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode, ULONG NumberOfErrorValues, ...) {
    check_adapter(NdisAdapterHandle, "NdisWriteErrorLogEntry");
    state.counts.event_log_entries++;
    print("event log: 0x%08x (%s), %u data words:", ErrorCode, error_name(ErrorCode), NumberOfErrorValues);
    va_list ap;
    va_start(ap, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues && i < 16; i++) print(" 0x%x", va_arg(ap, ULONG));
    va_end(ap);
    print("\n");
}

}  // extern "C"
