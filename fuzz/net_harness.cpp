// The IPv4 host harness: any frames, raw or built with good checksums from
// the input's fields (so that the input reaches reassembly, ICMP, TCP and
// the ping client), at times the input chooses, to a host with a ping
// client riding on it. Every frame the host sends must be well formed,
// from us, and to an address a host may answer; the client's counts must
// add up.
#include <memory>
#include <string>
#include <vector>

#include "fuzz/harnesses.h"
#include "net/ipv4_host.h"
#include "net/ping.h"

namespace fuzz {

namespace net_input {  // apart from the other harnesses, built into one program with them

constexpr net::Mac kUs{{0x02, 0, 0, 0, 0, 0x01}}, kPeer{{0x02, 0, 0, 0, 0, 0x42}};
constexpr std::uint32_t kOurIp = net::ip4(198, 18, 0, 2), kPeerIp = net::ip4(198, 18, 0, 1);

struct Checker : net::FrameSink {
    std::string fault;
    std::size_t frames = 0;
    bool send(const std::uint8_t* f, std::size_t len) override {
        frames++;
        auto note = [&](const char* what) { fault += std::string(what) + "; "; };
        if (len < net::kEthHeader + 20 || len > net::kMaxFrame) return note("a frame of another length"), true;
        if (net::mac_at(f + 6) != kUs) note("a frame not from our station");
        const std::uint16_t type = net::get16(f + 12);
        const std::uint8_t* p = f + net::kEthHeader;
        if (type == net::kTypeArp) {
            if (len != net::kArpFrame || net::mac_at(p + 8) != kUs || net::get32(p + 14) != kOurIp)
                note("an ARP packet not about us");
            return true;
        }
        if (type != net::kTypeIpv4) return note("neither ARP nor IPv4"), true;
        if (f[0] & 1) note("a datagram to a group station");
        if (p[0] != 0x45 || net::checksum(p, 20) != 0 || net::get16(p + 2) + net::kEthHeader != len)
            note("a bad IPv4 header");
        if (net::get32(p + 12) != kOurIp) note("a datagram not from our address");
        const std::uint32_t dst = net::get32(p + 16);
        if (net::special_address(dst) || dst == net::ip4(198, 18, 0, 255)) note("a datagram to a source no host has");
        const bool whole = (net::get16(p + 6) & 0x3FFF) == 0;
        if (whole && p[9] == net::kIcmp && net::checksum(p + 20, len - 34) != 0) note("an ICMP message with a bad checksum");
        return true;
    }
};

struct Reader {
    const std::uint8_t* data;
    std::size_t size, pos = 0;
    bool empty() const { return pos >= size; }
    std::uint8_t u8() { return pos < size ? data[pos++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
};

// A frame to us built from the input's fields, its checksums right.
std::vector<std::uint8_t> Built(Reader& in) {
    const std::uint8_t shape = in.u8();
    const std::uint32_t sources[] = {kPeerIp, 0, net::ip4(127, 0, 0, 1), net::ip4(224, 0, 0, 5),
                                     net::ip4(255, 255, 255, 255), net::ip4(198, 18, 0, 255), net::ip4(10, 1, 2, 3),
                                     kOurIp};
    const std::uint8_t protocols[] = {net::kIcmp, net::kIcmp, net::kTcp, net::kUdp};
    const std::size_t options = (shape >> 5) * 4u;
    const std::size_t len = in.u16() % 1600;
    std::vector<std::uint8_t> f(14 + 20 + options);
    net::put_mac(&f[0], (shape & 0x10) ? net::kBroadcastMac : kUs);
    net::put_mac(&f[6], kPeer);
    net::put16(&f[12], net::kTypeIpv4);
    std::uint8_t* ip = &f[14];
    ip[0] = static_cast<std::uint8_t>(0x45 + options / 4);
    net::put16(ip + 2, static_cast<std::uint32_t>(20 + options + len));
    net::put16(ip + 4, in.u8());                 // few identifications: fragments meet
    net::put16(ip + 6, in.u16() & 0x3FFF);       // more-fragments flag and offset
    ip[8] = 64;
    ip[9] = protocols[shape & 3];
    net::put32(ip + 12, sources[(shape >> 2) & 3 ? 0 : in.u8() & 7]);
    net::put32(ip + 16, kOurIp);
    for (std::size_t i = 0; i < len; i++) f.push_back(in.u8());
    ip = &f[14];  // the vector has grown
    if (ip[9] == net::kIcmp && len >= 8 && !(net::get16(ip + 6) & 0x3FFF)) {  // a whole message: checksum it
        std::uint8_t* m = &f[14 + 20 + options];
        net::put16(m + 2, 0);
        net::put16(m + 2, net::checksum(m, len));
    }
    net::put16(ip + 10, net::checksum(ip, 20 + options));
    return f;
}

}  // namespace net_input

std::string NetInput(const std::uint8_t* data, std::size_t size) {
    using net_input::kOurIp;
    using net_input::kPeerIp;
    using net_input::kUs;
    net_input::Reader in{data, size};
    const std::uint8_t mode = in.u8();
    net_input::Checker sink;
    auto host = std::make_unique<net::Ipv4Host>();
    net::Pinger ping;
    if (!host->start({kUs, kOurIp, 24}, sink)) return "the host did not start";
    net::PingPlan plan;
    plan.target = kPeerIp;
    plan.count = 1 + (mode & 15);
    plan.window = 1 + ((mode >> 4) & 7);
    plan.timeout = 50 * net::kMillisecond;
    if (!ping.start(*host, plan, 0)) return "the ping client did not start";
    net::Nanos now = 0;
    std::uint64_t fed = 0;
    for (unsigned k = 0; k < 200 && !in.empty(); k++) {
        const std::uint8_t op = in.u8();
        std::vector<std::uint8_t> f;
        if (op & 1) {
            f = net_input::Built(in);
        } else {
            const std::size_t n = in.u16() % 2048;
            for (std::size_t i = 0; i < n && !in.empty(); i++) f.push_back(in.u8());
        }
        now += (op >> 1) * (op & 0x80 ? net::kSecond : net::kMillisecond);
        host->receive(f.data(), f.size(), now);
        fed++;
        host->poll(now);
    }
    for (int i = 0; i < 64 && !ping.finished(); i++) host->poll(now += net::kSecond);  // the client finishes
    std::string out = sink.fault;
    const net::PingStats& s = ping.stats();
    if (host->stats().received != fed) out += "frames received miscounted; ";
    if (!ping.finished()) out += "the ping client never finished; ";
    if (s.received + s.bad + s.lost != s.sent) out += "requests sent do not add up; ";
    if (s.sent > plan.count) out += "more requests than planned; ";
    return out;
}

}  // namespace fuzz
