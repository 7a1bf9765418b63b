// The adapter's configuration, as the kernel command line gives it: the
// keywords the driver reads through NdisReadConfiguration (matched without
// regard to case, as registry names are) and the station-address override
// it reads through NdisReadNetworkAddress. A keyword not given is absent,
// and the driver keeps its default.
#ifndef METAL_CONFIG_H
#define METAL_CONFIG_H

#include <cstdint>

namespace metal {

// Gives `keyword` the value; false when the table is full.
bool config_set(const char* keyword, std::uint32_t value);
// The station-address override (any length: the driver takes 6 bytes only).
void config_set_network_address(const std::uint8_t* bytes, unsigned length);
// The value given for `keyword`, or `otherwise`.
std::uint32_t config_get(const char* keyword, std::uint32_t otherwise);
// Prints what was given, one line.
void config_print();

}  // namespace metal

#endif  // METAL_CONFIG_H
