// The demo's protocol on each adapter: it sends numbered frames, keeps what
// it needs to settle each one (completed, arrived, kept back, lost), and
// checks every frame it receives byte for byte against what the far side
// sent. It keeps the frames whose fate is open and the last kHistory
// settled ones, so its memory does not grow with the run.
#ifndef TOOLS_DEMO_PROTOCOL_H
#define TOOLS_DEMO_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "sim/host.h"
#include "tools/demo.h"

namespace ne2k_tool {

struct SentRecord {
    std::vector<std::uint8_t> bytes;      // released once settled; the hash stays
    std::uint64_t hash = 0;
    bool expected = false;                // passes the far side's filter
    std::optional<NDIS_STATUS> status;    // completion
    unsigned deliveries = 0;
    bool on_wire = false;                 // crossed the segment whole
    bool settled = false;
};

class DemoProtocol : public sim::Protocol {
public:
    // Counts what this side sends into `out_way`, what it receives into
    // `in_way`, and frames that are not the demo's into `foreign`.
    DemoProtocol(int side, sim::Adapter& adapter, std::uint64_t seed, DirectionResult& out_way,
                 DirectionResult& in_way, std::uint64_t& foreign)
        : side_(side), adapter_(adapter), seed_(seed), out_(out_way), in_(in_way), foreign_(foreign) {}

    void set_peer(DemoProtocol* p) { peer_ = p; }
    // Frames sent whose fate is still open.
    std::size_t open() const { return open_; }

    void send(std::vector<std::uint8_t> bytes, bool expected, const std::vector<std::size_t>& pieces);
    void on_send_complete(sim::Adapter&, NDIS_PACKET* packet, NDIS_STATUS status) override;
    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size, const std::uint8_t*,
                    unsigned, unsigned packet_size, NDIS_HANDLE) override;

    // The reset empties the transmit slots. Frames in them were completed
    // with success when they were copied to card RAM, and those that had
    // not crossed the wire yet are gone with the slots: counted apart.
    void reset_discards();
    // A frame of this side seen whole on the wire (FCS included).
    void seen_on_wire(const std::uint8_t* f, std::size_t len);
    // After the host went idle: whatever is still open is lost or stuck.
    void settle_all();

    // Settled frames kept for a copy that comes late: more than any receive
    // ring holds.
    static constexpr std::uint32_t kHistory = 1024;

private:
    struct InFlight {
        std::unique_ptr<sim::Packet> packet;
        std::uint32_t seq;
    };

    // The pieces a received frame is transferred into: varied, to take the
    // driver's copy through buffer boundaries.
    std::vector<std::size_t> transfer_pieces(unsigned size);
    // A frame's fate is known: count it and close it.
    void settle(SentRecord& r);
    // Frames settle nearly in order: the scans start at the oldest open one.
    std::uint32_t first_open();
    // Frame `seq` of this side's, or null when it is not kept (any more).
    SentRecord* record(std::uint32_t seq);
    std::uint32_t next_seq() const { return first_seq_ + static_cast<std::uint32_t>(records_.size()); }
    // Drops settled frames older than the history.
    void trim();
    // A settled frame keeps only its hash.
    static void release(SentRecord& r) { std::vector<std::uint8_t>().swap(r.bytes); }
    void check(const std::vector<std::uint8_t>& f);
    // A frame of the peer's whose record is gone: is it the frame sent?
    bool is_sent_frame(const std::vector<std::uint8_t>& f, std::uint32_t seq) const;

    int side_;
    sim::Adapter& adapter_;
    std::uint64_t seed_;
    DirectionResult& out_;  // frames this side sends
    DirectionResult& in_;   // frames this side receives
    std::uint64_t& foreign_;
    DemoProtocol* peer_ = nullptr;
    std::deque<SentRecord> records_;  // records_[i] is frame first_seq_ + i
    std::uint32_t first_seq_ = 0;
    std::map<NDIS_PACKET*, InFlight> in_flight_;
    std::size_t open_ = 0;
    std::uint32_t first_open_ = 0;  // a frame number
    unsigned receives_ = 0;
};

}  // namespace ne2k_tool

#endif  // TOOLS_DEMO_PROTOCOL_H
