#include "tools/ipv4_host.h"

#include <algorithm>
#include <cstring>

#include "hw/ethernet.h"

namespace ne2k_tool {

namespace {

constexpr std::size_t kMtu = 1500;
constexpr std::size_t kMaxDatagram = 65535;
constexpr std::size_t kMaxPartials = 8;
constexpr sim::Nanos kReassemblyTimeout = 30ull * 1000 * 1000 * 1000;  // 30 s
constexpr std::size_t kIcmpErrorQuote = 576 - 20 - 8;  // the error fits a 576-byte datagram
enum : std::uint8_t { kIcmp = 1, kTcp = 6, kUdp = 17 };

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// The Internet checksum: ones' complement of the ones' complement sum of
// 16-bit words, over several pieces taken as one run of bytes (each piece
// but the last of even length).
std::uint16_t checksum(std::initializer_list<std::pair<const std::uint8_t*, std::size_t>> pieces) {
    std::uint32_t sum = 0;
    for (auto [p, len] : pieces) {
        for (std::size_t i = 0; i + 1 < len; i += 2) sum += get16(p + i);
        if (len & 1) sum += static_cast<std::uint32_t>(p[len - 1]) << 8;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

Ipv4Host::Ipv4Host(const sim::MacAddress& mac, const Ipv4& ip, sim::Host& clock) : mac_(mac), ip_(ip), clock_(clock) {}

void Ipv4Host::on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                          const std::uint8_t*, unsigned, unsigned packet_size, NDIS_HANDLE) {
    Bytes f(header, header + header_size);
    sim::Packet data = sim::Packet::zeroed(packet_size);
    UINT got = 0;
    if (adapter.transfer_data(data, 0, packet_size, &got) != NDIS_STATUS_SUCCESS) return;
    auto d = data.contents();
    f.insert(f.end(), d.begin(), d.begin() + got);
    stats_.received++;
    if (f.size() < hw::kHeaderBytes) return ignore("malformed");
    std::uint16_t type = get16(&f[12]);
    if (type == 0x0806) arp(adapter, f);
    else if (type == 0x0800) ipv4(adapter, f);
    else if (type == 0x86DD) ignore("ipv6");
    else ignore("other_ethertype");
}

void Ipv4Host::on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) {
    if (status != NDIS_STATUS_SUCCESS) stats_.send_failures++;
    packets_.erase(packet);
}

void Ipv4Host::send(sim::Adapter& adapter, Bytes bytes) {
    auto p = std::make_unique<sim::Packet>(bytes);
    NDIS_PACKET* key = p->get();
    packets_[key] = std::move(p);
    (void)adapter.send(key, 0, this);  // completes through on_send_complete
}

void Ipv4Host::arp(sim::Adapter& adapter, const Bytes& f) {
    if (f.size() < 42) return ignore("malformed");
    const std::uint8_t* a = &f[14];
    if (get16(a) != 1 || get16(a + 2) != 0x0800 || a[4] != 6 || a[5] != 4) return ignore("malformed");
    if (get16(a + 6) != 1 || std::memcmp(a + 24, ip_.data(), 4) != 0) return ignore("arp_not_for_us");
    Bytes r(42);
    std::memcpy(&r[0], a + 8, 6);  // to the asker
    std::memcpy(&r[6], mac_.data(), 6);
    put16(&r[12], 0x0806);
    std::uint8_t* b = &r[14];
    put16(b, 1);
    put16(b + 2, 0x0800);
    b[4] = 6;
    b[5] = 4;
    put16(b + 6, 2);                     // reply
    std::memcpy(b + 8, mac_.data(), 6);  // sender: us
    std::memcpy(b + 14, ip_.data(), 4);
    std::memcpy(b + 18, a + 8, 6);       // target: the asker
    std::memcpy(b + 24, a + 14, 4);
    stats_.arp_replies++;
    send(adapter, std::move(r));
}

void Ipv4Host::ipv4(sim::Adapter& adapter, const Bytes& f) {
    if (f.size() < 14 + 20) return ignore("malformed");
    const std::uint8_t* ip = &f[14];
    std::size_t ihl = (ip[0] & 0x0F) * 4u;
    std::size_t total = get16(ip + 2);
    if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl || 14 + total > f.size()) return ignore("malformed");
    if (checksum({{ip, ihl}}) != 0) return ignore("bad_checksum");
    if (std::memcmp(ip + 16, ip_.data(), 4) != 0) return ignore("ipv4_not_for_us");
    Bytes header(ip, ip + ihl);
    Bytes payload(ip + ihl, ip + total);
    if ((get16(ip + 6) & 0x3FFF) == 0) return datagram(adapter, &f[6], header, payload);
    Bytes whole_header, whole;
    if (reassemble(header, payload.data(), payload.size(), whole_header, whole)) {
        stats_.reassembled++;
        datagram(adapter, &f[6], whole_header, whole);
    }
}

// Adds a fragment; true (with the datagram) when it completes one.
bool Ipv4Host::reassemble(const Bytes& h, const std::uint8_t* payload, std::size_t len, Bytes& whole_header,
                          Bytes& whole) {
    const sim::Nanos now = clock_.now();
    while (!partials_.empty() && now - partials_.front().started > kReassemblyTimeout) {
        partials_.pop_front();
        ignore("fragments_expired");
    }
    std::uint16_t id = get16(&h[4]);
    std::size_t offset = (get16(&h[6]) & 0x1FFF) * 8u;
    bool more = get16(&h[6]) & 0x2000;
    if (offset + len > kMaxDatagram - h.size() || (more && len % 8)) {
        ignore("malformed");
        return false;
    }
    auto it = std::find_if(partials_.begin(), partials_.end(), [&](const Partial& p) {
        return std::equal(p.src.begin(), p.src.end(), &h[12]) && p.id == id && p.protocol == h[9];
    });
    if (it == partials_.end()) {
        if (partials_.size() == kMaxPartials) {
            partials_.pop_front();
            ignore("fragments_expired");
        }
        Partial p{};
        std::copy(&h[12], &h[16], p.src.begin());
        p.id = id;
        p.protocol = h[9];
        p.started = now;
        partials_.push_back(std::move(p));
        it = partials_.end() - 1;
    }
    Partial& p = *it;
    if (offset == 0) p.header = h;
    if (!more) p.total = offset + len;
    if (p.data.size() < offset + len) {
        p.data.resize(offset + len);
        p.have.resize(offset + len);
    }
    for (std::size_t i = 0; i < len; i++) {
        if (!p.have[offset + i]) p.covered++;
        p.have[offset + i] = true;
        p.data[offset + i] = payload[i];
    }
    if (!p.total || p.covered != p.total || p.header.empty() || p.data.size() != p.total) return false;
    whole_header = std::move(p.header);
    whole = std::move(p.data);
    partials_.erase(it);
    return true;
}

void Ipv4Host::datagram(sim::Adapter& adapter, const std::uint8_t* mac, const Bytes& h, const Bytes& payload) {
    const std::uint8_t protocol = h[9];
    if (protocol == kUdp) return icmp_error(adapter, mac, 3, h, payload);  // port unreachable
    if (protocol == kTcp) return tcp_reset(adapter, mac, h, payload);
    if (protocol != kIcmp) return icmp_error(adapter, mac, 2, h, payload);  // protocol unreachable
    if (payload.size() < 8) return ignore("malformed");
    if (checksum({{payload.data(), payload.size()}}) != 0) return ignore("bad_checksum");
    if (payload[0] != 8 || payload[1] != 0) return ignore("icmp_not_echo_request");
    Bytes reply = payload;
    reply[0] = 0;  // echo reply
    put16(&reply[2], 0);
    put16(&reply[2], checksum({{reply.data(), reply.size()}}));
    stats_.echo_replies++;
    send_ip(adapter, mac, &h[12], kIcmp, reply);
}

void Ipv4Host::icmp_error(sim::Adapter& adapter, const std::uint8_t* mac, std::uint8_t code, const Bytes& h,
                          const Bytes& payload) {
    Bytes m(8, 0);
    m[0] = 3;  // destination unreachable
    m[1] = code;
    m.insert(m.end(), h.begin(), h.end());
    m.insert(m.end(), payload.begin(), payload.begin() + std::min(payload.size(), kIcmpErrorQuote - h.size()));
    put16(&m[2], checksum({{m.data(), m.size()}}));
    (code == 3 ? stats_.port_unreachable : stats_.protocol_unreachable)++;
    send_ip(adapter, mac, &h[12], kIcmp, m);
}

// A segment to a port where nothing listens is answered with a reset
// (none for a reset).
void Ipv4Host::tcp_reset(sim::Adapter& adapter, const std::uint8_t* mac, const Bytes& h, const Bytes& in) {
    if (in.size() < 20) return ignore("malformed");
    const std::uint8_t flags = in[13];
    if (flags & 0x04) return ignore("tcp_reset_received");
    std::size_t data = in.size() - (in[12] >> 4) * 4u;
    Bytes r(20, 0);
    std::memcpy(&r[0], &in[2], 2);  // from the port it was sent to
    std::memcpy(&r[2], &in[0], 2);
    r[12] = 5 << 4;
    if (flags & 0x10) {  // ACK: the reset takes its sequence number from it
        std::memcpy(&r[4], &in[8], 4);
        r[13] = 0x04;
    } else {
        std::uint32_t seq = std::uint32_t(in[4]) << 24 | std::uint32_t(in[5]) << 16 | std::uint32_t(in[6]) << 8 | in[7];
        std::uint32_t ack = seq + static_cast<std::uint32_t>(data) + ((flags & 0x02) ? 1 : 0) + ((flags & 0x01) ? 1 : 0);
        for (int i = 0; i < 4; i++) r[8 + i] = static_cast<std::uint8_t>(ack >> (24 - 8 * i));
        r[13] = 0x14;  // RST, ACK
    }
    std::uint8_t pseudo[12] = {ip_[0], ip_[1], ip_[2], ip_[3], h[12], h[13], h[14], h[15], 0, kTcp, 0, 20};
    put16(&r[16], checksum({{pseudo, sizeof pseudo}, {r.data(), r.size()}}));
    stats_.tcp_resets++;
    send_ip(adapter, mac, &h[12], kTcp, r);
}

void Ipv4Host::send_ip(sim::Adapter& adapter, const std::uint8_t* mac, const std::uint8_t* dst, std::uint8_t protocol,
                       const Bytes& payload) {
    const std::uint16_t id = next_id_++;
    constexpr std::size_t kStep = (kMtu - 20) & ~std::size_t{7};  // fragment payload, a multiple of 8
    for (std::size_t offset = 0; offset == 0 || offset < payload.size(); offset += kStep) {
        std::size_t len = std::min(kStep, payload.size() - offset);
        bool more = offset + len < payload.size();
        Bytes f(14 + 20);
        std::memcpy(&f[0], mac, 6);
        std::memcpy(&f[6], mac_.data(), 6);
        put16(&f[12], 0x0800);
        std::uint8_t* ip = &f[14];
        ip[0] = 0x45;
        put16(ip + 2, static_cast<std::uint16_t>(20 + len));
        put16(ip + 4, id);
        put16(ip + 6, static_cast<std::uint16_t>((more ? 0x2000 : 0) | (offset / 8)));
        ip[8] = 64;  // TTL
        ip[9] = protocol;
        std::memcpy(ip + 12, ip_.data(), 4);
        std::memcpy(ip + 16, dst, 4);
        put16(ip + 10, checksum({{ip, 20}}));
        f.insert(f.end(), payload.begin() + offset, payload.begin() + offset + len);
        send(adapter, std::move(f));
    }
}

}  // namespace ne2k_tool
