// The shared test rig: a host with one emulated card and the driver loaded,
// a peer station on the segment, numbered frames, and the accounting of
// what became of each of them. No test framework in here (the fuzz
// harnesses use it too): a check returns "" or what went wrong.
//
// Rig::Init brings an adapter up on the card through the wrapper and binds
// the rig's protocol. Frames from the peer (Inject) and frames sent through
// the adapter (Send) carry a number in their source address. A tap sees
// every frame on the wire; a station attached after the card sees, right
// after the card took or refused a frame, what became of it. Check() then
// holds the run to account:
//   - every frame completed with success reaches the wire exactly once (at
//     most once when a reset or halt came after its completion), a frame
//     completed otherwise never, and each packet is completed exactly once;
//   - every frame the card stored is indicated exactly once (a reset or halt
//     after it, or a frame the card missed, which makes the driver empty
//     the ring, may drop it), in the order sent; nothing is indicated that
//     the card did not store; header, lookahead and transferred data are
//     the bytes sent;
//   - the adapter record's invariants, the record against the controller,
//     no platform problem, no card misuse, no event-log entry unless allowed;
//   - once the card is pulled out (Ne2000Board::pull_out) what was under way
//     may be lost, a transfer may fail (never give other bytes), and a packet
//     sent afterwards must not be completed with success.
#ifndef TESTS_SUPPORT_RIG_H
#define TESTS_SUPPORT_RIG_H

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "hw/board.h"
#include "hw/segment.h"
#include "sim/host.h"

namespace rig {

using Bytes = std::vector<std::uint8_t>;
using hw::Nanos;
using sim::MacAddress;
constexpr Nanos kUs = hw::kMicrosecond, kMs = 1000 * kUs;

// Where the peer's frames go.
enum Dest { kToStation, kBroadcast, kMulticastListed, kMulticastListed2, kMulticastOther, kOtherStation, kDestCount };
MacAddress Address(Dest d);
MacAddress Station();  // the rig card's address
MacAddress Peer();     // where the adapter's numbered frames go

hw::BoardConfig ConfigOf(hw::BoardKind kind);  // a card of this kind with the rig's station

// A numbered frame of `len` bytes (at least 14): the number and who sent it
// (`tag`) in the source address, ethertype 0x88B5, then a pattern of both.
constexpr std::uint8_t kFromPeer = 0x51, kFromStation = 0x53;
Bytes Frame(const MacAddress& to, std::size_t len, std::uint32_t seq, std::uint8_t tag = kFromPeer);
// As the wire carries a frame the driver sent: filled to 60 bytes with 0x20.
Bytes Padded(Bytes f);

// The record's invariants; `quiescent`: no handler runs and the host is
// idle, so a handler's transient states must be over too.
std::string CheckRecord(const AdapterRecord& r, bool quiescent);
// The invariants that hold between any two port accesses, quickly.
bool RecordSane(const AdapterRecord& r);
// The record against the controller's registers, at a quiescent point.
std::string CheckRecordAgainstCard(const AdapterRecord& r, const hw::Ne2000Board& card);
// Platform problems, double completions and card misuse.
std::string CheckHost(sim::Host& host, const hw::Ne2000Board* card);

// Ring header fields; -1: as the controller writes them.
struct RingHeader {
    int status = -1, next = -1, count = -1;
};

class Rig;

// The protocol bound to the adapter: takes every frame whole, notes 'R' per
// indication and 'C' per receive-complete, and calls the hooks.
class Protocol : public sim::RecordingProtocol {
public:
    explicit Protocol(Rig& rig) : rig_(rig) {}
    std::string events;
    std::function<void(sim::Adapter&, unsigned packet_size)> during;  // in each indication, first
    std::function<void()> at_complete;                               // at each receive-complete
    std::function<void(NDIS_PACKET*, NDIS_STATUS)> completed;        // at each send completion

    void on_receive(sim::Adapter& a, const std::uint8_t* header, unsigned header_size, const std::uint8_t* lookahead,
                    unsigned lookahead_size, unsigned packet_size, NDIS_HANDLE context) override;
    void on_receive_complete(sim::Adapter& a) override;
    void on_send_complete(sim::Adapter& a, NDIS_PACKET* packet, NDIS_STATUS status) override;

private:
    Rig& rig_;
};

class Rig {
public:
    // The driver loaded by `load` (the linked driver when null).
    explicit Rig(hw::BoardKind kind = hw::BoardKind::PcCard);
    explicit Rig(hw::BoardConfig config, const std::function<NTSTATUS(sim::Host&)>& load = nullptr);
    ~Rig();

