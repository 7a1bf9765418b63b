// An adapter brought up through the wrapper on one emulated card, with a
// protocol bound that logs every receive and receive-complete, and helpers
// to stage ring contents while the card's interrupt is held off.
#ifndef TESTS_RECEIVE_RX_FIXTURE_H
#define TESTS_RECEIVE_RX_FIXTURE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/adapter.h"
#include "hw/board.h"
#include "sim/host.h"
#include "tests/support/card_fixture.h"

namespace rx_test {

using Bytes = std::vector<std::uint8_t>;

// Logs 'R' for each receive and 'C' for each receive-complete; `during`
// runs inside the indication, before the frame is recorded.
class EventProtocol : public sim::RecordingProtocol {
public:
    using Hook = std::function<void(sim::Adapter&, unsigned packet_size)>;
    std::string events;
    Hook during;
    std::function<void()> at_complete;

    void on_receive(sim::Adapter& adapter, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                    NDIS_HANDLE receive_context) override;
    void on_receive_complete(sim::Adapter& adapter) override;
};

// Header fields of a frame placed in the ring by hand; unset fields take
// what the controller would write.
struct Placed {
    int status = -1;
    int next = -1;
    int count = -1;  // 16-bit byte count (frame + CRC)
};

class RxFixture {
public:
    explicit RxFixture(hw::BoardKind kind = hw::BoardKind::Isa16);

    ne2k_test::CardFixture fx;
    EventProtocol proto;

    AdapterRecord& rec() { return fx.adapter(); }
    hw::Ne2000Board& card() { return fx.card(); }
    sim::Host& host() { return fx.host(); }
    sim::Adapter& wa() { return fx.wrapper_adapter(); }
    bool byte_wide() const { return kind_ == hw::BoardKind::Isa8; }

    // Holds the card's interrupt off (as the driver's disable handler does),
    // so that frames and ISR bits collect without the deferred handler.
    void Mask();
    // Re-arms the card and runs until idle: pending conditions raise the line.
    void Unmask();

    // A frame of `len` bytes to the station address with a sequence number
    // and bytes derived from `seed`.
    Bytes MakeFrame(std::size_t len, std::uint32_t seed);
    // Injects on the segment and runs until the card has it (or the driver
    // has taken it, when unmasked).
    void Inject(const Bytes& frame);
    void InjectAll(const std::vector<Bytes>& frames);

    // Writes `frame` and a 4-byte CRC into the ring at `page` (default: CURR)
    // behind a ring header, as the controller stores a frame; moves CURR to
    // the header's next page unless `page` was given. Returns the page used.
    int Place(const Bytes& frame, const Placed& fields = {}, int page = -1);
    // The controller's next page for a frame of `count` bytes at `page`.
    int NextPageFor(int page, int count);

    // Raises ISR bits with no cause (PRX after Place, OVW, RXE ...).
    void RaiseIsr(std::uint8_t bits);

    // Neither the card nor the wrapper saw anything a correct driver never does.
    void ExpectClean();

private:
    hw::BoardKind kind_;
};

}  // namespace rx_test

#endif  // TESTS_RECEIVE_RX_FIXTURE_H
