// The wrapper's configuration operations over the command line's keywords:
// NdisOpenConfiguration, NdisReadConfiguration, NdisReadNetworkAddress,
// NdisReadMcaPosInformation (there is no MCA bus here), NdisCloseConfiguration,
// NdisSystemProcessorCount.
#include "metal/config.h"

#include "metal/console.h"
#include "metal/state.h"

namespace metal {

namespace {

constexpr unsigned kMaxKeywords = 16;
constexpr unsigned kMaxReads = 16;  // parameters handed out per open handle

struct Keyword {
    char name[40];
    std::uint32_t value;
};
Keyword keywords[kMaxKeywords];
unsigned keyword_count = 0;

std::uint8_t network_address[16];
unsigned network_address_length = 0;
bool network_address_given = false;

// One open configuration handle at a time: the driver opens, reads, closes.
struct OpenConfiguration {
    bool open = false;
    NDIS_CONFIGURATION_PARAMETER reads[kMaxReads] = {};
    unsigned read_count = 0;
    std::uint8_t address[16] = {};
};
OpenConfiguration handle;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_keyword(const char* name, const NDIS_STRING& s) {
    unsigned n = s.Length / sizeof(WCHAR);
    for (unsigned i = 0; i < n; i++) {
        WCHAR c = s.Buffer[i];
        if (!name[i] || c >= 0x80 || lower(static_cast<char>(c)) != lower(name[i])) return false;
    }
    return name[n] == 0;
}

bool check_handle(NDIS_HANDLE h, const char* operation) {
    if (h == &handle && handle.open) return true;
    wrapper_problem("%s: not an open configuration handle", operation);
    return false;
}

Keyword* find(const char* keyword) {
    for (unsigned i = 0; i < keyword_count; i++) {
        const char* a = keywords[i].name;
        const char* b = keyword;
        while (*a && lower(*a) == lower(*b)) a++, b++;
        if (!*a && !*b) return &keywords[i];
    }
    return nullptr;
}

}  // namespace

std::uint32_t config_get(const char* keyword, std::uint32_t otherwise) {
    const Keyword* k = find(keyword);
    return k ? k->value : otherwise;
}

bool config_set(const char* keyword, std::uint32_t value) {
    Keyword* k = find(keyword);
    if (!k) {
        if (keyword_count == kMaxKeywords) return false;
        k = &keywords[keyword_count++];
        unsigned n = 0;
        for (; keyword[n] && n + 1 < sizeof k->name; n++) k->name[n] = keyword[n];
        k->name[n] = 0;
    }
    k->value = value;
    return true;
}

void config_set_network_address(const std::uint8_t* bytes, unsigned length) {
    if (length > sizeof network_address) length = sizeof network_address;
    for (unsigned i = 0; i < length; i++) network_address[i] = bytes[i];
    network_address_length = length;
    network_address_given = true;
}

void config_print() {
    print("configuration:");
    if (!keyword_count && !network_address_given) print(" none given, the driver's defaults");
    for (unsigned i = 0; i < keyword_count; i++) print(" %s=0x%x", keywords[i].name, keywords[i].value);
    if (network_address_given) {
        print(" NetworkAddress=");
        for (unsigned i = 0; i < network_address_length; i++) print("%s%02x", i ? ":" : "", network_address[i]);
    }
    print("\n");
}

bool config_left_open() { return handle.open; }

}  // namespace metal

using namespace metal;

extern "C" {

VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                    NDIS_HANDLE WrapperConfigurationContext) {
    if (!state.initializing || !WrapperConfigurationContext) {
        wrapper_problem("NdisOpenConfiguration outside initialize");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (handle.open) wrapper_problem("NdisOpenConfiguration: a handle is open already");
    handle.open = true;
    handle.read_count = 0;
    *ConfigurationHandle = &handle;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                    NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                    NDIS_PARAMETER_TYPE ParameterType) {
    *Status = NDIS_STATUS_FAILURE;
    if (!check_handle(ConfigurationHandle, "NdisReadConfiguration")) return;
    if (!Keyword || !Keyword->Buffer || Keyword->Length % sizeof(WCHAR) || Keyword->MaximumLength < Keyword->Length) {
        wrapper_problem("NdisReadConfiguration: malformed keyword string");
        return;
    }
    if (ParameterType != NdisParameterInteger && ParameterType != NdisParameterHexInteger) return;
    for (unsigned i = 0; i < keyword_count; i++) {
        if (!same_keyword(keywords[i].name, *Keyword)) continue;
        if (handle.read_count == kMaxReads) {
            wrapper_problem("NdisReadConfiguration: more reads on one handle than the wrapper keeps");
            return;
        }
        NDIS_CONFIGURATION_PARAMETER* p = &handle.reads[handle.read_count++];
        p->ParameterType = ParameterType;
        p->ParameterData.IntegerData = keywords[i].value;
        *ParameterValue = p;
        *Status = NDIS_STATUS_SUCCESS;
        return;
    }
}

VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                                     NDIS_HANDLE ConfigurationHandle) {
    *Status = NDIS_STATUS_FAILURE;
    if (!check_handle(ConfigurationHandle, "NdisReadNetworkAddress") || !network_address_given) return;
    for (unsigned i = 0; i < network_address_length; i++) handle.address[i] = network_address[i];
    *NetworkAddress = handle.address;
    *NetworkAddressLength = network_address_length;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisReadMcaPosInformation(PNDIS_STATUS Status, NDIS_HANDLE, PUINT, PNDIS_MCA_POS_DATA) {
    *Status = NDIS_STATUS_FAILURE;  // a PC emulator has no MCA bus
}

VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    if (!check_handle(ConfigurationHandle, "NdisCloseConfiguration")) return;
    handle.open = false;
}

CCHAR NDIS_API NdisSystemProcessorCount(VOID) { return 1; }

}  // extern "C"
