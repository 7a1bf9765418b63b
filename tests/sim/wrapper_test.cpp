// The wrapper: registration, configuration, bookkeeping, the Ethernet
// filter, packets, port routing and the trace, cards.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_miniport.h"
#include "hw/board.h"

namespace {

using fake::state;

bool has_problem(const sim::Host& h, const std::string& part) {
    for (auto& p : h.problems())
        if (p.find(part) != std::string::npos) return true;
    return false;
}

TEST(Registration, RefusedAndAccepted) {
    {
        sim::Host h;
        h.refuse_registration(true);
        EXPECT_EQ(h.load_driver(fake::Entry), NDIS_STATUS_FAILURE);
        EXPECT_FALSE(h.registered());
        EXPECT_EQ(h.initialize({}), NDIS_STATUS_FAILURE);
        EXPECT_TRUE(has_problem(h, "no driver registered"));
    }
    sim::Host h;
    EXPECT_EQ(h.load_driver(fake::Entry), 0u);
    EXPECT_TRUE(h.registered());
    EXPECT_EQ(h.characteristics_length(), sizeof(NDIS_MINIPORT_CHARACTERISTICS));
    EXPECT_EQ(h.characteristics().MajorNdisVersion, 3);
    EXPECT_NE(h.characteristics().SendHandler, nullptr);
    EXPECT_EQ(h.characteristics().CheckForHangHandler, nullptr);
    EXPECT_EQ(h.wrapper_initializations(), 1u);
}

TEST(Bookkeeping, AllocationsCatchLeaksAndSizeMismatches) {
    struct Case {
        bool leak, wrong_size;
        std::size_t leaked;
        bool problem;
    } cases[] = {{false, false, 0, false}, {true, false, 1, false}, {false, true, 0, true}};
    for (auto& c : cases) {
        fake::Rig r;
        state.halt_leaks = c.leak;
        state.halt_frees_wrong_size = c.wrong_size;
        ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
        r.host.adapter().halt();
        auto leaked = r.host.leaked_allocations();
        EXPECT_EQ(leaked.size(), c.leaked);
        if (!leaked.empty()) {
            EXPECT_EQ(leaked[0].length, 64u);
        }
        EXPECT_EQ(has_problem(r.host, "NdisFreeMemory: length 65, allocated 64"), c.problem);
        EXPECT_EQ(r.host.allocations_after_initialize(), 0u);
        ASSERT_EQ(r.host.allocations().size(), 1u);
        EXPECT_EQ(r.host.allocations()[0].highest.LowPart, 0xFFFFFFFFu);
        EXPECT_TRUE(r.host.live_port_ranges().empty());
    }
}

TEST(Bookkeeping, SendCompletions) {
    struct Case {
        fake::State::SendMode mode;
        NDIS_STATUS returned;
        std::size_t completions, never;
        std::uint64_t doubles;
        unsigned protocol_completions;
    } cases[] = {
        {fake::State::CompleteOnce, NDIS_STATUS_PENDING, 1, 0, 0, 1},
        {fake::State::CompleteTwice, NDIS_STATUS_PENDING, 2, 0, 1, 1},
        {fake::State::Never, NDIS_STATUS_PENDING, 0, 1, 0, 0},
        {fake::State::ReturnSuccess, NDIS_STATUS_SUCCESS, 1, 0, 0, 1},
    };
    for (auto& c : cases) {
        fake::Rig r;
        state.send_mode = c.mode;
        ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
        sim::RecordingProtocol p;
        r.host.adapter().bind(p);
        EXPECT_EQ(p.send(r.host.adapter(), std::vector<std::uint8_t>(60, 0x11), {14, 0, 46}), c.returned);
        EXPECT_EQ(r.host.send_completions().size(), c.completions);
        EXPECT_EQ(r.host.never_completed().size(), c.never);
        EXPECT_EQ(r.host.double_completions(), c.doubles);
        EXPECT_EQ(p.send_completions(), c.protocol_completions);
        EXPECT_EQ(r.host.problems().empty(), c.doubles == 0);
    }
}

TEST(EthernetFilter, Decisions) {
    const sim::MacAddress station{0x02, 0, 0, 0, 0, 1};
    const std::vector<sim::MacAddress> list{{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}};
    const std::uint8_t me[6] = {0x02, 0, 0, 0, 0, 1};
    const std::uint8_t other[6] = {0x02, 0, 0, 0, 0, 2};
    const std::uint8_t bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint8_t listed[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
    const std::uint8_t unlisted[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x02};
    const ULONG D = NDIS_PACKET_TYPE_DIRECTED, B = NDIS_PACKET_TYPE_BROADCAST,
                M = NDIS_PACKET_TYPE_MULTICAST, AM = NDIS_PACKET_TYPE_ALL_MULTICAST,
                P = NDIS_PACKET_TYPE_PROMISCUOUS;
    struct Case {
        const std::uint8_t* dest;
        ULONG filter;
        bool accepted;
    } cases[] = {
        {me, D, true},         {other, D, false},       {me, 0, false},
        {bcast, D, false},     {bcast, D | B, true},    {bcast, M | AM, false},
        {listed, D | B, false}, {listed, M, true},      {unlisted, M, false},
        {unlisted, AM, true},  {listed, AM, true},      {other, P, true},
        {bcast, P, true},      {unlisted, P, true},     {me, B | M | AM, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter << " dest "
                                        << int(c.dest[0]) << ":" << int(c.dest[5]));
        EXPECT_EQ(sim::ethernet_filter_accepts(c.dest, c.filter, station, list), c.accepted);
    }
}

TEST(Receive, IndicationsPassTheFilterAndTransferWhole) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    EXPECT_EQ(a.station_address(), (sim::MacAddress{0x02, 0, 0, 0, 0, 1}));
    sim::RecordingProtocol p;
    p.transfer_pieces = {3, 0, 5};
    a.bind(p);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED;
    ASSERT_EQ(a.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(a.packet_filter(), filter);

    std::vector<std::uint8_t> frame(100);
    for (std::size_t i = 0; i < frame.size(); i++) frame[i] = static_cast<std::uint8_t>(i * 7);
    std::copy(a.station_address().begin(), a.station_address().end(), frame.begin());
    state.frame = frame;
    r.card.raise(0x01);
    r.host.run_for(100 * hw::kMicrosecond);
    ASSERT_EQ(p.frames().size(), 1u);
    EXPECT_EQ(p.frames()[0].bytes, frame);
    EXPECT_EQ(p.frames()[0].lookahead.size(), 14u + 32u);
    EXPECT_EQ(p.receive_completes(), 1u);

    state.frame[5] = 0x99;  // another station
    r.card.raise(0x01);
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(p.frames().size(), 1u);
    EXPECT_EQ(a.counters().filter_dropped, 1u);
    EXPECT_EQ(a.indications().size(), 2u);
    EXPECT_TRUE(r.host.problems().empty());

    UINT n = 0;
    sim::Packet dest = sim::Packet::zeroed(4);
    EXPECT_EQ(a.transfer_data(dest, 0, 4, &n), NDIS_STATUS_FAILURE);  // no indication now
    EXPECT_TRUE(has_problem(r.host, "outside a receive indication"));
}

TEST(Configuration, KeywordsAddressesAndOpenHandles) {
    fake::Rig r;
    sim::AdapterConfig c;
    c.set_text("IOBASE", "310");  // text, read as hex; matched without regard to case
    c.network_address = std::vector<std::uint8_t>{1, 2, 3};
    state.close_configuration = false;
    ASSERT_EQ(r.init(c), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(state.base, 0x310u);
    EXPECT_EQ(state.network_address, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(r.host.adapter().keyword_read("IoBase"));
    EXPECT_EQ(r.host.adapter().config_reads()[0].type, NdisParameterHexInteger);
    EXPECT_EQ(r.host.open_configurations(), 1u);
    EXPECT_TRUE(has_problem(r.host, "configuration handle left open"));
    EXPECT_EQ(r.host.adapter().attributes().type, NdisInterfaceIsa);
    EXPECT_EQ(r.host.adapter().context(), state.record);
}

TEST(Configuration, AbsentKeywordAndAddressFail) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    EXPECT_NE(state.config_status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(state.network_address.empty());
    EXPECT_EQ(r.host.open_configurations(), 0u);
    EXPECT_EQ(r.host.configuration_opens(), 1u);
}

TEST(Configuration, InjectedFailures) {
    using F = sim::AdapterConfig::Faults;
    struct Case {
        bool F::*fault;
        std::size_t ranges_left;
    } cases[] = {{&F::allocate_memory, 0},
                 {&F::open_configuration, 0},
                 {&F::register_ports, 0},
                 {&F::register_interrupt, 0}};
    for (auto& c : cases) {
        fake::Rig r;
        sim::AdapterConfig cfg;
        cfg.fail.*c.fault = true;
        cfg.fail_status = 0xC0DE0001;
        EXPECT_EQ(r.init(cfg), 0xC0DE0001u);
        EXPECT_TRUE(r.host.leaked_allocations().empty());
        EXPECT_EQ(r.host.live_port_ranges().size(), c.ranges_left);
        EXPECT_FALSE(r.host.adapter().running());
        EXPECT_TRUE(r.host.problems().empty());
    }
    fake::Rig r;
    sim::AdapterConfig cfg;
    cfg.media = {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3};
    EXPECT_EQ(NdisSystemProcessorCount(), 1);
    cfg.processor_count = 2;
    ASSERT_EQ(r.init(cfg), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.host.adapter().selected_medium(), 2u);
    EXPECT_EQ(NdisSystemProcessorCount(), 2);
}

TEST(Resources, PortRangesMappingsAndErrorLog) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    ULONG offset = 0;
    EXPECT_EQ(NdisMRegisterIoPortRange(&offset, a.handle(), 0x31F, 4), NDIS_STATUS_RESOURCES);  // overlap
    NdisMDeregisterIoPortRange(a.handle(), 0x300, 16, 0x300);  // wrong count
    EXPECT_TRUE(has_problem(r.host, "do not match"));

    std::vector<std::uint8_t> window(0x1000);
    window[0xFF0] = 0x42;
    ASSERT_TRUE(r.host.map_physical(0xD4000, window.size(), window.data()));
    EXPECT_FALSE(r.host.map_physical(0xD4800, 16, window.data()));  // overlaps
    PVOID va = nullptr;
    NDIS_PHYSICAL_ADDRESS at = {0xD4000, 0};
    ASSERT_EQ(NdisMMapIoSpace(&va, a.handle(), at, 0x1000), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<UCHAR*>(va)[0xFF0], 0x42);
    NDIS_PHYSICAL_ADDRESS beyond = {0xD4800, 0};
    EXPECT_NE(NdisMMapIoSpace(&va, a.handle(), beyond, 0x1000), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.host.live_mappings().size(), 1u);
    NdisMUnmapIoSpace(a.handle(), window.data(), 0x1000);
    EXPECT_TRUE(r.host.live_mappings().empty());

    NdisWriteErrorLogEntry(a.handle(), NDIS_ERROR_CODE_HARDWARE_FAILURE, 2, 1u, 0x4000u);
    NdisWriteErrorLogEntry(a.handle(), NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
    ASSERT_EQ(r.host.error_log().size(), 2u);
    EXPECT_EQ(r.host.error_log()[0].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(r.host.error_log()[0].data, (std::vector<ULONG>{1, 0x4000}));
    EXPECT_TRUE(r.host.error_log()[1].data.empty());
    EXPECT_EQ(r.host.error_log()[0].adapter, &a);
}

TEST(Packets, ChainOfPiecesAsTheWrapperHandsThemOver) {
    std::vector<std::uint8_t> bytes(60);
    for (std::size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<std::uint8_t>(i);
    sim::Packet p(bytes, {14, 0, 46});
    NDIS_PACKET* np = p;
    EXPECT_EQ(np->Private.ValidCounts, FALSE);
    EXPECT_EQ(np->Private.Head, p.buffer(0));
    EXPECT_EQ(np->Private.Tail, p.buffer(2));
    EXPECT_EQ(p.buffer(1)->ByteCount, 0u);
    UINT phys = 0, count = 0, total = 0;
    PNDIS_BUFFER first = nullptr;
    NdisQueryPacket(np, &phys, &count, &first, &total);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 60u);
    EXPECT_GE(phys, 3u);
    EXPECT_EQ(p.contents(), bytes);
    sim::Packet moved = std::move(p);
    EXPECT_EQ(moved.contents(), bytes);
    EXPECT_THROW(sim::Packet(bytes, {10, 10}), std::invalid_argument);
}

TEST(Ports, RoutingStatsTraceAndHook) {
    fake::Card a, b;
    sim::Host h;
    ASSERT_TRUE(h.map_ports(0x300, 32, &a, 0x10, 1));
    EXPECT_FALSE(h.map_ports(0x31F, 4, &b));  // overlap refused
    ASSERT_TRUE(h.map_ports(0x320, 32, &b));
    h.trace_to_vector(true);
    std::vector<std::uint64_t> hooked;
    h.set_access_hook([&](std::uint64_t i) { hooked.push_back(i); });

    WRITE_PORT_UCHAR(0x30F, 0x22);
    EXPECT_EQ(READ_PORT_UCHAR(0x30F), 0x22);
    EXPECT_EQ(READ_PORT_USHORT(0x32F), 0xAB00);
    UCHAR buf[8];
    READ_PORT_BUFFER_UCHAR(0x310, buf, 8);
    USHORT words[4] = {};
    WRITE_PORT_BUFFER_USHORT(0x310, words, 4);
    EXPECT_EQ(a.string_calls, 2u);  // one call per block
    EXPECT_EQ(READ_PORT_UCHAR(0x200), 0xFF);

    EXPECT_EQ(h.port_stats(&a).accesses, 2u + 8 + 4);
    EXPECT_EQ(h.port_stats(&a).data_bytes, 8u + 8);
    EXPECT_EQ(h.port_stats(&b).accesses, 1u);
    EXPECT_EQ(h.unmapped_accesses(), 1u);
    EXPECT_EQ(h.port_stats().accesses, 16u);
    EXPECT_EQ(hooked, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
    std::vector<std::string> expected{"W 0x30F MASK = 0x22",      "R 0x30F MASK -> 0x22",
                                      "R 0x32F MASK -> 0xAB00", "R 0x310 REG -> 0x00 x8",
                                      "W 0x310 REG = 0x00 x4",    "R 0x200 (unmapped) -> 0xFF"};
    EXPECT_EQ(h.trace_text(), expected);
    EXPECT_EQ(h.trace()[3].time, 3000u);
    h.trace_to_vector(false);
    READ_PORT_UCHAR(0x300);
    EXPECT_EQ(h.trace().size(), 6u);
}

TEST(Cards, AddedCardAnswersAndDescribesItself) {
    sim::Host h;
    hw::BoardConfig pc;
    pc.kind = hw::BoardKind::PcCard;
    pc.io_base = 0x340;
    pc.irq = 10;
    hw::Ne2000Board& card = h.add_card(pc);
    h.trace_to_vector(true);
    READ_PORT_UCHAR(0x340);
    ASSERT_EQ(h.trace().size(), 1u);
    EXPECT_EQ(h.trace()[0].text.rfind("R 0x340 CR -> ", 0), 0u) << h.trace()[0].text;
    EXPECT_EQ(h.unmapped_accesses(), 0u);

    sim::AdapterConfig c = h.config_for(card);
    EXPECT_EQ(c.keywords["CardType"], 1u);
    EXPECT_EQ(c.keywords["IoBaseAddress_1"], 0x340u);
    EXPECT_EQ(c.keywords["InterruptNumber"], 10u);
    EXPECT_EQ(c.keywords["PCCARDAttributeMemoryAddress"], 0xD4000u);

    hw::BoardConfig same = pc;
    same.kind = hw::BoardKind::Isa16;
    EXPECT_THROW(h.add_card(same), std::runtime_error);  // ports taken
    hw::BoardConfig mca;
    mca.kind = hw::BoardKind::Mca;
    mca.pos_data1 = 0x4A;
    hw::Ne2000Board& m = h.add_card(mca);
    sim::AdapterConfig mc = h.config_for(m);
    ASSERT_TRUE(mc.pos.has_value());
    EXPECT_EQ(mc.pos->AdapterId, 0x67B0);
    EXPECT_EQ(mc.pos->PosData1, 0x4A);
}

}  // namespace
