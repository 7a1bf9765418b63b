// The platform operations the driver calls, as the host carries them out:
// every function of platform/ndis.h with C linkage.
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/internal.h"

namespace sim {

namespace {

std::string narrow(PNDIS_STRING s) {
    std::string out;
    if (!s || !s->Buffer) return out;
    for (USHORT i = 0; i < s->Length / sizeof(WCHAR); i++) {
        WCHAR c = s->Buffer[i];
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// Parses registry text as the requested type does: base 16 for a hex
// integer (an optional 0x prefix), base 10 otherwise.
bool parse_text(const std::string& text, NDIS_PARAMETER_TYPE type, ULONG* value) {
    std::string t = text;
    int base = type == NdisParameterHexInteger ? 16 : 10;
    if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.empty()) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, base);
    if (!end || *end != '\0') return false;
    *value = static_cast<ULONG>(v);
    return true;
}

OpenConfig* open_config(Host& h, NDIS_HANDLE handle, const char* operation) {
    for (auto& c : h.internals().configs)
        if (c.get() == handle) {
            if (!c->open) {
                h.problem(std::string(operation) + ": configuration handle already closed");
                return nullptr;
            }
            return c.get();
        }
    h.problem(std::string(operation) + ": unknown configuration handle");
    return nullptr;
}

Adapter* context_adapter(Host& h, NDIS_HANDLE context, const char* operation) {
    for (auto& [a, c] : h.internals().contexts)
        if (c.get() == context) return const_cast<Adapter*>(a);
    h.problem(std::string(operation) + ": unknown wrapper configuration context");
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Registration

void HostAccess::initialize_wrapper(Host& h, PNDIS_HANDLE handle) {
    h.wrapper_inits_++;
    if (handle) *handle = h.wrapper_handle();
}

NDIS_STATUS HostAccess::register_miniport(Host& h, NDIS_HANDLE wrapper,
                                          PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length) {
    if (wrapper != h.wrapper_handle()) {
        h.problem("NdisMRegisterMiniport: unknown wrapper handle");
        return NDIS_STATUS_FAILURE;
    }
    if (!chars || chars->MajorNdisVersion != 3 || chars->MinorNdisVersion != 0) {
        h.problem("NdisMRegisterMiniport: not the 3.0 form of the handler table");
        return NDIS_STATUS_FAILURE;
    }
    // The wrapper takes exactly the bytes the driver names: the 3.0 form is
    // the record's size (60 bytes on the 32-bit target), and a shorter
    // length leaves the handlers past it unknown.
    if (length != sizeof(NDIS_MINIPORT_CHARACTERISTICS))
        h.problem("NdisMRegisterMiniport: characteristics length " + std::to_string(length) +
                  ", the 3.0 form is " + std::to_string(sizeof(NDIS_MINIPORT_CHARACTERISTICS)));
    h.chars_length_ = length;
    if (h.refuse_registration_) return NDIS_STATUS_FAILURE;
    h.chars_ = NDIS_MINIPORT_CHARACTERISTICS{};
    std::memcpy(&h.chars_, chars, length < sizeof h.chars_ ? length : sizeof h.chars_);
    h.registered_ = true;
    return NDIS_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Configuration

void HostAccess::open_configuration(Host& h, PNDIS_STATUS status, PNDIS_HANDLE handle,
                                    NDIS_HANDLE context) {
    Adapter* a = context_adapter(h, context, "NdisOpenConfiguration");
    if (!a) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    if (a->config_.fail.open_configuration) {
        *status = a->config_.fail_status;
        return;
    }
    auto c = std::make_unique<OpenConfig>();
    c->adapter = a;
    *handle = c.get();
    h.in_->configs.push_back(std::move(c));
    h.open_configs_++;
    h.config_opens_++;
    *status = NDIS_STATUS_SUCCESS;
}

void HostAccess::read_configuration(Host& h, PNDIS_STATUS status,
                                    PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE handle,
                                    PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type) {
    *status = NDIS_STATUS_FAILURE;
    OpenConfig* c = open_config(h, handle, "NdisReadConfiguration");
    if (!c) return;
    Adapter& a = *c->adapter;
    std::string name = narrow(keyword);
    ULONG v = 0;
    bool found = false;
    if (type == NdisParameterInteger || type == NdisParameterHexInteger) {
        for (auto& [k, kv] : a.config_.keywords)
            if (same_keyword(k, name)) {
                v = kv;
                found = true;
            }
        if (!found)
            for (auto& [k, text] : a.config_.text_keywords)
                if (same_keyword(k, name)) found = parse_text(text, type, &v);
    }
    a.config_reads_.push_back(ConfigRead{name, type, found});
    if (!found) return;
    auto p = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    p->ParameterType = type;
    p->ParameterData.IntegerData = v;
    *value = p.get();
    c->params.push_back(std::move(p));
    *status = NDIS_STATUS_SUCCESS;
}

void HostAccess::read_network_address(Host& h, PNDIS_STATUS status, PVOID* address, PUINT length,
                                      NDIS_HANDLE handle) {
    *status = NDIS_STATUS_FAILURE;
    OpenConfig* c = open_config(h, handle, "NdisReadNetworkAddress");
    if (!c) return;
    const auto& override_bytes = c->adapter->config_.network_address;
    if (!override_bytes) return;
    std::size_t n = override_bytes->size();
    auto copy = std::make_unique<std::uint8_t[]>(n ? n : 1);
    if (n) std::memcpy(copy.get(), override_bytes->data(), n);
    *address = copy.get();
    *length = static_cast<UINT>(n);
    c->address_copies.push_back(std::move(copy));
    *status = NDIS_STATUS_SUCCESS;
}

void HostAccess::read_pos(Host& h, PNDIS_STATUS status, NDIS_HANDLE context, PUINT channel,
                          PNDIS_MCA_POS_DATA data) {
    (void)channel;
    *status = NDIS_STATUS_FAILURE;
    Adapter* a = context_adapter(h, context, "NdisReadMcaPosInformation");
    if (!a) return;
    if (!a->config_.pos) return;
    *data = *a->config_.pos;
    *status = NDIS_STATUS_SUCCESS;
}

void HostAccess::close_configuration(Host& h, NDIS_HANDLE handle) {
    OpenConfig* c = open_config(h, handle, "NdisCloseConfiguration");
    if (!c) return;
    c->open = false;
    c->params.clear();  // what was read is gone with the handle
    c->address_copies.clear();
    h.open_configs_--;
}

CCHAR HostAccess::processor_count(Host& h) { return static_cast<CCHAR>(h.processor_count_); }

// ---------------------------------------------------------------------------
// Memory

NDIS_STATUS HostAccess::allocate(Host& h, PVOID* address, UINT length, UINT flags,
                                 NDIS_PHYSICAL_ADDRESS highest) {
    Adapter* a = h.initializing_;
    if (a && a->config_.fail.allocate_memory) {
        *address = nullptr;
        return a->config_.fail_status;
    }
    void* p = std::malloc(length ? length : 1);
    if (!p) {
        *address = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    std::memset(p, 0xCC, length);  // fresh memory is not zero
    Allocation rec;
    rec.address = p;
    rec.length = length;
    rec.flags = flags;
    rec.highest = highest;
    rec.adapter = a;
    rec.after_initialize = a == nullptr;
    rec.time = h.now();
    h.in_->live_allocations[p] = h.allocation_log_.size();
    h.allocation_log_.push_back(rec);
    *address = p;
    return NDIS_STATUS_SUCCESS;
}

void HostAccess::free(Host& h, PVOID address, UINT length, UINT flags) {
    auto it = h.in_->live_allocations.find(address);
    if (it == h.in_->live_allocations.end()) {
        h.problem("NdisFreeMemory: address not allocated (or freed twice)");
        return;
    }
    const Allocation& rec = h.allocation_log_[it->second];
    if (rec.length != length)
        h.problem("NdisFreeMemory: length " + std::to_string(length) + ", allocated " +
                  std::to_string(rec.length));
    if (rec.flags != flags)
        h.problem("NdisFreeMemory: flags " + std::to_string(flags) + ", allocated with " +
                  std::to_string(rec.flags));
    h.in_->live_allocations.erase(it);
    h.frees_++;
    std::free(address);
}

// ---------------------------------------------------------------------------
// Adapter resources

void HostAccess::set_attributes(Host& h, NDIS_HANDLE handle, NDIS_HANDLE context,
                                BOOLEAN bus_master, NDIS_INTERFACE_TYPE type) {
    Adapter* a = adapter(h, handle, "NdisMSetAttributes");
    if (!a) return;
    a->attributes_.set = true;
    a->attributes_.context = context;
    a->attributes_.bus_master = bus_master;
    a->attributes_.type = type;
    a->attributes_.calls++;
}

NDIS_STATUS HostAccess::register_ports(Host& h, PULONG offset, NDIS_HANDLE handle, UINT initial,
                                       UINT count) {
    Adapter* a = adapter(h, handle, "NdisMRegisterIoPortRange");
    if (!a) return NDIS_STATUS_FAILURE;
    if (a->config_.fail.register_ports) return a->config_.fail_status;
    for (auto& r : h.port_ranges_)
        if (!r.released && initial < r.base + r.count && r.base < initial + count)
            return NDIS_STATUS_RESOURCES;  // another adapter holds these ports
    h.port_ranges_.push_back(PortRange{a, initial, count, false});
    *offset = initial;  // port I/O uses the port numbers themselves
    return NDIS_STATUS_SUCCESS;
}

void HostAccess::deregister_ports(Host& h, NDIS_HANDLE handle, UINT initial, UINT count,
                                  ULONG offset) {
    Adapter* a = adapter(h, handle, "NdisMDeregisterIoPortRange");
    if (!a) return;
    for (auto& r : h.port_ranges_) {
        if (r.released || r.adapter != a || r.base != initial) continue;
        if (r.count != count || offset != initial)
            h.problem("NdisMDeregisterIoPortRange: arguments do not match the registration");
        r.released = true;
        r.released_at = h.now();
        return;
    }
    h.problem("NdisMDeregisterIoPortRange: no such range registered");
}

NDIS_STATUS HostAccess::map_io_space(Host& h, PVOID* address, NDIS_HANDLE handle,
                                     NDIS_PHYSICAL_ADDRESS physical, UINT length) {
    Adapter* a = adapter(h, handle, "NdisMMapIoSpace");
    if (!a) return NDIS_STATUS_FAILURE;
    if (a->config_.fail.map_io_space) return a->config_.fail_status;
    std::uint64_t phys = (static_cast<std::uint64_t>(static_cast<ULONG>(physical.HighPart)) << 32) |
                         physical.LowPart;
    for (auto& w : h.in_->windows) {
        if (phys >= w.physical && phys + length <= w.physical + w.length) {
            void* va = w.bytes + (phys - w.physical);
            h.mappings_.push_back(Mapping{a, phys, length, va, false});
            *address = va;
            return NDIS_STATUS_SUCCESS;
        }
    }
    return NDIS_STATUS_RESOURCES;
}

void HostAccess::unmap_io_space(Host& h, NDIS_HANDLE handle, PVOID address, UINT length) {
    Adapter* a = adapter(h, handle, "NdisMUnmapIoSpace");
    if (!a) return;
    for (auto& m : h.mappings_) {
        if (m.unmapped || m.adapter != a || m.virtual_address != address) continue;
        if (m.length != length) h.problem("NdisMUnmapIoSpace: length does not match the mapping");
        m.unmapped = true;
        return;
    }
    h.problem("NdisMUnmapIoSpace: no such mapping");
}

NDIS_STATUS HostAccess::register_interrupt(Host& h, PNDIS_MINIPORT_INTERRUPT interrupt,
                                           NDIS_HANDLE handle, UINT vector, UINT level,
                                           BOOLEAN request_isr, BOOLEAN shared,
                                           NDIS_INTERRUPT_MODE mode) {
    Adapter* a = adapter(h, handle, "NdisMRegisterInterrupt");
    if (!a) return NDIS_STATUS_FAILURE;
    if (a->config_.fail.register_interrupt) return a->config_.fail_status;
    if (a->interrupt_.connected) {
        h.problem("NdisMRegisterInterrupt: interrupt already connected");
        return NDIS_STATUS_FAILURE;
    }
    if (!a->attributes_.set) h.problem("NdisMRegisterInterrupt before NdisMSetAttributes");
    for (auto& other : h.adapters_) {
        if (other.get() == a || !other->interrupt_.connected || other->interrupt_.vector != vector)
            continue;
        if (!shared || !other->interrupt_.shared) return NDIS_STATUS_RESOURCES;
    }
    Adapter::InterruptInfo& i = a->interrupt_;
    i.connected = true;
    i.vector = vector;
    i.level = level;
    i.request_isr = request_isr;
    i.shared = shared;
    i.mode = mode;
    i.object = interrupt;
    i.registrations++;
    a->edge_pending_ = false;  // only edges from now on count
    if (interrupt) {
        interrupt->WrapperReserved[0] = a;
        interrupt->WrapperReserved[1] = h.wrapper_handle();
    }
    return NDIS_STATUS_SUCCESS;
}

void HostAccess::deregister_interrupt(Host& h, PNDIS_MINIPORT_INTERRUPT interrupt) {
    Adapter* a = adapter_by_interrupt(h, interrupt);
    if (!a || !a->interrupt_.connected) {
        h.problem("NdisMDeregisterInterrupt: interrupt not connected");
        return;
    }
    a->interrupt_.connected = false;
    a->interrupt_.deregistrations++;
    a->interrupt_.disconnected_at = a->host().now();
    a->edge_pending_ = false;
    if (a->deferred_requested_) {
        a->deferred_requested_ = false;
        a->counters_.deferred_dropped++;
    }
}

void HostAccess::error_log(Host& h, NDIS_HANDLE handle, NDIS_ERROR_CODE code,
                           std::vector<ULONG> data) {
    Adapter* a = adapter(h, handle, "NdisWriteErrorLogEntry");
    h.error_log_.push_back(ErrorLogEntry{a, code, std::move(data), h.now()});
}

}  // namespace sim

using sim::HostAccess;

extern "C" {

VOID NDIS_API NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID, PVOID, PVOID) {
    HostAccess::initialize_wrapper(HostAccess::host(), NdisWrapperHandle);
}

NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                  PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength) {
    return HostAccess::register_miniport(HostAccess::host(), NdisWrapperHandle,
                                         MiniportCharacteristics, CharacteristicsLength);
}

VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext) {
    HostAccess::open_configuration(HostAccess::host(), Status, ConfigurationHandle,
                                   WrapperConfigurationContext);
}

VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType) {
    HostAccess::read_configuration(HostAccess::host(), Status, ParameterValue, ConfigurationHandle,
                                   Keyword, ParameterType);
}

VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                            PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle) {
    HostAccess::read_network_address(HostAccess::host(), Status, NetworkAddress,
                                     NetworkAddressLength, ConfigurationHandle);
}

