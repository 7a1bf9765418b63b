// bridge: the emulated segment joined to a UDP socket, one Ethernet frame
// (without FCS) per datagram, as QEMU's -netdev dgram backend frames them,
// paced to real time (tools/live.h). A virtual machine's NIC on that
// backend and our emulated adapter are then on one Ethernet.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/args.h"
#include "tools/json.h"
#include "tools/live.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

// A UDP address as given (HOST:PORT, [IPv6]:PORT) and as resolved.
struct Endpoint {
    std::string text;
    std::string host;
    unsigned port = 0;
    sockaddr_storage addr{};
    socklen_t len = 0;
};

Endpoint parse_endpoint(const Args& a, const std::string& option) {
    auto v = a.value(option);
    if (!v)
        throw UsageError("give both UDP addresses: --local ADDR:PORT (ours) and --remote ADDR:PORT (the peer's), "
                         "e.g. --local 127.0.0.1:5555 --remote 127.0.0.1:5556");
    Endpoint e;
    e.text = *v;
    const auto colon = e.text.rfind(':');
    const std::string bad = option + ": '" + e.text + "' is not ADDR:PORT (write e.g. 127.0.0.1:5555 or [::1]:5555)";
    if (colon == std::string::npos || colon == 0) throw UsageError(bad);
    e.host = e.text.substr(0, colon);
    const std::string port = e.text.substr(colon + 1);
    if (e.host.front() == '[' || e.host.back() == ']') {
        if (e.host.size() < 3 || e.host.front() != '[' || e.host.back() != ']') throw UsageError(bad);
        e.host = e.host.substr(1, e.host.size() - 2);
    }
    bool digits = !port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), ::isdigit);
    e.port = digits ? static_cast<unsigned>(std::stoul(port)) : 0;
    if (e.port < 1 || e.port > 65535)
        throw UsageError(option + ": port '" + port + "' must be a number from 1 to 65535");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(e.host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0 || !res)
        throw UsageError(option + ": cannot resolve '" + e.host + "' (" + ::gai_strerror(rc) + ")");
    std::memcpy(&e.addr, res->ai_addr, res->ai_addrlen);
    e.len = res->ai_addrlen;
    ::freeaddrinfo(res);
    return e;
}

// A UDP socket bound to `local` and connected to `remote`: only the peer's
// datagrams arrive, and the peer's host saying that nothing listens there
// (ICMP port unreachable) comes back as ECONNREFUSED.
int open_socket(const Endpoint& local, const Endpoint& remote) {
    if (local.addr.ss_family != remote.addr.ss_family)
        throw UsageError("--local " + local.text + " and --remote " + remote.text +
                         " are of different address families (IPv4 and IPv6); give two of one family");
    int fd = ::socket(local.addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw RunError(std::string("cannot make a UDP socket: ") + std::strerror(errno));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local.addr), local.len) < 0) {
        int e = errno;
        ::close(fd);
        if (e == EADDRINUSE)
            throw RunError("--local " + local.text + " is in use (" + std::strerror(e) +
                           "); another program has that port: pick another");
        if (e == EADDRNOTAVAIL)
            throw RunError("--local " + local.text + ": " + local.host + " is no address of this machine (" +
                           std::strerror(e) + ")");
        if (e == EACCES)
            throw RunError("--local " + local.text + ": " + std::strerror(e) + "; ports below 1024 need root");
        throw RunError("--local " + local.text + ": cannot bind: " + std::strerror(e));
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote.addr), remote.len) < 0) {
        int e = errno;
        ::close(fd);
        throw RunError("--remote " + remote.text + ": " + std::strerror(e));
    }
    return fd;
}

class DgramLink : public Link {
public:
    DgramLink(const Endpoint& local, const Endpoint& remote) : fd_(open_socket(local, remote)) {}
    ~DgramLink() override { ::close(fd_); }
    DgramLink(const DgramLink&) = delete;
    DgramLink& operator=(const DgramLink&) = delete;

    int fd() const override { return fd_; }

    Got take(std::vector<std::uint8_t>& frame, std::string& why) override {
        for (;;) {
            // MSG_TRUNC: the datagram's own length, even past the buffer.
            ssize_t n = ::recv(fd_, buf_, sizeof buf_, MSG_TRUNC);
            if (n >= 0) {
                frame.assign(buf_, buf_ + std::min(static_cast<std::size_t>(n), sizeof buf_));
                return Got::Frame;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Got::Nothing;
            if (errno == ECONNREFUSED) {  // a datagram we sent found nobody: the peer is away
                refused_++;
                continue;
            }
            why = std::string("the UDP socket failed (") + std::strerror(errno) + ")";
            return Got::Gone;
        }
    }

    bool give(const std::uint8_t* frame, std::size_t len) override {
        for (int attempt = 0; attempt < 2; attempt++) {
            if (::send(fd_, frame, len, 0) == static_cast<ssize_t>(len)) return true;
            if (errno != ECONNREFUSED) return false;
            // The refusal of an earlier datagram, reported now; this frame did
            // not go: once more.
            refused_++;
        }
        return false;
    }

    std::uint64_t refused() const override { return refused_; }

private:
    int fd_;
    std::uint64_t refused_ = 0;
    std::uint8_t buf_[65536];
};

// The -netdev option that joins a QEMU virtual machine to this bridge.
std::string qemu_netdev(const Endpoint& local, const Endpoint& remote) {
    if (local.addr.ss_family != AF_INET) return {};
    return "-netdev dgram,id=n0,local.type=inet,local.host=" + remote.host +
           ",local.port=" + std::to_string(remote.port) + ",remote.type=inet,remote.host=" + local.host +
           ",remote.port=" + std::to_string(local.port);
}

}  // namespace

int bridge_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("bridge"));
    if (!a.positional().empty()) throw UsageError("unexpected argument '" + a.positional()[0] + "'");
    const Endpoint local = parse_endpoint(a, "--local"), remote = parse_endpoint(a, "--remote");
    LiveOptions o = parse_live_options(a);
    DgramLink link(local, remote);
    std::string banner = "ne2k bridge: " + std::string(kind_name(o.card.kind)) + " adapter " +
                         mac_text(o.card.station.data()) + " is " + o.ip_text + "/" + std::to_string(o.prefix) +
                         ", joined by UDP " + local.text + " to " + remote.text;
    const std::string netdev = qemu_netdev(local, remote);
    if (!netdev.empty()) banner += "\n  a QEMU virtual machine joins with: " + netdev;
    banner += "\n  Ctrl-C ends";
    return run_live(link, {"bridge", "the peer", "peer", true}, o, io, a.json(), banner, [&](Json& j) {
        j.str("local", local.text).str("remote", remote.text);
    });
}

}  // namespace ne2k_tool
