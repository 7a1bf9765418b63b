// Protocols bound above an adapter: their filters, the frames the driver
// indicates up to them, and the sends completed back to them.
//
// A received frame: the driver's NdisMEthIndicateReceive calls
// EthFilterDprIndicateReceive (wrapper.cpp), which finds the adapter and
// calls Adapter::indicate below; that offers the frame to every binding
// whose filter passes it, through Protocol::on_receive.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "sim/adapter.h"
#include "sim/host.h"

namespace sim {

void Adapter::bind(Protocol& protocol) {
    for (auto& b : bindings_)
        if (b.protocol == &protocol) return;
    bindings_.push_back(Binding{&protocol, 0, {}});
}

void Adapter::unbind(Protocol& protocol) {
    bindings_.erase(std::remove_if(bindings_.begin(), bindings_.end(),
                                   [&](const Binding& b) { return b.protocol == &protocol; }),
                    bindings_.end());
    for (auto& o : outstanding_)
        if (o.from == &protocol) o.from = nullptr;
}

ULONG Adapter::packet_filter(const Protocol* p) const {
    for (auto& b : bindings_)
        if (!p || b.protocol == p) return b.filter;
    return 0;
}

std::vector<MacAddress> Adapter::multicast_list(const Protocol* p) const {
    for (auto& b : bindings_)
        if (!p || b.protocol == p) return b.multicast;
    return {};
}

// A successful set of the packet filter or the multicast list applies to
// the binding it was made for (all of them when made for none).
void Adapter::record_filter_set(NDIS_OID oid, const void* buffer, ULONG length, Protocol* p) {
    for (auto& b : bindings_) {
        if (p && b.protocol != p) continue;
        if (oid == OID_GEN_CURRENT_PACKET_FILTER && length >= 4) {
            std::memcpy(&b.filter, buffer, 4);
        } else if (oid == OID_802_3_MULTICAST_LIST) {
            b.multicast.clear();
            const auto* bytes = static_cast<const std::uint8_t*>(buffer);
            for (ULONG i = 0; i + 6 <= length; i += 6) {
                MacAddress m;
                std::memcpy(m.data(), bytes + i, 6);
                b.multicast.push_back(m);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Indications

// The adapter's bindings copied for one indication, into room the adapter
// keeps (a local copy when an indication is already using that room).
class Adapter::BindingSnapshot {
public:
    explicit BindingSnapshot(Adapter& a) : a_(a), own_(!a.indicate_bindings_busy_) {
        if (own_) {
            a_.indicate_bindings_busy_ = true;
            a_.indicate_bindings_ = a_.bindings_;  // reuses the room of earlier copies
        } else {
            local_ = a_.bindings_;
        }
    }
    ~BindingSnapshot() {
        if (own_) a_.indicate_bindings_busy_ = false;
    }
    BindingSnapshot(const BindingSnapshot&) = delete;
    BindingSnapshot& operator=(const BindingSnapshot&) = delete;
    const std::vector<Binding>& bindings() const { return own_ ? a_.indicate_bindings_ : local_; }

private:
    Adapter& a_;
    bool own_;
    std::vector<Binding> local_;
};

void Adapter::indicate(NDIS_HANDLE receive_context, const std::uint8_t* destination,
                       const std::uint8_t* header, UINT header_size, const std::uint8_t* lookahead,
                       UINT lookahead_size, UINT packet_size) {
    counters_.indications++;
    if (calls_.depth == 0) host_.problem("receive indication outside a handler");
    if (halted_) host_.problem("receive indication after halt");
    if (indicating_) {
        host_.problem("receive indication inside an indication");
        return;
    }
    if (keep_indications_) {
        Indication ind;
        ind.header.assign(header, header + header_size);
        if (lookahead_size) ind.lookahead.assign(lookahead, lookahead + lookahead_size);
        ind.packet_size = packet_size;
        ind.receive_context = receive_context;
        ind.time = host_.now();
        indications_.push_back(std::move(ind));
    }
    if (header_size < 6) {
        host_.problem("receive indication with a header under 6 bytes");
        return;
    }
    indicating_ = true;
    receive_context_ = receive_context;
    BindingSnapshot snapshot(*this);  // a protocol may unbind
    for (auto& b : snapshot.bindings()) {
        if (!ethernet_filter_accepts(destination, b.filter, station_, b.multicast)) {
            counters_.filter_dropped++;
            b.protocol->on_filtered(*this, header, header_size, packet_size);
            continue;
        }
        b.protocol->on_receive(*this, header, header_size, lookahead, lookahead_size, packet_size,
                               receive_context);
    }
    indicating_ = false;
    receive_context_ = nullptr;
}

void Adapter::indicate_complete() {
    counters_.indicate_completes++;
    BindingSnapshot snapshot(*this);
    for (auto& b : snapshot.bindings()) b.protocol->on_receive_complete(*this);
}

// ---------------------------------------------------------------------------
// Send completions

Adapter::Outstanding* Adapter::outstanding(NDIS_PACKET* packet) {
    for (auto& o : outstanding_)
        if (o.packet == packet) return &o;
    return nullptr;
}

void Adapter::send_complete(NDIS_PACKET* packet, NDIS_STATUS status) {
    host_.add_send_completion(SendCompletion{this, packet, status, false, host_.now()});
    if (halted_) host_.problem("NdisMSendComplete after halt");
    Outstanding* entry = outstanding(packet);
    if (!entry) {
        host_.count_double_completion();
        char address[24];
        std::snprintf(address, sizeof address, "0x%" PRIXPTR, reinterpret_cast<std::uintptr_t>(packet));
        host_.problem(std::string("NdisMSendComplete: packet ") + address +
                      " is not with the driver (completed twice, or never sent)");
        return;
    }
    Protocol* from = entry->from;
    forget(entry);
    if (from) from->on_send_complete(*this, packet, status);
}

std::vector<NDIS_PACKET*> Adapter::never_completed() const {
    std::vector<NDIS_PACKET*> out;
    for (auto& o : outstanding_) out.push_back(o.packet);
    std::sort(out.begin(), out.end());  // by address
    for (auto& q : queued_sends_) out.push_back(q.packet);
    return out;
}

}  // namespace sim
