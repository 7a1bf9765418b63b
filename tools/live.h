// tap and bridge: the emulated segment joined to a link outside (a Linux
// TAP device, a UDP socket), paced to real time. One adapter on the
// segment, with the small IPv4 host of host/net/ above the driver (and, when
// asked, its ping client); the two commands differ only in the link.
//
// Virtual time is kept equal to the real time since the start: a frame
// from outside goes on the wire the moment it arrives, and one for outside
// is handed over when the virtual clock reaches the end of its wire time.
// The loop sleeps in nanoseconds until the next thing is due (a hardware
// event, the ping client), at most kMaxWait, or until the link has a frame.
#ifndef TOOLS_LIVE_H
#define TOOLS_LIVE_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hw/clock.h"
#include "tools/rig.h"

namespace ne2k_tool {

class Args;
class Json;
struct Console;

// A link to frames outside. Frames are whole Ethernet frames without FCS.
class Link {
public:
    virtual ~Link() = default;
    // Readable when a frame waits; poll() also reports errors on it.
    virtual int fd() const = 0;

    enum class Got {
        Frame,    // a frame, in `frame`
        Nothing,  // nothing waits now
        Gone,     // the link is no more: `why` says what happened and what to do
    };
    // The next frame waiting, without blocking.
    virtual Got take(std::vector<std::uint8_t>& frame, std::string& why) = 0;
    // Hands one frame over; false when it was not taken.
    virtual bool give(const std::uint8_t* frame, std::size_t len) = 0;
    // Times the far side's host said nothing listens there (a peer that went
    // away, or is not there yet).
    virtual std::uint64_t refused() const { return 0; }
};

// How the summary and --json name the command and the far side.
struct LinkNames {
    const char* command;  // "tap"
    const char* side;     // "Linux": "frames from Linux"
    const char* key;      // "linux": "from_linux"
    bool peer;            // a peer that can go away: its refusals are counted
};

// What tap and bridge take besides their link.
struct LiveOptions {
    std::uint32_t ip = 0;  // host order
    unsigned prefix = 32;
    std::string ip_text;   // without the prefix
    std::optional<std::uint32_t> ping;  // the address our ping client pings
    std::string ping_text;
    std::uint64_t count = 0;    // echo requests: answered (0: no limit), or sent with --ping
    std::uint64_t seconds = 0;  // 0: no limit
    RigCard card;
};
// --ip (required), --ping, --count, --seconds, --kind, --station.
LiveOptions parse_live_options(const Args& args);
constexpr std::uint64_t kDefaultPingCount = 10;

// Why a frame from outside is not put on the wire; null when it is an
// Ethernet frame of a usable length (shorter ones are padded to 60 bytes).
enum class Unfit { None, TooShort, TooLong, NotEthernet };
Unfit unfit(const std::uint8_t* frame, std::size_t len);

// The longest sleep of the loop, so that stop conditions are looked at.
constexpr std::uint64_t kMaxWait = 10000 * hw::kMicrosecond;
// How long to sleep, in nanoseconds, at `now` when the next thing is due at
// `due` (both on one clock; hw::kNever: nothing due): not rounded, at most
// kMaxWait, 0 when due.
std::uint64_t pacing_wait(std::uint64_t now, std::uint64_t due);
timespec to_timespec(std::uint64_t ns);

// Sets up the adapter and its host, prints `banner` (not with --json),
// runs until Ctrl-C, the count, the time limit or the link's end, and
// prints the summary (`describe` adds the command's own --json fields, such
// as the device). The exit status: 1 when the link went away, the ping
// client lost a request, or the host saw the driver misuse the platform.
int run_live(Link& link, const LinkNames& names, const LiveOptions& options, Console& io, bool json,
             const std::string& banner, const std::function<void(Json&)>& describe);

}  // namespace ne2k_tool

#endif  // TOOLS_LIVE_H
