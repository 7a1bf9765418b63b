// The host platform with a miniport of the tests' own and a port device
// with an interrupt line (no driver, no card): interrupt delivery and
// synchronization, and the wrapper's Ethernet filter.
#include <gtest/gtest.h>

#include <functional>

#include "sim/host.h"

namespace {

using Log = std::vector<std::string>;

// Ports 0x07 status (write ones to clear), 0x0F mask; the line is high
// while status & mask.
class Card : public hw::PortDevice {
public:
    std::uint8_t regs[32] = {};
    unsigned isr_context_reads = 0;
    bool in_isr = false;
    void raise(std::uint8_t bits) { regs[7] |= bits, notify_irq(irq_level()); }
    std::uint8_t read8(std::uint32_t off) override { return isr_context_reads += in_isr, regs[off & 31]; }
    void write8(std::uint32_t off, std::uint8_t v) override {
        (off & 31) == 7 ? regs[7] &= std::uint8_t(~v) : regs[off & 31] = v;
        notify_irq(irq_level());
    }
    std::uint16_t read16(std::uint32_t off) override { return read8(off); }
    void write16(std::uint32_t off, std::uint16_t v) override { write8(off, std::uint8_t(v)); }
    bool irq_level() const override { return (regs[7] & regs[15]) != 0; }
    void set_isr_context(bool active) override { in_isr = active; }
    void describe_to(std::string& out, std::uint32_t, bool, unsigned, std::uint32_t) const override { out += "REG"; }
};

// What the fake miniport does, and what it saw.
struct State {
    bool isr_masks = true;     // false: the ISR leaves the line high and claims nothing
    int dpc_raises_again = 0;  // the deferred handler leaves a new condition pending
    Card* card = nullptr;
    std::vector<std::string> log;
    void* record = nullptr;
    bool armed = false, in_sync = false;
    unsigned isr_in_sync = 0;
} state;

NDIS_HANDLE g_handle = nullptr;
NDIS_MINIPORT_INTERRUPT g_interrupt;
constexpr NDIS_OID kOidSyncRaise = 0xFF000001;   // set: raise the line inside a synchronized routine
constexpr NDIS_OID kOidStallRaise = 0xFF000002;  // set: raise the line, then stall
constexpr UINT kRecordSize = 64;

UCHAR Reg(UINT off) { return READ_PORT_UCHAR(0x300 + off); }
void SetReg(UINT off, UCHAR v) { WRITE_PORT_UCHAR(0x300 + off, v); }

NDIS_STATUS Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT, NDIS_HANDLE handle, NDIS_HANDLE) {
    *selected = 0;
    g_handle = handle;
    NdisAllocateMemory(&state.record, kRecordSize, 0, NDIS_PHYSICAL_ADDRESS{0xFFFFFFFFu, -1});
    NdisMSetAttributes(handle, state.record, FALSE, NdisInterfaceIsa);
    ULONG offset = 0;
    NdisMRegisterIoPortRange(&offset, handle, 0x300, 32);
    SetReg(15, 0x01);  // armed before the interrupt is connected
    state.armed = true;
    return NdisMRegisterInterrupt(&g_interrupt, handle, 5, 5, TRUE, TRUE, NdisInterruptLatched);
}

void Isr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE) {
    state.log.push_back("isr");
    state.isr_in_sync += state.in_sync;
    *recognized = *queue = state.armed && (Reg(7) & 0x01) && state.isr_masks;
    if (*recognized) state.armed = false, SetReg(15, 0x00);
}

void HandleInterrupt(NDIS_HANDLE) {
    state.log.push_back("dpc");
    SetReg(7, Reg(7));
    if (state.dpc_raises_again > 0 && state.dpc_raises_again--) state.card->raise(0x01);  // the enable raises the line
}

void EnableInterrupt(NDIS_HANDLE) {
    state.log.push_back("enable");
    SetReg(15, 0x01);  // as the driver does: the mask first, then the flag
    state.armed = true;
}

void DisableInterrupt(NDIS_HANDLE) { state.armed = false, SetReg(15, 0x00); }

NDIS_STATUS Send(NDIS_HANDLE, PNDIS_PACKET, UINT) { return NDIS_STATUS_SUCCESS; }

NDIS_STATUS Query(NDIS_HANDLE, NDIS_OID, PVOID buffer, ULONG, PULONG written, PULONG) {
    NdisZeroMemory(buffer, *written = 6);  // the station address
    return NDIS_STATUS_SUCCESS;
}

BOOLEAN NDIS_API SyncRaise(PVOID) {
    state.in_sync = true;
    state.log.push_back("sync");
    state.card->raise(0x01);
    KeStallExecutionProcessor(5);
    state.log.push_back("sync-end");
    state.in_sync = false;
    return TRUE;
}

NDIS_STATUS Set(NDIS_HANDLE, NDIS_OID oid, PVOID, ULONG length, PULONG read, PULONG) {
    state.log.push_back("set");
    if (oid == kOidSyncRaise) NdisMSynchronizeWithInterrupt(&g_interrupt, (PVOID)&SyncRaise, nullptr);
    if (oid == kOidStallRaise) state.card->raise(0x01), KeStallExecutionProcessor(1);
    *read = length;
    state.log.push_back("set-end");
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Reset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }

void Halt(NDIS_HANDLE) {
    NdisMDeregisterInterrupt(&g_interrupt);
    NdisMDeregisterIoPortRange(g_handle, 0x300, 32, 0x300);
    NdisFreeMemory(state.record, kRecordSize, 0);
}

