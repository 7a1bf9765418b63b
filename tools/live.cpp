#include "tools/live.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <ostream>

#include "hw/ethernet.h"
#include "hw/segment.h"
#include "net/wire.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/json.h"
#include "tools/net_binding.h"
#include "tools/tool.h"
#include "tools/verdict.h"

namespace ne2k_tool {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::uint32_t parse_ipv4(const std::string& text, const std::string& option) {
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1)
        throw UsageError(option + ": '" + text + "' is not an IPv4 address (write e.g. 198.18.0.2)");
    return ntohl(addr.s_addr);
}

std::string ip_text(std::uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 0xFF) + "." + std::to_string(ip >> 8 & 0xFF) +
           "." + std::to_string(ip & 0xFF);
}

// Frames the link may have on the wire at once (not yet crossed): beyond
// that the link is not read, and what it holds waits there (a TAP device's
// or a socket's queue, which drops when full, as a busy wire would).
constexpr std::size_t kBacklog = 64;

// ARP tries of the ping client, a second apart: a virtual machine joined
// by bridge may still be booting.
constexpr unsigned kPingArpTries = 10;
constexpr sim::Nanos kPingArpInterval = 1000000 * hw::kMicrosecond;

// Smallest, largest and sum of a series of times.
struct Spread {
    std::uint64_t count = 0, min = 0, max = 0, sum = 0;
    void add(std::uint64_t v) {
        if (!count || v < min) min = v;
        max = std::max(max, v);
        sum += v;
        count++;
    }
    std::uint64_t avg() const { return count ? sum / count : 0; }
};

std::string ms(std::uint64_t ns) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", double(ns) / 1e6);
    return buf;
}

// One run: the rig with its adapter and host, the link, the clocks and
// the counts.
class LiveRun {
public:
    struct Stop {
        std::string why;
        bool failed = false;  // the link went away
    };

