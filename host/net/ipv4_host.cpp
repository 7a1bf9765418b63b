#include "net/ipv4_host.h"

#include "net/ping.h"

namespace net {

namespace {

const char* const kIgnoredNames[kIgnoredKinds] = {
    "arp_not_for_us", "bad_checksum", "bad_source", "fragments_expired", "icmp_not_echo_request", "ipv4_not_for_us",
    "ipv6",           "link_broadcast", "malformed", "other_ethertype",  "tcp_reset_received"};

constexpr size_t kFragmentStep = (kMtu - kIpHeader) & ~size_t{7};  // payload per fragment, a multiple of 8
constexpr size_t kIcmpErrorQuote = 576 - kIpHeader - 8;  // quoted header and payload: fits 576 bytes
constexpr uint16_t kMoreFragments = 0x2000, kOffsetMask = 0x1FFF;
constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpRst = 0x04, kTcpAck = 0x10;

size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

// Copies `len` bytes from `offset` on of the run of bytes the pieces make.
void gather(uint8_t* to, const Piece* pieces, size_t count, size_t offset, size_t len) {
    for (size_t i = 0; i < count && len; i++) {
        if (offset >= pieces[i].len) {
            offset -= pieces[i].len;
            continue;
        }
        const size_t n = smaller(pieces[i].len - offset, len);
        copy(to, pieces[i].data + offset, n);
        to += n;
        len -= n;
        offset = 0;
    }
}

}  // namespace

const char* ignored_name(Ignored kind) {
    const size_t i = static_cast<size_t>(kind);
    return i < kIgnoredKinds ? kIgnoredNames[i] : "unknown";
}

bool Ipv4Host::start(const HostConfig& config, FrameSink& sink) {
    if (config.prefix < 1 || config.prefix > 32 || config.mac.group() || host_address_problem(config.ip, config.prefix))
        return false;
    config_ = config;
    sink_ = &sink;
    return true;
}

void Ipv4Host::receive(const uint8_t* f, size_t len, Nanos now) {
    if (!sink_) return;
    now_ = now;
    stats_.received++;
    expire();
    if (len < kEthHeader) return ignore(Ignored::Malformed);
    const uint16_t type = get16(f + 12);
    if (type == kTypeArp) arp(f, len);
    else if (type == kTypeIpv4) ipv4(f, len);
    else if (type == kTypeIpv6) ignore(Ignored::Ipv6);
    else ignore(Ignored::OtherEthertype);
}

void Ipv4Host::poll(Nanos now) {
    if (!sink_) return;
    now_ = now;
    expire();
    if (pinger_) pinger_->poll(now);
}

bool Ipv4Host::send_frame(size_t len) {
    if (sink_->send(frame_, len)) return true;
    stats_.send_failures++;
    return false;
}

// ---------------------------------------------------------------------------
// ARP

void Ipv4Host::arp(const uint8_t* f, size_t len) {
    if (len < kArpFrame) return ignore(Ignored::Malformed);
    const uint8_t* a = f + kEthHeader;
    if (get16(a) != 1 || get16(a + 2) != kTypeIpv4 || a[4] != 6 || a[5] != 4) return ignore(Ignored::Malformed);
    const Mac sender = mac_at(a + 8);
    if (sender.group()) return ignore(Ignored::BadSource);
    const uint32_t sender_ip = get32(a + 14);
    const bool learned = pinger_ && pinger_->learn(sender, sender_ip);
    if (get16(a + 6) == 1 && get32(a + 24) == config_.ip) {
        stats_.arp_replies++;
        send_arp(2, sender, sender_ip);
    } else if (!learned) {
        ignore(Ignored::ArpNotForUs);
    }
}

bool Ipv4Host::send_arp(uint16_t op, const Mac& to, uint32_t target_ip) {
    if (!sink_) return false;
    uint8_t* f = frame_;
    put_mac(f, to);
    put_mac(f + 6, config_.mac);
    put16(f + 12, kTypeArp);
    uint8_t* a = f + kEthHeader;
    put16(a, 1);  // Ethernet
    put16(a + 2, kTypeIpv4);
    a[4] = 6;
    a[5] = 4;
    put16(a + 6, op);
    put_mac(a + 8, config_.mac);
    put32(a + 14, config_.ip);
    put_mac(a + 18, op == 2 ? to : Mac{});  // a request leaves the target's station open
    put32(a + 24, target_ip);
    return send_frame(kArpFrame);
}

// ---------------------------------------------------------------------------
// IPv4

bool Ipv4Host::source_ok(uint32_t src) const {
    if (special_address(src)) return false;
    const uint32_t mask = subnet_mask(config_.prefix);
    const bool subnet_broadcast = config_.prefix <= 30 && (src & mask) == (config_.ip & mask) && (src | mask) == ~0u;
    return !subnet_broadcast;
}

void Ipv4Host::ipv4(const uint8_t* f, size_t len) {
    if (len < kEthHeader + kIpHeader) return ignore(Ignored::Malformed);
    const uint8_t* ip = f + kEthHeader;
    const size_t ihl = (ip[0] & 0x0Fu) * 4u, total = get16(ip + 2);
    if ((ip[0] >> 4) != 4 || ihl < kIpHeader || total < ihl || kEthHeader + total > len)
        return ignore(Ignored::Malformed);
    if (checksum(ip, ihl) != 0) return ignore(Ignored::BadChecksum);
    if (get32(ip + 16) != config_.ip) return ignore(Ignored::Ipv4NotForUs);
    const Mac from = mac_at(f + 6);
    if (from.group() || !source_ok(get32(ip + 12))) return ignore(Ignored::BadSource);
    const Datagram d{from, (f[0] & 1) != 0, ip, ihl, ip + ihl, total - ihl};
    const uint16_t fragment = get16(ip + 6);
    if ((fragment & (kMoreFragments | kOffsetMask)) == 0) datagram(d);
    else reassemble(d, fragment);
}

// Adds a fragment; a datagram it completes goes on at once.
void Ipv4Host::reassemble(const Datagram& d, uint16_t fragment) {
    const size_t offset = (fragment & kOffsetMask) * size_t{8}, end = offset + d.len;
    const bool more = fragment & kMoreFragments;
    if (end > kMaxPayload || (more && d.len % 8)) return ignore(Ignored::Malformed);
    Partial& p = *partial_for(get32(d.header + 12), get16(d.header + 4), d.header[9]);
    // Fragments must agree on where the datagram ends (a fresh one always does).
    if (p.have_total ? end > p.total || (!more && end != p.total) : !more && end < p.extent)
        return ignore(Ignored::Malformed);
    if (offset == 0) {
        copy(p.header, d.header, d.header_len);
        p.header_len = d.header_len;
    }
    if (!more) {
        p.total = end;
        p.have_total = true;
    }
    if (end > p.extent) p.extent = end;
    p.link_group = p.link_group || d.link_group;
    copy(p.data + offset, d.payload, d.len);
    for (size_t b = offset / 8; b < (end + 7) / 8; b++) {
        const uint8_t bit = static_cast<uint8_t>(1u << (b & 7));
        if (p.covered[b >> 3] & bit) continue;
        p.covered[b >> 3] |= bit;
        p.blocks++;
    }
    if (!p.have_total || !p.header_len || p.blocks != (p.total + 7) / 8) return;
    if (p.header_len + p.total > kMaxDatagram) {
        p.used = false;
        return ignore(Ignored::Malformed);
    }
    stats_.reassembled++;
    datagram(Datagram{d.from, p.link_group, p.header, p.header_len, p.data, p.total});
    p.used = false;  // only now: the reply was made from its data
}

// The datagram these fragments belong to; a new one in a free place, or in
// the place of the one begun longest ago.
Ipv4Host::Partial* Ipv4Host::partial_for(uint32_t src, uint16_t id, uint8_t protocol) {
    Partial* free_one = nullptr;
    Partial* oldest = nullptr;
    for (Partial& p : partials_) {
        if (!p.used) {
            if (!free_one) free_one = &p;
        } else if (p.src == src && p.id == id && p.protocol == protocol) {
            return &p;
        } else if (!oldest || p.started < oldest->started) {
            oldest = &p;
        }
    }
    Partial* p = free_one;
    if (!p) {
        p = oldest;
        ignore(Ignored::FragmentsExpired);
    }
    p->used = true;
    p->link_group = false;
    p->protocol = protocol;
    p->id = id;
    p->src = src;
    p->started = now_;
    p->header_len = p->total = p->extent = p->blocks = 0;
    p->have_total = false;
    for (uint8_t& c : p->covered) c = 0;
    return p;
}

void Ipv4Host::expire() {
    for (Partial& p : partials_) {
        if (p.used && now_ > p.started && now_ - p.started > kReassemblyTimeout) {
            p.used = false;
            ignore(Ignored::FragmentsExpired);
        }
    }
}

void Ipv4Host::datagram(const Datagram& d) {
    const uint8_t protocol = d.header[9];
    if (protocol == kIcmp) return icmp(d);
    if (protocol == kTcp) return tcp_reset(d);
    if (d.link_group) return ignore(Ignored::LinkBroadcast);
    icmp_error(d, protocol == kUdp ? 3 : 2);  // port unreachable, protocol unreachable
}

void Ipv4Host::icmp(const Datagram& d) {
    if (d.len < 8) return ignore(Ignored::Malformed);
    if (checksum(d.payload, d.len) != 0) return ignore(Ignored::BadChecksum);
    const uint8_t type = d.payload[0], code = d.payload[1];
    const uint32_t src = get32(d.header + 12);
    if (type == 0 && code == 0 && pinger_) return pinger_->echo_reply(src, d.payload, d.len, now_);
    if (type != 8 || code != 0) return ignore(Ignored::IcmpNotEchoRequest);
    uint8_t head[4] = {0, 0, 0, 0};  // echo reply, code 0, checksum
    const Piece reply[2] = {{head, 4}, {d.payload + 4, d.len - 4}};
    Checksum c;
    c.add(reply, 2);
    put16(head + 2, c.value());
    stats_.echo_replies++;
    send_ip(d.from, src, kIcmp, reply, 2);
}

// Destination unreachable, quoting the datagram's header and the start of
// its payload.
void Ipv4Host::icmp_error(const Datagram& d, uint8_t code) {
    uint8_t head[8] = {3, code, 0, 0, 0, 0, 0, 0};
    const Piece m[3] = {{head, 8}, {d.header, d.header_len}, {d.payload, smaller(d.len, kIcmpErrorQuote - d.header_len)}};
    Checksum c;
    c.add(m, 3);
    put16(head + 2, c.value());
    (code == 3 ? stats_.port_unreachable : stats_.protocol_unreachable)++;
    send_ip(d.from, get32(d.header + 12), kIcmp, m, 3);
}

// A segment to a port where nothing listens is answered with a reset
// (none for a reset).
void Ipv4Host::tcp_reset(const Datagram& d) {
    const uint8_t* in = d.payload;
    const size_t data_offset = d.len < 20 ? 0 : (in[12] >> 4) * 4u;
    if (d.len < 20 || data_offset < 20 || data_offset > d.len) return ignore(Ignored::Malformed);
    const uint8_t flags = in[13];
    if (flags & kTcpRst) return ignore(Ignored::TcpResetReceived);
    if (d.link_group) return ignore(Ignored::LinkBroadcast);
    uint8_t r[20] = {};
    copy(r, in + 2, 2);  // from the port it was sent to
    copy(r + 2, in, 2);
    r[12] = 5 << 4;
    if (flags & kTcpAck) {  // the reset takes its sequence number from the acknowledgment
        copy(r + 4, in + 8, 4);
        r[13] = kTcpRst;
    } else {
        const uint32_t length = static_cast<uint32_t>(d.len - data_offset) + ((flags & kTcpSyn) ? 1 : 0) +
                                ((flags & kTcpFin) ? 1 : 0);
        put32(r + 8, get32(in + 4) + length);
        r[13] = kTcpRst | kTcpAck;
    }
    const uint32_t src = get32(d.header + 12);
    uint8_t pseudo[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, kTcp, 0, 20};
    put32(pseudo, config_.ip);
    put32(pseudo + 4, src);
    Checksum c;
    c.add(pseudo, sizeof pseudo);
    c.add(r, sizeof r);
    put16(r + 16, c.value());
    stats_.tcp_resets++;
    const Piece segment{r, sizeof r};
    send_ip(d.from, src, kTcp, &segment, 1);
}

bool Ipv4Host::send_ip(const Mac& to, uint32_t dst, uint8_t protocol, const Piece* pieces, size_t count) {
    size_t size = 0;
    for (size_t i = 0; i < count; i++) size += pieces[i].len;
    if (!sink_ || size > kMaxPayload) return false;
    const uint16_t id = next_id_++;
    bool all = true;
    size_t offset = 0;
    do {
        const size_t len = smaller(kFragmentStep, size - offset);
        const bool more = offset + len < size;
        put_mac(frame_, to);
        put_mac(frame_ + 6, config_.mac);
        put16(frame_ + 12, kTypeIpv4);
        uint8_t* ip = frame_ + kEthHeader;
        ip[0] = 0x45;  // version 4, 20-byte header
        ip[1] = 0;
        put16(ip + 2, static_cast<uint32_t>(kIpHeader + len));
        put16(ip + 4, id);
        put16(ip + 6, (more ? kMoreFragments : 0) | static_cast<uint32_t>(offset / 8));
        ip[8] = 64;  // TTL
        ip[9] = protocol;
        put16(ip + 10, 0);
        put32(ip + 12, config_.ip);
        put32(ip + 16, dst);
        put16(ip + 10, checksum(ip, kIpHeader));
        gather(ip + kIpHeader, pieces, count, offset, len);
        all = send_frame(kEthHeader + kIpHeader + len) && all;
        offset += len;
    } while (offset < size);
    return all;
}

}  // namespace net
