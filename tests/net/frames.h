// Frames for the IPv4 host's tests, built field by field, and what the host
// sent taken apart again (fragments put together, checksums checked).
#ifndef TESTS_NET_FRAMES_H
#define TESTS_NET_FRAMES_H

#include <cstdint>
#include <string>
#include <vector>

#include "net/ipv4_host.h"

namespace nettest {

using Bytes = std::vector<std::uint8_t>;
using net::Mac;

constexpr Mac kUs{{0x02, 0, 0, 0, 0, 0x01}}, kPeer{{0x02, 0, 0, 0, 0, 0x42}};
constexpr std::uint32_t kOurIp = net::ip4(198, 18, 0, 2), kPeerIp = net::ip4(198, 18, 0, 1);
constexpr unsigned kPrefix = 24;
inline net::HostConfig OurConfig() { return {kUs, kOurIp, kPrefix}; }

// An IPv4 header's fields; `frag` holds the flags (0x2000 more fragments)
// and the offset in 8-byte units; `options` bytes follow the 20.
struct Ip {
    std::uint32_t src = kPeerIp, dst = kOurIp;
    std::uint8_t protocol = net::kIcmp;
    std::uint16_t id = 0x1234;
    std::uint16_t frag = 0;
    std::size_t options = 0;  // a multiple of 4, at most 40
};

Bytes Pattern(std::size_t n, std::uint8_t seed);
Bytes Ether(const Mac& to, const Mac& from, std::uint16_t type, const Bytes& payload);
Bytes Arp(std::uint16_t op, const Mac& sender, std::uint32_t sender_ip, std::uint32_t target_ip,
          const Mac& to = net::kBroadcastMac);
// An IPv4 header (checksum filled in) and the payload.
Bytes Ipv4(const Ip& h, const Bytes& payload);
Bytes Icmp(std::uint8_t type, std::uint8_t code, std::uint16_t id, std::uint16_t seq, const Bytes& data);
Bytes Tcp(std::uint16_t from_port, std::uint16_t to_port, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
          std::size_t data = 0);
// One frame carrying a whole datagram.
Bytes Frame(const Ip& h, const Bytes& payload, const Mac& to = kUs, const Mac& from = kPeer);
// The datagram cut into fragments of `step` payload bytes (a multiple of 8),
// in order; the first keeps the options.
std::vector<Bytes> Fragments(const Ip& h, const Bytes& payload, std::size_t step, const Mac& to = kUs);

// A sink that keeps every frame, or refuses them.
struct Recorder : net::FrameSink {
    std::vector<Bytes> frames;
    bool refuse = false;
    bool send(const std::uint8_t* frame, std::size_t len) override;
};

// A datagram the host sent, its fragments put together; `fault` says what
// did not hold (a bad header checksum, a frame over 1514 bytes, fragments
// that do not fit).
struct Sent {
    Mac to{}, from{};
    std::uint32_t src = 0, dst = 0;
    std::uint8_t protocol = 0;
    Bytes payload;
    std::size_t frames = 0;
    std::string fault;
};
// The IPv4 datagrams in `frames` (other frames are skipped).
std::vector<Sent> Datagrams(const std::vector<Bytes>& frames);

}  // namespace nettest

#endif  // TESTS_NET_FRAMES_H
