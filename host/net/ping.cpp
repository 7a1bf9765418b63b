#include "net/ping.h"

namespace net {

namespace {

// n / d by shifting and subtracting: a 32-bit kernel has no runtime
// routine for 64-bit division.
Nanos divide(Nanos n, uint32_t d) {
    Nanos q = 0, r = 0;
    for (int bit = 63; bit >= 0; bit--) {
        r = r << 1 | ((n >> bit) & 1);
        if (r >= d) {
            r -= d;
            q |= Nanos{1} << bit;
        }
    }
    return q;
}

}  // namespace

Nanos PingStats::rtt_avg() const { return received ? divide(rtt_sum, received) : 0; }

size_t Pinger::payload_size(uint32_t index) {
    const uint32_t k = 73 * (index % 200) % 200;
    return kMinPayload + k * (kMaxPayload - kMinPayload) / 199;
}

uint8_t Pinger::payload_byte(uint16_t seq, size_t j) {
    return static_cast<uint8_t>(j + (j >> 8) * 0x35 + seq * 0x5B + (seq >> 8) * 0x11);
}

bool Pinger::start(Ipv4Host& host, const PingPlan& plan, Nanos now) {
    if (!host.started() || plan.count == 0 || plan.window < 1 || plan.window > kMaxWindow || plan.timeout == 0 ||
        plan.arp_tries == 0)
        return false;
    const HostConfig& c = host.config();
    const uint32_t mask = subnet_mask(c.prefix);
    const bool on_subnet = (plan.target & mask) == (c.ip & mask);
    const uint32_t hop = on_subnet ? plan.target : plan.gateway;
    if (special_address(plan.target) || plan.target == c.ip || (hop & mask) != (c.ip & mask) || hop == c.ip ||
        host_address_problem(hop, c.prefix))
        return false;
    host_ = &host;
    plan_ = plan;
    state_ = PingState::Resolving;
    next_hop_ = hop;
    next_hop_mac_ = Mac{};
    arp_left_ = plan.arp_tries;
    arp_next_ = now;
    next_index_ = 0;
    for (Slot& s : slots_) s = Slot{};
    for (uint8_t& f : fate_) f = kUnsent;
    stats_ = PingStats{};
    host.pinger_ = this;
    return true;
}

Nanos Pinger::due() const {
    if (state_ == PingState::Resolving) return arp_next_;
    if (state_ != PingState::Pinging) return kNever;
    Nanos t = kNever;
    for (unsigned i = 0; i < plan_.window; i++) {
        const Slot& s = slots_[i];
        if (!s.used && next_index_ < plan_.count) return 0;
        if (s.used && s.sent_at + plan_.timeout < t) t = s.sent_at + plan_.timeout;
    }
    return t;
}

bool Pinger::learn(const Mac& mac, uint32_t ip) {
    if (state_ == PingState::Idle || ip != next_hop_) return false;
    next_hop_mac_ = mac;
    if (state_ == PingState::Resolving) state_ = PingState::Pinging;
    return true;
}

void Pinger::poll(Nanos now) {
    if (state_ == PingState::Resolving) {
        if (now < arp_next_) return;
        if (arp_left_ == 0) {
            state_ = PingState::Unresolved;
            return;
        }
        arp_left_--;
        arp_next_ = now + plan_.arp_interval;
        stats_.arp_requests++;
        host_->send_arp(1, kBroadcastMac, next_hop_);
        return;
    }
    if (state_ != PingState::Pinging) return;
    for (unsigned i = 0; i < plan_.window; i++) {
        Slot& s = slots_[i];
        if (s.used && (now < s.sent_at || now - s.sent_at >= plan_.timeout)) {
            s.used = false;
            fate_[s.seq & 0xFF] = kLost;
            stats_.lost++;
        }
        if (!s.used && next_index_ < plan_.count) send_request(s, now);
    }
    settle();
}

void Pinger::settle() {
    if (next_index_ < plan_.count) return;
    for (unsigned i = 0; i < plan_.window; i++)
        if (slots_[i].used) return;
    state_ = PingState::Done;
}

void Pinger::send_request(Slot& s, Nanos now) {
    const uint32_t index = next_index_++;
    const uint16_t seq = static_cast<uint16_t>(index);
    const size_t size = payload_size(index);
    for (size_t j = 0; j < size; j++) body_[j] = payload_byte(seq, j);
    uint8_t head[8] = {8, 0, 0, 0, 0, 0, 0, 0};  // echo request, code 0, checksum, identifier, sequence
    put16(head + 4, plan_.id);
    put16(head + 6, seq);
    const Piece m[2] = {{head, 8}, {body_, size}};
    Checksum c;
    c.add(m, 2);
    put16(head + 2, c.value());
    s.used = true;
    s.seq = seq;
    s.size = static_cast<uint16_t>(size);
    s.sent_at = now;
    fate_[seq & 0xFF] = kOut;
    stats_.sent++;
    host_->send_ip(next_hop_mac_, plan_.target, kIcmp, m, 2);  // a frame not taken is lost in time
}

void Pinger::echo_reply(uint32_t src, const uint8_t* icmp, size_t len, Nanos now) {
    const uint16_t seq = get16(icmp + 6);
    if (state_ == PingState::Idle || src != plan_.target || get16(icmp + 4) != plan_.id) {
        stats_.stray++;
        return;
    }
    for (unsigned i = 0; i < plan_.window; i++) {
        Slot& s = slots_[i];
        if (!s.used || s.seq != seq) continue;
        s.used = false;
        fate_[seq & 0xFF] = kAnswered;
        bool same = len == 8 + size_t{s.size};
        for (size_t j = 0; same && j < s.size; j++) same = icmp[8 + j] == payload_byte(seq, j);
        if (same) {
            const Nanos rtt = now >= s.sent_at ? now - s.sent_at : 0;
            stats_.received++;
            stats_.rtt_sum += rtt;
            if (stats_.received == 1 || rtt < stats_.rtt_min) stats_.rtt_min = rtt;
            if (rtt > stats_.rtt_max) stats_.rtt_max = rtt;
        } else {
            stats_.bad++;
        }
        settle();
        return;
    }
    // Not out: answered before, counted lost, or never ours.
    const uint32_t age = static_cast<uint16_t>(static_cast<uint16_t>(next_index_) - seq);  // 1: the latest
    const bool recent = age >= 1 && age <= 256 && age <= next_index_;
    const uint8_t fate = recent ? fate_[seq & 0xFF] : uint8_t{kUnsent};
    if (fate == kAnswered) stats_.duplicates++;
    else if (fate == kLost) stats_.late++;
    else stats_.stray++;
}

}  // namespace net