VOID NDIS_API NdisReadMcaPosInformation(PNDIS_STATUS Status, NDIS_HANDLE WrapperConfigurationContext,
                               PUINT ChannelNumber, PNDIS_MCA_POS_DATA McaData) {
    HostAccess::read_pos(HostAccess::host(), Status, WrapperConfigurationContext, ChannelNumber,
                         McaData);
}

VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    HostAccess::close_configuration(HostAccess::host(), ConfigurationHandle);
}

CCHAR NDIS_API NdisSystemProcessorCount(VOID) { return HostAccess::processor_count(HostAccess::host()); }

NDIS_STATUS NDIS_API NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                               NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress) {
    return HostAccess::allocate(HostAccess::host(), VirtualAddress, Length, MemoryFlags,
                                HighestAcceptableAddress);
}

VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
    HostAccess::free(HostAccess::host(), VirtualAddress, Length, MemoryFlags);
}

VOID NDIS_API NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                        BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType) {
    HostAccess::set_attributes(HostAccess::host(), MiniportAdapterHandle, MiniportAdapterContext,
                               BusMaster, AdapterType);
}

NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PULONG PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                     UINT InitialPort, UINT NumberOfPorts) {
    return HostAccess::register_ports(HostAccess::host(), PortOffset, MiniportAdapterHandle,
                                      InitialPort, NumberOfPorts);
}

VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                UINT NumberOfPorts, ULONG PortOffset) {
    HostAccess::deregister_ports(HostAccess::host(), MiniportAdapterHandle, InitialPort,
                                 NumberOfPorts, PortOffset);
}

NDIS_STATUS NDIS_API NdisMMapIoSpace(PVOID* VirtualAddress, NDIS_HANDLE MiniportAdapterHandle,
                            NDIS_PHYSICAL_ADDRESS PhysicalAddress, UINT Length) {
    return HostAccess::map_io_space(HostAccess::host(), VirtualAddress, MiniportAdapterHandle,
                                    PhysicalAddress, Length);
}

VOID NDIS_API NdisMUnmapIoSpace(NDIS_HANDLE MiniportAdapterHandle, PVOID VirtualAddress, UINT Length) {
    HostAccess::unmap_io_space(HostAccess::host(), MiniportAdapterHandle, VirtualAddress, Length);
}

NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                   NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                   UINT InterruptLevel, BOOLEAN RequestIsr,
                                   BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode) {
    return HostAccess::register_interrupt(HostAccess::host(), Interrupt, MiniportAdapterHandle,
                                          InterruptVector, InterruptLevel, RequestIsr,
                                          SharedInterrupt, InterruptMode);
}

VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    HostAccess::deregister_interrupt(HostAccess::host(), Interrupt);
}

