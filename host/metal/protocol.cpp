#include "metal/protocol.h"

#include "metal/clock.h"
#include "metal/console.h"
#include "metal/frames.h"
#include "net/ipv4_host.h"
#include "net/ping.h"

namespace metal {

namespace {

// The host's way out: into the frame pool, sent from the main loop (so
// the host is never called back while it sends).
struct PoolSink : net::FrameSink {
    std::uint32_t refused = 0;
    bool send(const std::uint8_t* frame, size_t len) override {
        if (frames_queue(frame, static_cast<std::uint32_t>(len))) return true;
        refused++;
        return false;
    }
};

PoolSink sink;
net::Ipv4Host host;
net::Pinger pinger;
Options options;

net::Nanos now_ns() { return now_us() * 1000; }

void receive(const std::uint8_t* frame, std::uint32_t length) { host.receive(frame, length, now_ns()); }

std::uint32_t ip(const std::uint8_t a[4]) { return net::ip4(a[0], a[1], a[2], a[3]); }

void print_ms(const char* what, net::Nanos ns) {
    std::uint64_t us = ns / 1000;
    print("%s %llu.%03llu ms", what, us / 1000, us % 1000);
}

}  // namespace

bool protocol_start(const Options& o, const std::uint8_t station[6]) {
    options = o;
    net::HostConfig config{};
    for (int i = 0; i < 6; i++) config.mac.b[i] = station[i];
    config.ip = ip(o.ip);
    config.prefix = o.prefix;
    if (const char* why = net::host_address_problem(config.ip, config.prefix)) {
        print("ip: %u.%u.%u.%u/%u is %s\n", o.ip[0], o.ip[1], o.ip[2], o.ip[3], o.prefix, why);
        return false;
    }
    if (!host.start(config, sink)) return false;
    frames_bind(receive);
    if (o.serve) {
        print("serving: answering at %u.%u.%u.%u/%u until %u echo requests are answered\n", o.ip[0], o.ip[1], o.ip[2],
              o.ip[3], o.prefix, o.serve);
        return true;
    }
    net::PingPlan plan;
    plan.target = ip(o.target);
    plan.gateway = ip(o.gateway);
    plan.window = o.window;
    plan.count = o.count;
    if (!pinger.start(host, plan, now_ns())) {
        print("ping: cannot ping %u.%u.%u.%u from %u.%u.%u.%u/%u\n", o.target[0], o.target[1], o.target[2],
              o.target[3], o.ip[0], o.ip[1], o.ip[2], o.ip[3], o.prefix);
        return false;
    }
    print("pinging: %u.%u.%u.%u from %u.%u.%u.%u/%u, %u echo requests of 60..1514 bytes on the wire, %u at a time\n",
          o.target[0], o.target[1], o.target[2], o.target[3], o.ip[0], o.ip[1], o.ip[2], o.ip[3], o.prefix, o.count,
          o.window);
    return true;
}

void protocol_poll() { host.poll(now_ns()); }

bool protocol_finished() {
    if (options.serve) return host.stats().echo_replies >= options.serve;
    return pinger.finished();
}

bool protocol_report() {
    const net::HostStats& h = host.stats();
    print("host: %llu frames received, %llu ARP replies, %llu echo replies (%llu reassembled datagrams), "
          "%llu port unreachable, %llu protocol unreachable, %llu TCP resets\n",
          h.received, h.arp_replies, h.echo_replies, h.reassembled, h.port_unreachable, h.protocol_unreachable,
          h.tcp_resets);
    print("host: ignored");
    bool any = false;
    for (size_t k = 0; k < net::kIgnoredKinds; k++)
        if (h.ignored[k]) print(" %s=%llu", net::ignored_name(static_cast<net::Ignored>(k)), h.ignored[k]), any = true;
    print(any ? "\n" : " nothing\n");
    bool passed = h.send_failures == 0 && sink.refused == 0 && h.count(net::Ignored::BadChecksum) == 0 &&
                  h.count(net::Ignored::Malformed) == 0;
    if (sink.refused) print("host: %u frames found the frame pool full\n", sink.refused);
    if (options.serve) {
        if (h.echo_replies < options.serve)
            print("serve: %llu of %u echo requests answered\n", h.echo_replies, options.serve), passed = false;
        return passed;
    }
    const net::PingStats& p = pinger.stats();
    print("ping: %u sent, %u received, %u lost, %u bad, %u duplicates, %u late, %u stray, %u ARP requests",
          p.sent, p.received, p.lost, p.bad, p.duplicates, p.late, p.stray, p.arp_requests);
    if (p.received) {
        print_ms(", round trip min", p.rtt_min);
        print_ms(" avg", p.rtt_avg());
        print_ms(" max", p.rtt_max);
    }
    print("\n");
    if (pinger.state() == net::PingState::Unresolved) print("ping: the target's station never answered ARP\n");
    return passed && p.received == options.count && p.lost == 0 && p.bad == 0 && p.duplicates == 0 && p.late == 0;
}

}  // namespace metal