NTSTATUS Entry(PVOID driver_object, PVOID registry_path) {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, driver_object, registry_path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS c{};
    c.MajorNdisVersion = 3;
    c.DisableInterruptHandler = DisableInterrupt;
    c.EnableInterruptHandler = EnableInterrupt;
    c.HaltHandler = Halt;
    c.HandleInterruptHandler = HandleInterrupt;
    c.InitializeHandler = Initialize;
    c.ISRHandler = Isr;
    c.QueryInformationHandler = Query;
    c.ResetHandler = Reset;
    c.SendHandler = Send;
    c.SetInformationHandler = Set;
    return NdisMRegisterMiniport(wrapper, &c, sizeof c) == NDIS_STATUS_SUCCESS ? 0 : NDIS_STATUS_FAILURE;
}

// A host with the fake card at 0x300 on vector 5 and the fake driver loaded.
struct Rig {
    Card card;
    sim::Host host;
    Rig() {
        state = State{};
        state.card = &card;
        host.bus().map_ports(0x300, 32, &card);
        host.bus().connect_irq(card, 5);
        host.load_driver(Entry);
    }
    NDIS_STATUS init() { return host.initialize(sim::AdapterConfig{}); }
};


// The service routine runs on a rising edge while the interrupt is
// connected, and on a shared line's call with no card cause; port accesses
// outside a wrapper call deliver at the next run point.
TEST(Interrupts, DeliveredOnRisingEdgeOnlyWhileConnected) {
    {
    Rig r;
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
    Rig s;
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
    Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    ULONG unused = 0;
    state.log.clear();
    EXPECT_EQ(a.set(kOidSyncRaise, &unused, 4), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(state.log, (Log{"set", "sync", "sync-end", "isr", "set-end", "dpc", "enable"}));
    EXPECT_EQ(state.isr_in_sync, 0u);
    EXPECT_EQ(a.counters().held_off, 1u);
    state.log.clear();
    a.set(kOidStallRaise, &unused, 4);
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

// A call the wrapper makes of its own accord: at once when nothing of the
// adapter runs; after the running handler (before the deferred handler that
// handler's interrupt asked for); after a service routine run between
// handlers, before its deferred handler.
TEST(Interrupts, CallWhenFreeWaitsForHandlersAndServiceRoutines) {
    Rig r;
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    sim::Adapter& a = r.host.adapter();
    auto note = [] { state.log.push_back("call"); };
    state.log.clear();
    a.call_when_free(note);
    EXPECT_EQ(state.log, (Log{"call"}));
    bool asked = false;
    r.host.bus().set_access_hook([&](std::uint64_t) {
        if (!asked && !state.log.empty() && (state.log.back() == "set" || state.log.back() == "isr"))
            asked = true, a.call_when_free(note);
    });
    state.log.clear();
    ULONG unused = 0;
    a.set(kOidStallRaise, &unused, 4);
    EXPECT_EQ(state.log, (Log{"set", "isr", "set-end", "call", "dpc", "enable"}));
    asked = false;
    state.log.clear();
    r.host.bus().clock().schedule(r.host.now() + 10 * hw::kMicrosecond, [&] { r.card.raise(0x01); });
    r.host.run_for(100 * hw::kMicrosecond);
    EXPECT_EQ(state.log, (Log{"isr", "call", "dpc", "enable"}));
    r.host.bus().set_access_hook(nullptr);
    EXPECT_TRUE(r.host.problems().empty());
}

// An observer hears every call into the driver begin and end, nested as
// they ran, the service routine's answer, the stalls and each change of the
// interrupt line, in order on the virtual clock.
class LogObserver : public sim::Observer {
public:
    Log log;
    hw::Nanos last = 0;
    bool in_order = true;
    void call_begin(const sim::Adapter&, sim::Entry e, hw::Nanos t) override { add(t, std::string("begin ") + entry_name(e)); }
    void call_end(const sim::Adapter&, sim::Entry e, hw::Nanos t) override { add(t, std::string("end ") + entry_name(e)); }
    void isr_result(const sim::Adapter&, bool recognized, bool queue, hw::Nanos t) override {
        add(t, std::string("isr") + (recognized ? " recognized" : "") + (queue ? " queue" : ""));
    }
    void stall(hw::Nanos t, hw::Nanos length) override { add(t, "stall " + std::to_string(length)); }
    void irq_line(const hw::PortDevice&, UINT vector, bool level, hw::Nanos t) override {
        add(t, "line " + std::to_string(vector) + (level ? " high" : " low"));
    }

private:
    void add(hw::Nanos t, std::string what) {
        in_order = in_order && t >= last;
        last = t;
        log.push_back(std::move(what));
    }
};

TEST(Interrupts, AnObserverHearsCallsLinesAndStallsInOrder) {
    Rig r;
    LogObserver seen;
    r.host.set_observer(&seen);
    ASSERT_EQ(r.init(), NDIS_STATUS_SUCCESS);
    seen.log.clear();
    ULONG unused = 0;
    EXPECT_EQ(r.host.adapter().set(kOidSyncRaise, &unused, 4), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(seen.log, (Log{"begin SetInformationHandler", "begin synchronized routine", "line 5 high", "stall 5000",
                             "end synchronized routine", "begin ISRHandler", "line 5 low", "end ISRHandler",
                             "isr recognized queue", "end SetInformationHandler", "begin HandleInterruptHandler",
                             "end HandleInterruptHandler", "begin EnableInterruptHandler", "end EnableInterruptHandler"}));
    EXPECT_TRUE(seen.in_order);
    r.host.set_observer(nullptr);
    seen.log.clear();
    r.host.adapter().set(kOidSyncRaise, &unused, 4);
    EXPECT_TRUE(seen.log.empty());
    EXPECT_EQ(state.log, (Log{"set", "sync", "sync-end", "isr", "set-end", "dpc", "enable", "set", "sync", "sync-end",
                              "isr", "set-end", "dpc", "enable"}));
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

}  // namespace
