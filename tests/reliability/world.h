// A driven adapter with its traffic accounted frame by frame.
//
// World puts one card and the driver on a host, a peer (the segment's
// injector) that sends frames to it, and a protocol that sends frames
// through it. Every frame carries a sequence number. A tap sees every frame
// on the wire; a station attached after the card sees, right after the card
// took or refused a frame, what became of it (stored in the ring, counted as
// missed, or arriving while the controller was stopped). Check() then holds
// the run to account:
//   - every frame completed with success reaches the wire exactly once (at
//     most once when a reset or halt came after its completion), a frame
//     completed otherwise never, and each packet is completed exactly once;
//   - every frame the card stored is indicated exactly once (a reset or halt
//     after it, or a receive error, which empties the ring by design, may
//     drop it); nothing is indicated that the card did not store; headers,
//     lookahead and transferred data are the bytes sent;
//   - the adapter record's invariants, the record against the controller,
//     no platform problem, no card misuse, no event-log entry unless allowed.
#ifndef TESTS_RELIABILITY_WORLD_H
#define TESTS_RELIABILITY_WORLD_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/common.h"

namespace ne2k {

enum Dest : std::uint8_t {
    kToStation, kBroadcast, kMulticastListed, kMulticastOther, kOtherStation, kMulticastListed2,
    kDestCount
};

class World {
public:
    explicit World(hw::BoardKind kind = hw::BoardKind::PcCard);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    sim::Host& host() { return rig_.host; }
    hw::Ne2000Board& card() { return *rig_.card; }
    sim::Adapter* adapter() { return adapter_; }
    AdapterRecord* rec() { return rec_; }

    // Initializes the adapter, binds the protocol and sets the filter.
    bool Init(ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST |
                             NDIS_PACKET_TYPE_MULTICAST);
    // Counting of indications: from the host's list of every indication the
    // driver made (exact whatever the bindings' filters), or live from the
    // bound protocol (constant memory; needs the binding's filter to pass
    // whatever the card passes).
    void CountFromProtocol() { live_ = true; }

    // Traffic from the peer: a frame of `len` bytes to `dest` now, or at a
    // virtual time (a clock event, so it can arrive while a handler runs).
    void Inject(Dest dest, std::size_t len);
    void InjectAt(hw::Nanos at, Dest dest, std::size_t len);
    // n frames, one every `gap`, sizes and destinations cycling.
    void InjectStream(hw::Nanos start, hw::Nanos gap, unsigned n, const std::vector<std::size_t>& sizes,
                      const std::vector<Dest>& dests);
    // A frame sent through the adapter (at least 18 bytes), cut into pieces.
    void Send(std::size_t len, const std::vector<std::size_t>& pieces = {});
    NDIS_STATUS SetFilter(ULONG filter);
    NDIS_STATUS SetMulticast(const std::vector<sim::MacAddress>& list);
    NDIS_STATUS Reset();
    void Halt();
    bool RunIdle(hw::Nanos limit = 5'000'000'000ull) { return rig_.host.run_until_idle(limit); }

    // A peer that senses the carrier: a frame due while the medium is busy
    // waits until it is free (otherwise the peer's frames queue up behind
    // each other and ahead of the adapter's, as with a peer that outruns the
    // wire or an adapter that keeps losing the contention).
    bool polite_peer = false;

    // Faults a run allows.
    bool allow_tx_loss = false;          // transmissions aborted by the card
    bool allow_rx_loss = false;          // frames dropped on purpose (bad headers ...)
    bool allow_garbled = false;          // indications of bytes the card did not hold there
    std::vector<NDIS_ERROR_CODE> allowed_log;

    // The accounting; "" when everything adds up.
    std::string Check();
    // At rest, after a Check: forgets the frames accounted so far (a long
    // run keeps its memory bounded). The figures keep counting.
    void Forget();

    struct Figures {
        std::uint64_t rx_frames = 0, rx_stored = 0, rx_indicated = 0, rx_missed = 0,
                      rx_stopped = 0, rx_dropped = 0, tx_frames = 0, tx_on_wire = 0, tx_lost = 0,
                      resets = 0;
    };
    // Takes in the indications made so far (when counting from the host's
    // list) and returns the figures.
    Figures figures() {
        Collect();
        return fig_;
    }
    void Collect();

    static sim::MacAddress DestAddress(Dest d);
    static sim::MacAddress PeerAddress() { return {0x02, 0x50, 0x45, 0x45, 0x52, 0xFE}; }

private:
    struct Rx {
        std::uint16_t len = 0;
        Dest dest = kToStation;
        bool addressed = false, running = false, stored = false, missed = false;
        std::uint8_t indicated = 0;
        hw::Nanos time = 0;
    };
    struct Tx {
        std::uint16_t len = 0;
        std::uint8_t completions = 0;
        std::uint8_t on_wire = 0;
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        hw::Nanos completed = 0;
        bool bad_content = false;
    };
    class Observer;
    class Proto;

    std::vector<std::uint8_t> RxBytes(std::uint32_t seq, Dest dest, std::size_t len) const;
    std::vector<std::uint8_t> TxBytes(std::uint32_t seq, std::size_t len) const;
    void OnWire(const std::uint8_t* frame, std::size_t len);
    void AfterDelivery();
    void OnIndication(const std::uint8_t* header, unsigned header_size, const std::uint8_t* lookahead,
                      unsigned lookahead_size, unsigned packet_size);
    void OnComplete(NDIS_PACKET* packet, NDIS_STATUS status);
    void Fault(const std::string& s);

    Rig rig_;
    sim::Adapter* adapter_ = nullptr;
    AdapterRecord* rec_ = nullptr;
    std::unique_ptr<Observer> observer_;
    std::unique_ptr<Proto> proto_;
    bool live_ = false;
    std::size_t indications_seen_ = 0;
    std::size_t log_seen_ = 0;  // event-log entries already held to account  // of the host's list, when counting from it
    bool halted_ = false;
    std::vector<hw::Nanos> stops_;    // resets and the halt
    std::vector<hw::Nanos> rx_errors_;  // frames the card counted as missed or bad: RXE
    std::map<std::uint32_t, Rx> rx_;
    std::map<std::uint32_t, Tx> tx_;
    std::map<NDIS_PACKET*, std::pair<std::unique_ptr<sim::Packet>, std::uint32_t>> packets_;
    std::uint32_t next_rx_ = 1, next_tx_ = 1;
    // The frame being delivered: state seen by the tap.
    bool pending_ = false;
    std::uint32_t pending_seq_ = 0;
    std::uint8_t curr_before_ = 0;
    bool running_before_ = false, addressed_ = false;
    std::string faults_;
    unsigned fault_count_ = 0;
    Figures fig_;
};

}  // namespace ne2k

#endif  // TESTS_RELIABILITY_WORLD_H
