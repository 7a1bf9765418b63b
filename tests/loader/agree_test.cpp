// The driver image and the linked 32-bit driver, each on a fresh host, run
// one seeded scenario (initialization, traffic both ways, a filter change,
// a reset in mid-traffic, halt) and make the same port accesses, with the
// same values at the same virtual times, access by access.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "hw/board.h"
#include "sim/host.h"
#include "sim/image.h"

namespace {

std::vector<std::uint8_t> Frame(const sim::MacAddress& to, const sim::MacAddress& from, std::size_t len,
                                std::mt19937& rng) {
    std::vector<std::uint8_t> f(len);
    for (int i = 0; i < 6; i++) {
        f[i] = to[i];
        f[6 + i] = from[i];
    }
    f[12] = 0x88;
    f[13] = 0xB5;
    for (std::size_t i = 14; i < len; i++) f[i] = static_cast<std::uint8_t>(rng());
    return f;
}

struct Outcome {
    std::vector<std::string> trace;  // "time text" of every port access
    std::size_t frames_a = 0, frames_b = 0;
    std::vector<std::string> problems;
};

Outcome RunScenario(const std::function<NTSTATUS(sim::Host&)>& load) {
    Outcome out;
    sim::Host host;
    hw::BoardConfig ca, cb;
    ca.kind = hw::BoardKind::Isa16;
    ca.station = {0x02, 0x00, 0x00, 0x00, 0x0A, 0x01};
    cb.kind = hw::BoardKind::Isa8;
    cb.io_base = 0x340;
    cb.irq = 5;
    cb.station = {0x02, 0x00, 0x00, 0x00, 0x0B, 0x02};
    hw::Ne2000Board& card_a = host.add_card(ca);
    hw::Ne2000Board& card_b = host.add_card(cb);
    host.set_trace_sink([&](const sim::TraceEntry& e) {
        out.trace.push_back(std::to_string(e.time) + " " + e.text + " x" + std::to_string(e.count));
    });
    if (load(host) != 0) {
        out.problems.push_back("the driver did not load");
        return out;
    }
    if (host.initialize(host.config_for(card_a)) != NDIS_STATUS_SUCCESS ||
        host.initialize(host.config_for(card_b)) != NDIS_STATUS_SUCCESS) {
        out.problems.push_back("an adapter did not initialize");
        return out;
    }
    sim::Adapter& a = host.adapter(0);
    sim::Adapter& b = host.adapter(1);
    sim::RecordingProtocol pa, pb;
    pa.transfer_pieces = {100, 0, 37};
    a.bind(pa);
    b.bind(pb);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    a.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);

    std::mt19937 rng(20240611);
    const sim::MacAddress group{0x01, 0x00, 0x5E, 0x00, 0x00, 0x07}, broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    auto traffic = [&](int frames) {
        for (int i = 0; i < frames; i++) {
            std::size_t len = 60 + rng() % (1514 - 60 + 1);
            const sim::MacAddress& to_b = i % 7 == 0 ? broadcast : i % 5 == 0 ? group : b.station_address();
            pa.send(a, Frame(to_b, a.station_address(), len, rng), {14, len / 2 - 14, len - len / 2});
            pb.send(b, Frame(i % 3 ? a.station_address() : group, b.station_address(), 60 + rng() % 200, rng));
            host.run_for(static_cast<sim::Nanos>(rng() % 400) * hw::kMicrosecond);
        }
        host.run_until_idle();
    };
    traffic(150);
    // B takes the group address and then everything.
    std::uint8_t list[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x07};
    b.set(OID_802_3_MULTICAST_LIST, list, sizeof list);
    filter |= NDIS_PACKET_TYPE_MULTICAST;
    b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    traffic(100);
    filter = NDIS_PACKET_TYPE_PROMISCUOUS;
    b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    for (int i = 0; i < 5; i++) pa.send(a, Frame(b.station_address(), a.station_address(), 1514, rng));
    a.reset();
    traffic(100);
    a.halt();
    b.halt();
    out.frames_a = pa.frames().size();
    out.frames_b = pb.frames().size();
    out.problems = host.problems();
    if (!host.leaked_allocations().empty()) out.problems.push_back("allocations leaked");
    return out;
}

TEST(ImageAgreesWithLinkedDriver, SamePortAccessesAccessByAccess) {
    Outcome linked = RunScenario([](sim::Host& h) { return h.load_driver(DriverEntry); });
    std::string error;
    auto image = sim::DriverImage::open(NE2K_IMAGE_PATH, &error);
    ASSERT_TRUE(image) << error;
    Outcome loaded = RunScenario([&](sim::Host& h) { return image->load(h); });

    EXPECT_TRUE(linked.problems.empty()) << linked.problems.front();
    EXPECT_TRUE(loaded.problems.empty()) << loaded.problems.front();
    EXPECT_GT(linked.trace.size(), 20000u);
    EXPECT_GT(linked.frames_b, 200u);
    EXPECT_GT(linked.frames_a, 150u);
    EXPECT_EQ(loaded.frames_a, linked.frames_a);
    EXPECT_EQ(loaded.frames_b, linked.frames_b);
    ASSERT_EQ(loaded.trace.size(), linked.trace.size());
    for (std::size_t i = 0; i < linked.trace.size(); i++)
        ASSERT_EQ(loaded.trace[i], linked.trace[i]) << "port access " << i << " differs";
}

}  // namespace