    LiveRun(Link& link, const LinkNames& names, const LiveOptions& o, Console& io)
        : link_(link), names_(names), o_(o), io_(io), rig_({o.card}) {
        // Sleeps end when asked, not up to 50 us later (the default slack).
        (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        rig_.initialize_all();
        sim::Adapter& a = rig_.adapter(0);
        a.keep_indications(false);
        rig_.host().keep_send_completions(false);
        net::HostConfig config{{}, o.ip, o.prefix};
        std::copy(o.card.station.begin(), o.card.station.end(), config.mac.b);
        net_ = std::make_unique<NetBinding>(a, rig_.host(), config);
        net_->count_verdicts(&verdicts_);
        a.bind(*net_);
        set_filter(a, *net_, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST, {});
        rig_.board(0).core().set_receive_observer([this](hw::RxFate f) { verdicts_.card(f); });
        rig_.segment().add_tap([this](sim::Nanos t, const std::uint8_t* f, std::size_t len) { to_link(t, f, len); });
        real_start_ = Clock::now();
        virt_start_ = rig_.host().now();
        if (o.ping) {
            net::PingPlan plan;
            plan.target = *o.ping;
            plan.count = static_cast<std::uint32_t>(o.count);
            plan.arp_tries = kPingArpTries;
            plan.arp_interval = kPingArpInterval;
            if (!net_->ping(plan)) throw RunError("the ping client cannot ping " + o.ping_text);
        }
    }

    // Until Ctrl-C, the count, the time limit or the link's end.
    Stop run() {
        for (;;) {
            if (io_.stopped()) return {"interrupted"};
            catch_up();
            net_->poll();
            if (o_.ping && net_->pinger().finished()) {
                if (net_->pinger().state() == net::PingState::Unresolved)
                    return {o_.ping_text + " never answered ARP"};
                return {"pinged " + o_.ping_text + " " + std::to_string(o_.count) + " times"};
            }
            if (!o_.ping && o_.count && net_->stats().echo_replies >= o_.count && idle())
                return {"answered the echo requests asked for"};
            if (o_.seconds && real_ns() >= o_.seconds * 1000000000ull) return {"time is up"};
            if (!wait_for_link()) return {gone_, true};
        }
    }

    // What is under way is handed over, the adapter is halted; the summary
    // and the exit status.
    int finish(const Stop& stop, std::ostream& out, bool json, const std::function<void(Json&)>& describe) {
        draining_ = true;
        rig_.drain();
        const double secs = double(real_ns()) / 1e9;
        AdapterCounters c = query_counters(rig_.adapter(0));
        rig_.board(0).core().set_receive_observer(nullptr);
        rig_.adapter(0).unbind(*net_);
        std::vector<std::string> problems = rig_.halt_all();
        const auto v = verdicts_.counts();
        std::uint64_t settled = 0;
        for (Verdict k : kOfferedVerdicts) settled += v[static_cast<std::size_t>(k)];
        if (settled != offered_ || verdicts_.unexpected())
            problems.push_back("the verdicts (" + std::to_string(settled) + ") do not add up to the frames put on the wire (" +
                               std::to_string(offered_) + ")");

        std::vector<std::string> failures;  // for standard error
        if (stop.failed) failures.push_back(stop.why);
        const net::PingStats& ps = net_->pinger().stats();
        if (o_.ping) {
            const net::PingState state = net_->pinger().state();
            if (state == net::PingState::Unresolved)
                failures.push_back(o_.ping_text + " never answered ARP (" + std::to_string(ps.arp_requests) +
                                   " requests); is it on the far side, with that address?");
            else if (ps.lost || ps.bad)
                failures.push_back(std::to_string(ps.lost) + " of " + std::to_string(ps.sent) + " echo requests to " +
                                   o_.ping_text + " lost, " + std::to_string(ps.bad) + " answered with other data");
            else if (state != net::PingState::Done && stop.why != "interrupted")
                failures.push_back("the ping of " + o_.ping_text + " did not finish: " + std::to_string(ps.sent) +
                                   " of " + std::to_string(o_.count) + " echo requests sent");
        }
        for (auto& p : problems) failures.push_back("problem: " + p);
        const int status = failures.empty() ? kExitOk : kExitFailure;

        if (json) print_json(out, stop, secs, c, problems, status, describe);
        else print_text(out, stop, secs, c, problems);
        for (auto& f : failures) io_.err << "ne2k " << names_.command << ": " << f << "\n";
        return status;
    }

private:
    std::uint64_t real_ns() const {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - real_start_).count());
    }
    // Nothing on the wire or due: every reply has been handed over at its
    // time.
    bool idle() { return injected_.empty() && rig_.host().clock().next_deadline() == hw::kNever; }
    // Virtual time up to real time.
    void catch_up() {
        sim::Nanos now = virt_start_ + real_ns();
        if (now > rig_.host().now()) rig_.host().run_until(now);
    }

    // Sleeps until the link has a frame or the next thing is due, then takes
    // the frames waiting, each at its arrival. False when the link is gone.
    bool wait_for_link() {
        sim::Nanos due = rig_.host().clock().next_deadline();
        if (o_.ping) due = std::min(due, std::max(net_->pinger().due(), rig_.host().now()));
        const std::uint64_t due_real = due == hw::kNever ? hw::kNever : due > virt_start_ ? due - virt_start_ : 0;
        const timespec wait = to_timespec(pacing_wait(real_ns(), due_real));
        pollfd p{link_.fd(), static_cast<short>(injected_.size() < kBacklog ? POLLIN : 0), 0};
        int pr = ::ppoll(&p, 1, &wait, nullptr);
        if (pr < 0 && errno != EINTR)
            throw RunError(std::string("waiting on the link failed: ") + std::strerror(errno));
        if (pr <= 0) return true;
        const bool trouble = p.revents & (POLLERR | POLLHUP | POLLNVAL);
        const std::uint64_t refused = link_.refused();
        bool took = false;
        std::string why;
        while (injected_.size() < kBacklog) {
            Link::Got g = link_.take(frame_, why);
            if (g == Link::Got::Nothing) break;
            if (g == Link::Got::Gone) {
                gone_ = why;
                return false;
            }
            took = true;
            arrive();
        }
        // An error that reading neither explains nor clears would wake the
        // loop at once, for ever.
        if (trouble && !took && link_.refused() == refused) {
            gone_ = std::string("the link reports ") + (p.revents & POLLHUP ? "a hangup" : "an error") +
                    " and has nothing to read";
            return false;
        }
        return true;
    }

    // A frame from outside: on the wire now, unless it is unfit.
    void arrive() {
        from_++;
        switch (unfit(frame_.data(), frame_.size())) {
        case Unfit::TooShort: too_short_++; return;
        case Unfit::TooLong: too_long_++; return;
        case Unfit::NotEthernet: not_ethernet_++; return;
        case Unfit::None: break;
        }
        catch_up();
        if (frame_.size() < hw::kMinFrame) frame_.resize(hw::kMinFrame, 0);
        rig_.segment().inject(frame_.data(), frame_.size());
        injected_.push_back(frame_);
        offered_++;
        last_in_ = rig_.host().now();
        awaiting_answer_ = true;
    }

    // A frame crossed the wire: to the link, unless it came from there.
    void to_link(sim::Nanos t, const std::uint8_t* f, std::size_t len) {
        std::size_t n = hw::Segment::strip_fcs(len);
        if (!injected_.empty() && injected_.front().size() == n && std::memcmp(injected_.front().data(), f, n) == 0) {
            injected_.pop_front();
            return;
        }
        if (link_.give(f, n)) to_++;
        else write_errors_++;
        if (draining_) return;  // handed over ahead of time, at the end
        const std::uint64_t due = t - virt_start_, real = real_ns();
        late_.add(real > due ? real - due : 0);
        if (awaiting_answer_) turnaround_.add(t - last_in_);
        awaiting_answer_ = false;
    }

    std::string from_key(const char* what = nullptr) const {
        return std::string("from_") + names_.key + (what ? std::string("_") + what : "");
    }

    void print_json(std::ostream& out, const Stop& stop, double secs, const AdapterCounters& c,
                    const std::vector<std::string>& problems, int status, const std::function<void(Json&)>& describe) {
        const net::HostStats& st = net_->stats();
        Json j(out);
        j.str("command", names_.command);
        describe(j);
        j.str("ip", o_.ip_text).num("prefix", o_.prefix);
        j.str("kind", kind_name(o_.card.kind)).str("station", mac_text(o_.card.station.data()));
        j.str("stopped", stop.why).real("seconds", secs);
        j.num(from_key(), from_).num(from_key("too_short"), too_short_).num(from_key("too_long"), too_long_);
        j.num(from_key("not_ethernet"), not_ethernet_).num("offered", offered_).object("verdicts");
        const auto v = verdicts_.counts();
        for (Verdict k : kOfferedVerdicts) j.num(verdict_key(k), v[static_cast<std::size_t>(k)]);
        j.close().num(std::string("to_") + names_.key, to_).num("write_errors", write_errors_);
        if (names_.peer) j.num("peer_refused", link_.refused());
        j.num("indicated", st.received).num("arp_replies", st.arp_replies);
        j.num("echo_replies", st.echo_replies).num("reassembled", st.reassembled);
        j.num("port_unreachable", st.port_unreachable).num("protocol_unreachable", st.protocol_unreachable);
        j.num("tcp_resets", st.tcp_resets).num("send_failures", net_->send_failures()).object("ignored");
        for (std::size_t k = 0; k < net::kIgnoredKinds; k++)
            if (st.ignored[k]) j.num(net::ignored_name(static_cast<net::Ignored>(k)), st.ignored[k]);
        j.close();
        if (o_.ping) {
            const net::PingStats& ps = net_->pinger().stats();
            j.object("ping").str("target", o_.ping_text).str("result", ping_result());
            j.num("arp_requests", ps.arp_requests).num("sent", ps.sent).num("received", ps.received);
            j.num("lost", ps.lost).num("bad", ps.bad).num("duplicates", ps.duplicates).num("late", ps.late);
            j.num("stray", ps.stray).num("rtt_min_ns", ps.rtt_min).num("rtt_avg_ns", ps.rtt_avg());
            j.num("rtt_max_ns", ps.rtt_max).close();
        } else {
            j.null("ping");
        }
        j.object("pacing").num("frames", late_.count).num("late_avg_ns", late_.avg()).num("late_max_ns", late_.max);
        j.close().object("turnaround").num("count", turnaround_.count).num("min_ns", turnaround_.min);
        j.num("avg_ns", turnaround_.avg()).num("max_ns", turnaround_.max).close();
        j.object("counters").num("xmit_ok", c.xmit_ok).num("rcv_ok", c.rcv_ok);
        j.num("xmit_error", c.xmit_error).num("rcv_error", c.rcv_error).num("rcv_no_buffer", c.rcv_no_buffer);
        j.close().strs("problems", problems).num("exit_status", static_cast<std::uint64_t>(status)).close();
    }

    std::string ping_result() const {
        switch (net_->pinger().state()) {
        case net::PingState::Done: return "done";
        case net::PingState::Unresolved: return "unresolved";
        case net::PingState::Resolving: return "resolving";
        default: return "pinging";
        }
    }

    void print_text(std::ostream& out, const Stop& stop, double secs, const AdapterCounters& c,
                    const std::vector<std::string>& problems) {
        const net::HostStats& st = net_->stats();
        const std::string side = names_.side;
        auto row = [&](const std::string& what, std::uint64_t n, const std::string& more = {}) {
            summary_row(out, 26, what.c_str(), n, more);
        };
        out << "ne2k " << names_.command << ": stopped (" << stop.why << ") after " << static_cast<long>(secs)
            << " s\n";
        row("frames from " + side, from_);
        if (too_short_) row("  too short", too_short_, "shorter than an Ethernet header, 14 bytes");
        if (too_long_) row("  too long", too_long_, "longer than 1514 bytes");
        if (not_ethernet_) row("  not Ethernet", not_ethernet_, "a group address as source, or type 1501..1535");
        row("  put on the wire", offered_);
        const auto v = verdicts_.counts();
        for (Verdict k : kOfferedVerdicts) {
            std::uint64_t n = v[static_cast<std::size_t>(k)];
            if (n || k <= Verdict::ReceiverStopped)
                row(std::string("    ") + verdict_name(k), n, k == Verdict::Indicated ? "" : verdict_meaning(k));
        }
        row("frames to " + side, to_);
        if (write_errors_) row("  not taken", write_errors_, "the write failed");
        if (names_.peer && link_.refused())
            row("refused by the peer's host", link_.refused(), "nothing listened at the remote address");
        row("ARP requests answered", st.arp_replies);
        row("echo requests answered", st.echo_replies,
            st.reassembled ? std::to_string(st.reassembled) + " reassembled from fragments" : "");
        if (st.port_unreachable) row("UDP port unreachable sent", st.port_unreachable);
        if (st.protocol_unreachable) row("protocol unreachable sent", st.protocol_unreachable);
        if (st.tcp_resets) row("TCP resets sent", st.tcp_resets);
        for (std::size_t k = 0; k < net::kIgnoredKinds; k++)
            if (st.ignored[k]) row(std::string("ignored: ") + net::ignored_name(static_cast<net::Ignored>(k)), st.ignored[k]);
        if (net_->send_failures()) row("replies the driver failed", net_->send_failures());
        if (o_.ping) {
            const net::PingStats& ps = net_->pinger().stats();
            row("echo requests to " + o_.ping_text, ps.sent,
                std::to_string(ps.received) + " answered, " + std::to_string(ps.lost) + " lost" +
                    (ps.bad ? ", " + std::to_string(ps.bad) + " with other data" : "") +
                    (ps.received ? "; round trip " + ms(ps.rtt_min) + "/" + ms(ps.rtt_avg()) + "/" + ms(ps.rtt_max) +
                                       " ms min/avg/max"
                                 : ""));
        }
        if (late_.count)
            out << "  pacing: frames to " << side << " handed over " << ms(late_.avg()) << " ms after the end of "
                << "their wire time on average, at most " << ms(late_.max) << " ms\n";
        if (turnaround_.count)
            out << "  turnaround: a frame from " << side << " on the wire to the end of the next one back, "
                << ms(turnaround_.min) << "/" << ms(turnaround_.avg()) << "/" << ms(turnaround_.max)
                << " ms min/avg/max (" << turnaround_.count << ")\n";
        out << "  OID_GEN_XMIT_OK " << c.xmit_ok << ", RCV_OK " << c.rcv_ok << ", XMIT_ERROR " << c.xmit_error
            << ", RCV_ERROR " << c.rcv_error << ", RCV_NO_BUFFER " << c.rcv_no_buffer << "\n";
        for (auto& p : problems) out << "  problem: " << p << "\n";
    }

    Link& link_;
    const LinkNames names_;
    const LiveOptions& o_;
    Console& io_;
    Rig rig_;
    VerdictCounts verdicts_;
    std::unique_ptr<NetBinding> net_;
    std::deque<Bytes> injected_;  // frames from the link not yet seen crossing the wire
    Bytes frame_;
    std::uint64_t from_ = 0, too_short_ = 0, too_long_ = 0, not_ethernet_ = 0, offered_ = 0;
    std::uint64_t to_ = 0, write_errors_ = 0;
    std::string gone_;
    Clock::time_point real_start_;
    sim::Nanos virt_start_ = 0;
    sim::Nanos last_in_ = 0;        // when the latest frame from the link went on the wire
    bool awaiting_answer_ = false;  // no frame has gone back since
    bool draining_ = false;
    Spread late_, turnaround_;
};

}  // namespace

