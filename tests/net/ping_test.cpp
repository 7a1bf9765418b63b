// The ping client on hosts joined by an in-memory wire: every size, every
// reply checked; ARP retries; what it counts when replies are dropped,
// changed, repeated, late or not ours; a peer pinging back; a gateway;
// plans it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>

#include "net/ping.h"
#include "tests/net/frames.h"

namespace nettest {
namespace {

using net::Nanos;

// Stations joined by a wire: a frame reaches every other station after its
// time at 10 Mbit/s plus 50 us; `fault` may change a frame and says when
// its copies arrive (none: dropped). Time jumps from one event to the next.
class Wire {
public:
    struct Station : net::FrameSink {
        Wire* wire = nullptr;
        std::size_t index = 0;
        std::unique_ptr<net::Ipv4Host> host = std::make_unique<net::Ipv4Host>();
        net::Pinger ping;
        bool send(const std::uint8_t* f, std::size_t len) override {
            wire->put(index, Bytes(f, f + len));
            return true;
        }
    };

    Station& add(const Mac& mac, std::uint32_t ip) {
        stations_.push_back(std::make_unique<Station>());
        Station& s = *stations_.back();
        s.wire = this;
        s.index = stations_.size() - 1;
        EXPECT_TRUE(s.host->start({mac, ip, kPrefix}, s));
        return s;
    }
    bool ping(Station& s, const net::PingPlan& plan) { return s.ping.start(*s.host, plan, now); }

    // Until every ping client that started has finished and the wire is
    // quiet, or `limit`.
    void run(Nanos limit = 600 * net::kSecond) {
        while (now <= limit) {
            for (auto& s : stations_) s->host->poll(now);
            while (!queue_.empty() && queue_.front().at <= now) {
                InFlight f = queue_.front();
                queue_.erase(queue_.begin());
                for (auto& s : stations_)
                    if (s->index != f.from) s->host->receive(f.frame.data(), f.frame.size(), now);
            }
            Nanos next = queue_.empty() ? net::kNever : queue_.front().at;
            bool busy = !queue_.empty();
            for (auto& s : stations_) {
                if (s->ping.state() == net::PingState::Idle || s->ping.finished()) continue;
                busy = true;
                next = std::min(next, std::max(s->ping.due(), now));
            }
            if (!busy || next == net::kNever) return;
            now = next;
        }
    }

