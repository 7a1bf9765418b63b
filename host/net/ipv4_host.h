// A small IPv4 host for one Ethernet adapter: it answers ARP requests and
// ICMP echo requests for its address (reassembling fragmented requests and
// fragmenting large replies), answers UDP with ICMP port unreachable, TCP
// with a reset and other protocols with ICMP protocol unreachable, and
// counts what it ignores by kind. A ping client (net/ping.h) may ride on it,
// sharing its receive path, its address and its way out.
//
// Driven by the caller, single-threaded and not reentrant: receive() takes
// each whole frame from the wire, poll() lets time pass (incomplete
// datagrams expire, the ping client sends what is due), and every frame
// leaves through the caller's FrameSink before the call returns.
//
// Bounds (all memory is inside the object: 268,264 bytes in a 32-bit
// build; nothing is allocated):
//   - kPartials datagrams (4) can be in reassembly at once, each up to
//     kMaxDatagram bytes (65,535) with its header; a fifth evicts the one
//     begun longest ago. An incomplete datagram expires kReassemblyTimeout
//     (30 s) after its first fragment.
//   - Replies larger than one frame leave in fragments of 1,480 bytes, up
//     to 45 frames for the largest datagram.
//   - An ICMP error quotes the datagram's header and as much of its payload
//     as fits a 576-byte datagram.
// See net/wire.h for what a kernel must supply.
#ifndef NET_IPV4_HOST_H
#define NET_IPV4_HOST_H

#include <stddef.h>
#include <stdint.h>

#include "net/wire.h"

namespace net {

class Pinger;

// What the host ignores, by kind. The names (ignored_name) are what the
// tool prints and its tests read.
enum class Ignored : uint8_t {
    ArpNotForUs,         // "arp_not_for_us": not a request for our address
    BadChecksum,         // "bad_checksum": IPv4 header or ICMP message
    BadSource,           // "bad_source": from 0/8, 127/8, 224/4, 240/4, the subnet's broadcast, or a group MAC
    FragmentsExpired,    // "fragments_expired": a datagram never completed (timed out or evicted)
    IcmpNotEchoRequest,  // "icmp_not_echo_request"
    Ipv4NotForUs,        // "ipv4_not_for_us": to another address (broadcast and multicast included)
    Ipv6,                // "ipv6"
    LinkBroadcast,       // "link_broadcast": would be answered with an ICMP error or a reset, but came as a
                         //   link-layer broadcast or multicast, which such answers never go to
    Malformed,           // "malformed": lengths or fields that do not hold together
    OtherEthertype,      // "other_ethertype"
    TcpResetReceived,    // "tcp_reset_received": a reset is never answered
    Count
};
constexpr size_t kIgnoredKinds = static_cast<size_t>(Ignored::Count);
const char* ignored_name(Ignored kind);

struct HostStats {
    uint64_t received = 0;  // frames handed to receive()
    uint64_t arp_replies = 0;
    uint64_t echo_replies = 0;
    uint64_t reassembled = 0;  // datagrams put together from fragments
    uint64_t port_unreachable = 0;
    uint64_t protocol_unreachable = 0;
    uint64_t tcp_resets = 0;
    uint64_t send_failures = 0;  // frames the sink did not take
    uint64_t ignored[kIgnoredKinds] = {};
    uint64_t count(Ignored kind) const { return ignored[static_cast<size_t>(kind)]; }
};

struct HostConfig {
    Mac mac;          // the adapter's station address
    uint32_t ip;      // our address (net::ip4(...))
    unsigned prefix;  // of the subnet, 1..32
};

class Ipv4Host {
public:
    static constexpr size_t kPartials = 4;
    static constexpr size_t kMaxDatagram = 65535;  // bytes, header included
    static constexpr size_t kMaxPayload = kMaxDatagram - kIpHeader;
    static constexpr Nanos kReassemblyTimeout = 30 * kSecond;

    // Takes the address and the way out; false (and nothing changes) when
    // `config.ip` is no host address on its subnet. Once started, the host
    // answers at once: it keeps no cache and needs no announcement.
    bool start(const HostConfig& config, FrameSink& sink);
    bool started() const { return sink_ != nullptr; }

    // One whole frame from the wire (destination, source, type, data; no
    // FCS), any length, at `now`. Replies leave through the sink before it
    // returns.
    void receive(const uint8_t* frame, size_t len, Nanos now);
    // Time passes: incomplete datagrams expire, the ping client sends what
    // is due.
    void poll(Nanos now);

    const HostStats& stats() const { return stats_; }
    const HostConfig& config() const { return config_; }

    // Sends `count` pieces (together the payload) to `dst` through the
    // station `to` as one datagram of `protocol`, in as many fragments as
    // the MTU needs; the payload is at most kMaxPayload bytes. False when a
    // frame was not taken.
    bool send_ip(const Mac& to, uint32_t dst, uint8_t protocol, const Piece* pieces, size_t count);
    // An ARP request (op 1, to the broadcast address) or reply (op 2) to
    // the station `to` about `target_ip`.
    bool send_arp(uint16_t op, const Mac& to, uint32_t target_ip);

private:
    friend class Pinger;

    // A whole datagram as it arrived: the frame's source station, whether
    // the frame went to a group address, the IPv4 header, the payload.
    struct Datagram {
        Mac from;
        bool link_group;
        const uint8_t* header;
        size_t header_len;
        const uint8_t* payload;
        size_t len;
    };
    // A datagram arriving in fragments, keyed by source, identification
    // and protocol. Payload is tracked in 8-byte blocks (the fragment
    // offset's unit): every fragment but the last covers whole blocks.
    struct Partial {
        bool used = false;
        bool link_group = false;
        uint8_t protocol = 0;
        uint16_t id = 0;
        uint32_t src = 0;
        Nanos started = 0;
        size_t header_len = 0;  // 0 until the first fragment came
        size_t total = 0;       // payload bytes, once the last fragment came
        bool have_total = false;
        size_t extent = 0;      // end of the furthest fragment so far
        size_t blocks = 0;      // 8-byte blocks covered
        uint8_t header[60] = {};
        uint8_t covered[(kMaxPayload / 8 + 1 + 7) / 8] = {};  // a bit per block
        uint8_t data[kMaxPayload] = {};
    };

    void ignore(Ignored kind) { stats_.ignored[static_cast<size_t>(kind)]++; }
    bool source_ok(uint32_t src) const;
    void arp(const uint8_t* f, size_t len);
    void ipv4(const uint8_t* f, size_t len);
    void reassemble(const Datagram& d, uint16_t fragment);
    Partial* partial_for(uint32_t src, uint16_t id, uint8_t protocol);
    void expire();
    void datagram(const Datagram& d);
    void icmp(const Datagram& d);
    void icmp_error(const Datagram& d, uint8_t code);
    void tcp_reset(const Datagram& d);
    bool send_frame(size_t len);

    // Every member starts as zero bytes, so that a host at namespace scope
    // lies in .bss and needs no constructor run.
    HostConfig config_{};
    FrameSink* sink_ = nullptr;
    Pinger* pinger_ = nullptr;
    Nanos now_ = 0;
    uint16_t next_id_ = 0;  // identification of the next datagram sent
    HostStats stats_{};
    uint8_t frame_[kMaxFrame] = {};
    Partial partials_[kPartials] = {};
};

}  // namespace net

#endif  // NET_IPV4_HOST_H
