// bridge: the segment joined to a UDP socket of the test's own, one
// Ethernet frame per datagram, as QEMU's -netdev dgram backend sends them.
// The far side is the test: datagrams of every kind, or the IPv4 host and
// ping client of host/net on the real clock, which can go away and return.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>

#include "net/ping.h"
#include "tests/net/frames.h"
#include "tests/tools/tool_helpers.h"

namespace ne2k_tool {
namespace {

using ne2k_tool_test::Background;
using ne2k_tool_test::Bytes;
using ne2k_tool_test::JsonMap;
using ne2k_tool_test::num;
using ne2k_tool_test::parse_json;
using ne2k_tool_test::read_file;
using ne2k_tool_test::run_tool;
using ne2k_tool_test::RunResult;
using ne2k_tool_test::ScratchDir;
using SteadyClock = std::chrono::steady_clock;

// A UDP socket on 127.0.0.1 (a port the system picks, or `port`).
class UdpEnd {
public:
    explicit UdpEnd(unsigned port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = address(port);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpEnd() { ::close(fd_); }
    UdpEnd(const UdpEnd&) = delete;
    UdpEnd& operator=(const UdpEnd&) = delete;

    bool bound() const { return bound_; }
    unsigned port() const { return port_; }
    void connect_to(unsigned port) {
        sockaddr_in a = address(port);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    void send(const std::uint8_t* data, std::size_t len) { (void)::send(fd_, data, len, 0); }
    void send(const Bytes& b) { send(b.data(), b.size()); }
    // The next datagram within `ms` milliseconds (refusals of earlier
    // datagrams are passed over).
    std::optional<Bytes> receive(int ms) {
        const auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now());
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, left.count()))) <= 0) return std::nullopt;
            std::uint8_t buf[65536];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n >= 0) return Bytes(buf, buf + n);
        }
    }

private:
    static sockaddr_in address(unsigned port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    int fd_ = -1;
    unsigned port_ = 0;
    bool bound_ = false;
};

// A port nothing listens at (the system's pick, let go).
unsigned free_port() { return UdpEnd().port(); }

