// End to end through the wrapper: an adapter of each board kind comes up
// from its configuration, exchanges frames both ways with the peer while its
// filter changes, is reset in the middle of traffic and carries on, and
// halts with nothing leaked. The 32-bit build runs it on the driver image
// (test_loader), and there also runs it once on the image and once on the
// linked driver, which must make the same port accesses with the same values
// at the same virtual times.
#include <gtest/gtest.h>

#include "sim/image.h"
#include "tests/support/rig.h"

namespace {

using namespace rig;

struct Outcome {
    std::vector<std::string> trace;  // "time text xcount" of every port access
    std::string fault;
};

Outcome Lifecycle(hw::BoardKind kind, bool linked = false) {
    Outcome o;
    (void)linked;  // the 64-bit build runs the linked driver only
    std::unique_ptr<sim::DriverImage> image;  // outlives the host's calls into it
    auto load = [&](sim::Host& host) -> NTSTATUS {
#ifdef NE2K_IMAGE_PATH
        std::string error;
        if (!linked && !(image = sim::DriverImage::open(NE2K_IMAGE_PATH, &error))) o.fault += error + "; ";
        if (!linked) return image ? image->load(host) : NDIS_STATUS_FAILURE;
#endif
        return host.load_driver(DriverEntry);
    };
    Rig r(ConfigOf(kind), load);
    r.host.bus().set_trace_sink([&](const sim::TraceEntry& e) {
        o.trace.push_back(std::to_string(e.time) + " " + e.text + " x" + std::to_string(e.count));
    });
    if (!r.Init(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST)) return o.fault += "no adapter", o;
    r.proto.transfer_pieces = {100, 0, 37};  // uneven destination buffers
    const std::size_t sizes[] = {60, 42, 61, 255, 256, 257, 590, 1000, 1513, 1514};
    const Dest dests[] = {kToStation, kBroadcast, kMulticastListed, kOtherStation};
    auto exchange = [&](int rounds) {
        for (int i = 0; i < rounds * 10; i++) {
            std::size_t len = sizes[i % 10];
            r.Send(len, {14, len / 3, 0, len - 14 - len / 3});
            r.Inject(dests[i % 4], len < 60 ? 60 : len);
            r.host.run_for(200 * kUs);
        }
        r.Run();
    };
    exchange(3);
    r.SetMulticast({Address(kMulticastListed)});
    r.SetFilter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST);
    exchange(2);
    r.SetFilter(NDIS_PACKET_TYPE_PROMISCUOUS);
    for (int i = 0; i < 4; i++) r.Send(1514);
    if (r.Reset() != NDIS_STATUS_SUCCESS) o.fault += "reset failed; ";
    exchange(2);
    if (r.adapter->query_ulong(OID_GEN_XMIT_OK).value_or(0) == 0 || r.adapter->query_ulong(OID_GEN_RCV_OK).value_or(0) == 0)
        o.fault += "counters not counting; ";
    r.Halt();
    o.fault += r.Check();
    if (!r.host.live_mappings().empty() || r.host.allocations_after_initialize()) o.fault += "mappings or allocations left; ";
    return o;
}

class LifecycleE2E : public ::testing::TestWithParam<hw::BoardKind> {};

TEST_P(LifecycleE2E, ExchangesFramesSurvivesAResetAndHaltsClean) { EXPECT_EQ(Lifecycle(GetParam()).fault, ""); }

INSTANTIATE_TEST_SUITE_P(BoardKinds, LifecycleE2E, ::testing::ValuesIn(hw::kBoardKinds),
                         [](const auto& info) { return std::string(hw::kind_name(info.param)); });

#ifdef NE2K_IMAGE_PATH
TEST(ImageAgreesWithLinkedDriver, SamePortAccessesAccessByAccess) {
    Outcome a = Lifecycle(hw::BoardKind::Isa8), b = Lifecycle(hw::BoardKind::Isa8, true);
    EXPECT_EQ(a.fault + b.fault, "");
    EXPECT_GT(b.trace.size(), 20000u);
    ASSERT_EQ(a.trace.size(), b.trace.size());
    for (std::size_t i = 0; i < a.trace.size(); i++) ASSERT_EQ(a.trace[i], b.trace[i]) << "port access " << i << " differs";
}
#endif

}  // namespace
