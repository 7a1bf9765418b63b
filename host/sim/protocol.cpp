// Packets and buffers, the wrapper's exact Ethernet filter, and the
// recording protocol.
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "sim/protocol.h"
#include "sim/host.h"

namespace sim {

// ---------------------------------------------------------------------------
// Packet

Packet::Packet(const std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& pieces) {
    build(bytes.data(), bytes.size(), pieces);
}

Packet::Packet(const std::uint8_t* bytes, std::size_t len, const std::vector<std::size_t>& pieces) {
    build(bytes, len, pieces);
}

Packet Packet::zeroed(std::size_t len, const std::vector<std::size_t>& pieces) {
    Packet p;
    p.build(nullptr, len, pieces);
    return p;
}

Packet::Packet(Packet&&) noexcept = default;
Packet& Packet::operator=(Packet&&) noexcept = default;
Packet::~Packet() = default;

void Packet::build(const std::uint8_t* bytes, std::size_t len, const std::vector<std::size_t>& pieces) {
    std::vector<std::size_t> sizes = pieces;
    if (sizes.empty()) sizes.push_back(len);
    if (std::accumulate(sizes.begin(), sizes.end(), std::size_t{0}) != len)
        throw std::invalid_argument("sim::Packet: piece sizes do not add up to the length");

    packet_ = std::make_unique<NDIS_PACKET>();
    std::memset(packet_.get(), 0, sizeof(NDIS_PACKET));
    buffers_.assign(sizes.size(), NDIS_BUFFER{});
    storage_.clear();
    std::size_t at = 0;
    for (std::size_t i = 0; i < sizes.size(); i++) {
        // Exactly the piece's size, so a read past its end is an overrun.
        storage_.emplace_back(new std::uint8_t[sizes[i]]());
        std::uint8_t* data = storage_.back().get();
        if (bytes && sizes[i]) std::memcpy(data, bytes + at, sizes[i]);
        at += sizes[i];
        NDIS_BUFFER& b = buffers_[i];
        auto va = reinterpret_cast<std::uintptr_t>(data);
        b.Next = i + 1 < sizes.size() ? &buffers_[i + 1] : nullptr;
        b.Size = static_cast<SHORT>(sizeof(NDIS_BUFFER));
        b.MappedSystemVa = data;
        b.StartVa = reinterpret_cast<PVOID>(va & ~std::uintptr_t{NDIS_PAGE_SIZE - 1});
        b.ByteOffset = static_cast<ULONG>(va & (NDIS_PAGE_SIZE - 1));
        b.ByteCount = static_cast<ULONG>(sizes[i]);
    }
    // As a packet comes from the wrapper: the chain linked, the totals not
    // yet counted.
    packet_->Private.Head = &buffers_.front();
    packet_->Private.Tail = &buffers_.back();
    packet_->Private.ValidCounts = FALSE;
}

std::size_t Packet::size() const {
    std::size_t n = 0;
    for (auto& b : buffers_) n += b.ByteCount;
    return n;
}

std::vector<std::uint8_t> Packet::contents() const {
    std::vector<std::uint8_t> out;
    for (const NDIS_BUFFER* b = packet_->Private.Head; b; b = b->Next) {
        const auto* p = static_cast<const std::uint8_t*>(b->MappedSystemVa);
        out.insert(out.end(), p, p + b->ByteCount);
    }
    return out;
}

// ---------------------------------------------------------------------------
// The wrapper's exact Ethernet filter

bool ethernet_filter_accepts(const std::uint8_t* dest, ULONG filter, const MacAddress& station,
                             const std::vector<MacAddress>& multicast) {
    if (filter & NDIS_PACKET_TYPE_PROMISCUOUS) return true;
    if (std::memcmp(dest, hw::kBroadcastAddress.data(), 6) == 0) return (filter & NDIS_PACKET_TYPE_BROADCAST) != 0;
    if (dest[0] & 0x01) {
        if (filter & NDIS_PACKET_TYPE_ALL_MULTICAST) return true;
        if (!(filter & NDIS_PACKET_TYPE_MULTICAST)) return false;
        for (auto& m : multicast)
            if (std::memcmp(dest, m.data(), 6) == 0) return true;
        return false;
    }
    return (filter & NDIS_PACKET_TYPE_DIRECTED) && std::memcmp(dest, station.data(), 6) == 0;
}

// ---------------------------------------------------------------------------
// RecordingProtocol

void RecordingProtocol::on_receive(Adapter& adapter, const std::uint8_t* header,
                                   unsigned header_size, const std::uint8_t* lookahead,
                                   unsigned lookahead_size, unsigned packet_size,
                                   NDIS_HANDLE /*receive_context*/) {
    Frame f;
    f.packet_size = packet_size;
    f.time = adapter.host().now();
    f.lookahead.assign(header, header + header_size);
    if (lookahead_size) f.lookahead.insert(f.lookahead.end(), lookahead, lookahead + lookahead_size);
    f.bytes.assign(header, header + header_size);
    if (transfer) {
        // Destination pieces: as asked, clipped to the frame, the rest last.
        std::vector<std::size_t> pieces;
        std::size_t left = packet_size;
        for (std::size_t s : transfer_pieces) {
            std::size_t take = s < left ? s : left;
            pieces.push_back(take);
            left -= take;
        }
        if (left || pieces.empty()) pieces.push_back(left);
        Packet dest = Packet::zeroed(packet_size, pieces);
        f.transfer_status = adapter.transfer_data(dest, 0, packet_size, &f.transferred);
        std::vector<std::uint8_t> data = dest.contents();
        std::size_t n = f.transferred < data.size() ? f.transferred : data.size();
        f.bytes.insert(f.bytes.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    } else {
        std::size_t n = lookahead_size < packet_size ? lookahead_size : packet_size;
        if (n) f.bytes.insert(f.bytes.end(), lookahead, lookahead + n);
        f.transferred = static_cast<UINT>(n);
    }
    frames_.push_back(std::move(f));
}

void RecordingProtocol::on_receive_complete(Adapter&) { receive_completes_++; }

void RecordingProtocol::on_send_complete(Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) {
    send_completions_++;
    for (std::size_t i = 0; i < packets_.size(); i++) {
        if (packets_[i]->get() != packet) continue;
        sent_[i].completions++;
        sent_[i].completion = status;
        return;
    }
}

NDIS_STATUS RecordingProtocol::send(Adapter& adapter, const std::vector<std::uint8_t>& bytes,
                                    const std::vector<std::size_t>& pieces) {
    packets_.push_back(std::make_unique<Packet>(bytes, pieces));
    sent_.push_back(Sent{bytes, NDIS_STATUS_PENDING, std::nullopt, 0});
    std::size_t i = sent_.size() - 1;
    NDIS_STATUS s = adapter.send(packets_[i]->get(), 0, this);
    sent_[i].send_status = s;
    return s;
}

}  // namespace sim