BOOLEAN NDIS_API NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                      PVOID SynchronizeFunction, PVOID SynchronizeContext) {
    sim::Host& h = HostAccess::host();
    sim::Adapter* a = HostAccess::adapter_by_interrupt(h, Interrupt);
    if (!a || !a->interrupt().connected) {
        h.problem("NdisMSynchronizeWithInterrupt: interrupt not connected");
        return reinterpret_cast<W_SYNCHRONIZE_FUNCTION>(SynchronizeFunction)(SynchronizeContext);
    }
    return HostAccess::synchronize(h, *a, SynchronizeFunction, SynchronizeContext);
}

VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                       NDIS_STATUS Status) {
    sim::Host& h = HostAccess::host();
    sim::Adapter* a = HostAccess::adapter(h, MiniportAdapterHandle, "NdisMSendComplete");
    if (a) HostAccess::send_complete(h, *a, Packet, Status);
}

VOID NDIS_API EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext,
                                          PCHAR Address, PVOID HeaderBuffer,
                                          UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                          UINT LookaheadBufferSize, UINT PacketSize) {
    sim::Host& h = HostAccess::host();
    sim::Adapter* a = HostAccess::adapter_by_filter(h, Filter, "EthFilterDprIndicateReceive");
    if (a)
        HostAccess::indicate(h, *a, MacReceiveContext, reinterpret_cast<const std::uint8_t*>(Address),
                             static_cast<const std::uint8_t*>(HeaderBuffer), HeaderBufferSize,
                             static_cast<const std::uint8_t*>(LookaheadBuffer),
                             LookaheadBufferSize, PacketSize);
}

VOID NDIS_API EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter) {
    sim::Host& h = HostAccess::host();
    sim::Adapter* a = HostAccess::adapter_by_filter(h, Filter, "EthFilterDprIndicateReceiveComplete");
    if (a) HostAccess::indicate_complete(h, *a);
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...) {
    std::vector<ULONG> data;
    va_list ap;
    va_start(ap, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues && i < 64; i++) data.push_back(va_arg(ap, ULONG));
    va_end(ap);
    HostAccess::error_log(HostAccess::host(), NdisAdapterHandle, ErrorCode, std::move(data));
}

VOID NDIS_API KeStallExecutionProcessor(ULONG MicroSeconds) {
    HostAccess::host().stall(static_cast<hw::Nanos>(MicroSeconds) * hw::kMicrosecond);
}

}  // extern "C"
