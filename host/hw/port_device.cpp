#include "hw/port_device.h"

#include <cstdio>
#include <cstring>

namespace hw {

void PortDevice::read8_string(std::uint32_t offset, std::uint8_t* dst, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; i++) dst[i] = read8(offset);
}
void PortDevice::read16_string(std::uint32_t offset, std::uint16_t* dst, std::uint32_t count) {
    // The buffer may be unaligned (a driver passes any byte address).
    for (std::uint32_t i = 0; i < count; i++) {
        std::uint16_t w = read16(offset);
        std::memcpy(dst + i, &w, sizeof w);
    }
}
void PortDevice::write8_string(std::uint32_t offset, const std::uint8_t* src, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; i++) write8(offset, src[i]);
}
void PortDevice::write16_string(std::uint32_t offset, const std::uint16_t* src, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; i++) {
        std::uint16_t w;
        std::memcpy(&w, src + i, sizeof w);
        write16(offset, w);
    }
}

void PortDevice::describe_to(std::string& out, std::uint32_t offset, bool write, unsigned width,
                             std::uint32_t value) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "+0x%02X %s 0x%0*X", offset, write ? "=" : "->",
                  width == 16 ? 4 : 2, value);
    out += buf;
}

}  // namespace hw
