// An adapter's configuration, as the wrapper offers it to the initialize
// handler, and the handles through which the driver reads it
// (NdisOpenConfiguration ... NdisCloseConfiguration, in config.cpp).
#ifndef SIM_CONFIG_H
#define SIM_CONFIG_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace sim {

class Adapter;

struct AdapterConfig {
    // Keywords, matched without regard to case. A numeric value is returned
    // as it stands with the type the driver asks for; a text value is parsed
    // in base 16 for NdisParameterHexInteger and base 10 for Integer (as the
    // registry's strings are). Absent keyword: NdisReadConfiguration fails.
    std::map<std::string, ULONG> keywords;
    std::map<std::string, std::string> text_keywords;
    AdapterConfig& set(const std::string& name, ULONG value) { keywords[name] = value; return *this; }
    AdapterConfig& set_text(const std::string& name, const std::string& v) { text_keywords[name] = v; return *this; }

    // Station-address override bytes (any length); absent: the read fails.
    std::optional<std::vector<std::uint8_t>> network_address;
    // MCA POS data; absent: NdisReadMcaPosInformation fails.
    std::optional<NDIS_MCA_POS_DATA> pos;

    std::vector<NDIS_MEDIUM> media{NdisMedium802_3};
    // When set, NdisSystemProcessorCount reports this from this adapter's
    // initialize on (the count belongs to the machine: Host::set_processor_count).
    std::optional<int> processor_count;

    // Failure injection, each applying to this adapter's calls.
    struct Faults {
        bool allocate_memory = false;     // NdisAllocateMemory during initialize
        bool open_configuration = false;
        bool register_ports = false;
        bool register_interrupt = false;
        bool map_io_space = false;
    } fail;
    NDIS_STATUS fail_status = NDIS_STATUS_RESOURCES;  // what an injected failure returns
};

// Configuration keywords match without regard to case.
bool same_keyword(const std::string& a, const std::string& b);

// A configuration handle given out by NdisOpenConfiguration. It owns what
// reads through it hand out, until it is closed.
struct OpenConfig {
    std::uint32_t magic = 0x434F4E46;  // "CONF"
    Adapter* adapter = nullptr;
    bool open = true;
    std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> params;
    std::vector<std::unique_ptr<std::uint8_t[]>> address_copies;
};

// The wrapper configuration contexts handed to initialize handlers and the
// configuration handles opened with them. Nothing is freed before the host,
// so a stale handle is recognised.
class Configurations {
public:
    // The context for `adapter`'s initialize handler.
    NDIS_HANDLE context_for(Adapter& adapter);
    // The adapter a context was made for; null when it is none of ours.
    Adapter* adapter_of(NDIS_HANDLE context) const;

    OpenConfig& open(Adapter& adapter);
    // The handle, open or closed; null when it is none of ours.
    OpenConfig* find(NDIS_HANDLE handle) const;
    void close(OpenConfig& handle);
    bool left_open(const Adapter& adapter) const;

    unsigned open_count() const { return open_count_; }  // open now
    unsigned opens() const { return opens_; }            // opened ever

private:
    struct Context {
        std::uint32_t magic = 0x43545854;  // "CTXT"
        Adapter* adapter = nullptr;
    };
    std::vector<std::unique_ptr<Context>> contexts_;
    std::vector<std::unique_ptr<OpenConfig>> handles_;
    unsigned open_count_ = 0;
    unsigned opens_ = 0;
};

}  // namespace sim

#endif  // SIM_CONFIG_H
