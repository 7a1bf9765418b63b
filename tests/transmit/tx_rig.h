// A brought-up adapter on an emulated card, a recording protocol bound to it
// and a tap on the segment, for the transmit tests. Port accesses cost no
// virtual time, so a transmission only ends when the test lets time run.
#ifndef TESTS_TRANSMIT_TX_RIG_H
#define TESTS_TRANSMIT_TX_RIG_H

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "hw/segment.h"
#include "tests/support/card_fixture.h"

namespace tx_test {

using Bytes = std::vector<std::uint8_t>;

// A frame of `length` bytes: a unicast destination, then a pattern.
inline Bytes Frame(size_t length, unsigned seed = 0) {
    static const std::uint8_t dest[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    Bytes b(length);
    for (size_t i = 0; i < length; i++) b[i] = i < 6 ? dest[i] : (std::uint8_t)(i * 7 + seed * 31 + 5);
    return b;
}

// What the wire carries for a frame: padded to 60 bytes with 0x20.
inline Bytes Padded(Bytes b) {
    while (b.size() < 60) b.push_back(0x20);
    return b;
}

// Calls `hook` at every send completion, before the protocol records it.
class HookedProtocol : public sim::RecordingProtocol {
public:
    std::function<void(NDIS_PACKET*, NDIS_STATUS)> hook;
    void on_send_complete(sim::Adapter& adapter, NDIS_PACKET* packet, NDIS_STATUS status) override {
        if (hook) hook(packet, status);
        RecordingProtocol::on_send_complete(adapter, packet, status);
    }
};

class TxRig {
public:
    explicit TxRig(hw::BoardKind kind = hw::BoardKind::Isa16) : f(kind) {
        up = f.BringUp() == NDIS_STATUS_SUCCESS;
        EXPECT_TRUE(up);
        if (!up) return;
        f.host().set_port_cost(0);
        a().bind(proto);
        f.host().segment().add_tap([this](hw::Nanos, const std::uint8_t* frame, size_t len) {
            wire.emplace_back(frame, frame + hw::Segment::strip_fcs(len));
        });
    }

    sim::Adapter& a() { return f.wrapper_adapter(); }
    AdapterRecord& r() { return f.adapter(); }
    sim::Host& host() { return f.host(); }
    hw::Ne2000Board& card() { return f.card(); }

    NDIS_STATUS Send(const Bytes& bytes, const std::vector<size_t>& pieces = {}) {
        return proto.send(a(), bytes, pieces);
    }
    // Sends a packet the test built (and may have tampered with).
    NDIS_STATUS SendOwn(sim::Packet packet) {
        own.push_back(std::make_unique<sim::Packet>(std::move(packet)));
        return a().send(own.back()->get());
    }
    void Run() { EXPECT_TRUE(host().run_until_idle()); }

    // Completion status of the i-th packet sent through the protocol;
    // 0xFFFFFFFF while it has not been completed.
    NDIS_STATUS Completion(size_t i) const {
        const auto& s = proto.sent().at(i);
        return s.completion ? *s.completion : 0xFFFFFFFFu;
    }
    // Status of the completion of a test-built packet, or 0xFFFFFFFF.
    NDIS_STATUS OwnCompletion(size_t i) {
        NDIS_STATUS status = 0xFFFFFFFFu;
        for (const sim::SendCompletion& c : host().send_completions())
            if (c.packet == own.at(i)->get()) status = c.status;
        return status;
    }

    // The wrapper saw every packet completed exactly once, and nothing else
    // went wrong on the platform or the card.
    void ExpectCleanBookkeeping() {
        EXPECT_TRUE(host().never_completed().empty());
        EXPECT_EQ(host().double_completions(), 0u);
        for (const auto& s : proto.sent()) {
            EXPECT_EQ(s.completions, 1u);
            EXPECT_EQ(s.send_status, NDIS_STATUS_PENDING);
        }
        for (const std::string& p : host().problems()) ADD_FAILURE() << p;
        EXPECT_EQ(card().misuse().total(), 0u);
    }

    // Packets and the protocol outlive the fixture, which halts the adapter.
    HookedProtocol proto;
    std::vector<std::unique_ptr<sim::Packet>> own;
    std::vector<Bytes> wire;
    ne2k_test::CardFixture f;
    bool up = false;
};

}  // namespace tx_test

#endif  // TESTS_TRANSMIT_TX_RIG_H
