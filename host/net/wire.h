// What the small IPv4 host (net/ipv4_host.h) and the ping client
// (net/ping.h) share: Ethernet and IPv4 figures, big-endian fields, the
// Internet checksum, the address rules, and the interface frames leave by.
//
// Freestanding C++17: no library beyond <stddef.h> and <stdint.h>, no heap,
// no exceptions or RTTI, no static constructors, no 64-bit division. The
// same files build into the host tool and into a bare-metal kernel. The
// compiler may still turn a copy loop or a structure copy into a call to
// memcpy, memset, memmove or memcmp: a kernel that links this code supplies
// those four, and nothing else (scripts/freestanding.sh checks it).
#ifndef NET_WIRE_H
#define NET_WIRE_H

#include <stddef.h>
#include <stdint.h>

namespace net {

using Nanos = uint64_t;  // the caller's clock, in nanoseconds
constexpr Nanos kNever = ~Nanos{0};
constexpr Nanos kMillisecond = 1000000;
constexpr Nanos kSecond = 1000 * kMillisecond;

// Ethernet, without FCS.
constexpr size_t kEthHeader = 14;   // destination, source, type
constexpr size_t kMaxFrame = 1514;  // bytes
constexpr size_t kMtu = 1500;       // bytes of IPv4 datagram in one frame
constexpr uint16_t kTypeIpv4 = 0x0800, kTypeArp = 0x0806, kTypeIpv6 = 0x86DD;
constexpr size_t kArpFrame = kEthHeader + 28;
constexpr size_t kIpHeader = 20;    // without options
constexpr uint8_t kIcmp = 1, kTcp = 6, kUdp = 17;

struct Mac {
    uint8_t b[6];
    bool group() const { return b[0] & 1; }  // multicast or broadcast
};
constexpr Mac kBroadcastMac{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
bool operator==(const Mac& x, const Mac& y);
inline bool operator!=(const Mac& x, const Mac& y) { return !(x == y); }

// IPv4 addresses are 32-bit numbers in host order: 198.18.0.2 is 0xC6120002.
constexpr uint32_t ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}
constexpr uint32_t subnet_mask(unsigned prefix) {  // prefix 0..32
    return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
}

// Why `a` can be no host's address whatever the subnet: "in 0.0.0.0/8
// (this network)", "a loopback address", "a multicast address" or
// "reserved or the broadcast address" (240.0.0.0/4); null when it can be.
const char* special_address(uint32_t a);
// Why `a` cannot be the address of a host on its subnet of `prefix` bits
// (1..32): a special address, or the subnet's network or broadcast address
// (subnets of 30 bits or fewer); null when it can.
const char* host_address_problem(uint32_t a, unsigned prefix);

// A frame leaves through a sink the caller implements: one whole Ethernet
// frame (destination, source, type, data; no FCS; at most 1514 bytes,
// perhaps fewer than 60, which the driver pads). The bytes are the
// sender's again once send returns. False: the frame was not taken. A sink
// must not call back into the host or the ping client that sends through it
// (hold frames that arrive meanwhile and hand them over afterwards).
// Not pure virtual, so that no runtime support (__cxa_pure_virtual) is
// needed; the default refuses every frame. A sink at namespace scope needs
// every member initialized (`unsigned sent = 0;`) to need no constructor run.
class FrameSink {
public:
    virtual bool send(const uint8_t* /*frame*/, size_t /*len*/) { return false; }

protected:
    FrameSink() = default;
    FrameSink(const FrameSink&) = default;
    FrameSink& operator=(const FrameSink&) = default;
    ~FrameSink() = default;
};

// Big-endian fields.
inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t get32(const uint8_t* p) { return uint32_t(get16(p)) << 16 | get16(p + 2); }
inline void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t* p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v);
}

void copy(uint8_t* to, const uint8_t* from, size_t n);
Mac mac_at(const uint8_t* p);
inline void put_mac(uint8_t* p, const Mac& m) { copy(p, m.b, 6); }

// A run of bytes; several make one payload.
struct Piece {
    const uint8_t* data;
    size_t len;
};

// The Internet checksum (ones' complement of the ones' complement sum of
// 16-bit words) over pieces taken as one run of bytes, of any lengths.
class Checksum {
public:
    void add(const uint8_t* p, size_t n);
    void add(const Piece* pieces, size_t count) {
        for (size_t i = 0; i < count; i++) add(pieces[i].data, pieces[i].len);
    }
    uint16_t value() const;  // 0 over data that holds its own correct checksum

private:
    uint32_t sum_ = 0;
    bool odd_ = false;  // a byte is waiting for its partner
};
uint16_t checksum(const uint8_t* p, size_t n);

}  // namespace net

#endif  // NET_WIRE_H
