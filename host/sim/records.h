// What the host records as the driver runs, for tests to read back: memory,
// port ranges, mappings, event-log entries, send completions, indications,
// configuration reads, port accesses. Also the two names sim takes from hw/:
// virtual time and station addresses.
#ifndef SIM_RECORDS_H
#define SIM_RECORDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "hw/clock.h"
#include "hw/ethernet.h"
#include "platform/ndis.h"

namespace sim {

using hw::MacAddress;
using hw::Nanos;

class Adapter;

struct Allocation {
    void* address = nullptr;
    UINT length = 0;
    UINT flags = 0;
    NDIS_PHYSICAL_ADDRESS highest{};
    Adapter* adapter = nullptr;     // the adapter being initialized, or null
    bool after_initialize = false;  // made outside any initialize call
    Nanos time = 0;
};

struct PortRange {
    Adapter* adapter = nullptr;
    UINT base = 0;
    UINT count = 0;
    bool released = false;
    Nanos released_at = 0;  // virtual time of the deregistration
};

struct Mapping {
    Adapter* adapter = nullptr;
    std::uint64_t physical = 0;
    UINT length = 0;
    void* virtual_address = nullptr;
    bool unmapped = false;
};

struct ErrorLogEntry {
    Adapter* adapter = nullptr;
    NDIS_ERROR_CODE code = 0;
    std::vector<ULONG> data;
    Nanos time = 0;
};

struct SendCompletion {
    Adapter* adapter = nullptr;
    NDIS_PACKET* packet = nullptr;
    NDIS_STATUS status = 0;
    bool by_wrapper = false;  // the send handler returned a final status itself
    Nanos time = 0;
};

struct Indication {
    std::vector<std::uint8_t> header;
    std::vector<std::uint8_t> lookahead;
    unsigned packet_size = 0;
    NDIS_HANDLE receive_context = nullptr;
    Nanos time = 0;
};

// One NdisReadConfiguration call.
struct ConfigRead {
    std::string keyword;
    NDIS_PARAMETER_TYPE type;
    bool found;
};

// One port access, for the trace.
struct TraceEntry {
    std::uint64_t index = 0;  // running access number
    Nanos time = 0;           // when the access began
    bool write = false;
    unsigned width = 8;       // 8 or 16
    std::uint32_t port = 0;
    std::uint32_t value = 0;  // the value (first element for string forms)
    std::uint32_t count = 1;  // elements of a string access
    std::string text;         // e.g. "W 0x300 CR = 0x22 (STA, abort DMA, page 0)"
};

struct PortStats {
    std::uint64_t accesses = 0;  // elements: a string access of n counts n
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t data_bytes = 0;     // bytes moved through the device's data port
    std::uint64_t data_accesses = 0;  // accesses (elements) at the device's data port
};

}  // namespace sim

#endif  // SIM_RECORDS_H
