// tap: the emulated segment bridged to a Linux TAP device, paced to real
// time. The adapter's protocol is a tiny IPv4 host: it answers ARP requests
// and ICMP echo requests for its address, so the Linux stack can ping it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <ostream>

#include "hw/segment.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/rig.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// The Internet checksum (ones' complement sum of 16-bit words).
std::uint16_t inet_checksum(const std::uint8_t* p, std::size_t len) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) sum += get16(p + i);
    if (len & 1) sum += static_cast<std::uint32_t>(p[len - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

class Responder : public sim::Protocol {
public:
    struct Stats {
        std::uint64_t received = 0;
        std::uint64_t arp_replies = 0;
        std::uint64_t echo_replies = 0;
        std::uint64_t bad_checksums = 0;
        std::uint64_t send_failures = 0;
    };

    Responder(const sim::MacAddress& mac, const std::array<std::uint8_t, 4>& ip) : mac_(mac), ip_(ip) {}
    const Stats& stats() const { return stats_; }

    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size, const std::uint8_t*,
                    unsigned, unsigned packet_size, NDIS_HANDLE) override {
        Bytes f(header, header + header_size);
        sim::Packet data = sim::Packet::zeroed(packet_size);
        UINT got = 0;
        if (adapter.transfer_data(data, 0, packet_size, &got) != NDIS_STATUS_SUCCESS) return;
        auto d = data.contents();
        f.insert(f.end(), d.begin(), d.begin() + got);
        stats_.received++;
        if (f.size() < 14) return;
        std::uint16_t type = get16(&f[12]);
        Bytes reply;
        if (type == 0x0806) reply = arp(f);
        else if (type == 0x0800) reply = icmp(f);
        if (!reply.empty()) send(adapter, std::move(reply));
    }

    void on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) override {
        if (status != NDIS_STATUS_SUCCESS) stats_.send_failures++;
        packets_.erase(packet);
    }

private:
    void send(sim::Adapter& adapter, Bytes bytes) {
        auto p = std::make_unique<sim::Packet>(bytes);
        NDIS_PACKET* key = p->get();
        packets_[key] = std::move(p);
        adapter.send(key, 0, this);  // completes through on_send_complete
    }

    Bytes arp(const Bytes& f) {
        if (f.size() < 42) return {};
        const std::uint8_t* a = &f[14];
        if (get16(a) != 1 || get16(a + 2) != 0x0800 || a[4] != 6 || a[5] != 4 || get16(a + 6) != 1) return {};
        if (std::memcmp(a + 24, ip_.data(), 4) != 0) return {};
        Bytes r(42);
        std::memcpy(&r[0], a + 8, 6);  // to the asker
        std::memcpy(&r[6], mac_.data(), 6);
        put16(&r[12], 0x0806);
        std::uint8_t* b = &r[14];
        put16(b, 1);
        put16(b + 2, 0x0800);
        b[4] = 6;
        b[5] = 4;
        put16(b + 6, 2);                    // reply
        std::memcpy(b + 8, mac_.data(), 6); // sender: us
        std::memcpy(b + 14, ip_.data(), 4);
        std::memcpy(b + 18, a + 8, 6);      // target: the asker
        std::memcpy(b + 24, a + 14, 4);
        stats_.arp_replies++;
        return r;
    }

    Bytes icmp(const Bytes& f) {
        if (f.size() < 14 + 20) return {};
        const std::uint8_t* ip = &f[14];
        unsigned ihl = (ip[0] & 0x0F) * 4u;
        unsigned total = get16(ip + 2);
        if ((ip[0] >> 4) != 4 || ihl < 20 || total < ihl + 8 || 14 + total > f.size()) return {};
        if (std::memcmp(ip + 16, ip_.data(), 4) != 0 || ip[9] != 1) return {};
        if ((get16(ip + 6) & 0x3FFF) != 0) return {};  // a fragment: not reassembled here
        const std::uint8_t* icmp = ip + ihl;
        if (icmp[0] != 8 || icmp[1] != 0) return {};  // echo request only
        if (inet_checksum(ip, ihl) != 0 || inet_checksum(icmp, total - ihl) != 0) {
            stats_.bad_checksums++;
            return {};
        }
        // The request without any padding, addresses swapped.
        Bytes r(f.begin() + 6, f.begin() + 12);
        r.insert(r.end(), mac_.begin(), mac_.end());
        r.insert(r.end(), f.begin() + 12, f.begin() + 14 + total);
        std::uint8_t* rip = &r[14];
        std::memcpy(rip + 12, ip + 16, 4);  // from us
        std::memcpy(rip + 16, ip + 12, 4);  // to the asker
        rip[8] = 64;                        // TTL
        put16(rip + 10, 0);
        put16(rip + 10, inet_checksum(rip, ihl));
        std::uint8_t* ricmp = rip + ihl;
        ricmp[0] = 0;  // echo reply
        put16(ricmp + 2, 0);
        put16(ricmp + 2, inet_checksum(ricmp, total - ihl));
        stats_.echo_replies++;
        return r;
    }

    sim::MacAddress mac_;
    std::array<std::uint8_t, 4> ip_;
    Stats stats_;
    std::map<NDIS_PACKET*, std::unique_ptr<sim::Packet>> packets_;
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Opens the TAP device `name`; RunError saying what to do when it cannot.
int open_tap(const std::string& name) {
    int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT || e == ENODEV || e == ENXIO)
            throw RunError("/dev/net/tun is missing (" + std::string(std::strerror(e)) +
                           "); load the tun module (modprobe tun) or run where TUN/TAP is available");
        if (e == EACCES || e == EPERM)
            throw RunError("cannot open /dev/net/tun (" + std::string(std::strerror(e)) +
                           "); creating a TAP device needs root or CAP_NET_ADMIN: run as root (sudo ne2k tap ...)");
        throw RunError("cannot open /dev/net/tun: " + std::string(std::strerror(e)));
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(fd, TUNSETIFF, &ifr) < 0) {
        int e = errno;
        ::close(fd);
        if (e == EPERM || e == EACCES)
            throw RunError("cannot create TAP device " + name + " (" + std::strerror(e) +
                           "); this needs root or CAP_NET_ADMIN: run as root (sudo ne2k tap ...)");
        if (e == EBUSY)
            throw RunError("TAP device " + name + " is busy (" + std::strerror(e) +
                           "); another program holds it or it is not a TAP device: pick another name");
        throw RunError("cannot create TAP device " + name + ": " + std::strerror(e));
    }
    // Bring the link up; the Linux side's address is the user's to set.
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        ifreq up{};
        std::strncpy(up.ifr_name, name.c_str(), IFNAMSIZ - 1);
        if (::ioctl(s, SIOCGIFFLAGS, &up) == 0) {
            up.ifr_flags = static_cast<short>(up.ifr_flags | IFF_UP);
            (void)::ioctl(s, SIOCSIFFLAGS, &up);
        }
        ::close(s);
    }
    return fd;
}

}  // namespace