// Some socket is bound to 127.0.0.1:port (the local address of a line of
// /proc/net/udp).
bool port_bound(unsigned port) {
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    std::istringstream lines(read_file("/proc/net/udp"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string slot, local;
        if (fields >> slot >> local && local == want) return true;
    }
    return false;
}

// `ne2k bridge` between a free port and `peer`'s, in the background, its
// --json summary in a file; running once its socket is bound.
class BridgeRun {
public:
    BridgeRun(UdpEnd& peer, const std::string& options, const ScratchDir& dir)
        : local_(free_port()), json_(dir.file("bridge.json")),
          tool_(std::string(NE2K_TOOL_PATH) + " bridge --local 127.0.0.1:" + std::to_string(local_) +
                    " --remote 127.0.0.1:" + std::to_string(peer.port()) + " --ip 198.18.0.2/24 --json " + options +
                    " 2>" + dir.file("bridge.err"),
                json_) {
        peer.connect_to(local_);
        for (int i = 0; i < 500 && !port_bound(local_); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    unsigned port() const { return local_; }
    Background& tool() { return tool_; }
    JsonMap summary() const { return parse_json(read_file(json_)); }
    std::string text() const { return read_file(json_); }

private:
    unsigned local_;
    std::string json_;
    Background tool_;
};

// The far side: the IPv4 host of host/net (198.18.0.1, station
// 02:00:00:00:00:42) with a ping client, its frames one per datagram.
class PeerHost : private net::FrameSink {
public:
    explicit PeerHost(std::unique_ptr<UdpEnd> end) : end_(std::move(end)), host_(std::make_unique<net::Ipv4Host>()) {
        host_->start({nettest::kPeer, nettest::kPeerIp, nettest::kPrefix}, *this);
    }
    // Gives the far side a new socket (null: none, as when the peer is gone).
    void reconnect(std::unique_ptr<UdpEnd> end) { end_ = std::move(end); }
    bool ping(std::uint32_t count) {
        net::PingPlan plan;
        plan.target = nettest::kOurIp;
        plan.count = count;
        return pinger_.start(*host_, plan, now());
    }
    // Answers and pings until `done` says so or `seconds` pass; false then.
    bool serve(const std::function<bool()>& done, double seconds) {
        const auto until = SteadyClock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (SteadyClock::now() > until) return false;
            host_->poll(now());
            if (!end_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (auto d = end_->receive(1)) host_->receive(d->data(), d->size(), now());
        }
        return true;
    }
    const net::HostStats& stats() const { return host_->stats(); }
    const net::Pinger& pinger() const { return pinger_; }

private:
    bool send(const std::uint8_t* frame, std::size_t len) override {
        if (end_) end_->send(frame, len);
        return true;
    }
    net::Nanos now() const {
        return static_cast<net::Nanos>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - start_).count());
    }
    std::unique_ptr<UdpEnd> end_;
    std::unique_ptr<net::Ipv4Host> host_;  // 268 KB
    net::Pinger pinger_;
    SteadyClock::time_point start_ = SteadyClock::now();
};

Bytes echo_request(std::size_t data, const net::Mac& to = nettest::kUs) {
    nettest::Ip ip;
    return nettest::Frame(ip, nettest::Icmp(8, 0, 0x77, static_cast<std::uint16_t>(data), nettest::Pattern(data, 7)),
                          to);
}

// A datagram and what comes back: one datagram of `reply` bytes, or none.
struct Datagram {
    const char* name;
    Bytes bytes;
    std::size_t reply;
};

TEST(Bridge, EachDatagramIsOneFrameAndEveryOneIsAccountedFor) {
    ScratchDir dir;
    UdpEnd peer;
    BridgeRun bridge(peer, "--seconds 60", dir);
    Bytes arp = nettest::Arp(1, nettest::kPeer, nettest::kPeerIp, nettest::kOurIp);
    Bytes framed = arp;  // a frame as -netdev stream sends it: its length first
    framed.insert(framed.begin(), {0, 0, 0, static_cast<std::uint8_t>(arp.size())});
    Bytes odd_type = echo_request(56);
    odd_type[12] = 0x05, odd_type[13] = 0xFF;
    const Bytes group_source = nettest::Ether(nettest::kUs, {{0x03, 0, 0, 0, 0, 0x42}}, 0x0800, Bytes(46, 0));
    const Datagram cases[] = {
        // Frames both ways: the reply is one datagram, as long as its frame.
        {"ARP request, 42 bytes: the reply filled to 60 by the driver", arp, 60},
        {"echo request, 98-byte frame", echo_request(56), 98},
        {"echo request, 60-byte frame", echo_request(18), 60},
        {"echo request, 1514-byte frame", echo_request(1472), 1514},
        {"to another station: the card's filter keeps it back", echo_request(56, {{0x02, 0, 0, 0, 0, 0x99}}), 0},
        // Datagrams that are no usable frame: counted, never on the wire.
        {"empty", {}, 0},
        {"13 bytes: shorter than a header", Bytes(13, 0xFF), 0},
        {"1515 bytes", Bytes(1515, 0xFF), 0},
        {"9000 bytes", Bytes(9000, 0xFF), 0},
        {"a length before the frame, as -netdev stream frames it", framed, 0},
        {"type 0x05FF, neither a length nor a type", odd_type, 0},
        {"a group address as the source", group_source, 0},
    };
    std::size_t replies = 0;
    for (const Datagram& c : cases) {
        SCOPED_TRACE(c.name);
        peer.send(c.bytes);
        std::optional<Bytes> got = peer.receive(c.reply ? 2000 : 150);
        if (!c.reply) {
            EXPECT_FALSE(got) << got->size() << " bytes came back";
            continue;
        }
        replies++;
        ASSERT_TRUE(got);
        EXPECT_EQ(got->size(), c.reply);
        EXPECT_TRUE(std::equal(nettest::kPeer.b, nettest::kPeer.b + 6, got->begin()));  // to the sender
        EXPECT_TRUE(std::equal(nettest::kUs.b, nettest::kUs.b + 6, got->begin() + 6));  // from our station
        if (c.bytes[12] == 0x08 && c.bytes[13] == 0x00) {  // the echo's data comes back as it went
            EXPECT_TRUE(std::equal(c.bytes.begin() + 42, c.bytes.end(), got->begin() + 42));
        }
    }
    bridge.tool().interrupt();
    ASSERT_EQ(bridge.tool().wait(10), 0) << bridge.text();
    JsonMap j = bridge.summary();
    EXPECT_EQ(j["stopped"], "interrupted");
    EXPECT_EQ(num(j, "from_peer"), std::size(cases));
    EXPECT_EQ(num(j, "from_peer_too_short"), 2u);
    EXPECT_EQ(num(j, "from_peer_too_long"), 2u);
    EXPECT_EQ(num(j, "from_peer_not_ethernet"), 3u);
    EXPECT_EQ(num(j, "offered"), 5u);
    EXPECT_EQ(num(j, "verdicts.indicated"), 4u);
    EXPECT_EQ(num(j, "verdicts.card_filter"), 1u);
    EXPECT_EQ(num(j, "to_peer"), replies);
    EXPECT_EQ(num(j, "arp_replies"), 1u);
    EXPECT_EQ(num(j, "echo_replies"), 3u);
    EXPECT_EQ(num(j, "peer_refused"), 0u);
}

TEST(Bridge, PingsBothWaysNoneLost) {
    ScratchDir dir;
    auto end = std::make_unique<UdpEnd>();
    BridgeRun bridge(*end, "--ping 198.18.0.1 --count 100 --seconds 60", dir);
    PeerHost peer(std::move(end));
    ASSERT_TRUE(peer.ping(20));
    // The peer serves until the bridge has done its 100 pings and ended.
    int status = -2;
    peer.serve([&] { return (status = bridge.tool().wait(0)) != -1; }, 60);
    EXPECT_EQ(status, 0) << bridge.text() << read_file(dir.file("bridge.err"));
    JsonMap j = bridge.summary();
    EXPECT_EQ(j["stopped"], "pinged 198.18.0.1 100 times");
    EXPECT_EQ(num(j, "ping.received"), 100u);
    EXPECT_EQ(num(j, "ping.lost"), 0u);
    EXPECT_EQ(num(j, "echo_replies"), 20u);
    EXPECT_EQ(peer.pinger().stats().received, 20u);
    EXPECT_EQ(peer.pinger().stats().lost, 0u);
    EXPECT_EQ(num(j, "verdicts.indicated"), num(j, "offered"));
}

TEST(Bridge, ThePeerGoesAwayAndComesBack) {
    ScratchDir dir;
    auto end = std::make_unique<UdpEnd>();
    const unsigned peer_port = end->port();
    BridgeRun bridge(*end, "--ping 198.18.0.1 --count 30 --seconds 60", dir);
    PeerHost peer(std::move(end));
    ASSERT_TRUE(peer.serve([&] { return peer.stats().echo_replies >= 10; }, 20));
    // Gone: nothing listens at the bridge's remote address for 1.5 s.
    peer.reconnect(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(bridge.tool().wait(0), -1) << "the bridge stopped while its peer was away";
    auto back = std::make_unique<UdpEnd>(peer_port);
    ASSERT_TRUE(back->bound());
    back->connect_to(bridge.port());
    peer.reconnect(std::move(back));
    int status = -2;
    peer.serve([&] { return (status = bridge.tool().wait(0)) != -1; }, 60);
    // Requests sent while it was away are lost: exit 1, and the summary says so.
    EXPECT_EQ(status, 1) << bridge.text();
    JsonMap j = bridge.summary();
    EXPECT_EQ(j["stopped"], "pinged 198.18.0.1 30 times");
    EXPECT_GE(num(j, "peer_refused"), 1u);
    EXPECT_GE(num(j, "ping.lost"), 1u);
    EXPECT_GE(num(j, "ping.received"), 20u);
    EXPECT_EQ(num(j, "ping.received") + num(j, "ping.lost"), 30u);
    EXPECT_NE(read_file(dir.file("bridge.err")).find("echo requests to 198.18.0.1 lost"), std::string::npos);
}

TEST(Bridge, NothingListeningIsCountedAndTheRunGoesOn) {
    ScratchDir dir;
    const unsigned port = free_port();
    RunResult r = run_tool("bridge --local 127.0.0.1:" + std::to_string(free_port()) + " --remote 127.0.0.1:" +
                               std::to_string(port) + " --ip 198.18.0.2/24 --ping 198.18.0.1 --seconds 2 --json",
                           dir);
    // The ping did not finish in the time given: exit 1.
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    JsonMap j = parse_json(r.out);
    EXPECT_EQ(j["stopped"], "time is up");
    EXPECT_GE(num(j, "ping.arp_requests"), 2u);
    EXPECT_GE(num(j, "peer_refused"), 1u);
    EXPECT_NE(r.err.find("did not finish"), std::string::npos) << r.err;
}

TEST(Bridge, BadCommandLinesAreRefusedWithTheReason) {
    ScratchDir dir;
    UdpEnd taken;
    const std::string ok = " --local 127.0.0.1:" + std::to_string(free_port()) + " --remote 127.0.0.1:5556";
    struct Case {
        std::string args;
        int code;
        const char* says;
    } cases[] = {
        {"bridge --remote 127.0.0.1:5556 --ip 198.18.0.2/24", 2, "give both UDP addresses"},
        {"bridge --local 127.0.0.1 --remote 127.0.0.1:5556 --ip 198.18.0.2/24", 2, "is not ADDR:PORT"},
        {"bridge --local 127.0.0.1:70000 --remote 127.0.0.1:5556 --ip 198.18.0.2/24", 2,
         "port '70000' must be a number from 1 to 65535"},
        {"bridge --local [::1]:5555 --remote 127.0.0.1:5556 --ip 198.18.0.2/24", 2, "different address families"},
        {"bridge" + ok, 2, "give the emulated host's address: --ip"},
        {"bridge" + ok + " --ip 198.18.0.2/24 --ping 198.18.1.1", 2, "is not on 198.18.0.0/24"},
        {"bridge" + ok + " --ip 198.18.0.2/24 --ping 198.18.0.2", 2, "the emulated host's own address"},
        {"bridge" + ok + " --ip 198.18.0.2/24 --ping 198.18.0.255", 2, "198.18.0.255 is"},
        {"bridge --local 127.0.0.1:" + std::to_string(taken.port()) + " --remote 127.0.0.1:5556 --ip 198.18.0.2/24",
         1, "is in use"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run_tool(c.args, dir);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace ne2k_tool
