// Two adapters on one host segment, as the benchmarks and the bus-cost
// report use them: adapter A sends, the segment carries, adapter B receives
// and a protocol bound to B takes every frame whole through transfer-data.
// Packets and the destination buffer are made once, before the measured part.
#ifndef BENCH_PAIR_H
#define BENCH_PAIR_H

#include <cstdint>
#include <memory>
#include <vector>

#include "hw/board.h"
#include "sim/host.h"
#include "sim/image.h"

namespace bench {

// Takes each indicated frame whole into one preallocated buffer.
class WholeFrameReceiver : public sim::Protocol {
public:
    WholeFrameReceiver();
    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                    NDIS_HANDLE receive_context) override;

    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;     // header plus transferred data
    std::uint64_t failures = 0;  // transfers that failed or came up short
    sim::Packet& destination() { return dest_; }

private:
    sim::Packet dest_;
};

class CompletionCounter : public sim::Protocol {
public:
    void on_receive(sim::Adapter&, const std::uint8_t*, unsigned, const std::uint8_t*, unsigned,
                    unsigned, NDIS_HANDLE) override {}
    void on_send_complete(sim::Adapter&, NDIS_PACKET*, NDIS_STATUS status) override {
        completions++;
        if (status != NDIS_STATUS_SUCCESS) failures++;
    }
    std::uint64_t completions = 0;
    std::uint64_t failures = 0;
};

// Port accesses, data-port bytes and modeled bus time of one card.
struct CardCost {
    std::uint64_t accesses = 0;
    std::uint64_t data_accesses = 0;  // elements moved through the data port
    std::uint64_t data_bytes = 0;
};

class Pair {
public:
    // Both boards of `kind`; every port access costs `port_cost` of virtual
    // time (the bus model). The driver is the linked one, or `image` (not
    // yet loaded; it must outlive the pair). Aborts with a message when the
    // driver does not come up.
    explicit Pair(hw::BoardKind kind = hw::BoardKind::Isa16, sim::Nanos port_cost = hw::kMicrosecond,
                  sim::DriverImage* image = nullptr);
    ~Pair();

    sim::Host& host() { return host_; }
    sim::Adapter& sender() { return *a_; }
    sim::Adapter& receiver() { return *b_; }
    hw::Ne2000Board& sender_card() { return *card_a_; }
    hw::Ne2000Board& receiver_card() { return *card_b_; }
    WholeFrameReceiver& rx() { return rx_; }
    CompletionCounter& tx() { return tx_; }

    // Makes the packet sent by send(): a frame of `len` bytes (14 to 1514)
    // from A to B, in one buffer.
    void prepare(std::size_t len);
    // Sends the prepared frame from A and runs the host until it is idle:
    // the frame is on B's protocol and A has its transmit completion.
    void send_one();

    CardCost sender_cost() const { return cost(card_a_); }
    CardCost receiver_cost() const { return cost(card_b_); }
    // True when every frame sent so far arrived whole and nothing went wrong.
    bool healthy() const;

private:
    CardCost cost(const hw::Ne2000Board* card) const;

    sim::Host host_;
    hw::Ne2000Board* card_a_ = nullptr;
    hw::Ne2000Board* card_b_ = nullptr;
    sim::Adapter* a_ = nullptr;
    sim::Adapter* b_ = nullptr;
    WholeFrameReceiver rx_;
    CompletionCounter tx_;
    std::unique_ptr<sim::Packet> packet_;
    std::size_t len_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t expected_bytes_ = 0;
};

// Wire time of a frame of `len` bytes (without FCS) at 10 Mbit/s:
// preamble, frame, FCS and inter-frame gap.
inline sim::Nanos frame_wire_time(std::size_t len) { return hw::wire_time(len + hw::kFcsBytes); }

}  // namespace bench

#endif  // BENCH_PAIR_H