LiveOptions parse_live_options(const Args& a) {
    LiveOptions o;
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
    o.ip = parse_ipv4(o.ip_text, "--ip");
    if (const char* why = net::host_address_problem(o.ip, o.prefix))
        throw UsageError("--ip: " + o.ip_text + " is " + why + "; give a host address, e.g. 198.18.0.2/24");
    if (auto p = a.value("--ping")) {
        o.ping_text = *p;
        const std::uint32_t t = parse_ipv4(*p, "--ping"), mask = net::subnet_mask(o.prefix);
        const std::string subnet = ip_text(o.ip & mask) + "/" + std::to_string(o.prefix);
        if (t == o.ip) throw UsageError("--ping: " + *p + " is the emulated host's own address (--ip)");
        if ((t & mask) != (o.ip & mask))
            throw UsageError("--ping: " + *p + " is not on " + subnet + ", the subnet of --ip; ping an address on it");
        if (const char* why = net::host_address_problem(t, o.prefix))
            throw UsageError("--ping: " + *p + " is " + why + "; give a host's address on " + subnet);
        o.ping = t;
    }
    o.count = a.number("--count", o.ping ? kDefaultPingCount : 0, 1, 1000000);
    o.seconds = a.number("--seconds", 0, 1, 86400);
    if (auto k = a.value("--kind")) o.card.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) o.card.station = parse_station(*s, "--station");
    return o;
}

Unfit unfit(const std::uint8_t* f, std::size_t len) {
    if (len < hw::kHeaderBytes) return Unfit::TooShort;
    if (len > hw::kMaxFrame) return Unfit::TooLong;
    // No station sends from a group address; 1501..1535 is neither a
    // length nor a type.
    const unsigned type = f[12] << 8 | f[13];
    if ((f[6] & 1) || (type > 1500 && type < 0x0600)) return Unfit::NotEthernet;
    return Unfit::None;
}

std::uint64_t pacing_wait(std::uint64_t now, std::uint64_t due) {
    if (due <= now) return 0;
    return std::min(due - now, kMaxWait);
}

timespec to_timespec(std::uint64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1000000000ull);
    t.tv_nsec = static_cast<long>(ns % 1000000000ull);
    return t;
}

int run_live(Link& link, const LinkNames& names, const LiveOptions& options, Console& io, bool json,
             const std::string& banner, const std::function<void(Json&)>& describe) {
    LiveRun run(link, names, options, io);
    if (!json) io.out << banner << "\n" << std::flush;
    LiveRun::Stop stop = run.run();
    return run.finish(stop, io.out, json, describe);
}

}  // namespace ne2k_tool
