// The small IPv4 host of host/net/ (and a ping client riding on it) bound
// above the driver as a protocol: each indication is taken whole through
// transfer-data and handed to the host; the frames the host sends go to the
// driver as packets, kept until the driver completes them.
#ifndef TOOLS_NET_BINDING_H
#define TOOLS_NET_BINDING_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "net/ipv4_host.h"
#include "net/ping.h"
#include "sim/host.h"
#include "tools/verdict.h"

namespace ne2k_tool {

class NetBinding : public sim::Protocol, private net::FrameSink {
public:
    // The host at `config` on `adapter` (bind it and set its packet filter
    // afterwards), on the virtual clock of `clock`; RunError when the
    // address is no host address.
    NetBinding(sim::Adapter& adapter, sim::Host& clock, const net::HostConfig& config);
    ~NetBinding() override;

    net::Ipv4Host& host() { return *host_; }
    const net::HostStats& stats() const { return host_->stats(); }
    // Starts a ping client riding on the host; false when the plan does not hold.
    bool ping(const net::PingPlan& plan);
    const net::Pinger& pinger() const { return pinger_; }
    // Lets the host (and its ping client) act at the clock's time. Call it
    // outside the adapter's handlers.
    void poll();
    // Frames the sink refused and packets the driver completed with a failure.
    std::uint64_t send_failures() const { return host_->stats().send_failures + failed_completions_; }
    // Counts what became of each indication into `counts` (null: no more):
    // indicated, kept back by the wrapper's exact filter, or its transfer
    // failed.
    void count_verdicts(VerdictCounts* counts) { verdicts_ = counts; }

    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                    NDIS_HANDLE receive_context) override;
    void on_filtered(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                     unsigned packet_size) override;
    void on_send_complete(sim::Adapter& adapter, NDIS_PACKET* packet, NDIS_STATUS status) override;

private:
    bool send(const std::uint8_t* frame, std::size_t len) override;
    // Hands over `frame`, and then every frame that arrived while the host
    // was busy (a send can run the driver's deferred handler, which
    // indicates): the host is not reentrant.
    void deliver(std::vector<std::uint8_t> frame);

    sim::Adapter& adapter_;
    sim::Host& clock_;
    std::unique_ptr<net::Ipv4Host> host_;  // 268 KB: not on the stack
    net::Pinger pinger_;
    std::map<NDIS_PACKET*, std::unique_ptr<sim::Packet>> packets_;
    std::deque<std::vector<std::uint8_t>> held_;
    bool busy_ = false;
    std::uint64_t failed_completions_ = 0;
    VerdictCounts* verdicts_ = nullptr;
};

}  // namespace ne2k_tool

#endif  // TOOLS_NET_BINDING_H
