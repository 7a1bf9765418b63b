// The wrapper's record of the one driver and its one adapter, shared by
// wrapper.cpp, resources.cpp and config.cpp.
#ifndef METAL_STATE_H
#define METAL_STATE_H

#include <cstdint>

#include "metal/wrapper.h"
#include "platform/ndis.h"

// The adapter's Ethernet filter database: the driver only passes its
// address back (through the miniport block) with each indication.
struct _ETH_FILTER {
    std::uint32_t adapter;
};

namespace metal {

constexpr unsigned kMaxOutstanding = 64;  // packets with the driver at once

struct AdapterState {
    bool registered = false;
    NDIS_MINIPORT_CHARACTERISTICS handlers = {};
    NDIS_MINIPORT_BLOCK block = {};  // what the miniport adapter handle points at
    ETH_FILTER filter_database = {};
    NDIS_HANDLE context = nullptr;   // the driver's, from NdisMSetAttributes
    bool attributes_set = false;
    std::uint8_t station[6] = {};
    std::uint32_t port_base = 0, port_count = 0;
    int irq = -1;                    // connected line, -1 when none
    PNDIS_MINIPORT_INTERRUPT interrupt = nullptr;
    volatile bool deferred_requested = false;
    int depth = 0;                   // handler calls under way
    bool initializing = false, halted = false;
    NDIS_PACKET* outstanding[kMaxOutstanding] = {};
    Binding binding = {};
    WrapperCounts counts = {};
};

extern AdapterState state;

// True when `handle` is the adapter's miniport handle; a problem otherwise.
bool check_adapter(NDIS_HANDLE handle, const char* operation);
// Whether the driver left a configuration handle open (config.cpp).
bool config_left_open();

}  // namespace metal

#endif  // METAL_STATE_H
