// tap: the emulated segment bridged to a Linux TAP device, paced to real
// time (tools/live.h), so the Linux stack can ping the IPv4 host above the
// driver.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "tools/args.h"
#include "tools/json.h"
#include "tools/live.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

std::string device_name(const Args& a) {
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? "name the TAP device: ne2k tap IFNAME --ip ADDR/LEN"
                                                : "one device at a time (got '" + a.positional()[1] + "' too)");
    const std::string& name = a.positional()[0];
    if (name.size() >= IFNAMSIZ || name.find('/') != std::string::npos || name.find(' ') != std::string::npos)
        throw UsageError("'" + name + "' is not a usable interface name (at most 15 characters, no '/' or spaces)");
    return name;
}

// Opens the TAP device `name` (creating it when there is none) and brings
// its link up; RunError saying what to do when it cannot.
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
                           "); another program holds it: pick another name");
        if (e == EINVAL && ::if_nametoindex(name.c_str()) != 0)
            throw RunError(name + " is the name of another network device, not a TAP device (ip link show " + name +
                           "); pick a name no device has, and ne2k tap creates it");
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

// A TAP device: one frame per read and per write, without FCS.
class TapLink : public Link {
public:
    explicit TapLink(const std::string& name) : name_(name), fd_(open_tap(name)) {}
    ~TapLink() override { ::close(fd_); }
    TapLink(const TapLink&) = delete;
    TapLink& operator=(const TapLink&) = delete;

    int fd() const override { return fd_; }

    Got take(std::vector<std::uint8_t>& frame, std::string& why) override {
        for (;;) {
            ssize_t n = ::read(fd_, buf_, sizeof buf_);
            if (n >= 0) {
                frame.assign(buf_, buf_ + n);
                return Got::Frame;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Got::Nothing;
            why = "the TAP device " + name_ + " went away (" + std::strerror(errno) +
                  "): it was deleted (ip link del) or its network namespace removed";
            return Got::Gone;
        }
    }

    bool give(const std::uint8_t* frame, std::size_t len) override {
        return ::write(fd_, frame, len) == static_cast<ssize_t>(len);
    }

private:
    std::string name_;
    int fd_;
    std::uint8_t buf_[65536];
};

}  // namespace

int tap_command(const std::vector<std::string>& args, Console& io) {
    Args a(args, command_help("tap"));
    const std::string name = device_name(a);
    LiveOptions o = parse_live_options(a);
    TapLink tap(name);
    const std::string banner = "ne2k tap: " + std::string(kind_name(o.card.kind)) + " adapter " +
                               mac_text(o.card.station.data()) + " is " + o.ip_text + "/" + std::to_string(o.prefix) +
                               " on TAP device " + name + "; Ctrl-C ends";
    return run_live(tap, {"tap", "Linux", "linux", false}, o, io, a.json(), banner,
                    [&](Json& j) { j.str("device", name); });
}

}  // namespace ne2k_tool
