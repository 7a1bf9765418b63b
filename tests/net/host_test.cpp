// The IPv4 host fed raw frames: what it answers, with what, and what it
// ignores under which name; hostile lengths and fragments that could run
// past its fixed buffers; reassembly in any order, expiry and eviction.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "net/ipv4_host.h"
#include "tests/net/frames.h"

namespace nettest {
namespace {

using net::Ignored;

struct Host {
    Recorder sink;
    std::unique_ptr<net::Ipv4Host> host = std::make_unique<net::Ipv4Host>();
    Host() { EXPECT_TRUE(host->start(OurConfig(), sink)); }
    void feed(const std::vector<Bytes>& frames, net::Nanos at = 0) {
        for (const Bytes& f : frames) host->receive(f.data(), f.size(), at);
    }
    std::uint64_t ignored_total() const {
        std::uint64_t n = 0;
        for (std::uint64_t k : host->stats().ignored) n += k;
        return n;
    }
};

struct Case {
    std::string name;
    std::vector<Bytes> frames;
    std::string answer;   // "" (nothing sent), "arp", "echo", "port", "protocol", "reset"
    std::string ignored;  // the kind counted, once per frame fed ("" none)
    Bytes request;        // the datagram answered, whole (IPv4 header and payload)
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string Dotted(std::uint32_t a) {
    return std::to_string(a >> 24) + "_" + std::to_string(a >> 16 & 255) + "_" + std::to_string(a >> 8 & 255) + "_" +
           std::to_string(a & 255);
}

template <class T>
std::vector<T> Reversed(std::vector<T> v) {
    std::reverse(v.begin(), v.end());
    return v;
}

std::vector<Case> Cases() {
    std::vector<Case> v;
    const Ip ping;  // from the peer to us, ICMP
    auto echo = [](std::size_t n) { return Icmp(8, 0, 0x77, 1, Pattern(n, static_cast<std::uint8_t>(n))); };
    auto with = [](Ip h, auto change) {
        change(h);
        return h;
    };
    auto answered = [&](std::string name, std::vector<Bytes> frames, std::string answer, const Ip& h,
                        const Bytes& payload) {
        v.push_back({std::move(name), std::move(frames), std::move(answer), "", Ipv4(h, payload)});
    };
    auto ignored = [&](std::string name, std::vector<Bytes> frames, std::string kind) {
        v.push_back({std::move(name), std::move(frames), "", std::move(kind), {}});
    };

    // ARP.
    v.push_back({"arp_request_for_us", {Arp(1, kPeer, kPeerIp, kOurIp)}, "arp", "", {}});
    v.push_back({"arp_probe_from_0_0_0_0", {Arp(1, kPeer, 0, kOurIp)}, "arp", "", {}});
    ignored("arp_request_for_another", {Arp(1, kPeer, kPeerIp, kOurIp + 1)}, "arp_not_for_us");
    ignored("arp_reply_with_no_ping_client", {Arp(2, kPeer, kPeerIp, kOurIp, kUs)}, "arp_not_for_us");
    ignored("arp_from_a_group_station", {Arp(1, {{0x03, 0, 0, 0, 0, 1}}, kPeerIp, kOurIp)}, "bad_source");
    Bytes arp_short = Arp(1, kPeer, kPeerIp, kOurIp);
    arp_short.pop_back();
    ignored("arp_41_bytes", {arp_short}, "malformed");
    Bytes arp_hlen = Arp(1, kPeer, kPeerIp, kOurIp);
    arp_hlen[18] = 8;
    ignored("arp_hardware_length_8", {arp_hlen}, "malformed");

    // Echo requests, whole and in fragments in any order.
    for (std::size_t n : {18u, 1472u}) answered("echo_" + std::to_string(n), {Frame(ping, echo(n))}, "echo", ping, echo(n));
    answered("echo_1473_in_two_fragments", Fragments(ping, echo(1473), 1480), "echo", ping, echo(1473));
    answered("echo_4000_fragments_reversed", Reversed(Fragments(ping, echo(4000), 1480)), "echo", ping, echo(4000));
    {
        auto f = Fragments(ping, echo(4000), 1480);
        auto small = Fragments(ping, echo(4000), 512);  // overlapping the others, the same bytes
        std::vector<Bytes> mixed{small[1], f[2], small[3], f[0], small[1], f[1], small[7]};
        answered("echo_4000_overlapping_and_repeated_fragments", mixed, "echo", ping, echo(4000));
    }
    answered("echo_in_8_byte_fragments", Fragments(ping, echo(100), 8), "echo", ping, echo(100));
    {
        auto f = Fragments(ping, echo(100), 8);
        f.erase(f.begin() + 6);  // bytes 48..55 never come
        v.push_back({"echo_missing_one_8_byte_fragment", f, "", "", {}});
    }
    answered("echo_largest_65507_in_45_fragments", Fragments(ping, echo(65507), 1480), "echo", ping, echo(65507));
    const Ip options = with(ping, [](Ip& h) { h.options = 40; });
    answered("echo_with_40_bytes_of_options", {Frame(options, echo(100))}, "echo", options, echo(100));
    answered("echo_fragmented_with_options", Fragments(options, echo(3000), 1440), "echo", options, echo(3000));
    answered("echo_in_a_link_broadcast", {Frame(ping, echo(64), net::kBroadcastMac)}, "echo", ping, echo(64));
    const Ip far = with(ping, [](Ip& h) { h.src = net::ip4(10, 1, 2, 3); });
    answered("echo_from_another_subnet", {Frame(far, echo(64))}, "echo", far, echo(64));
    const Ip net0 = with(ping, [](Ip& h) { h.src = net::ip4(198, 18, 0, 0); });
    answered("echo_from_the_subnet_network_address", {Frame(net0, echo(64))}, "echo", net0, echo(64));
    Bytes padded = Frame(ping, echo(18));
    padded.resize(200, 0xEE);  // the frame is longer than its datagram
    answered("echo_in_a_padded_frame", {padded}, "echo", ping, echo(18));

    // Errors and resets, and when none may be sent.
    const Ip udp = with(ping, [](Ip& h) { h.protocol = net::kUdp; });
    const Bytes udp_data = Pattern(40, 3), udp_big = Pattern(3000, 4);
    answered("udp", {Frame(udp, udp_data)}, "port", udp, udp_data);
    answered("udp_3000_in_fragments", Fragments(udp, udp_big, 1480), "port", udp, udp_big);
    const Ip other = with(ping, [](Ip& h) { h.protocol = 99; });
    answered("protocol_99", {Frame(other, udp_data)}, "protocol", other, udp_data);
    const Ip tcp = with(ping, [](Ip& h) { h.protocol = net::kTcp; });
    answered("tcp_syn", {Frame(tcp, Tcp(40000, 80, 1000, 0, 0x02))}, "reset", tcp, Tcp(40000, 80, 1000, 0, 0x02));
    answered("tcp_ack_with_data", {Frame(tcp, Tcp(40000, 80, 1000, 777, 0x18, 10))}, "reset", tcp,
             Tcp(40000, 80, 1000, 777, 0x18, 10));
    ignored("tcp_reset", {Frame(tcp, Tcp(40000, 80, 1000, 0, 0x04))}, "tcp_reset_received");
    ignored("udp_in_a_link_broadcast", {Frame(udp, udp_data, net::kBroadcastMac)}, "link_broadcast");
    ignored("udp_fragments_in_a_link_broadcast", Fragments(udp, udp_big, 1480, net::kBroadcastMac), "link_broadcast");
    ignored("tcp_syn_in_a_link_multicast", {Frame(tcp, Tcp(1, 2, 3, 0, 0x02), {{0x01, 0, 0x5E, 0, 0, 1}})},
            "link_broadcast");
    ignored("protocol_99_in_a_link_broadcast", {Frame(other, udp_data, net::kBroadcastMac)}, "link_broadcast");
    for (std::uint32_t dst : {net::ip4(255, 255, 255, 255), net::ip4(198, 18, 0, 255), net::ip4(224, 0, 0, 1),
                              kOurIp + 1}) {
        const Ip to = with(udp, [&](Ip& h) { h.dst = dst; });
        ignored("udp_to_" + Dotted(dst), {Frame(to, udp_data, net::kBroadcastMac)}, "ipv4_not_for_us");
    }

    // Sources a host never answers, whatever the datagram.
    const std::uint32_t bad_sources[] = {net::ip4(0, 0, 0, 0),       net::ip4(0, 1, 2, 3),     net::ip4(127, 0, 0, 1),
                                         net::ip4(224, 0, 0, 5),     net::ip4(239, 255, 255, 250),
                                         net::ip4(240, 0, 0, 1),     net::ip4(255, 255, 255, 255),
                                         net::ip4(198, 18, 0, 255)};
    for (std::uint32_t src : bad_sources) {
        const std::string at = "_from_" + Dotted(src);
        ignored("echo" + at, {Frame(with(ping, [&](Ip& h) { h.src = src; }), echo(56))}, "bad_source");
        ignored("udp" + at, {Frame(with(udp, [&](Ip& h) { h.src = src; }), udp_data)}, "bad_source");
        ignored("tcp_syn" + at, {Frame(with(tcp, [&](Ip& h) { h.src = src; }), Tcp(1, 2, 3, 0, 0x02))}, "bad_source");
        ignored("echo_fragments" + at, Fragments(with(ping, [&](Ip& h) { h.src = src; }), echo(2000), 1480),
                "bad_source");
    }
    ignored("echo_from_a_group_station", {Frame(ping, echo(56), kUs, {{0x01, 0, 0x5E, 0, 0, 5}})}, "bad_source");

    // Lengths and fields that do not hold together.
    ignored("frame_of_13_bytes", {Bytes(13, 0)}, "malformed");
    Bytes short_ip = Frame(ping, {});
    short_ip.resize(14 + 19);
    ignored("ipv4_of_19_bytes", {short_ip}, "malformed");
    auto mangled = [&](std::size_t at, std::uint8_t value, bool fix_checksum = true) {
        Bytes f = Frame(ping, echo(18));  // a 46-byte datagram in a 60-byte frame
        f[14 + at] = value;
        if (fix_checksum) {
            net::put16(&f[24], 0);
            const std::size_t ihl = std::clamp<std::size_t>((f[14] & 15) * 4u, 20, f.size() - 14);
            net::put16(&f[24], net::checksum(&f[14], ihl));
        }
        return f;
    };
    ignored("ihl_4", {mangled(0, 0x44)}, "malformed");
    ignored("version_6", {mangled(0, 0x65)}, "malformed");
    ignored("ihl_15_past_the_datagram", {mangled(0, 0x4F)}, "malformed");
    ignored("total_length_past_the_frame", {mangled(2, 0x01)}, "malformed");  // 256 + 46 bytes
    ignored("total_length_under_the_header", {mangled(3, 19)}, "malformed");
    ignored("bad_header_checksum", {mangled(8, 1, false)}, "bad_checksum");
    Bytes bad_icmp = Frame(ping, echo(56));
    bad_icmp.back() ^= 1;
    ignored("bad_icmp_checksum", {bad_icmp}, "bad_checksum");
    ignored("icmp_of_7_bytes", {Frame(ping, Bytes{8, 0, 0xF7, 0xFF, 0, 0, 0})}, "malformed");
    ignored("echo_reply_with_no_ping_client", {Frame(ping, Icmp(0, 0, 1, 1, Pattern(20, 1)))}, "icmp_not_echo_request");
    ignored("echo_request_code_1", {Frame(ping, Icmp(8, 1, 1, 1, Pattern(20, 1)))}, "icmp_not_echo_request");
    ignored("tcp_of_19_bytes", {Frame(tcp, Bytes(19, 0))}, "malformed");
    Bytes far_offset = Tcp(1, 2, 3, 0, 0x02);
    far_offset[12] = 15 << 4;  // 60 bytes of header in a 20-byte segment
    ignored("tcp_data_offset_past_the_segment", {Frame(tcp, far_offset)}, "malformed");
    Bytes low_offset = Tcp(1, 2, 3, 0, 0x02);
    low_offset[12] = 4 << 4;
    ignored("tcp_data_offset_under_20", {Frame(tcp, low_offset)}, "malformed");
    // Fragments aimed past the reassembly buffer or at each other.
    auto fragment = [&](std::uint16_t frag, std::size_t len) { return Frame(with(ping, [&](Ip& h) { h.frag = frag; }), Pattern(len, 9)); };
    ignored("fragment_at_65520", {fragment(0x2000 | 8190, 8)}, "malformed");
    ignored("last_fragment_ending_at_65536", {fragment(8191, 8)}, "malformed");
    ignored("fragment_crossing_65515", {fragment(0x2000 | 8011, 1480)}, "malformed");
    ignored("middle_fragment_of_13_bytes", {fragment(0x2000 | 1, 13)}, "malformed");
    v.push_back({"last_fragment_ending_before_others", {fragment(0x2000, 1480), fragment(0x2000 | 185, 1480),
                 fragment(1, 100)}, "", "", {}});
    v.back().ignored = "malformed";  // once, for the third
    v.push_back({"fragment_past_the_known_end", {fragment(185, 100), fragment(0x2000 | 185, 1480)}, "", "", {}});
    v.back().ignored = "malformed";
    {
        // 60 + 65,512 bytes: each fragment fits, the datagram does not.
        const Ip h = with(ping, [](Ip& x) { x.options = 40; });
        ignored("reassembled_over_65535_bytes", Fragments(h, Pattern(65512, 5), 1440), "malformed");
    }
    ignored("ipv6", {Ether(kUs, kPeer, net::kTypeIpv6, Pattern(60, 1))}, "ipv6");
    ignored("ethertype_0x88b5", {Ether(kUs, kPeer, 0x88B5, Pattern(60, 1))}, "other_ethertype");
    ignored("ieee_802_3_length", {Ether(kUs, kPeer, 46, Pattern(46, 1))}, "other_ethertype");
    return v;
}

class Frames : public ::testing::TestWithParam<Case> {};

TEST_P(Frames, AnswerOrIgnore) {
    const Case& c = GetParam();
    Host h;
    h.feed(c.frames);
    const net::HostStats& st = h.host->stats();
    EXPECT_EQ(st.received, c.frames.size());
    if (c.ignored.empty()) {
        EXPECT_EQ(h.ignored_total(), 0u);
    } else {
        std::uint64_t n = 0;
        for (std::size_t k = 0; k < net::kIgnoredKinds; k++)
            if (c.ignored == net::ignored_name(static_cast<Ignored>(k))) n = st.ignored[k];
        EXPECT_GE(n, 1u) << "not counted as " << c.ignored;
        EXPECT_EQ(h.ignored_total(), n) << "counted under another kind too";
    }
    const std::vector<Bytes>& out = h.sink.frames;
    if (c.answer.empty()) {
        EXPECT_TRUE(out.empty()) << out.size() << " frames sent";
        return;
    }
    if (c.answer == "arp") {
        ASSERT_EQ(out.size(), 1u);
        const Bytes& q = c.frames[0];
        const Bytes& r = out[0];
        ASSERT_EQ(r.size(), 42u);
        EXPECT_EQ(net::mac_at(&r[0]), net::mac_at(&q[22]));  // to the asker
        EXPECT_EQ(net::get16(&r[20]), 2);                    // a reply
        EXPECT_EQ(net::mac_at(&r[22]), kUs);
        EXPECT_EQ(net::get32(&r[28]), kOurIp);
        EXPECT_EQ(net::mac_at(&r[32]), net::mac_at(&q[22]));
        EXPECT_EQ(net::get32(&r[38]), net::get32(&q[28]));
        EXPECT_EQ(st.arp_replies, 1u);
        return;
    }
    const std::vector<Sent> sent = Datagrams(out);
    ASSERT_EQ(sent.size(), 1u);
    const Sent& s = sent[0];
    EXPECT_EQ(s.fault, "");
    EXPECT_EQ(s.frames, out.size());
    const Bytes& q = c.request;
    const std::size_t ihl = (q[0] & 15) * 4u;
    const Bytes q_payload(q.begin() + ihl, q.end());
    EXPECT_EQ(s.to, kPeer);
    EXPECT_EQ(s.from, kUs);
    EXPECT_EQ(s.src, kOurIp);
    EXPECT_EQ(s.dst, net::get32(&q[12]));
    EXPECT_EQ(st.reassembled, c.frames.size() > 1 ? 1u : 0u);
    if (c.answer == "echo") {
        EXPECT_EQ(s.protocol, net::kIcmp);
        ASSERT_EQ(s.payload.size(), q_payload.size());
        EXPECT_EQ(s.payload[0], 0);  // echo reply
        EXPECT_EQ(net::checksum(s.payload.data(), s.payload.size()), 0);
        EXPECT_TRUE(std::equal(s.payload.begin() + 4, s.payload.end(), q_payload.begin() + 4));
        EXPECT_EQ(s.frames, (q_payload.size() + 1479) / 1480);
        EXPECT_EQ(st.echo_replies, 1u);
    } else if (c.answer == "port" || c.answer == "protocol") {
        EXPECT_EQ(s.protocol, net::kIcmp);
        ASSERT_GE(s.payload.size(), 8u + ihl);
        EXPECT_EQ(s.payload[0], 3);
        EXPECT_EQ(s.payload[1], c.answer == "port" ? 3 : 2);
        EXPECT_EQ(net::checksum(s.payload.data(), s.payload.size()), 0);
        // The datagram's header and the start of its payload, within 576 bytes.
        EXPECT_EQ(s.payload.size(), 8 + std::min<std::size_t>(q.size(), 548));
        EXPECT_TRUE(std::equal(q.begin() + 9, q.begin() + 10, s.payload.begin() + 8 + 9));
        EXPECT_TRUE(std::equal(q.begin() + 12, q.begin() + 20, s.payload.begin() + 8 + 12));
        EXPECT_TRUE(std::equal(s.payload.begin() + 8 + ihl, s.payload.end(), q_payload.begin()));
        EXPECT_EQ(c.answer == "port" ? st.port_unreachable : st.protocol_unreachable, 1u);
    } else if (c.answer == "reset") {
        EXPECT_EQ(s.protocol, net::kTcp);
        ASSERT_EQ(s.payload.size(), 20u);
        const Bytes& in = q_payload;
        const Bytes& r = s.payload;
        EXPECT_EQ(net::get16(&r[0]), net::get16(&in[2]));
        EXPECT_EQ(net::get16(&r[2]), net::get16(&in[0]));
        if (in[13] & 0x10) {  // ACK: the reset's sequence is the acknowledgment
            EXPECT_EQ(r[13], 0x04);
            EXPECT_EQ(net::get32(&r[4]), net::get32(&in[8]));
        } else {  // SYN: acknowledges it
            EXPECT_EQ(r[13], 0x14);
            EXPECT_EQ(net::get32(&r[8]), net::get32(&in[4]) + 1);
        }
        Bytes pseudo{0, 0, 0, 0, 0, 0, 0, 0, 0, net::kTcp, 0, 20};
        net::put32(&pseudo[0], kOurIp);
        net::put32(&pseudo[4], net::get32(&q[12]));
        pseudo.insert(pseudo.end(), r.begin(), r.end());
        EXPECT_EQ(net::checksum(pseudo.data(), pseudo.size()), 0);
        EXPECT_EQ(st.tcp_resets, 1u);
    } else {
        FAIL() << "unknown answer " << c.answer;
    }
}

INSTANTIATE_TEST_SUITE_P(Host, Frames, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// Fragments of a datagram expire 30 s after the first came; what comes
// later starts afresh and is never answered with the old part.
TEST(Reassembly, IncompleteDatagramsExpire) {
    Host h;
    const Ip ping;
    auto f = Fragments(ping, Icmp(8, 0, 1, 1, Pattern(3000, 1)), 1480);
    h.feed({f[0], f[1]}, 0);
    h.feed({f[2]}, net::Ipv4Host::kReassemblyTimeout + 1);
    EXPECT_EQ(h.host->stats().count(Ignored::FragmentsExpired), 1u);
    EXPECT_TRUE(h.sink.frames.empty());
    h.host->poll(2 * net::Ipv4Host::kReassemblyTimeout + 2);  // the last one alone expires too
    EXPECT_EQ(h.host->stats().count(Ignored::FragmentsExpired), 2u);
    h.feed({f[0], f[1]}, 3 * net::Ipv4Host::kReassemblyTimeout);
    EXPECT_TRUE(h.sink.frames.empty());
    h.feed(f, 3 * net::Ipv4Host::kReassemblyTimeout + 1);  // and now whole
    EXPECT_EQ(h.host->stats().echo_replies, 1u);
}

// Four datagrams in reassembly at once are all answered, in any interleaving;
// a fifth evicts the one begun longest ago.
TEST(Reassembly, FourAtOnceAndAFifthEvictsTheOldest) {
    Host h;
    std::vector<std::vector<Bytes>> d;
    for (std::uint16_t i = 0; i < 5; i++) {
        Ip ip;
        ip.id = static_cast<std::uint16_t>(100 + i);
        d.push_back(Fragments(ip, Icmp(8, 0, 1, i, Pattern(2000 + i, static_cast<std::uint8_t>(i))), 1480));
    }
    for (std::uint16_t i = 0; i < 5; i++) h.feed({d[i][0]}, i);
    EXPECT_EQ(h.host->stats().count(Ignored::FragmentsExpired), 1u);  // datagram 0's first half
    for (std::uint16_t i = 5; i-- > 0;) h.feed({d[i][1]}, 10);
    EXPECT_EQ(h.host->stats().echo_replies, 4u);
    EXPECT_EQ(h.host->stats().reassembled, 4u);
    for (const Sent& s : Datagrams(h.sink.frames)) EXPECT_EQ(s.fault, "");
    EXPECT_TRUE(h.host->stats().count(Ignored::Malformed) == 0);
}

// A sink that refuses frames: counted, and the host carries on.
TEST(Host, FramesTheSinkRefusesAreCounted) {
    Host h;
    h.sink.refuse = true;
    h.feed(Fragments(Ip{}, Icmp(8, 0, 1, 1, Pattern(3000, 1)), 1480));
    EXPECT_EQ(h.host->stats().echo_replies, 1u);
    EXPECT_EQ(h.host->stats().send_failures, 3u);  // the reply's three fragments
    h.sink.refuse = false;
    h.feed({Frame(Ip{}, Icmp(8, 0, 1, 2, Pattern(10, 1)))});
    EXPECT_EQ(h.sink.frames.size(), 1u);
}

// Only a host address on its subnet, and a station address that is no
// group address, start a host; before that it takes nothing.
TEST(Host, StartsOnlyOnAHostAddress) {
    struct Bad {
        Mac mac;
        std::uint32_t ip;
        unsigned prefix;
    } bad[] = {{kUs, 0, 24},
               {kUs, net::ip4(127, 0, 0, 1), 8},
               {kUs, net::ip4(224, 0, 0, 1), 24},
               {kUs, net::ip4(255, 255, 255, 255), 24},
               {kUs, net::ip4(198, 18, 0, 0), 24},
               {kUs, net::ip4(198, 18, 0, 255), 24},
               {kUs, kOurIp, 0},
               {kUs, kOurIp, 33},
               {net::kBroadcastMac, kOurIp, 24}};
    for (const Bad& b : bad) {
        Recorder sink;
        net::Ipv4Host host;
        EXPECT_FALSE(host.start({b.mac, b.ip, b.prefix}, sink)) << std::hex << b.ip << "/" << std::dec << b.prefix;
        Bytes arp = Arp(1, kPeer, kPeerIp, b.ip);
        host.receive(arp.data(), arp.size(), 0);
        EXPECT_EQ(host.stats().received, 0u);
        EXPECT_TRUE(sink.frames.empty());
    }
    Recorder sink;
    net::Ipv4Host host;
    EXPECT_TRUE(host.start({kUs, net::ip4(198, 18, 0, 255), 23}, sink));  // a host address on a /23
    EXPECT_TRUE(host.start({kUs, net::ip4(10, 0, 0, 0), 31}, sink));     // both of a /31 are hosts
}

// The names the tool prints and its tests read.
TEST(Host, IgnoredKindsKeepTheirNames) {
    const char* names[] = {"arp_not_for_us", "bad_checksum",   "bad_source", "fragments_expired",
                           "icmp_not_echo_request", "ipv4_not_for_us", "ipv6", "link_broadcast",
                           "malformed", "other_ethertype", "tcp_reset_received"};
    ASSERT_EQ(std::size(names), net::kIgnoredKinds);
    for (std::size_t k = 0; k < net::kIgnoredKinds; k++)
        EXPECT_STREQ(net::ignored_name(static_cast<Ignored>(k)), names[k]);
}

}  // namespace
}  // namespace nettest
