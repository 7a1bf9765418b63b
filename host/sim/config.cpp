// The wrapper's configuration operations: the handles opened with an
// adapter's configuration context, the keywords, the station-address
// override and the MCA POS data read through them, the processor count.
#include "sim/config.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "sim/host.h"

namespace sim {

bool same_keyword(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

NDIS_HANDLE Configurations::context_for(Adapter& adapter) {
    contexts_.push_back(std::make_unique<Context>());
    contexts_.back()->adapter = &adapter;
    return contexts_.back().get();
}

Adapter* Configurations::adapter_of(NDIS_HANDLE context) const {
    for (auto& c : contexts_)
        if (c.get() == context) return c->adapter;
    return nullptr;
}

OpenConfig& Configurations::open(Adapter& adapter) {
    handles_.push_back(std::make_unique<OpenConfig>());
    handles_.back()->adapter = &adapter;
    open_count_++;
    opens_++;
    return *handles_.back();
}

OpenConfig* Configurations::find(NDIS_HANDLE handle) const {
    for (auto& c : handles_)
        if (c.get() == handle) return c.get();
    return nullptr;
}

void Configurations::close(OpenConfig& handle) {
    handle.open = false;
    handle.params.clear();  // what was read is gone with the handle
    handle.address_copies.clear();
    open_count_--;
}

bool Configurations::left_open(const Adapter& adapter) const {
    for (auto& c : handles_)
        if (c->adapter == &adapter && c->open) return true;
    return false;
}

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

// The open configuration a handle names, or null with a problem.
OpenConfig* open_config(Host& host, NDIS_HANDLE handle, const char* operation) {
    OpenConfig* c = host.configurations().find(handle);
    if (!c) {
        host.problem(std::string(operation) + ": unknown configuration handle");
        return nullptr;
    }
    if (!c->open) {
        host.problem(std::string(operation) + ": configuration handle already closed");
        return nullptr;
    }
    return c;
}

// The adapter a wrapper configuration context was made for, or null with a problem.
Adapter* context_adapter(Host& host, NDIS_HANDLE context, const char* operation) {
    Adapter* a = host.configurations().adapter_of(context);
    if (!a) host.problem(std::string(operation) + ": unknown wrapper configuration context");
    return a;
}

}  // namespace
}  // namespace sim

using sim::Adapter;
using sim::Host;
using sim::OpenConfig;

extern "C" {

VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                    NDIS_HANDLE WrapperConfigurationContext) {
    Host& host = Host::current();
    Adapter* a = sim::context_adapter(host, WrapperConfigurationContext, "NdisOpenConfiguration");
    if (!a) {
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (a->config().fail.open_configuration) {
        *Status = a->config().fail_status;
        return;
    }
    *ConfigurationHandle = &host.configurations().open(*a);
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                    NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                    NDIS_PARAMETER_TYPE ParameterType) {
    *Status = NDIS_STATUS_FAILURE;
    OpenConfig* c = sim::open_config(Host::current(), ConfigurationHandle, "NdisReadConfiguration");
    if (!c) return;
    // A counted string: Length and MaximumLength in bytes, whole characters,
    // Length within MaximumLength.
    if (!Keyword || !Keyword->Buffer || Keyword->Length % sizeof(WCHAR) != 0 ||
        Keyword->MaximumLength < Keyword->Length) {
        Host::current().problem("NdisReadConfiguration: malformed keyword string");
        return;
    }
    const sim::AdapterConfig& config = c->adapter->config();
    std::string name = sim::narrow(Keyword);
    ULONG v = 0;
    bool found = false;
    if (ParameterType == NdisParameterInteger || ParameterType == NdisParameterHexInteger) {
        for (auto& [k, value] : config.keywords)
            if (sim::same_keyword(k, name)) {
                v = value;
                found = true;
            }
        if (!found)
            for (auto& [k, text] : config.text_keywords)
                if (sim::same_keyword(k, name)) found = sim::parse_text(text, ParameterType, &v);
    }
    c->adapter->note_config_read(sim::ConfigRead{name, ParameterType, found});
    if (!found) return;
    auto p = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    p->ParameterType = ParameterType;
    p->ParameterData.IntegerData = v;
    *ParameterValue = p.get();
    c->params.push_back(std::move(p));
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                     PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle) {
    *Status = NDIS_STATUS_FAILURE;
    OpenConfig* c = sim::open_config(Host::current(), ConfigurationHandle, "NdisReadNetworkAddress");
    if (!c) return;
    const auto& override_bytes = c->adapter->config().network_address;
    if (!override_bytes) return;
    std::size_t n = override_bytes->size();
    auto copy = std::make_unique<std::uint8_t[]>(n ? n : 1);
    if (n) std::memcpy(copy.get(), override_bytes->data(), n);
    *NetworkAddress = copy.get();
    *NetworkAddressLength = static_cast<UINT>(n);
    c->address_copies.push_back(std::move(copy));
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisReadMcaPosInformation(PNDIS_STATUS Status, NDIS_HANDLE WrapperConfigurationContext,
                                        PUINT /*ChannelNumber*/, PNDIS_MCA_POS_DATA McaData) {
    *Status = NDIS_STATUS_FAILURE;
    Adapter* a = sim::context_adapter(Host::current(), WrapperConfigurationContext,
                                      "NdisReadMcaPosInformation");
    if (!a || !a->config().pos) return;
    *McaData = *a->config().pos;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    Host& host = Host::current();
    OpenConfig* c = sim::open_config(host, ConfigurationHandle, "NdisCloseConfiguration");
    if (c) host.configurations().close(*c);
}

CCHAR NDIS_API NdisSystemProcessorCount(VOID) {
    return static_cast<CCHAR>(Host::current().processor_count());
}

}  // extern "C"