    sim::Host host;
    hw::Ne2000Board& card;
    sim::Adapter* adapter = nullptr;  // the latest Init's
    AdapterRecord* rec = nullptr;
    Protocol proto{*this};
    std::vector<Bytes> wire;  // every frame on the wire, without FCS

    // Brings an adapter up on the card, binds the protocol and sets the filter.
    // The steps below do nothing (and fail) unless the adapter is Up(): a
    // scenario goes on after a halt or a failed initialization.
    bool Init(ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST);
    bool Run(Nanos limit = 10'000'000'000ull) { return host.run_until_idle(limit); }
    bool Up() const;  // initialized and not halted

    // Numbered, accounted traffic. From the peer: now (returns the frame),
    // at a time on the clock, or n frames one every `gap`, cycling through
    // sizes and destinations. Through the adapter: a frame to Peer().
    Bytes Inject(Dest dest, std::size_t len);
    void InjectAt(Nanos at, Dest dest, std::size_t len);
    void InjectStream(Nanos start, Nanos gap, unsigned n, std::vector<std::size_t> sizes, std::vector<Dest> dests);
    Bytes Send(std::size_t len, const std::vector<std::size_t>& pieces = {});
    // A numbered frame to the station written into the ring at `page` (-1:
    // at CURR, which moves past it) as the controller stores one.
    Bytes Place(std::size_t len, RingHeader h = {}, int page = -1);
    int NextPage(int page, std::size_t count) const;  // after a frame of `count` bytes with FCS

    NDIS_STATUS SetFilter(ULONG filter);
    NDIS_STATUS SetMulticast(const std::vector<MacAddress>& list);
    NDIS_STATUS Reset();
    void Halt();
    // The card's interrupt held off as the disable handler does, and armed
    // again (synchronized, as the wrapper calls the enable handler), then run.
    void Mask();
    void Unmask();

    // Port accesses from now on are kept; counted relative to the card's
    // base (value -1: any), and the time stalled since.
    void Trace();
    std::vector<sim::TraceEntry> Accesses();
    unsigned Count(bool write, unsigned offset, int value = -1);
    std::uint64_t StalledUs() { return (host.bus().stalled_ns() - stall_base_) / kUs; }

    // What a run allows, and where indications are counted from: the host's
    // list of every indication (exact whatever the bindings' filters), or
    // live from the protocol (for long runs with the host's list off).
    bool polite_peer = false;  // a frame due while the medium is busy waits
    bool allow_tx_loss = false, allow_rx_loss = false, count_live = false;
    std::vector<NDIS_ERROR_CODE> allowed_log;

    std::string Check();
    void Forget();  // at rest, after a Check: forgets the frames accounted so far
    struct Figures {
        std::uint64_t rx_indicated = 0, rx_missed = 0, tx_on_wire = 0, resets = 0;
    };
    Figures figures();

    // For the protocol.
    void OnReceived(const sim::RecordingProtocol::Frame& f);
    void OnComplete(NDIS_PACKET* packet, NDIS_STATUS status);

private:
    struct Rx { std::uint16_t len; Dest dest; bool stored; std::uint8_t indicated; Nanos time; };
    struct Tx {
        std::uint16_t len;
        std::uint8_t completions, on_wire;
        NDIS_STATUS status;
        Nanos completed;
        bool bad, after_pull;  // after_pull: sent to a card already pulled out
    };
    class Observer;

    void OnWire(const std::uint8_t* frame, std::size_t len);
    void AfterDelivery();
    void OnIndication(const std::uint8_t* header, const std::uint8_t* lookahead, unsigned lookahead_size,
                      unsigned packet_size);
    void Collect();
    void Fault(const std::string& s) { faults_ += fault_count_++ < 4 ? s + "; " : ""; }

    std::unique_ptr<Observer> observer_;
    std::size_t indications_seen_ = 0, log_seen_ = 0;
    bool halted_ = false;
    std::vector<Nanos> stops_;  // resets and the halt
    std::map<std::uint32_t, Rx> rx_;
    std::map<std::uint32_t, Tx> tx_;
    std::map<NDIS_PACKET*, std::pair<std::unique_ptr<sim::Packet>, std::uint32_t>> packets_;
    std::uint32_t next_rx_ = 1, next_tx_ = 1, last_indicated_ = 0, pending_ = 0;  // pending_: frame being delivered
    bool running_before_ = false, addressed_ = false;
    std::uint8_t curr_before_ = 0;
    std::string faults_;
    unsigned fault_count_ = 0;
    Figures fig_;
    std::uint64_t stall_base_ = 0;
};

}  // namespace rig

namespace hw {
// A parameterized test's board kind prints as its name ("isa16").
inline void PrintTo(BoardKind kind, std::ostream* os) { *os << kind_name(kind); }
}  // namespace hw

#endif  // TESTS_SUPPORT_RIG_H
