#include "tools/net_binding.h"

#include <string>

#include "tools/tool.h"

namespace ne2k_tool {

NetBinding::NetBinding(sim::Adapter& adapter, sim::Host& clock, const net::HostConfig& config)
    : adapter_(adapter), clock_(clock), host_(std::make_unique<net::Ipv4Host>()) {
    if (!host_->start(config, *this))
        throw RunError("the IPv4 host cannot take that address: it is no host address on its subnet");
}

NetBinding::~NetBinding() = default;

bool NetBinding::ping(const net::PingPlan& plan) { return pinger_.start(*host_, plan, clock_.now()); }

void NetBinding::poll() {
    busy_ = true;
    host_->poll(clock_.now());
    busy_ = false;
    if (!held_.empty()) {
        std::vector<std::uint8_t> next = std::move(held_.front());
        held_.pop_front();
        deliver(std::move(next));
    }
}

void NetBinding::on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                            const std::uint8_t*, unsigned, unsigned packet_size, NDIS_HANDLE) {
    std::vector<std::uint8_t> frame(header, header + header_size);
    sim::Packet data = sim::Packet::zeroed(packet_size);
    UINT got = 0;
    const bool transferred = adapter.transfer_data(data, 0, packet_size, &got) == NDIS_STATUS_SUCCESS;
    if (verdicts_) verdicts_->settled(transferred ? Verdict::Indicated : Verdict::TransferFailed);
    if (!transferred) return;
    std::vector<std::uint8_t> rest = data.contents();
    frame.insert(frame.end(), rest.begin(), rest.begin() + got);
    deliver(std::move(frame));
}

void NetBinding::on_filtered(sim::Adapter&, const std::uint8_t*, unsigned, unsigned) {
    if (verdicts_) verdicts_->settled(Verdict::ExactFilter);
}

void NetBinding::deliver(std::vector<std::uint8_t> frame) {
    if (busy_) {
        held_.push_back(std::move(frame));
        return;
    }
    busy_ = true;
    host_->receive(frame.data(), frame.size(), clock_.now());
    while (!held_.empty()) {
        frame = std::move(held_.front());
        held_.pop_front();
        host_->receive(frame.data(), frame.size(), clock_.now());
    }
    busy_ = false;
}

bool NetBinding::send(const std::uint8_t* frame, std::size_t len) {
    auto p = std::make_unique<sim::Packet>(frame, len);
    NDIS_PACKET* key = p->get();
    packets_[key] = std::move(p);
    NDIS_STATUS s = adapter_.send(key, 0, this);  // completes through on_send_complete when pending
    if (s == NDIS_STATUS_PENDING) return true;
    packets_.erase(key);
    return s == NDIS_STATUS_SUCCESS;
}

void NetBinding::on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) {
    if (status != NDIS_STATUS_SUCCESS) failed_completions_++;
    packets_.erase(packet);
}

}  // namespace ne2k_tool
