// A small IPv4 host above the driver, for the TAP bridge: it answers ARP
// requests and ICMP echo requests for its address (reassembling fragmented
// requests and fragmenting large replies), answers UDP with ICMP port
// unreachable, TCP with a reset and other protocols with ICMP protocol
// unreachable, and counts what it ignores by kind.
#ifndef TOOLS_IPV4_HOST_H
#define TOOLS_IPV4_HOST_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/host.h"

namespace ne2k_tool {

using Ipv4 = std::array<std::uint8_t, 4>;

class Ipv4Host : public sim::Protocol {
public:
    struct Stats {
        std::uint64_t received = 0;  // frames indicated to it
        std::uint64_t arp_replies = 0;
        std::uint64_t echo_replies = 0;
        std::uint64_t reassembled = 0;  // datagrams put together from fragments
        std::uint64_t port_unreachable = 0;
        std::uint64_t protocol_unreachable = 0;
        std::uint64_t tcp_resets = 0;
        std::uint64_t send_failures = 0;
        std::map<std::string, std::uint64_t> ignored;  // by kind: "ipv6", "bad_checksum" ...
    };

    // `clock` times out incomplete datagrams.
    Ipv4Host(const sim::MacAddress& mac, const Ipv4& ip, sim::Host& clock);
    const Stats& stats() const { return stats_; }

    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                    NDIS_HANDLE receive_context) override;
    void on_send_complete(sim::Adapter& adapter, NDIS_PACKET* packet, NDIS_STATUS status) override;

private:
    using Bytes = std::vector<std::uint8_t>;
    // A datagram arriving in fragments, keyed by source, identification and protocol.
    struct Partial {
        std::array<std::uint8_t, 4> src;
        std::uint16_t id;
        std::uint8_t protocol;
        Bytes header;  // of the first fragment
        Bytes data;    // payload so far
        std::vector<bool> have;
        std::size_t covered = 0;
        std::size_t total = 0;  // payload bytes, once the last fragment came (0: not yet)
        sim::Nanos started;
    };

    void ignore(const char* kind) { stats_.ignored[kind]++; }
    void arp(sim::Adapter& a, const Bytes& f);
    void ipv4(sim::Adapter& a, const Bytes& f);
    // A whole datagram: its header, its payload.
    void datagram(sim::Adapter& a, const std::uint8_t* mac, const Bytes& header, const Bytes& payload);
    bool reassemble(const Bytes& header, const std::uint8_t* payload, std::size_t len, Bytes& whole_header,
                    Bytes& whole);
    void icmp_error(sim::Adapter& a, const std::uint8_t* mac, std::uint8_t code, const Bytes& header,
                    const Bytes& payload);
    void tcp_reset(sim::Adapter& a, const std::uint8_t* mac, const Bytes& header, const Bytes& payload);
    // Sends `payload` to `dst` in as many fragments as the 1500-byte MTU needs.
    void send_ip(sim::Adapter& a, const std::uint8_t* mac, const std::uint8_t* dst, std::uint8_t protocol,
                 const Bytes& payload);
    void send(sim::Adapter& a, Bytes frame);

    sim::MacAddress mac_;
    Ipv4 ip_;
    sim::Host& clock_;
    Stats stats_;
    std::uint16_t next_id_ = 1;
    std::deque<Partial> partials_;
    std::map<NDIS_PACKET*, std::unique_ptr<sim::Packet>> packets_;
};

}  // namespace ne2k_tool

#endif  // TOOLS_IPV4_HOST_H
