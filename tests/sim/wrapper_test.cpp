// The host platform with a fake miniport: interrupt delivery and
// synchronization, the clock, the bookkeeping that catches a misbehaving
// driver, the wrapper's Ethernet filter, configuration, ports and trace.
#include <gtest/gtest.h>

#include <functional>

#include "tests/sim/fake_miniport.h"

namespace {

using fake::state;
using Log = std::vector<std::string>;

bool HasProblem(const sim::Host& h, const std::string& part) {
    for (auto& p : h.problems())
        if (p.find(part) != std::string::npos) return true;
    return false;
}

// The service routine runs on a rising edge while the interrupt is
// connected, and on a shared line's call with no card cause; port accesses
// outside a wrapper call deliver at the next run point.
TEST(Interrupts, DeliveredOnRisingEdgeOnlyWhileConnected) {
    {
    fake::Rig r;
    state.isr_masks = false;  // the line stays high after the ISR
    r.card.raise(0x01);       // high before the interrupt is connected: no edge seen later
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    auto edge = [&] {
        WRITE_PORT_UCHAR(0x307, 0x01);  // the line drops
        r.card.raise(0x01);             // and rises
    };
    const std::function<void()> steps[] = {[] {}, edge, [&] { r.card.raise(0x01); }, edge, [&] { a.halt(); edge(); }};
    const std::uint64_t calls[] = {0, 1, 1, 2, 2};
    for (int i = 0; i < 5; i++) {
        steps[i]();
        EXPECT_EQ(a.counters().isr_calls, i ? calls[i - 1] : 0u) << i;  // delivered at the next run point
        r.host.run_for(100 * hw::kMicrosecond);
        EXPECT_EQ(a.counters().isr_calls, calls[i]) << i;
    }
    EXPECT_EQ(a.counters().deferred_runs, 0u);
    }
    fake::Rig s;
    ASSERT_EQ(s.init(), NDIS_STATUS_SUCCESS);
    s.host.adapter().fire_shared();
    EXPECT_EQ(s.host.adapter().counters().isr_calls, 1u);
    EXPECT_EQ(s.host.adapter().counters().isr_recognized, 0u);
    EXPECT_TRUE(s.host.problems().empty());
}

// Raised inside a synchronized routine: the service routine waits for its
// end; inside a handler: it runs at once, the deferred handler and the
// enable handler after the handler; by a hardware event: all three at the
// event's time; an edge the enable handler's mask write raises is taken
// after the enable handler.
TEST(Interrupts, OrderOfServiceRoutineDeferredAndEnableHandlers) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    ULONG unused = 0;
    state.log.clear();
    EXPECT_EQ(a.set(fake::kOidSyncRaise, &unused, 4), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(state.log, (Log{"set", "sync", "sync-end", "isr", "set-end", "dpc", "enable"}));
    EXPECT_EQ(state.isr_in_sync, 0u);
    EXPECT_EQ(a.counters().held_off, 1u);
    state.log.clear();
    a.set(fake::kOidStallRaise, &unused, 4);
    EXPECT_EQ(state.log, (Log{"set", "isr", "set-end", "dpc", "enable"}));
    EXPECT_GT(r.card.isr_context_reads, 0u);  // the device was told the ISR ran
    EXPECT_FALSE(r.card.in_isr);
    state.log.clear();
    hw::Nanos at = r.host.bus().now() + 50 * hw::kMicrosecond, isr_time = 0;
    r.host.bus().clock().schedule(at, [&] { r.card.raise(0x01); });
    r.host.bus().set_access_hook([&](std::uint64_t) {
        if (!isr_time && r.card.in_isr) isr_time = r.host.bus().now();
    });
    r.host.run_for(200 * hw::kMicrosecond);
    EXPECT_EQ(state.log, (Log{"isr", "dpc", "enable"}));
    EXPECT_GE(isr_time, at);
    EXPECT_LE(isr_time, at + 2 * hw::kMicrosecond);
    state.dpc_raises_again = 1;
    state.log.clear();
    r.card.raise(0x01);
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(state.log, (Log{"isr", "dpc", "enable", "isr", "dpc", "enable"}));
    a.disable_interrupt();
    r.card.raise(0x01);
    state.log.clear();
    a.enable_interrupt();
    EXPECT_EQ(state.log, (Log{"enable", "isr", "dpc", "enable"}));
    EXPECT_TRUE(state.armed);
}

// Stalls, the cost of port accesses (each element of a string access) and
// hardware events move the clock, in order; a run stops at its limit.
TEST(Clock, StallsPortCostAndEventsMoveTimeInOrder) {
    sim::Host h;
    KeStallExecutionProcessor(7);
    EXPECT_EQ(h.bus().now(), 7000u);
    h.bus().set_port_cost(250);
    UCHAR buf[10];
    READ_PORT_BUFFER_UCHAR(0x400, buf, 10);
    EXPECT_EQ(READ_PORT_USHORT(0x400), 0xFFFF);
    EXPECT_EQ(h.bus().now(), 7000u + 11 * 250);
    EXPECT_EQ(h.bus().unmapped_accesses(), 11u);
    std::vector<std::pair<char, hw::Nanos>> fired;
    hw::Nanos t0 = h.bus().now();
    for (auto [name, dt] : {std::pair<char, hw::Nanos>{'b', 3000}, {'a', 1000}, {'c', 3000}})
        h.bus().clock().schedule(t0 + dt, [&, name = name] { fired.push_back({name, h.bus().now()}); });
    h.bus().set_port_cost(0);
    KeStallExecutionProcessor(4);
    EXPECT_EQ(fired, (std::vector<std::pair<char, hw::Nanos>>{{'a', t0 + 1000}, {'b', t0 + 3000}, {'c', t0 + 3000}}));
    std::function<void()> tick = [&] { h.bus().clock().schedule(h.bus().now() + 1000, tick); };
    tick();
    hw::Nanos t1 = h.bus().now();
    EXPECT_FALSE(h.run_until_idle(50'000));
    EXPECT_EQ(h.bus().now(), t1 + 50'000);
}

// A leak, a free of the wrong size, a packet completed twice or never, and
// a final status for a packet also completed: each is caught.
TEST(Bookkeeping, CatchesWhatADriverGetsWrong) {
    struct Case { bool leak, wrong_size; fake::State::SendMode mode; std::size_t leaked, never; std::uint64_t doubles;
                  const char* problem; } cases[] = {
        {false, false, fake::State::CompleteOnce, 0, 0, 0, nullptr},
        {true, false, fake::State::CompleteOnce, 1, 0, 0, nullptr},
        {false, true, fake::State::CompleteOnce, 0, 0, 0, "NdisFreeMemory: length 65, allocated 64"},
        {false, false, fake::State::CompleteTwice, 0, 0, 1, "NdisMSendComplete"},
        {false, false, fake::State::Never, 0, 1, 0, nullptr},
        {false, false, fake::State::ReturnSuccess, 0, 0, 0, nullptr}};
    for (const auto& c : cases) {
        fake::Rig r;
        state.halt_leaks = c.leak;
        state.halt_frees_wrong_size = c.wrong_size;
        state.send_mode = c.mode;
        ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
        sim::RecordingProtocol p;
        r.host.adapter().bind(p);
        EXPECT_EQ(p.send(r.host.adapter(), std::vector<std::uint8_t>(60, 0x11), {14, 0, 46}),
                  c.mode == fake::State::ReturnSuccess ? NDIS_STATUS_SUCCESS : NDIS_STATUS_PENDING);
        EXPECT_EQ(p.send_completions(), c.mode == fake::State::Never ? 0u : 1u);
        EXPECT_EQ(r.host.never_completed().size(), c.never);
        EXPECT_EQ(r.host.double_completions(), c.doubles);
        r.host.adapter().halt();
        EXPECT_EQ(r.host.leaked_allocations().size(), c.leaked);
        EXPECT_EQ(r.host.problems().empty(), c.problem == nullptr);
        if (c.problem) { EXPECT_TRUE(HasProblem(r.host, c.problem)); }
    }
}

// The wrapper's exact filter, by destination and packet filter.
TEST(EthernetFilter, Decisions) {
    const sim::MacAddress station{0x02, 0, 0, 0, 0, 1};
    const std::uint8_t me[6] = {0x02, 0, 0, 0, 0, 1}, other[6] = {0x02, 0, 0, 0, 0, 2},
                       bcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, listed[6] = {0x01, 0x00, 0x5E, 0, 0, 1},
                       unlisted[6] = {0x01, 0x00, 0x5E, 0, 0, 2};
    const ULONG D = NDIS_PACKET_TYPE_DIRECTED, B = NDIS_PACKET_TYPE_BROADCAST, M = NDIS_PACKET_TYPE_MULTICAST,
                AM = NDIS_PACKET_TYPE_ALL_MULTICAST, P = NDIS_PACKET_TYPE_PROMISCUOUS;
    struct Case { const std::uint8_t* dest; ULONG filter; bool accepted; } cases[] = {
        {me, D, true}, {other, D, false}, {me, 0, false}, {bcast, D, false}, {bcast, D | B, true},
        {bcast, M | AM, false}, {listed, D | B, false}, {listed, M, true}, {unlisted, M, false}, {unlisted, AM, true},
        {listed, AM, true}, {other, P, true}, {bcast, P, true}, {unlisted, P, true}, {me, B | M | AM, false}};
    for (auto& c : cases)
        EXPECT_EQ(sim::ethernet_filter_accepts(c.dest, c.filter, station, {{0x01, 0x00, 0x5E, 0, 0, 1}}), c.accepted)
            << std::hex << c.filter << " " << int(c.dest[0]) << ":" << int(c.dest[5]);
}

// An indication reaches a binding through its filter and is taken whole by
// transfer-data; transfer-data outside an indication is refused.
TEST(Receive, IndicationsPassTheFilterAndTransferWhole) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    sim::RecordingProtocol p;
    p.transfer_pieces = {3, 0, 5};
    a.bind(p);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED;
    ASSERT_EQ(a.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4), NDIS_STATUS_SUCCESS);
    state.frame.assign(100, 0x00);
    for (std::size_t i = 0; i < 100; i++) state.frame[i] = i < 6 ? a.station_address()[i] : std::uint8_t(i * 7);
    for (std::uint8_t last : {0x01, 0x99}) {
        state.frame[5] = last;  // 0x99: another station
        r.card.raise(0x01);
        r.host.run_for(100 * hw::kMicrosecond);
    }
    ASSERT_EQ(p.frames().size(), 1u);
    EXPECT_EQ(p.frames()[0].bytes.size(), 100u);
    EXPECT_EQ(p.frames()[0].lookahead.size(), 14u + 32u);
    EXPECT_EQ(p.receive_completes(), 2u);  // to every binding, the filter aside
    EXPECT_EQ(a.counters().filter_dropped, 1u);
    EXPECT_EQ(a.indications().size(), 2u);
    EXPECT_TRUE(r.host.problems().empty());
    UINT n = 0;
    sim::Packet dest = sim::Packet::zeroed(4);
    EXPECT_EQ(a.transfer_data(dest, 0, 4, &n), NDIS_STATUS_FAILURE);
    EXPECT_TRUE(HasProblem(r.host, "outside a receive indication"));
}

// Keywords as text read as hex, matched without regard to case; the address
// override; a handle left open; each injected failure undone by the fake.
TEST(Configuration, KeywordsAddressAndInjectedFailures) {
    {
    fake::Rig r;
    sim::AdapterConfig c;
    c.set_text("IOBASE", "310");
    c.network_address = std::vector<std::uint8_t>{1, 2, 3};
    c.media = {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3};
    state.close_configuration = false;
    ASSERT_EQ(r.init(c), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(state.base, 0x310u);
    EXPECT_EQ(state.network_address, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(r.host.adapter().selected_medium(), 2u);
    EXPECT_TRUE(r.host.adapter().keyword_read("IoBase"));
    EXPECT_TRUE(HasProblem(r.host, "configuration handle left open"));
    }
    using F = sim::AdapterConfig::Faults;
    for (bool F::*fault : {&F::allocate_memory, &F::open_configuration, &F::register_ports, &F::register_interrupt}) {
        fake::Rig f;
        sim::AdapterConfig cfg;
        cfg.fail.*fault = true;
        cfg.fail_status = 0xC0DE0001;
        EXPECT_EQ(f.init(cfg), 0xC0DE0001u);
        EXPECT_TRUE(f.host.leaked_allocations().empty());
        EXPECT_TRUE(f.host.live_port_ranges().empty());
        EXPECT_TRUE(f.host.problems().empty());
    }
}

// Port ranges (overlap refused, a deregistration that does not match),
// physical windows and their mappings, the event log.
TEST(Resources, PortRangesMappingsAndErrorLog) {
    fake::Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    ULONG offset = 0;
    EXPECT_EQ(NdisMRegisterIoPortRange(&offset, a.handle(), 0x31F, 4), NDIS_STATUS_RESOURCES);
    NdisMDeregisterIoPortRange(a.handle(), 0x300, 16, 0x300);
    EXPECT_TRUE(HasProblem(r.host, "do not match"));
    std::vector<std::uint8_t> window(0x1000);
    window[0xFF0] = 0x42;
    ASSERT_TRUE(r.host.map_physical(0xD4000, window.size(), window.data()));
    EXPECT_FALSE(r.host.map_physical(0xD4800, 16, window.data()));
    PVOID va = nullptr;
    ASSERT_EQ(NdisMMapIoSpace(&va, a.handle(), NDIS_PHYSICAL_ADDRESS{0xD4000, 0}, 0x1000), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<UCHAR*>(va)[0xFF0], 0x42);
    EXPECT_NE(NdisMMapIoSpace(&va, a.handle(), NDIS_PHYSICAL_ADDRESS{0xD4800, 0}, 0x1000), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.host.live_mappings().size(), 1u);
    NdisMUnmapIoSpace(a.handle(), window.data(), 0x1000);
    EXPECT_TRUE(r.host.live_mappings().empty());
    NdisWriteErrorLogEntry(a.handle(), NDIS_ERROR_CODE_HARDWARE_FAILURE, 2, 1u, 0x4000u);
    ASSERT_EQ(r.host.error_log().size(), 1u);
    EXPECT_EQ(r.host.error_log()[0].data, (std::vector<ULONG>{1, 0x4000}));
    EXPECT_EQ(r.host.error_log()[0].adapter, &a);
}

// A packet's chain as the wrapper hands it over: totals not yet counted.
TEST(Packets, ChainOfPieces) {
    std::vector<std::uint8_t> bytes(60);
    for (std::size_t i = 0; i < 60; i++) bytes[i] = std::uint8_t(i);
    sim::Packet p(bytes, {14, 0, 46});
    EXPECT_EQ(p.get()->Private.ValidCounts, FALSE);
    UINT phys = 0, count = 0, total = 0;
    PNDIS_BUFFER first = nullptr;
    NdisQueryPacket(p, &phys, &count, &first, &total);
    EXPECT_EQ(first, p.buffer(0));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 60u);
    EXPECT_EQ(p.contents(), bytes);
    EXPECT_THROW(sim::Packet(bytes, {10, 10}), std::invalid_argument);
}

// Ports go to the device mapped there (a string access in one call), are
// counted, traced with the register the device names, and hooked.
TEST(Ports, RoutingStatsTraceAndHook) {
    fake::Card a, b;
    sim::Host h;
    ASSERT_TRUE(h.bus().map_ports(0x300, 32, &a, 0x10, 1));
    EXPECT_FALSE(h.bus().map_ports(0x31F, 4, &b));
    ASSERT_TRUE(h.bus().map_ports(0x320, 32, &b));
    h.bus().trace_to_vector(true);
    std::vector<std::uint64_t> hooked;
    h.bus().set_access_hook([&](std::uint64_t i) { hooked.push_back(i); });
    WRITE_PORT_UCHAR(0x30F, 0x22);
    EXPECT_EQ(READ_PORT_UCHAR(0x30F), 0x22);
    EXPECT_EQ(READ_PORT_USHORT(0x32F), 0xAB00);
    UCHAR buf[8];
    READ_PORT_BUFFER_UCHAR(0x310, buf, 8);
    USHORT words[4] = {};
    WRITE_PORT_BUFFER_USHORT(0x310, words, 4);
    EXPECT_EQ(READ_PORT_UCHAR(0x200), 0xFF);
    EXPECT_EQ(a.string_calls, 2u);
    EXPECT_EQ(h.bus().port_stats(&a).accesses, 2u + 8 + 4);
    EXPECT_EQ(h.bus().port_stats(&a).data_bytes, 8u + 8);
    EXPECT_EQ(h.bus().port_stats(&b).accesses, 1u);
    EXPECT_EQ(hooked, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(h.bus().trace_text(), (std::vector<std::string>{"W 0x30F MASK = 0x22", "R 0x30F MASK -> 0x22",
                                                             "R 0x32F MASK -> 0xAB00", "R 0x310 REG -> 0x00 x8",
                                                             "W 0x310 REG = 0x00 x4", "R 0x200 (unmapped) -> 0xFF"}));
    EXPECT_EQ(h.bus().trace()[3].time, 3000u);
}

}  // namespace
