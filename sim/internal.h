// Host internals shared by the files of sim/: the port table, the devices,
// live allocations, configuration handles and physical windows.
#ifndef SIM_INTERNAL_H
#define SIM_INTERNAL_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/host.h"

namespace sim {

struct DeviceSlot {
    hw::PortDevice* device = nullptr;
    std::uint32_t base = 0;
    std::uint32_t count = 0;
    std::uint32_t data_first = 0;
    std::uint32_t data_count = 0;
    PortStats stats;
    int vector = -1;     // interrupt vector its line is connected to, or -1
    bool level = false;  // last level seen on its line
    bool mapped = false;
};

// A configuration handle given out by NdisOpenConfiguration. Never freed
// before the host, so a stale handle is recognised.
struct OpenConfig {
    std::uint32_t magic = 0x434F4E46;  // "CONF"
    Adapter* adapter = nullptr;
    bool open = true;
    std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> params;
    std::vector<std::unique_ptr<std::uint8_t[]>> address_copies;
};

// The wrapper configuration context handed to the initialize handler.
struct ConfigContext {
    std::uint32_t magic = 0x43545854;  // "CTXT"
    Adapter* adapter = nullptr;
};

struct Window {
    std::uint64_t physical;
    std::size_t length;
    std::uint8_t* bytes;
};

struct Host::Internals {
    static constexpr std::uint32_t kPortSpace = 0x10000;
    // Port -> index+1 into slots (0: nothing mapped).
    std::vector<std::uint16_t> port_table = std::vector<std::uint16_t>(kPortSpace, 0);
    std::vector<DeviceSlot> slots;

    std::map<void*, std::size_t> live_allocations;  // address -> index in allocation_log_
    std::vector<std::unique_ptr<OpenConfig>> configs;
    std::map<const Adapter*, std::unique_ptr<ConfigContext>> contexts;
    std::vector<Window> windows;

    TraceEntry trace_entry;     // the entry being made (kept for the room of its text)
    bool pending_work = false;  // an edge or a deferred handler may be waiting
    int isr_active = 0;         // service routines running, any adapter
    int sync_active = 0;        // synchronized routines running, any adapter
    // Calls the wrapper is making into the driver (handlers, the ISR, the
    // deferred handler, synchronized routines). Interrupts raised by port
    // accesses made outside them (test code poking the card or calling a
    // driver routine itself) wait for the next run point.
    int wrapper_depth = 0;

    // Emulated hardware the host owns. The segment outlives the cards.
    std::unique_ptr<hw::Segment, void (*)(hw::Segment*)> segment{nullptr, nullptr};
    std::vector<std::unique_ptr<hw::PortDevice>> cards;
    std::vector<std::function<void()>> pollers;  // run between steps of the run loops

    DeviceSlot* slot_for(std::uint32_t port) {
        if (port >= kPortSpace) return nullptr;
        std::uint16_t i = port_table[port];
        return i ? &slots[i - 1] : nullptr;
    }
    DeviceSlot* slot_of(const hw::PortDevice* device) {
        for (auto& s : slots)
            if (s.device == device) return &s;
        return nullptr;
    }
};

// Configuration keywords match without regard to case.
bool same_keyword(const std::string& a, const std::string& b);

extern Host* g_current_host;  // the host the platform operations go to

// Reaches the private parts of Host and Adapter for the platform operations.
struct HostAccess {
    // The current host; aborts when there is none.
    static Host& host() {
        if (!g_current_host) no_host();
        return *g_current_host;
    }
    [[noreturn]] static void no_host();
    static Adapter* adapter(Host& h, NDIS_HANDLE handle, const char* operation);
    static Adapter* adapter_by_interrupt(Host& h, PNDIS_MINIPORT_INTERRUPT interrupt);
    static Adapter* adapter_by_filter(Host& h, PETH_FILTER filter, const char* operation);

    // Interrupts: runs what became deliverable (service routines of edges,
    // deferred handlers); nothing to do unless work is pending.
    static void deliver(Host& h) {
        if (h.in_->pending_work) deliver_pending(h);
    }
    static void deliver_pending(Host& h);
    static BOOLEAN synchronize(Host& h, Adapter& a, PVOID function, PVOID context);

    // Wrapper calls that reach the adapter's private state.
    static void send_complete(Host& h, Adapter& a, NDIS_PACKET* packet, NDIS_STATUS status);
    static void indicate(Host& h, Adapter& a, NDIS_HANDLE context, const std::uint8_t* address,
                         const std::uint8_t* header,
                         UINT header_size, const std::uint8_t* lookahead, UINT lookahead_size,
                         UINT packet_size);
    static void indicate_complete(Host& h, Adapter& a);

    // The wrapper operations (sim/platform.cpp).
    static void initialize_wrapper(Host& h, PNDIS_HANDLE handle);
    static NDIS_STATUS register_miniport(Host& h, NDIS_HANDLE wrapper,
                                         PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length);
    static void open_configuration(Host& h, PNDIS_STATUS status, PNDIS_HANDLE handle,
                                   NDIS_HANDLE context);
    static void read_configuration(Host& h, PNDIS_STATUS status,
                                   PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE handle,
                                   PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type);
    static void read_network_address(Host& h, PNDIS_STATUS status, PVOID* address, PUINT length,
                                     NDIS_HANDLE handle);
    static void read_pos(Host& h, PNDIS_STATUS status, NDIS_HANDLE context, PUINT channel,
                         PNDIS_MCA_POS_DATA data);
    static void close_configuration(Host& h, NDIS_HANDLE handle);
    static CCHAR processor_count(Host& h);
    static NDIS_STATUS allocate(Host& h, PVOID* address, UINT length, UINT flags,
                                NDIS_PHYSICAL_ADDRESS highest);
    static void free(Host& h, PVOID address, UINT length, UINT flags);
    static void set_attributes(Host& h, NDIS_HANDLE handle, NDIS_HANDLE context,
                               BOOLEAN bus_master, NDIS_INTERFACE_TYPE type);
    static NDIS_STATUS register_ports(Host& h, PULONG offset, NDIS_HANDLE handle, UINT initial,
                                      UINT count);
    static void deregister_ports(Host& h, NDIS_HANDLE handle, UINT initial, UINT count,
                                 ULONG offset);
    static NDIS_STATUS map_io_space(Host& h, PVOID* address, NDIS_HANDLE handle,
                                    NDIS_PHYSICAL_ADDRESS physical, UINT length);
    static void unmap_io_space(Host& h, NDIS_HANDLE handle, PVOID address, UINT length);
    static NDIS_STATUS register_interrupt(Host& h, PNDIS_MINIPORT_INTERRUPT interrupt,
                                          NDIS_HANDLE handle, UINT vector, UINT level,
                                          BOOLEAN request_isr, BOOLEAN shared,
                                          NDIS_INTERRUPT_MODE mode);
    static void deregister_interrupt(Host& h, PNDIS_MINIPORT_INTERRUPT interrupt);
    static void error_log(Host& h, NDIS_HANDLE handle, NDIS_ERROR_CODE code,
                          std::vector<ULONG> data);
};

}  // namespace sim

#endif  // SIM_INTERNAL_H
