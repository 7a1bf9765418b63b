#include "tests/net/frames.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace nettest {

using net::put16;
using net::put32;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; i++) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

Bytes Ether(const Mac& to, const Mac& from, std::uint16_t type, const Bytes& payload) {
    Bytes f(14);
    net::put_mac(&f[0], to);
    net::put_mac(&f[6], from);
    put16(&f[12], type);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes Arp(std::uint16_t op, const Mac& sender, std::uint32_t sender_ip, std::uint32_t target_ip, const Mac& to) {
    Bytes a(28);
    put16(&a[0], 1);
    put16(&a[2], net::kTypeIpv4);
    a[4] = 6;
    a[5] = 4;
    put16(&a[6], op);
    net::put_mac(&a[8], sender);
    put32(&a[14], sender_ip);
    put32(&a[24], target_ip);
    return Ether(to, sender, net::kTypeArp, a);
}

Bytes Ipv4(const Ip& h, const Bytes& payload) {
    const std::size_t ihl = 20 + h.options;
    Bytes d(ihl);
    d[0] = static_cast<std::uint8_t>(0x40 | ihl / 4);
    put16(&d[2], static_cast<std::uint32_t>(ihl + payload.size()));
    put16(&d[4], h.id);
    put16(&d[6], h.frag);
    d[8] = 64;
    d[9] = h.protocol;
    put32(&d[12], h.src);
    put32(&d[16], h.dst);
    for (std::size_t i = 20; i < ihl; i++) d[i] = 1;  // no-operation options
    put16(&d[10], net::checksum(d.data(), ihl));
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

Bytes Icmp(std::uint8_t type, std::uint8_t code, std::uint16_t id, std::uint16_t seq, const Bytes& data) {
    Bytes m{type, code, 0, 0, 0, 0, 0, 0};
    put16(&m[4], id);
    put16(&m[6], seq);
    m.insert(m.end(), data.begin(), data.end());
    put16(&m[2], net::checksum(m.data(), m.size()));
    return m;
}

Bytes Tcp(std::uint16_t from_port, std::uint16_t to_port, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
          std::size_t data) {
    Bytes s(20 + data, 0x61);
    put16(&s[0], from_port);
    put16(&s[2], to_port);
    put32(&s[4], seq);
    put32(&s[8], ack);
    s[12] = 5 << 4;
    s[13] = flags;
    put16(&s[14], 8192);
    put16(&s[16], 0);  // the host does not check it
    put16(&s[18], 0);
    return s;
}

Bytes Frame(const Ip& h, const Bytes& payload, const Mac& to, const Mac& from) {
    return Ether(to, from, net::kTypeIpv4, Ipv4(h, payload));
}

std::vector<Bytes> Fragments(const Ip& h, const Bytes& payload, std::size_t step, const Mac& to) {
    std::vector<Bytes> out;
    for (std::size_t at = 0; at < payload.size(); at += step) {
        const std::size_t n = std::min(step, payload.size() - at);
        Ip f = h;
        f.frag = static_cast<std::uint16_t>((at + n < payload.size() ? 0x2000 : 0) | at / 8);
        if (at) f.options = 0;
        out.push_back(Frame(f, Bytes(payload.begin() + at, payload.begin() + at + n), to));
    }
    return out;
}

bool Recorder::send(const std::uint8_t* frame, std::size_t len) {
    if (refuse) return false;
    frames.emplace_back(frame, frame + len);
    return true;
}

std::vector<Sent> Datagrams(const std::vector<Bytes>& frames) {
    std::vector<Sent> out;
    std::map<std::tuple<std::uint32_t, std::uint16_t>, std::size_t> open;  // (dst, id) -> index in out
    for (const Bytes& f : frames) {
        if (f.size() < 34 || net::get16(&f[12]) != net::kTypeIpv4) continue;
        const std::uint8_t* ip = &f[14];
        const std::uint16_t frag = net::get16(ip + 6), total = net::get16(ip + 2);
        const auto key = std::make_tuple(net::get32(ip + 16), net::get16(ip + 4));
        auto it = open.find(key);
        if (it == open.end()) {
            Sent s;
            s.to = net::mac_at(&f[0]);
            s.from = net::mac_at(&f[6]);
            s.src = net::get32(ip + 12);
            s.dst = net::get32(ip + 16);
            s.protocol = ip[9];
            out.push_back(s);
            it = open.emplace(key, out.size() - 1).first;
        }
        Sent& s = out[it->second];
        s.frames++;
        if (f.size() > net::kMaxFrame) s.fault += "frame over 1514 bytes; ";
        if (ip[0] != 0x45 || net::checksum(ip, 20) != 0) s.fault += "bad IPv4 header; ";
        if (total < 20 || 14u + total > f.size()) s.fault += "bad total length; ";
        if ((frag & 0x1FFF) * 8u != s.payload.size()) s.fault += "fragment out of place; ";
        if (total >= 20 && 14u + total <= f.size()) s.payload.insert(s.payload.end(), ip + 20, ip + total);
        if (!(frag & 0x2000)) open.erase(it);
    }
    for (auto& [key, index] : open) out[index].fault += "last fragment missing; ";
    return out;
}

}  // namespace nettest
