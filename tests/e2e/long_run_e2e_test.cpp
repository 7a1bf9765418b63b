// A long run with the host's per-frame records turned off: frames and
// completions still reach the protocols, the records stay empty, and the
// bookkeeping that checks the driver (packets with it, problems) still works.
#include <gtest/gtest.h>

#include <vector>

#include "driver/driver.h"
#include "hw/board.h"
#include "sim/host.h"

namespace {

TEST(LongRunE2E, RecordsOffStillDeliverAndComplete) {
    sim::Host host;
    ASSERT_EQ(host.load_driver(DriverEntry), 0u);
    hw::BoardConfig ca, cb;
    ca.station = {0x02, 0x00, 0x00, 0x00, 0x0A, 0x01};
    cb.station = {0x02, 0x00, 0x00, 0x00, 0x0B, 0x02};
    cb.io_base = 0x340;
    cb.irq = 5;
    hw::Ne2000Board& card_a = host.add_card(ca);
    hw::Ne2000Board& card_b = host.add_card(cb);
    ASSERT_EQ(host.initialize(host.config_for(card_a)), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(host.initialize(host.config_for(card_b)), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = host.adapter(0);
    sim::Adapter& b = host.adapter(1);
    host.keep_send_completions(false);
    a.keep_indications(false);
    b.keep_indications(false);
    sim::RecordingProtocol pa, pb;
    a.bind(pa);
    b.bind(pb);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED;
    ASSERT_EQ(b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4), NDIS_STATUS_SUCCESS);

    std::vector<std::uint8_t> frame(1514);
    const sim::MacAddress to = b.station_address(), from = a.station_address();
    for (int i = 0; i < 6; i++) {
        frame[i] = to[i];
        frame[6 + i] = from[i];
    }
    for (std::size_t i = 12; i < frame.size(); i++) frame[i] = static_cast<std::uint8_t>(i);
    sim::Packet packet(frame);  // the same packet again once it has completed
    for (int i = 0; i < 40; i++) {
        a.send(packet, 0, &pa);
        host.run_until_idle();
    }
    EXPECT_EQ(pb.frames().size(), 40u);
    EXPECT_EQ(pb.frames().back().bytes, frame);
    EXPECT_EQ(pa.send_completions(), 40u);
    EXPECT_TRUE(host.send_completions().empty());
    EXPECT_TRUE(a.indications().empty());
    EXPECT_TRUE(b.indications().empty());
    EXPECT_TRUE(host.never_completed().empty());

    a.halt();
    b.halt();
    EXPECT_TRUE(host.problems().empty());
    EXPECT_EQ(host.allocations_after_initialize(), 0u);
}

}  // namespace
