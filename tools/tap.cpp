// tap: the emulated segment bridged to a Linux TAP device, paced to real
// time. The adapter's protocol is the small IPv4 host of host/net/ (bound
// by tools/net_binding.h), so the Linux stack can ping it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <ostream>

#include "hw/segment.h"
#include "net/wire.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/json.h"
#include "tools/net_binding.h"
#include "tools/rig.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct TapOptions {
    std::string name;
    std::uint32_t ip = 0;  // host order
    unsigned prefix = 32;
    std::string ip_text;
    std::uint64_t count = 0;    // 0: no limit
    std::uint64_t seconds = 0;  // 0: no limit
    RigCard card;
};

TapOptions parse_tap_options(const Args& a) {
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? "name the TAP device: ne2k tap IFNAME --ip ADDR/LEN"
                                                : "one device at a time (got '" + a.positional()[1] + "' too)");
    TapOptions o;
    o.name = a.positional()[0];
    if (o.name.size() >= IFNAMSIZ || o.name.find('/') != std::string::npos || o.name.find(' ') != std::string::npos)
        throw UsageError("'" + o.name + "' is not a usable interface name (at most 15 characters, no '/' or spaces)");
    auto ipopt = a.value("--ip");
    if (!ipopt) throw UsageError("give the emulated host's address: --ip ADDR/LEN, e.g. --ip 198.18.0.2/24");
    o.ip_text = *ipopt;
    if (auto slash = o.ip_text.find('/'); slash != std::string::npos) {
        std::string len = o.ip_text.substr(slash + 1);
        o.ip_text = o.ip_text.substr(0, slash);
        bool ok = !len.empty() && len.size() <= 2 && std::all_of(len.begin(), len.end(), ::isdigit);
        if (ok) o.prefix = static_cast<unsigned>(std::stoul(len));
        if (!ok || o.prefix < 1 || o.prefix > 32)
            throw UsageError("--ip: prefix length '" + len + "' must be a number from 1 to 32");
    }
    in_addr addr{};
    if (inet_pton(AF_INET, o.ip_text.c_str(), &addr) != 1)
        throw UsageError("--ip: '" + o.ip_text + "' is not an IPv4 address (write e.g. 198.18.0.2/24)");
    o.ip = ntohl(addr.s_addr);
    if (const char* why = net::host_address_problem(o.ip, o.prefix))
        throw UsageError("--ip: " + o.ip_text + " is " + why + "; give a host address, e.g. 198.18.0.2/24");
    o.count = a.number("--count", 0, 1, 1000000);
    o.seconds = a.number("--seconds", 0, 1, 86400);
    if (auto k = a.value("--kind")) o.card.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) o.card.station = parse_station(*s, "--station");
    return o;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Opens the TAP device `name` and brings its link up; RunError saying what
// to do when it cannot.
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

// The segment and the TAP device joined, with virtual time kept equal to
// the real time since the start: a frame from Linux goes on the wire at
// the moment it arrives, and one for Linux is written when the virtual
// clock reaches the end of its wire time.
class Bridge {
public:
    Bridge(const TapOptions& o, int fd, Console& io)
        : o_(o), fd_(fd), io_(io), rig_({o.card}) {
        rig_.initialize_all();
        sim::Adapter& a = rig_.adapter(0);
        a.keep_indications(false);
        rig_.host().keep_send_completions(false);
        net::HostConfig config{{}, o.ip, o.prefix};
        std::copy(o.card.station.begin(), o.card.station.end(), config.mac.b);
        net_ = std::make_unique<NetBinding>(a, rig_.host(), config);
        a.bind(*net_);
        set_filter(a, *net_, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST, {});
        rig_.segment().add_tap([this](sim::Nanos, const std::uint8_t* f, std::size_t len) { to_linux(f, len); });
        real_start_ = Clock::now();
        virt_start_ = rig_.host().now();
    }

    // Until Ctrl-C, the count of echo replies, or the time limit; returns why it stopped.
    const char* run() {
        for (;;) {
            if (io_.stopped()) return "interrupted";
            if (o_.count && net_->stats().echo_replies >= o_.count && injected_.empty())
                return "answered the echo requests asked for";
            if (o_.seconds && real_ns() >= o_.seconds * 1000000000ull) return "time is up";
            catch_up();
            wait_for_linux();
        }
    }

