// A ping client riding on an Ipv4Host (net/ipv4_host.h): it resolves the
// next hop's station by ARP (with retries), then sends ICMP echo requests
// of sizes spread over the whole Ethernet range, a few at a time, and
// checks every reply byte for byte. It shares the host's receive path
// (the host hands it ARP packets and echo replies) and its way out, so the
// host keeps answering ARP and echo requests for the same address: a peer
// can ping back while it runs.
//
//   net::Ipv4Host host;  net::Pinger ping;
//   host.start({mac, ip, 24}, sink);
//   ping.start(host, plan, now);           // attaches to the host
//   each frame:        host.receive(frame, len, now);
//   now and then:      host.poll(now);     // sends what is due; ping.due() says when
//   until ping.finished(), then ping.stats().
//
// Sizes: request i (from 0) carries payload_size(i) bytes after the 8-byte
// ICMP header: k = (73 * i) mod 200, size = 18 + k * 1454 / 199. So every
// 200 requests carry 200 different sizes from 18 (a 60-byte frame) to 1472
// (a 1514-byte frame), in a scattered order. Byte j of request with
// sequence number s is payload_byte(s, j).
// Memory: inside the object, 1,988 bytes in a 32-bit build. See net/wire.h for what a
// kernel must supply.
#ifndef NET_PING_H
#define NET_PING_H

#include <stddef.h>
#include <stdint.h>

#include "net/ipv4_host.h"
#include "net/wire.h"

namespace net {

struct PingPlan {
    uint32_t target = 0;   // the address pinged
    uint32_t gateway = 0;  // the next hop when the target is off our subnet (0: none)
    uint32_t count = 200;  // echo requests to send, at least 1
    uint16_t id = 0x4E32;  // ICMP identifier of our requests
    unsigned window = 1;   // requests out at once, 1..Pinger::kMaxWindow
    Nanos timeout = 1 * kSecond;  // a request with no reply by then is lost
    unsigned arp_tries = 5;       // ARP requests before giving up
    Nanos arp_interval = 500 * kMillisecond;
};

enum class PingState : uint8_t {
    Idle,        // not started
    Resolving,   // asking for the next hop's station
    Pinging,
    Done,        // every request answered or lost
    Unresolved,  // no ARP answer after every try: nothing was sent
};

struct PingStats {
    uint32_t arp_requests = 0;  // sent
    uint32_t sent = 0;          // echo requests
    uint32_t received = 0;      // replies whose payload was the request's
    uint32_t bad = 0;           // replies whose payload was not (other length or bytes)
    uint32_t lost = 0;          // no reply within the timeout
    uint32_t duplicates = 0;    // a further reply to a request already answered
    uint32_t late = 0;          // a reply after its request was counted lost
    uint32_t stray = 0;         // echo replies not to our requests (other source or identifier, unknown sequence)
    Nanos rtt_min = 0, rtt_max = 0, rtt_sum = 0;  // over the good replies (0 before any)
    Nanos rtt_avg() const;
};

class Pinger {
public:
    static constexpr unsigned kMaxWindow = 8;
    static constexpr size_t kMinPayload = 18, kMaxPayload = 1472;  // ICMP data bytes: frames of 60..1514
    static size_t payload_size(uint32_t index);
    static uint8_t payload_byte(uint16_t seq, size_t j);

    // Attaches to a started host and begins resolving the next hop (the
    // first ARP request leaves at the host's next poll). False, and
    // nothing changes, when the plan does not hold: the host not started,
    // the target no host address or our own, a target off the subnet
    // without a gateway on it, a count of 0, a window out of range, no
    // timeout or no ARP try.
    bool start(Ipv4Host& host, const PingPlan& plan, Nanos now);

    PingState state() const { return state_; }
    bool finished() const { return state_ == PingState::Done || state_ == PingState::Unresolved; }
    // When the next poll has something to do: 0 at once, kNever never.
    Nanos due() const;
    const PingStats& stats() const { return stats_; }
    const Mac& next_hop_mac() const { return next_hop_mac_; }

private:
    friend class Ipv4Host;
    struct Slot {
        bool used = false;
        uint16_t seq = 0;
        uint16_t size = 0;  // payload bytes
        Nanos sent_at = 0;
    };
    enum Fate : uint8_t { kUnsent, kOut, kAnswered, kLost };

    // From the host: an ARP sender (true: the next hop we wait for), an
    // echo reply (an ICMP message with a good checksum) from `src`.
    bool learn(const Mac& mac, uint32_t ip);
    void echo_reply(uint32_t src, const uint8_t* icmp, size_t len, Nanos now);
    void poll(Nanos now);
    void send_request(Slot& slot, Nanos now);
    void settle();  // Done once every request is sent and none is out

    // Every member starts as zero bytes, so that a client at namespace scope
    // lies in .bss and needs no constructor run (hence the plan's zeros).
    Ipv4Host* host_ = nullptr;
    PingPlan plan_{0, 0, 0, 0, 0, 0, 0, 0};
    PingState state_ = PingState::Idle;
    uint32_t next_hop_ = 0;
    Mac next_hop_mac_{};
    unsigned arp_left_ = 0;
    Nanos arp_next_ = 0;
    uint32_t next_index_ = 0;  // of the next request to send
    Slot slots_[kMaxWindow] = {};
    uint8_t fate_[256] = {};   // of the last 256 requests, by sequence number modulo 256
    PingStats stats_{};
    uint8_t body_[kMaxPayload] = {};
};

}  // namespace net

#endif  // NET_PING_H
