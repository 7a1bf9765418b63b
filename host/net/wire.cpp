#include "net/wire.h"

namespace net {

bool operator==(const Mac& x, const Mac& y) {
    for (int i = 0; i < 6; i++)
        if (x.b[i] != y.b[i]) return false;
    return true;
}

const char* special_address(uint32_t a) {
    const uint32_t first = a >> 24;
    if (first == 0) return "in 0.0.0.0/8 (this network)";
    if (first == 127) return "a loopback address";
    if (first >= 240) return "reserved or the broadcast address";
    if (first >= 224) return "a multicast address";
    return nullptr;
}

const char* host_address_problem(uint32_t a, unsigned prefix) {
    if (const char* why = special_address(a)) return why;
    if (prefix <= 30) {
        const uint32_t host_bits = ~subnet_mask(prefix);
        if ((a & host_bits) == 0) return "the subnet's network address";
        if ((a & host_bits) == host_bits) return "the subnet's broadcast address";
    }
    return nullptr;
}

void copy(uint8_t* to, const uint8_t* from, size_t n) {
    for (size_t i = 0; i < n; i++) to[i] = from[i];
}

Mac mac_at(const uint8_t* p) {
    Mac m;
    copy(m.b, p, 6);
    return m;
}

void Checksum::add(const uint8_t* p, size_t n) {
    size_t i = 0;
    if (odd_ && n) {  // the low half of the word a previous piece began
        sum_ += p[i++];
        odd_ = false;
    }
    for (; i + 1 < n; i += 2) {
        sum_ += get16(p + i);
        if (sum_ & 0x80000000u) sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    }
    if (i < n) {
        sum_ += uint32_t(p[i]) << 8;
        odd_ = true;
    }
    sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
}

uint16_t Checksum::value() const {
    uint32_t s = sum_;
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<uint16_t>(~s);
}

uint16_t checksum(const uint8_t* p, size_t n) {
    Checksum c;
    c.add(p, n);
    return c.value();
}

}  // namespace net
