// End to end through the wrapper: an adapter of each board kind comes up
// from its configuration, exchanges frames both ways with a peer on the same
// segment while the peer's filter changes, is reset in the middle of traffic
// and carries on, and halts with nothing leaked. The 32-bit build runs it on
// the driver image (test_loader), and there also runs it once on the image
// and once on the linked driver, which must make the same port accesses with
// the same values at the same virtual times.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "hw/board.h"
#include "sim/host.h"
#include "sim/image.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Load = std::function<NTSTATUS(sim::Host&)>;

// The driver a test program runs: the linked driver, or, built with
// NE2K_IMAGE_PATH, the driver image mapped by the loader. The image must
// outlive the host's calls into it.
struct Driver {
    std::unique_ptr<sim::DriverImage> image;
    NTSTATUS load(sim::Host& host, bool linked = false) {
#ifdef NE2K_IMAGE_PATH
        std::string error;
        if (!linked && !(image = sim::DriverImage::open(NE2K_IMAGE_PATH, &error))) ADD_FAILURE() << error;
        if (!linked) return image ? image->load(host) : NDIS_STATUS_FAILURE;
#endif
        (void)linked;
        return host.load_driver(DriverEntry);
    }
};

Bytes Frame(const sim::MacAddress& to, const sim::MacAddress& from, std::size_t len, std::uint32_t seq) {
    Bytes f(len);
    for (std::size_t i = 0; i < len; i++) f[i] = i < 6 ? to[i] : i < 12 ? from[i - 6] : std::uint8_t(seq * 7 + i);
    f[12] = std::uint8_t(seq), f[13] = std::uint8_t(seq >> 8);
    return f;
}

struct Outcome {
    std::vector<std::string> trace;  // "time text xcount" of every port access
    std::string fault;
};