    // What is under way reaches Linux, the adapter is halted; the summary.
    void finish(const char* why, std::ostream& out, bool json) {
        rig_.drain();
        AdapterCounters c = query_counters(rig_.adapter(0));
        rig_.adapter(0).unbind(*net_);
        auto problems = rig_.halt_all();
        problems_ = problems.size();
        double secs = double(real_ns()) / 1e9;
        const net::HostStats& st = net_->stats();
        const std::uint64_t send_failures = net_->send_failures();
        std::map<std::string, std::uint64_t> ignored;  // the kinds seen, by name
        for (std::size_t k = 0; k < net::kIgnoredKinds; k++)
            if (st.ignored[k]) ignored[net::ignored_name(static_cast<net::Ignored>(k))] = st.ignored[k];
        if (json) {
            Json j(out);
            j.str("command", "tap").str("device", o_.name).str("ip", o_.ip_text).num("prefix", o_.prefix);
            j.str("kind", kind_name(o_.card.kind)).str("station", mac_text(o_.card.station.data()));
            j.str("stopped", why).real("seconds", secs);
            j.num("from_linux", from_linux_).num("from_linux_too_long", too_long_).num("to_linux", to_linux_);
            j.num("write_errors", write_errors_).num("indicated", st.received).num("arp_replies", st.arp_replies);
            j.num("echo_replies", st.echo_replies).num("reassembled", st.reassembled);
            j.num("port_unreachable", st.port_unreachable).num("protocol_unreachable", st.protocol_unreachable);
            j.num("tcp_resets", st.tcp_resets).num("send_failures", send_failures).object("ignored");
            for (auto& [kind, n] : ignored) j.num(kind, n);
            j.close().object("counters").num("xmit_ok", c.xmit_ok).num("rcv_ok", c.rcv_ok);
            j.num("xmit_error", c.xmit_error).num("rcv_error", c.rcv_error).num("rcv_no_buffer", c.rcv_no_buffer);
            j.close().strs("problems", problems).close();
            return;
        }
        auto row = [&](const char* what, std::uint64_t n, const std::string& more = {}) {
            char line[64];
            std::snprintf(line, sizeof line, "  %-26s%8llu", what, static_cast<unsigned long long>(n));
            out << line << (more.empty() ? "" : " (" + more + ")") << "\n";
        };
        out << "ne2k tap: stopped (" << why << ") after " << static_cast<long>(secs) << " s\n";
        row("frames from Linux", from_linux_, too_long_ ? std::to_string(too_long_) + " longer than 1514 skipped" : "");
        row("frames to Linux", to_linux_);
        row("indicated to the host", st.received);
        row("ARP requests answered", st.arp_replies);
        row("echo requests answered", st.echo_replies,
            st.reassembled ? std::to_string(st.reassembled) + " reassembled from fragments" : "");
        if (st.port_unreachable) row("UDP port unreachable sent", st.port_unreachable);
        if (st.protocol_unreachable) row("protocol unreachable sent", st.protocol_unreachable);
        if (st.tcp_resets) row("TCP resets sent", st.tcp_resets);
        for (auto& [kind, n] : ignored) row(("ignored: " + kind).c_str(), n);
        if (send_failures) row("replies the driver failed", send_failures);
        if (write_errors_) row("writes to TAP failed", write_errors_);
        out << "  OID_GEN_XMIT_OK " << c.xmit_ok << ", RCV_OK " << c.rcv_ok << ", XMIT_ERROR " << c.xmit_error
            << ", RCV_ERROR " << c.rcv_error << ", RCV_NO_BUFFER " << c.rcv_no_buffer << "\n";
        for (auto& p : problems) out << "  problem: " << p << "\n";
    }
    std::size_t problems() const { return problems_; }

private:
    std::uint64_t real_ns() const {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - real_start_).count());
    }
    // Virtual time up to real time.
    void catch_up() {
        sim::Nanos now = virt_start_ + real_ns();
        if (now > rig_.host().now()) rig_.host().run_until(now);
    }

    // Sleeps until Linux sends or the next hardware event is due (at most
    // 10 ms), then takes every frame Linux has sent, each at its arrival.
    void wait_for_linux() {
        int wait_ms = 10;
        sim::Nanos next = rig_.host().clock().next_deadline();
        if (next != hw::kNever) {
            sim::Nanos ahead = next > rig_.host().now() ? next - rig_.host().now() : 0;
            wait_ms = static_cast<int>(std::min<sim::Nanos>(10, (ahead + 999999) / 1000000));
        }
        pollfd p{fd_, POLLIN, 0};
        int pr = ::poll(&p, 1, wait_ms);
        if (pr < 0 && errno != EINTR) throw RunError(std::string("poll on the TAP device failed: ") + std::strerror(errno));
        if (pr <= 0 || !(p.revents & POLLIN)) return;
        std::uint8_t buf[65536];
        for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) > 0;) {
            if (static_cast<std::size_t>(n) > hw::kMaxFrame) {
                too_long_++;
                continue;
            }
            catch_up();
            Bytes f(buf, buf + n);
            if (f.size() < hw::kMinFrame) f.resize(hw::kMinFrame, 0);
            rig_.segment().inject(f.data(), f.size());
            injected_.push_back(std::move(f));
            from_linux_++;
        }
    }

    // A frame crossed the wire: to Linux, unless it came from there.
    void to_linux(const std::uint8_t* f, std::size_t len) {
        std::size_t n = hw::Segment::strip_fcs(len);
        if (!injected_.empty() && injected_.front().size() == n && std::memcmp(injected_.front().data(), f, n) == 0) {
            injected_.pop_front();
            return;
        }
        if (::write(fd_, f, n) == static_cast<ssize_t>(n)) to_linux_++;
        else write_errors_++;
    }

    const TapOptions& o_;
    int fd_;
    Console& io_;
    Rig rig_;
    std::unique_ptr<NetBinding> net_;
    std::deque<Bytes> injected_;  // frames from Linux not yet seen crossing the wire
    std::uint64_t from_linux_ = 0, to_linux_ = 0, too_long_ = 0, write_errors_ = 0;
    std::size_t problems_ = 0;
    Clock::time_point real_start_;
    sim::Nanos virt_start_ = 0;
};

}  // namespace

int tap_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("tap"));
    TapOptions o = parse_tap_options(a);
    Fd tap;
    tap.fd = open_tap(o.name);
    Bridge bridge(o, tap.fd, io);
    if (!a.json())
        io.out << "ne2k tap: " << kind_name(o.card.kind) << " adapter " << mac_text(o.card.station.data()) << " is "
               << o.ip_text << "/" << o.prefix << " on TAP device " << o.name << "; Ctrl-C ends\n"
               << std::flush;
    const char* why = bridge.run();
    bridge.finish(why, io.out, a.json());
    return bridge.problems() ? kExitFailure : kExitOk;
}

}  // namespace ne2k_tool