int tap_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, {"--ip", "--kind", "--station", "--count", "--seconds"}, {});
    if (a.help()) {
        io.out << "usage: ne2k tap IFNAME --ip ADDR/LEN [--kind K] [--station MAC] [--count N] [--seconds S]\n"
                  "\n"
                  "Bridges the emulated segment to a Linux TAP device (created as IFNAME, needs\n"
                  "root), paced to real time. The adapter's protocol answers ARP requests and\n"
                  "ICMP echo requests for ADDR, with the card's station address as its MAC.\n"
                  "Ctrl-C ends it with a summary.\n"
                  "\n"
                  "  --ip ADDR/LEN   the emulated host's IPv4 address, e.g. 198.18.0.2/24\n"
                  "  --kind K        board kind: isa16 (default), isa8, pccard, mca\n"
                  "  --station MAC   the card's station address (default 02:00:00:00:00:01)\n"
                  "  --count N       stop after answering N echo requests (1..1000000)\n"
                  "  --seconds S     stop after S seconds (1..86400)\n"
                  "\n"
                  "example (as root):\n"
                  "  ne2k tap ne2k0 --ip 198.18.0.2/24 &\n"
                  "  ip addr add 198.18.0.1/24 dev ne2k0 && ip link set ne2k0 up\n"
                  "  ping -c 5 198.18.0.2\n";
        return kExitOk;
    }
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? "name the TAP device: ne2k tap IFNAME --ip ADDR/LEN"
                                                : "one device at a time (got '" + a.positional()[1] + "' too)");
    std::string name = a.positional()[0];
    if (name.size() >= IFNAMSIZ || name.find('/') != std::string::npos || name.find(' ') != std::string::npos)
        throw UsageError("'" + name + "' is not a usable interface name (at most 15 characters, no '/' or spaces)");
    auto ipopt = a.value("--ip");
    if (!ipopt) throw UsageError("give the emulated host's address: --ip ADDR/LEN, e.g. --ip 198.18.0.2/24");
    std::string ipaddr = *ipopt;
    unsigned prefix = 32;
    if (auto slash = ipaddr.find('/'); slash != std::string::npos) {
        std::string len = ipaddr.substr(slash + 1);
        ipaddr = ipaddr.substr(0, slash);
        bool ok = !len.empty() && len.size() <= 2;
        for (char c : len) ok = ok && c >= '0' && c <= '9';
        if (ok) prefix = static_cast<unsigned>(std::stoul(len));
        if (!ok || prefix < 1 || prefix > 32)
            throw UsageError("--ip: prefix length '" + len + "' must be a number from 1 to 32");
    }
    std::array<std::uint8_t, 4> ip{};
    if (inet_pton(AF_INET, ipaddr.c_str(), ip.data()) != 1)
        throw UsageError("--ip: '" + ipaddr + "' is not an IPv4 address (write e.g. 198.18.0.2/24)");
    std::uint64_t count = a.number("--count", 0, 1, 1000000);
    std::uint64_t seconds = a.number("--seconds", 0, 1, 86400);
    RigCard card;
    if (auto k = a.value("--kind")) card.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) card.station = parse_station(*s, "--station");

    Fd tap;
    tap.fd = open_tap(name);

    Rig rig({card});
    rig.initialize_all();
    sim::Host& host = rig.host();
    sim::Adapter& ad = rig.adapter(0);
    ad.keep_indications(false);
    Responder responder(card.station, ip);
    ad.bind(responder);
    set_filter(ad, responder, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST, {});

    // Frames from Linux are injected; the segment's tap sees them again
    // (in order) and must not send them back.
    std::deque<Bytes> injected;
    std::uint64_t to_linux = 0, from_linux = 0, too_long = 0, write_errors = 0;
    rig.segment().add_tap([&](sim::Nanos, const std::uint8_t* f, std::size_t len) {
        std::size_t n = hw::Segment::strip_fcs(len);
        if (!injected.empty() && injected.front().size() == n && std::memcmp(injected.front().data(), f, n) == 0) {
            injected.pop_front();
            return;
        }
        if (::write(tap.fd, f, n) == static_cast<ssize_t>(n)) to_linux++;
        else write_errors++;
    });

    io.out << "ne2k tap: " << kind_name(card.kind) << " adapter " << mac_text(card.station.data()) << " is "
           << ipaddr << "/" << prefix << " on TAP device " << name << "; Ctrl-C ends\n"
           << std::flush;

    using Clock = std::chrono::steady_clock;
    const auto real_start = Clock::now();
    const sim::Nanos virt_start = host.now();
    std::uint8_t buf[65536];
    const char* why = "interrupted";
    for (;;) {
        if (io.stop && *io.stop) break;
        if (count && responder.stats().echo_replies >= count && injected.empty()) {
            why = "answered the echo requests asked for";
            break;
        }
        auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - real_start).count();
        if (seconds && static_cast<std::uint64_t>(elapsed) >= seconds * 1000000000ull) {
            why = "time is up";
            break;
        }
        host.run_until(virt_start + static_cast<sim::Nanos>(elapsed));

        // Wait for Linux or for the next hardware event, at most 10 ms.
        int wait_ms = 10;
        sim::Nanos next = host.clock().next_deadline();
        if (next != hw::kNever) {
            sim::Nanos ahead = next > host.now() ? next - host.now() : 0;
            wait_ms = static_cast<int>(std::min<sim::Nanos>(10, (ahead + 999999) / 1000000));
        }
        pollfd p{tap.fd, POLLIN, 0};
        int pr = ::poll(&p, 1, wait_ms);
        if (pr < 0 && errno != EINTR) throw RunError(std::string("poll on the TAP device failed: ") + std::strerror(errno));
        if (pr > 0 && (p.revents & POLLIN)) {
            for (;;) {
                ssize_t n = ::read(tap.fd, buf, sizeof buf);
                if (n <= 0) break;
                if (n > 1514) {
                    too_long++;
                    continue;
                }
                Bytes f(buf, buf + n);
                if (f.size() < 60) f.resize(60, 0);
                injected.push_back(f);
                rig.segment().inject(f.data(), f.size());
                from_linux++;
            }
        }
    }
    // Let what is under way reach Linux.
    host.run_until_idle(50 * 1000 * hw::kMicrosecond);
    AdapterCounters c = query_counters(ad);
    ad.unbind(responder);
    auto problems = rig.halt_all();
    const auto& st = responder.stats();
    auto secs = std::chrono::duration<double>(Clock::now() - real_start).count();
    io.out << "ne2k tap: stopped (" << why << ") after " << static_cast<long>(secs) << " s\n"
           << "  frames from Linux        " << from_linux << (too_long ? " (" + std::to_string(too_long) + " longer than 1514 skipped)" : "") << "\n"
           << "  frames to Linux          " << to_linux << "\n"
           << "  indicated to the host    " << st.received << "\n"
           << "  ARP requests answered    " << st.arp_replies << "\n"
           << "  echo requests answered   " << st.echo_replies << "\n";
    if (st.bad_checksums) io.out << "  bad checksums ignored    " << st.bad_checksums << "\n";
    if (st.send_failures) io.out << "  replies the driver failed " << st.send_failures << "\n";
    if (write_errors) io.out << "  writes to TAP failed     " << write_errors << "\n";
    io.out << "  OID_GEN_XMIT_OK " << c.xmit_ok << ", RCV_OK " << c.rcv_ok << ", XMIT_ERROR " << c.xmit_error
           << ", RCV_ERROR " << c.rcv_error << ", RCV_NO_BUFFER " << c.rcv_no_buffer << "\n";
    for (auto& p : problems) io.out << "  problem: " << p << "\n";
    return problems.empty() ? kExitOk : kExitFailure;
}

}  // namespace ne2k_tool