Outcome Exchange(Driver& driver, hw::BoardKind kind, bool linked = false) {
    Outcome o;
    auto fail = [&](const std::string& s) { o.fault += s + "; "; };
    sim::Host host;
    hw::BoardConfig mine, peer;
    mine.kind = kind;
    mine.station = {0x02, 0x00, 0x00, 0x00, 0x0A, 0x01};
    if (kind == hw::BoardKind::Mca) mine.pos_data1 = 0x4A;  // 0x320, interrupt 5
    peer.kind = kind == hw::BoardKind::Isa8 ? hw::BoardKind::Isa16 : hw::BoardKind::Isa8;
    peer.io_base = 0x360;
    peer.irq = 10;
    peer.station = {0x02, 0x00, 0x00, 0x00, 0x0B, 0x02};
    hw::Ne2000Board& card_a = host.add_card(mine);
    hw::Ne2000Board& card_b = host.add_card(peer);
    host.bus().set_trace_sink([&](const sim::TraceEntry& e) {
        o.trace.push_back(std::to_string(e.time) + " " + e.text + " x" + std::to_string(e.count));
    });
    if (driver.load(host, linked) != 0 || host.initialize(host.config_for(card_a)) != NDIS_STATUS_SUCCESS ||
        host.initialize(host.config_for(card_b)) != NDIS_STATUS_SUCCESS)
        return fail("no adapters"), o;
    sim::Adapter &a = host.adapter(0), &b = host.adapter(1);
    sim::RecordingProtocol pa, pb;
    pa.transfer_pieces = {100, 0, 37};  // uneven destination buffers
    a.bind(pa);
    b.bind(pb);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    a.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    const sim::MacAddress ma = a.station_address(), mb = b.station_address(), group{0x01, 0x00, 0x5E, 0x00, 0x00, 0x07};
    const std::size_t sizes[] = {60, 42, 61, 255, 256, 257, 590, 1000, 1513, 1514};
    std::uint32_t seq = 0;
    auto exchange = [&](int rounds, bool to_group) {
        std::vector<Bytes> to_b, to_a;
        pa.clear_frames();
        pb.clear_frames();
        for (int r = 0; r < rounds; r++) {
            for (std::size_t len : sizes) {
                to_b.push_back(Frame(to_group && len % 2 ? group : mb, ma, len, seq++));
                pa.send(a, to_b.back(), {14, len / 3, 0, len - 14 - len / 3});
                to_a.push_back(Frame(ma, mb, len, seq++));
                pb.send(b, to_a.back());
                host.run_for(200 * hw::kMicrosecond);
            }
        }
        host.run_until_idle();
        // Every frame arrives, in order, byte for byte, short ones padded.
        for (auto [sent, got] : {std::make_pair(&to_b, &pb), std::make_pair(&to_a, &pa)}) {
            bool same = sent->size() == got->frames().size();
            for (std::size_t i = 0; same && i < sent->size(); i++) {
                Bytes want = (*sent)[i];
                want.resize(std::max<std::size_t>(want.size(), 60), 0x20);
                same = got->frames()[i].bytes == want;
            }
            if (!same) fail("frames lost, changed or out of order");
        }
    };
    exchange(3, false);
    // B takes a group address, then everything.
    sim::MacAddress list = group;
    b.set(OID_802_3_MULTICAST_LIST, list.data(), 6);
    filter |= NDIS_PACKET_TYPE_MULTICAST;
    b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    exchange(2, true);
    filter = NDIS_PACKET_TYPE_PROMISCUOUS;
    b.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    // A reset in the middle of traffic: queued frames come back aborted,
    // frames in the slots may be lost; the adapter carries on.
    for (int i = 0; i < 4; i++) pa.send(a, Frame(mb, ma, 1514, seq++));
    if (a.reset() != NDIS_STATUS_SUCCESS) fail("reset failed");
    host.run_until_idle();
    exchange(2, false);
    for (const auto* p : {&pa, &pb})
        for (const auto& s : p->sent())
            if (s.completions != 1 || (s.completion != NDIS_STATUS_SUCCESS && s.completion != NDIS_STATUS_REQUEST_ABORTED))
                fail("a packet completed " + std::to_string(s.completions) + " times or failed");
    if (a.query_ulong(OID_GEN_XMIT_OK).value_or(0) == 0 || a.query_ulong(OID_GEN_RCV_OK).value_or(0) == 0)
        fail("counters not counting");
    a.halt();
    b.halt();
    if (!host.leaked_allocations().empty() || !host.live_mappings().empty() || !host.live_port_ranges().empty())
        fail("resources left after the halt");
    if (!host.never_completed().empty() || host.double_completions()) fail("completions");
    if (host.allocations_after_initialize()) fail("allocations after initialize");
    for (const std::string& p : host.problems()) fail(p);
    if (!host.error_log().empty()) fail("event log");
    if (card_a.misuse().total() + card_b.misuse().total()) fail("card misuse");
    return o;
}

const char* const kKindNames[] = {"Isa16", "Isa8", "PcCard", "Mca"};

class LifecycleE2E : public ::testing::TestWithParam<hw::BoardKind> {};

TEST_P(LifecycleE2E, ExchangesFramesSurvivesAResetAndHaltsClean) {
    Driver driver;
    EXPECT_EQ(Exchange(driver, GetParam()).fault, "");
}

INSTANTIATE_TEST_SUITE_P(BoardKinds, LifecycleE2E,
                         ::testing::Values(hw::BoardKind::Isa16, hw::BoardKind::Isa8, hw::BoardKind::PcCard,
                                           hw::BoardKind::Mca),
                         [](const auto& info) { return std::string(kKindNames[int(info.param)]); });

#ifdef NE2K_IMAGE_PATH
TEST(ImageAgreesWithLinkedDriver, SamePortAccessesAccessByAccess) {
    Driver image, linked;
    Outcome a = Exchange(image, hw::BoardKind::Isa16), b = Exchange(linked, hw::BoardKind::Isa16, true);
    EXPECT_EQ(a.fault + b.fault, "");
    EXPECT_GT(b.trace.size(), 20000u);
    ASSERT_EQ(a.trace.size(), b.trace.size());
    for (std::size_t i = 0; i < a.trace.size(); i++) ASSERT_EQ(a.trace[i], b.trace[i]) << "port access " << i << " differs";
}
#endif

}  // namespace
