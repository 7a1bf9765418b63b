// Packets and protocols, as tests and tools use them above the driver:
// sim::Packet (an NDIS_PACKET with its buffers), sim::Protocol (what a
// binding sees), sim::RecordingProtocol, and the wrapper's exact Ethernet
// filter that decides which binding sees a frame.
#ifndef SIM_PROTOCOL_H
#define SIM_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/ndis.h"
#include "sim/records.h"

namespace sim {

class Adapter;

// An NDIS_PACKET and its chain of NDIS_BUFFERs, owning all memory. Every
// piece has its own allocation of exactly its size (a read past a buffer's
// end is a real overrun, visible to the sanitizers). The packet's private
// totals are left invalid (ValidCounts 0), as the wrapper hands packets
// over, so the driver walks the chain.
class Packet {
public:
    // A packet holding `bytes`, cut into pieces of the given sizes (they must
    // add up to bytes.size(); zero-length pieces allowed). No sizes: one piece.
    explicit Packet(const std::vector<std::uint8_t>& bytes,
                    const std::vector<std::size_t>& pieces = {});
    Packet(const std::uint8_t* bytes, std::size_t len, const std::vector<std::size_t>& pieces = {});
    // A packet of `len` zero bytes, e.g. a destination for transfer-data.
    static Packet zeroed(std::size_t len, const std::vector<std::size_t>& pieces = {});

    Packet(Packet&&) noexcept;
    Packet& operator=(Packet&&) noexcept;
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    ~Packet();

    NDIS_PACKET* get() { return packet_.get(); }
    operator NDIS_PACKET*() { return packet_.get(); }

    std::size_t size() const;  // total bytes of all pieces
    std::size_t piece_count() const { return buffers_.size(); }
    NDIS_BUFFER* buffer(std::size_t i) { return &buffers_[i]; }
    // The bytes as they stand now, read through the chain in order.
    std::vector<std::uint8_t> contents() const;

private:
    Packet() = default;
    void build(const std::uint8_t* bytes, std::size_t len, const std::vector<std::size_t>& pieces);

    std::unique_ptr<NDIS_PACKET> packet_;
    std::vector<NDIS_BUFFER> buffers_;                      // stable: never resized after build
    std::vector<std::unique_ptr<std::uint8_t[]>> storage_;  // one allocation per piece
};

// A protocol bound above the driver (Adapter::bind).
class Protocol {
public:
    virtual ~Protocol() = default;
    // A frame that passed this binding's Ethernet filter. May call
    // adapter.transfer_data(...) from inside.
    virtual void on_receive(Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                            const std::uint8_t* lookahead, unsigned lookahead_size,
                            unsigned packet_size, NDIS_HANDLE receive_context) = 0;
    // A frame the driver indicated that this binding's filter kept back.
    virtual void on_filtered(Adapter& /*adapter*/, const std::uint8_t* /*header*/,
                             unsigned /*header_size*/, unsigned /*packet_size*/) {}
    virtual void on_receive_complete(Adapter& /*adapter*/) {}
    // A packet this protocol sent has been completed.
    virtual void on_send_complete(Adapter& /*adapter*/, NDIS_PACKET* /*packet*/,
                                  NDIS_STATUS /*status*/) {}
};

// A protocol that takes every frame whole (the header, then all the data via
// transfer-data into a packet cut into `transfer_pieces`) and keeps them in
// order; and sends frames, keeping each packet alive until it completes.
class RecordingProtocol : public Protocol {
public:
    struct Frame {
        std::vector<std::uint8_t> bytes;      // header + transferred data
        std::vector<std::uint8_t> lookahead;  // header + lookahead as indicated
        unsigned packet_size = 0;             // as indicated (without header)
        NDIS_STATUS transfer_status = NDIS_STATUS_SUCCESS;
        UINT transferred = 0;
        Nanos time = 0;
    };
    struct Sent {
        std::vector<std::uint8_t> bytes;
        NDIS_STATUS send_status = NDIS_STATUS_PENDING;  // what the send handler returned
        std::optional<NDIS_STATUS> completion;           // status of its completion
        unsigned completions = 0;
    };

    // Sizes of the destination buffers for transfer-data; the last piece
    // takes the rest. Empty: one buffer.
    std::vector<std::size_t> transfer_pieces;
    // When false, frames are kept from the lookahead only (no transfer-data).
    bool transfer = true;

    void on_receive(Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                    NDIS_HANDLE receive_context) override;
    void on_receive_complete(Adapter& adapter) override;
    void on_send_complete(Adapter& adapter, NDIS_PACKET* packet, NDIS_STATUS status) override;

    // Sends `bytes` cut into `pieces` through the adapter; returns the send
    // handler's status. The packet stays alive in sent().
    NDIS_STATUS send(Adapter& adapter, const std::vector<std::uint8_t>& bytes,
                     const std::vector<std::size_t>& pieces = {});

    const std::vector<Frame>& frames() const { return frames_; }
    void clear_frames() { frames_.clear(); }
    const std::vector<Sent>& sent() const { return sent_; }
    unsigned receive_completes() const { return receive_completes_; }
    unsigned send_completions() const { return send_completions_; }

private:
    std::vector<Frame> frames_;
    std::vector<Sent> sent_;
    std::vector<std::unique_ptr<Packet>> packets_;  // parallel to sent_
    unsigned receive_completes_ = 0;
    unsigned send_completions_ = 0;
};

// The wrapper's exact Ethernet filter: does a frame to `dest` pass a binding
// with this packet filter, station address and multicast list?
bool ethernet_filter_accepts(const std::uint8_t* dest, ULONG packet_filter,
                             const MacAddress& station, const std::vector<MacAddress>& multicast);

}  // namespace sim

#endif  // SIM_PROTOCOL_H
