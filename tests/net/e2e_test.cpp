// The ping client above the driver on adapter A pings the IPv4 host above
// the driver on adapter B, on the emulated segment: 200 requests of every
// size, every reply checked, none lost, for pairs of board kinds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "hw/segment.h"
#include "platform/ndis.h"
#include "tests/net/frames.h"
#include "tools/net_binding.h"
#include "tools/rig.h"

namespace nettest {
namespace {

using ne2k_tool::NetBinding;
using ne2k_tool::Rig;

struct Pair {
    hw::BoardKind a, b;
    unsigned window;
};

void PrintTo(const Pair& p, std::ostream* os) { *os << kind_name(p.a) << "_to_" << kind_name(p.b) << "_window_" << p.window; }

class OverTheDriver : public ::testing::TestWithParam<Pair> {};

TEST_P(OverTheDriver, TwoHundredPingsNoneLostEveryReplyChecked) {
    const Pair& p = GetParam();
    const sim::MacAddress mac_a{0x02, 0, 0, 0, 0, 0x0A}, mac_b{0x02, 0, 0, 0, 0, 0x0B};
    Rig rig({{p.a, mac_a}, {p.b, mac_b}});
    rig.initialize_all();
    auto config = [](const sim::MacAddress& m, std::uint32_t ip) {
        net::HostConfig c{{}, ip, kPrefix};
        std::copy(m.begin(), m.end(), c.mac.b);
        return c;
    };
    NetBinding a(rig.adapter(0), rig.host(), config(mac_a, kOurIp));
    NetBinding b(rig.adapter(1), rig.host(), config(mac_b, kPeerIp));
    for (std::size_t i = 0; i < 2; i++) {
        NetBinding& n = i ? b : a;
        rig.adapter(i).bind(n);
        ne2k_tool::set_filter(rig.adapter(i), n, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST, {});
    }
    std::set<std::size_t> request_sizes;
    rig.segment().add_tap([&](sim::Nanos, const std::uint8_t* f, std::size_t len) {
        if (len > 34 + 4 && f[23] == net::kIcmp && f[34] == 8) request_sizes.insert(hw::Segment::strip_fcs(len));
    });

    net::PingPlan plan;
    plan.target = kPeerIp;
    plan.count = 200;
    plan.window = p.window;
    ASSERT_TRUE(a.ping(plan));
    const sim::Nanos limit = rig.host().now() + 60 * net::kSecond;
    while (!a.pinger().finished() && rig.host().now() < limit) {
        a.poll();
        b.poll();
        const sim::Nanos now = rig.host().now();
        sim::Nanos next = std::min<sim::Nanos>(a.pinger().due(), rig.host().clock().next_deadline());
        rig.host().run_until(std::clamp<sim::Nanos>(next, now + 1, now + net::kMillisecond));
    }
    rig.drain();
    rig.adapter(0).unbind(a);
    rig.adapter(1).unbind(b);
    EXPECT_EQ(rig.halt_all(), std::vector<std::string>{});

    const net::PingStats& st = a.pinger().stats();
    EXPECT_EQ(a.pinger().state(), net::PingState::Done);
    EXPECT_EQ(st.sent, 200u);
    EXPECT_EQ(st.received, 200u);
    EXPECT_EQ(st.lost + st.bad + st.duplicates + st.late + st.stray, 0u);
    EXPECT_EQ(b.stats().echo_replies, 200u);
    EXPECT_EQ(a.send_failures() + b.send_failures(), 0u);
    EXPECT_EQ(request_sizes.size(), 200u);
    EXPECT_EQ(*request_sizes.begin(), 60u);
    EXPECT_EQ(*request_sizes.rbegin(), 1514u);
    std::printf("  %s -> %s, window %u: round trip min %.3f / avg %.3f / max %.3f ms (virtual time)\n", kind_name(p.a),
                kind_name(p.b), p.window, st.rtt_min / 1e6, st.rtt_avg() / 1e6, st.rtt_max / 1e6);
}

using K = hw::BoardKind;
INSTANTIATE_TEST_SUITE_P(Net, OverTheDriver,
                         ::testing::Values(Pair{K::Isa16, K::Isa8, 1}, Pair{K::PcCard, K::Mca, 4},
                                           Pair{K::Isa8, K::Isa16, 8}),
                         [](const auto& info) {
                             std::ostringstream os;
                             PrintTo(info.param, &os);
                             return os.str();
                         });

}  // namespace
}  // namespace nettest