    std::function<std::vector<Nanos>(std::size_t from, Bytes& frame)> fault;
    std::vector<std::pair<std::size_t, Bytes>> log;  // every frame sent, by sender
    Nanos now = 0;

private:
    struct InFlight {
        Nanos at;
        std::size_t from;
        Bytes frame;
    };
    void put(std::size_t from, Bytes f) {
        log.emplace_back(from, f);
        std::vector<Nanos> copies{0};
        if (fault) copies = fault(from, f);
        const Nanos wire = 50 * 1000 + (std::max<std::size_t>(f.size(), 60) + 24) * 800;
        for (Nanos extra : copies) {
            InFlight in{now + wire + extra, from, f};
            auto at = std::upper_bound(queue_.begin(), queue_.end(), in.at,
                                       [](Nanos t, const InFlight& x) { return t < x.at; });
            queue_.insert(at, in);
        }
    }
    std::vector<std::unique_ptr<Station>> stations_;
    std::vector<InFlight> queue_;
};

// An ICMP message in a frame: its type and sequence number (or -1).
int IcmpType(const Bytes& f) {
    return f.size() >= 42 && net::get16(&f[12]) == net::kTypeIpv4 && f[23] == net::kIcmp ? f[34] : -1;
}
int Seq(const Bytes& f) { return net::get16(&f[40]); }

// The frame rebuilt after `change` edits its IPv4 fields and ICMP message
// (checksums made right again).
Bytes Rewrite(const Bytes& f, const std::function<void(Ip&, Bytes&)>& change) {
    const std::uint8_t* ip = &f[14];
    Ip h;
    h.src = net::get32(ip + 12);
    h.dst = net::get32(ip + 16);
    h.id = net::get16(ip + 4);
    Bytes icmp(ip + 20, ip + net::get16(ip + 2));
    change(h, icmp);
    net::put16(&icmp[2], 0);
    net::put16(&icmp[2], net::checksum(icmp.data(), icmp.size()));
    return Frame(h, icmp, net::mac_at(&f[0]), net::mac_at(&f[6]));
}

constexpr std::uint32_t kTargetIp = kPeerIp;

net::PingPlan Plan(unsigned window, std::uint32_t count = 200) {
    net::PingPlan p;
    p.target = kTargetIp;
    p.count = count;
    p.window = window;
    return p;
}

class Windows : public ::testing::TestWithParam<unsigned> {};

TEST_P(Windows, TwoHundredRequestsOfEverySizeEveryReplyChecked) {
    Wire w;
    Wire::Station& a = w.add(kUs, kOurIp);
    Wire::Station& b = w.add(kPeer, kTargetIp);
    ASSERT_TRUE(w.ping(a, Plan(GetParam())));
    w.run();
    const net::PingStats& st = a.ping.stats();
    EXPECT_EQ(a.ping.state(), net::PingState::Done);
    EXPECT_EQ(st.arp_requests, 1u);
    EXPECT_EQ(st.sent, 200u);
    EXPECT_EQ(st.received, 200u);
    EXPECT_EQ(st.bad + st.lost + st.duplicates + st.late + st.stray, 0u);
    EXPECT_EQ(b.host->stats().echo_replies, 200u);
    EXPECT_EQ(a.ping.next_hop_mac(), kPeer);
    // Round trips: at least both frames' wire time, the average between the extremes.
    EXPECT_GE(st.rtt_min, 2 * (50000 + 84 * 800u));
    EXPECT_LE(st.rtt_min, st.rtt_avg());
    EXPECT_LE(st.rtt_avg(), st.rtt_max);
    EXPECT_LE(st.rtt_max, 2 * (50000 + 1538 * 800u));
    // 200 sizes, 60 to 1514 bytes on the wire; at most `window` out at once.
    std::set<std::size_t> sizes;
    for (auto& [from, f] : w.log)
        if (from == 0 && IcmpType(f) == 8) sizes.insert(f.size());
    EXPECT_EQ(sizes.size(), 200u);
    EXPECT_EQ(*sizes.begin(), 60u);
    EXPECT_EQ(*sizes.rbegin(), 1514u);
    unsigned out = 0, most = 0;
    for (auto& [from, f] : w.log) {
        if (IcmpType(f) == 8) most = std::max(most, ++out);
        if (IcmpType(f) == 0) out--;
    }
    EXPECT_EQ(most, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Ping, Windows, ::testing::Values(1u, 4u, net::Pinger::kMaxWindow));

// What the client counts when the peer's replies (or our requests) meet trouble.
TEST(Ping, CountsRepliesDroppedChangedRepeatedLateOrNotOurs) {
    constexpr Nanos kLate = 300 * net::kMillisecond;
    auto replies = [](auto f) {  // applies f to every tenth echo reply from the peer
        return [f](std::size_t from, Bytes& frame) -> std::vector<Nanos> {
            if (from != 1 || IcmpType(frame) != 0 || Seq(frame) % 10) return {0};
            return f(frame);
        };
    };
    struct Case {
        const char* name;
        std::function<std::vector<Nanos>(std::size_t, Bytes&)> fault;
        net::PingStats want;  // received, bad, lost, duplicates, late, stray
    } cases[] = {
        {"dropped", replies([](Bytes&) { return std::vector<Nanos>{}; }), {}},
        {"a byte changed", replies([](Bytes& f) {
             f = Rewrite(f, [](Ip&, Bytes& m) { m.back() ^= 0x40; });
             return std::vector<Nanos>{0};
         }), {}},
        {"a byte shorter", replies([](Bytes& f) {
             f = Rewrite(f, [](Ip&, Bytes& m) { m.pop_back(); });
             return std::vector<Nanos>{0};
         }), {}},
        {"twice", [](std::size_t from, Bytes& f) {
             return from == 1 && IcmpType(f) == 0 ? std::vector<Nanos>{0, 1000} : std::vector<Nanos>{0};
         }, {}},
        {"late", replies([](Bytes&) { return std::vector<Nanos>{kLate}; }), {}},
        {"another identifier", replies([](Bytes& f) {
             f = Rewrite(f, [](Ip&, Bytes& m) { m[4] ^= 1; });
             return std::vector<Nanos>{0};
         }), {}},
        {"from another address", replies([](Bytes& f) {
             f = Rewrite(f, [](Ip& h, Bytes&) { h.src = net::ip4(198, 18, 0, 77); });
             return std::vector<Nanos>{0};
         }), {}},
        {"a sequence never sent", replies([](Bytes& f) {
             f = Rewrite(f, [](Ip&, Bytes& m) { net::put16(&m[6], net::get16(&m[6]) + 1000); });
             return std::vector<Nanos>{0};
         }), {}},
        {"requests dropped", [](std::size_t from, Bytes& f) {
             return from == 0 && IcmpType(f) == 8 && Seq(f) % 10 == 0 ? std::vector<Nanos>{} : std::vector<Nanos>{0};
         }, {}},
    };
    cases[0].want.lost = 20;
    cases[1].want.bad = cases[2].want.bad = 20;
    cases[3].want.duplicates = 200;
    cases[4].want.lost = cases[4].want.late = 20;
    cases[5].want.lost = cases[5].want.stray = 20;
    cases[6].want.lost = cases[6].want.stray = 20;
    cases[7].want.lost = cases[7].want.stray = 20;
    cases[8].want.lost = 20;
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.want.received = 200 - c.want.lost - c.want.bad;
        Wire w;
        Wire::Station& a = w.add(kUs, kOurIp);
        w.add(kPeer, kTargetIp);
        w.fault = c.fault;
        net::PingPlan plan = Plan(4);
        plan.timeout = 100 * net::kMillisecond;
        ASSERT_TRUE(w.ping(a, plan));
        w.run();
        const net::PingStats& st = a.ping.stats();
        EXPECT_EQ(a.ping.state(), net::PingState::Done);
        EXPECT_EQ(st.sent, 200u);
        EXPECT_EQ(st.received, c.want.received);
        EXPECT_EQ(st.bad, c.want.bad);
        EXPECT_EQ(st.lost, c.want.lost);
        EXPECT_EQ(st.duplicates, c.want.duplicates);
        EXPECT_EQ(st.late, c.want.late);
        EXPECT_EQ(st.stray, c.want.stray);
    }
}

// ARP: asked again every interval; no answer after the last try gives up
// with nothing sent; an answer to a later try is enough.
TEST(Ping, ArpIsRetriedThenGivenUp) {
    Wire w;
    Wire::Station& a = w.add(kUs, kOurIp);
    net::PingPlan plan = Plan(1, 5);
    plan.target = net::ip4(198, 18, 0, 9);  // nobody
    ASSERT_TRUE(w.ping(a, plan));
    w.run();
    EXPECT_EQ(a.ping.state(), net::PingState::Unresolved);
    EXPECT_EQ(a.ping.stats().arp_requests, plan.arp_tries);
    EXPECT_EQ(a.ping.stats().sent, 0u);
    EXPECT_EQ(w.now, plan.arp_tries * plan.arp_interval);
    for (auto& [from, f] : w.log) {
        ASSERT_EQ(f.size(), 42u);
        EXPECT_EQ(net::mac_at(&f[0]), net::kBroadcastMac);
        EXPECT_EQ(net::get32(&f[38]), plan.target);
    }

    Wire w2;
    Wire::Station& a2 = w2.add(kUs, kOurIp);
    w2.add(kPeer, kTargetIp);
    int arp_seen = 0;
    w2.fault = [&](std::size_t from, Bytes& f) {
        return from == 0 && net::get16(&f[12]) == net::kTypeArp && arp_seen++ < 2 ? std::vector<Nanos>{}
                                                                                 : std::vector<Nanos>{0};
    };
    ASSERT_TRUE(w2.ping(a2, Plan(1, 20)));
    w2.run();
    EXPECT_EQ(a2.ping.stats().arp_requests, 3u);
    EXPECT_EQ(a2.ping.stats().received, 20u);
}

// Two stations ping each other at once: each answers the other's ARP and
// echo requests while its own client runs.
TEST(Ping, APeerPingsBackAtTheSameTime) {
    Wire w;
    Wire::Station& a = w.add(kUs, kOurIp);
    Wire::Station& b = w.add(kPeer, kTargetIp);
    ASSERT_TRUE(w.ping(a, Plan(2)));
    net::PingPlan back = Plan(3);
    back.target = kOurIp;
    ASSERT_TRUE(w.ping(b, back));
    w.run();
    for (Wire::Station* s : {&a, &b}) {
        EXPECT_EQ(s->ping.stats().received, 200u);
        EXPECT_EQ(s->host->stats().echo_replies, 200u);
        EXPECT_EQ(s->ping.stats().stray, 0u);
    }
}

// A target off the subnet is reached through the gateway: ARP asks for the
// gateway, requests go to its station with the target's address.
TEST(Ping, AnotherSubnetThroughTheGateway) {
    Wire w;
    Wire::Station& a = w.add(kUs, kOurIp);
    w.add(kPeer, kPeerIp);  // the gateway: answers ARP, drops what is not its own
    net::PingPlan plan = Plan(1, 3);
    plan.target = net::ip4(10, 9, 9, 9);
    plan.gateway = kPeerIp;
    plan.timeout = 10 * net::kMillisecond;
    ASSERT_TRUE(w.ping(a, plan));
    w.run();
    EXPECT_EQ(a.ping.stats().lost, 3u);
    int requests = 0;
    for (auto& [from, f] : w.log) {
        if (from == 0 && net::get16(&f[12]) == net::kTypeArp) {
            EXPECT_EQ(net::get32(&f[38]), kPeerIp);
        }
        if (from != 0 || IcmpType(f) != 8) continue;
        requests++;
        EXPECT_EQ(net::mac_at(&f[0]), kPeer);
        EXPECT_EQ(net::get32(&f[30]), plan.target);
    }
    EXPECT_EQ(requests, 3);
}

TEST(Ping, RefusesPlansThatDoNotHold) {
    struct Case {
        const char* name;
        std::function<void(net::PingPlan&)> change;
    } cases[] = {
        {"our own address", [](net::PingPlan& p) { p.target = kOurIp; }},
        {"0.0.0.0", [](net::PingPlan& p) { p.target = 0; }},
        {"loopback", [](net::PingPlan& p) { p.target = net::ip4(127, 0, 0, 1); }},
        {"multicast", [](net::PingPlan& p) { p.target = net::ip4(224, 0, 0, 1); }},
        {"the subnet's broadcast", [](net::PingPlan& p) { p.target = net::ip4(198, 18, 0, 255); }},
        {"off the subnet, no gateway", [](net::PingPlan& p) { p.target = net::ip4(10, 0, 0, 1); }},
        {"a gateway off the subnet", [](net::PingPlan& p) {
             p.target = net::ip4(10, 0, 0, 1);
             p.gateway = net::ip4(10, 0, 0, 2);
         }},
        {"window 0", [](net::PingPlan& p) { p.window = 0; }},
        {"window 9", [](net::PingPlan& p) { p.window = net::Pinger::kMaxWindow + 1; }},
        {"count 0", [](net::PingPlan& p) { p.count = 0; }},
        {"no timeout", [](net::PingPlan& p) { p.timeout = 0; }},
        {"no ARP try", [](net::PingPlan& p) { p.arp_tries = 0; }},
    };
    for (const Case& c : cases) {
        Wire w;
        Wire::Station& a = w.add(kUs, kOurIp);
        net::PingPlan p = Plan(1);
        c.change(p);
        EXPECT_FALSE(w.ping(a, p)) << c.name;
        EXPECT_EQ(a.ping.state(), net::PingState::Idle) << c.name;
    }
    Recorder sink;
    net::Ipv4Host unstarted;
    net::Pinger ping;
    EXPECT_FALSE(ping.start(unstarted, Plan(1), 0));
}

}  // namespace
}  // namespace nettest
