// The driver's entry, the adapter list, initialization from the
// configuration (and every failure branch with what it undoes), halt and
// reset.
#include <gtest/gtest.h>

#include <optional>

#include "card/dp8390reg.h"
#include "receive/receive.h"
#include "request/request.h"
#include "tests/support/rig.h"
#include "transmit/transmit.h"

namespace {

constexpr ULONG kUnsupportedConfig = 0xC0001391u;

std::vector<AdapterRecord*> List() {
    std::vector<AdapterRecord*> out;
    for (AdapterRecord* p = Ne2000MiniportBlock.AdapterList; p; p = p->NextAdapter) out.push_back(p);
    return out;
}

// Leaves 4 KB of the stack below the caller filled with 0xA5.
__attribute__((noinline)) void DirtyStack() {
    volatile unsigned char junk[4096];
    for (volatile unsigned char& b : junk) b = 0xA5;
}

// The table DriverEntry registers: NDIS 3.0 in the record's own size, every
// handler but check-for-hang and reconfigure, and the reserved fields zero
// whatever the stack held before.
TEST(DriverEntry, RegistersTheNdis30Table) {
    sim::Host host;
    DirtyStack();
    ASSERT_EQ(host.load_driver(DriverEntry), 0u);
    const NDIS_MINIPORT_CHARACTERISTICS& c = host.characteristics();
    EXPECT_EQ(host.characteristics_length(), sizeof c);
    EXPECT_EQ(c.MajorNdisVersion, 3);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(c.Filler, 0);
    EXPECT_EQ(c.Reserved, 0u);
    EXPECT_EQ(c.CheckForHangHandler, nullptr);
    EXPECT_EQ(c.ReconfigureHandler, nullptr);
    EXPECT_EQ(c.DisableInterruptHandler, &Ne2000DisableInterrupt);
    EXPECT_EQ(c.EnableInterruptHandler, &Ne2000EnableInterrupt);
    EXPECT_EQ(c.HaltHandler, &Ne2000Halt);
    EXPECT_EQ(c.HandleInterruptHandler, &Ne2000HandleInterrupt);
    EXPECT_EQ(c.InitializeHandler, &Ne2000Initialize);
    EXPECT_EQ(c.ISRHandler, &Ne2000Isr);
    EXPECT_EQ(c.QueryInformationHandler, &Ne2000QueryInformation);
    EXPECT_EQ(c.ResetHandler, &Ne2000Reset);
    EXPECT_EQ(c.SendHandler, &Ne2000Send);
    EXPECT_EQ(c.SetInformationHandler, &Ne2000SetInformation);
    EXPECT_EQ(c.TransferDataHandler, &Ne2000TransferData);
}

TEST(DriverEntry, RefusedRegistrationFails) {
    sim::Host host;
    host.refuse_registration(true);
    EXPECT_EQ(host.load_driver(DriverEntry), 0xC0000001u);
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, nullptr);
}

// Three adapters: listed newest first; halts take the middle one, the
// head, then the last one out.
TEST(AdapterList, HaltsKeepTheOrderOfTheOthers) {
    rig::Rig r(hw::BoardKind::Isa16);
    for (unsigned i = 0; i < 3; i++) {
        hw::BoardConfig cfg;
        cfg.io_base = 0x320 + 0x20 * i;
        cfg.irq = 4 + i;
        ASSERT_EQ(r.host.initialize(r.host.config_for(r.host.add_card(cfg))), NDIS_STATUS_SUCCESS);
    }
    auto rec = [&](int i) { return r.host.adapter(i).record<AdapterRecord>(); };
    EXPECT_EQ(List(), (std::vector<AdapterRecord*>{rec(2), rec(1), rec(0)}));
    r.host.adapter(1).halt();
    EXPECT_EQ(List(), (std::vector<AdapterRecord*>{rec(2), rec(0)}));
    r.host.adapter(2).halt();
    r.host.adapter(0).halt();
    EXPECT_TRUE(List().empty());
    EXPECT_TRUE(r.host.leaked_allocations().empty());
}

// What initialization leaves: the controller's ports, interrupt and station
// address, and the list size, from the configuration.
struct Config {
    const char* name;
    std::vector<std::pair<const char*, ULONG>> keywords;
    std::optional<std::vector<std::uint8_t>> address;
    ULONG io_base;
    unsigned irq;
    std::optional<ULONG> logged;  // refused: the data word of the configuration error
    ULONG list_size = 8;
    bool address_taken = false;
};

TEST(Initialize, FromTheConfiguration) {
    const std::vector<std::uint8_t> six = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const Config cases[] = {
        {"io base 0x120", {{"IoBaseAddress_1", 0x120}}, {}, 0x120, 3, {}},
        {"io base 0xC3D0", {{"IoBaseAddress_1", 0xC3D0}}, {}, 0xC3D0, 3, {}},
        {"io base 0x11F", {{"IoBaseAddress_1", 0x11F}}, {}, 0x300, 3, 0x11F},
        {"io base 0xC3D1", {{"IoBaseAddress_1", 0xC3D1}}, {}, 0x300, 3, 0xC3D1},
        {"interrupt 2", {{"InterruptNumber", 2}}, {}, 0x300, 2, {}},
        {"interrupt 15", {{"InterruptNumber", 15}}, {}, 0x300, 15, {}},
        {"interrupt 1", {{"InterruptNumber", 1}}, {}, 0x300, 3, 1},
        {"interrupt 16", {{"InterruptNumber", 16}}, {}, 0x300, 3, 16},
        {"interrupt 0x103 is 3", {{"InterruptNumber", 0x103}}, {}, 0x300, 3, {}},
        {"interrupt 0x80 is negative", {{"InterruptNumber", 0x80}}, {}, 0x300, 3, 0xFFFFFF80u},
        {"list size absent", {}, {}, 0x300, 3, {}, 8},
        {"list size 5", {{"MaximumMulticastList", 5}}, {}, 0x300, 3, {}, 5},
        {"list size 0", {{"MaximumMulticastList", 0}}, {}, 0x300, 3, {}, 0},
        {"list size 9 leaves 8", {{"MaximumMulticastList", 9}}, {}, 0x300, 3, {}, 8},
        {"address of six bytes", {}, six, 0x300, 3, {}, 8, true},
        {"address of five bytes", {}, std::vector<std::uint8_t>(six.begin(), six.begin() + 5), 0x300, 3, {}},
        {"address of seven bytes", {}, std::vector<std::uint8_t>{2, 1, 1, 1, 1, 1, 1}, 0x300, 3, {}},
    };
    for (const Config& c : cases) {
        SCOPED_TRACE(c.name);
        hw::BoardConfig board;
        board.io_base = c.io_base;
        board.irq = c.irq;
        board.station = rig::Station();
        rig::Rig r(board);
        sim::AdapterConfig cfg = r.host.config_for(r.card);
        for (auto [key, value] : c.keywords) cfg.set(key, value);
        cfg.network_address = c.address;
        NDIS_STATUS status = r.host.initialize(cfg);
        if (c.logged) {
            EXPECT_EQ(status, NDIS_STATUS_FAILURE);
            ASSERT_EQ(r.host.error_log().size(), 1u);
            EXPECT_EQ(r.host.error_log()[0].code, kUnsupportedConfig);
            EXPECT_EQ(r.host.error_log()[0].data, std::vector<ULONG>{*c.logged});
            EXPECT_TRUE(r.host.port_ranges().empty());  // refused before any resource
            EXPECT_TRUE(r.host.leaked_allocations().empty());
            EXPECT_EQ(r.host.open_configurations(), 0u);
            continue;
        }
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        sim::Adapter& a = r.host.adapter();
        EXPECT_EQ(a.interrupt().vector, c.irq);
        EXPECT_EQ(a.query_ulong(OID_802_3_MAXIMUM_LIST_SIZE), c.list_size);
        std::uint8_t permanent[6], current[6];
        ASSERT_EQ(a.query(OID_802_3_PERMANENT_ADDRESS, permanent, 6), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(a.query(OID_802_3_CURRENT_ADDRESS, current, 6), NDIS_STATUS_SUCCESS);
        std::vector<std::uint8_t> card(board.station.begin(), board.station.end());
        EXPECT_EQ(std::vector<std::uint8_t>(permanent, permanent + 6), card);
        EXPECT_EQ(std::vector<std::uint8_t>(current, current + 6), c.address_taken ? six : card);
        EXPECT_EQ(std::vector<std::uint8_t>(r.card.regs().par.begin(), r.card.regs().par.end()),
                  c.address_taken ? six : card);
        EXPECT_EQ(r.card.regs().tcr, 0x00);
        a.halt();
        EXPECT_TRUE(r.host.leaked_allocations().empty());
        EXPECT_TRUE(r.host.live_port_ranges().empty());
        EXPECT_TRUE(r.host.live_mappings().empty());
        EXPECT_EQ(r.host.open_configurations(), 0u);
    }
}

// MCA: the I/O base by PosData1 bits 1-3 (field 0 keeps 0x300) and the
// interrupt by bits 5-6, per adapter identifier; other identifiers read
// the keywords.
TEST(Initialize, McaPosDecoding) {
    struct Case { USHORT id; UCHAR pos; ULONG io_base; UCHAR irq; } cases[] = {
        {0x67B0, 0x00, 0x300, 3}, {0x67B0, 0x22, 0x1000, 4}, {0x67B0, 0x44, 0x2020, 5}, {0x67B0, 0x66, 0x8020, 9},
        {0x67B0, 0x08, 0x300, 3}, {0x67B0, 0x2A, 0x320, 4}, {0x67B0, 0x4C, 0x340, 5}, {0x67B0, 0x6E, 0x360, 9},
        {0x7154, 0x61, 0x300, 9}, {0x7154, 0x43, 0x1000, 5}, {0x7154, 0x25, 0x2020, 4}, {0x7154, 0x87, 0x8020, 3},
        {0x7154, 0x69, 0xA0A0, 9}, {0x7154, 0x4B, 0xB0B0, 5}, {0x7154, 0x2D, 0xC0C0, 4}, {0x7154, 0x9F, 0xC3D0, 3},
        {0x1234, 0x4A, 0x340, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.id << " " << int(c.pos));
        hw::BoardConfig board;
        board.kind = hw::BoardKind::Mca;
        board.mca_adapter_id = c.id;
        board.pos_data1 = c.pos;
        board.io_base = c.io_base;  // where the card answers when it does not decode POS
        board.irq = c.irq;
        rig::Rig r(board);
        sim::AdapterConfig cfg = r.host.config_for(r.card);
        cfg.set("IoBaseAddress_1", c.io_base).set("InterruptNumber", c.irq);
        cfg.pos = NDIS_MCA_POS_DATA{c.id, c.pos, 0, 0, 0};
        ASSERT_EQ(r.host.initialize(cfg), NDIS_STATUS_SUCCESS);
        sim::Adapter& a = r.host.adapter();
        EXPECT_EQ(a.record<AdapterRecord>()->IoBaseAddress, c.io_base);
        EXPECT_EQ(a.interrupt().vector, c.irq);
        EXPECT_EQ(a.attributes().type, NdisInterfaceMca);
        EXPECT_EQ(a.keyword_read("IoBaseAddress_1"), c.id == 0x1234);
        EXPECT_EQ(a.keyword_read("InterruptNumber"), c.id == 0x1234);
    }
}

// CardType 1 (PC Card) reads the attribute window keywords; any nonzero
// CardType skips the port check (which begins by masking the card) and
// takes fixed RAM.
TEST(Initialize, CardTypeChoosesTheBringUpPath) {
    struct Case { hw::BoardKind kind; ULONG card_type; bool window; UCHAR byte_wide; } cases[] = {
        {hw::BoardKind::Isa16, 0, false, 0}, {hw::BoardKind::Isa8, 0, false, 1},
        {hw::BoardKind::PcCard, 1, true, 0}, {hw::BoardKind::Isa16, 2, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card_type);
        rig::Rig r(c.kind);
        sim::AdapterConfig cfg = r.host.config_for(r.card);
        cfg.keywords.erase("PCCARDAttributeMemoryAddress");
        cfg.keywords.erase("PCCARDAttributeMemorySize");
        cfg.set("CardType", c.card_type);
        r.host.bus().trace_to_vector(true);
        ASSERT_EQ(r.host.initialize(cfg), NDIS_STATUS_SUCCESS);
        sim::Adapter& a = r.host.adapter();
        AdapterRecord* rec = a.record<AdapterRecord>();
        EXPECT_EQ(a.keyword_read("PCCARDAttributeMemoryAddress"), c.window);
        EXPECT_EQ(a.keyword_read("PCCARDAttributeMemorySize"), c.window);
        EXPECT_EQ(rec->AttributeMemoryAddress, c.window ? 0xD4000u : 0u);
        EXPECT_EQ(rec->AttributeMemorySize, c.window ? 0x1000u : 0u);
        EXPECT_EQ(rec->ByteWide, c.byte_wide);
        const sim::TraceEntry& first = r.host.bus().trace().front();
        EXPECT_EQ(first.port - rec->IoPortBase, c.card_type == 0 ? unsigned(NIC_IMR) : 0x1Fu);
        if (c.card_type) { EXPECT_EQ(rec->RamStart, 0x4000u); }
        if (c.card_type) { EXPECT_EQ(rec->RamSize, 0x4000u); }
    }
}

// Every failure: its status and event-log entry, the controller stopped
// once it was started, and nothing kept but what an earlier adapter holds.
TEST(Initialize, FailuresUndoWhatWasDone) {
    enum Cause { kMedium, kAllocate, kOpenConfig, kTwoProcessors, kPosUnreadable, kPorts, kNoCard, kNoSignature, kSetup,
                 kInterrupt };
    struct Case { Cause cause; NDIS_STATUS status; std::optional<NDIS_ERROR_CODE> logged; std::vector<ULONG> data; int last_cr; }
    cases[] = {{kMedium, NDIS_STATUS_UNSUPPORTED_MEDIA, {}, {}, 0},
               {kAllocate, NDIS_STATUS_RESOURCES, {}, {}, 0},
               {kOpenConfig, NDIS_STATUS_RESOURCES, {}, {}, 0},
               {kTwoProcessors, NDIS_STATUS_FAILURE, kUnsupportedConfig, {kUnsupportedConfig}, 0},
               {kPosUnreadable, NDIS_STATUS_FAILURE, kUnsupportedConfig, {kUnsupportedConfig}, 0},
               {kPorts, NDIS_STATUS_FAILURE, {}, {}, 0},
               {kNoCard, NDIS_STATUS_FAILURE, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {}, 0},
               {kNoSignature, NDIS_STATUS_FAILURE, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {}, 0x21},
               {kSetup, NDIS_STATUS_FAILURE, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {}, 0x01},
               {kInterrupt, NDIS_STATUS_FAILURE, NDIS_ERROR_CODE_INTERRUPT_CONNECT, {}, 0x01}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cause);
        rig::Rig r(hw::BoardKind::Isa16);  // the earlier adapter, which stays on the list and keeps running
        ASSERT_TRUE(r.Init());
        hw::BoardConfig board;
        board.io_base = 0x340;
        board.irq = 7;
        if (c.cause == kPosUnreadable) board.kind = hw::BoardKind::Mca, board.pos_data1 = 0x4C;  // 0x340
        if (c.cause == kNoSignature) board.prom = std::vector<std::uint8_t>(32, 0x00);
        hw::Ne2000Board& card = r.host.add_card(board);
        sim::AdapterConfig cfg = r.host.config_for(card);
        r.host.set_processor_count(c.cause == kTwoProcessors ? 2 : 1);
        switch (c.cause) {
        case kMedium: cfg.media = {NdisMedium802_5, NdisMediumWan}; break;
        case kAllocate: cfg.fail.allocate_memory = true; break;
        case kOpenConfig: cfg.fail.open_configuration = true; break;
        case kPosUnreadable: cfg.pos.reset(); break;
        case kPorts: cfg.fail.register_ports = true; break;
        case kNoCard: card.faults().no_answer = true; break;
        case kInterrupt: cfg.fail.register_interrupt = true; break;
        case kSetup:  // the controller stops honouring a stop once the address has been read
            r.host.bus().set_access_hook([&](std::uint64_t) {
                if (card.regs().rbcr == 0x0C && card.regs().dma_active) card.faults().ignore_stop = true;
            });
            break;
        default: break;
        }
        std::size_t log_before = r.host.error_log().size();
        r.host.bus().trace_to_vector(true);
        EXPECT_EQ(r.host.initialize(cfg), c.status);
        r.host.bus().set_access_hook(nullptr);
        std::vector<std::uint32_t> cr;
        for (const sim::TraceEntry& e : r.host.bus().trace())
            if (e.write && e.port == card.io_base()) cr.push_back(e.value);
        if (c.last_cr) { ASSERT_FALSE(cr.empty()); EXPECT_EQ(cr.back(), std::uint32_t(c.last_cr)); }
        if (!c.last_cr && !cr.empty()) { EXPECT_NE(cr.back(), 0x01u); }
        ASSERT_EQ(r.host.error_log().size(), log_before + (c.logged ? 1 : 0));
        if (c.logged) { EXPECT_EQ(r.host.error_log().back().code, *c.logged); }
        if (c.logged) { EXPECT_EQ(r.host.error_log().back().data, c.data); }
        EXPECT_EQ(r.host.leaked_allocations().size(), 1u);
        EXPECT_EQ(r.host.live_port_ranges().size(), 1u);
        EXPECT_EQ(r.host.open_configurations(), 0u);
        EXPECT_EQ(List(), std::vector<AdapterRecord*>{r.rec});
        EXPECT_TRUE(r.adapter->running());
    }
}

// A reset empties the transmit side: queued packets come back aborted
// (those in the slots were completed when copied), every slot is free, the
// card is armed and on the wire, and sending goes on. A reset whose setup
// fails says so with the same emptied state; a halt gives queued packets
// back, waits a quarter second between disconnecting the interrupt and
// releasing the ports, and leaves the card in internal loopback.
TEST(HaltAndReset, TheTransmitSideIsEmptiedAndEverythingGivenBack) {
    for (int step : {0, 1, 2}) {
        SCOPED_TRACE(step);
        rig::Rig r(hw::BoardKind::Isa16);
        ASSERT_TRUE(r.Init());
        std::vector<NDIS_STATUS> completed;
        r.proto.completed = [&](NDIS_PACKET*, NDIS_STATUS s) { completed.push_back(s); };
        for (int i = 0; i < 3; i++) r.Send(1514);  // two fill the slots, the third waits
        ASSERT_NE(r.rec->TxQueueHead, nullptr);
        if (step == 1) r.card.faults().ignore_stop = true;
        if (step < 2) {
            EXPECT_EQ(r.Reset(), step == 0 ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE);
            EXPECT_EQ(r.rec->TxQueueHead, nullptr);
            EXPECT_EQ(std::vector<ULONG>(r.rec->TxSlotState, r.rec->TxSlotState + 12), std::vector<ULONG>(12, 0));
            EXPECT_EQ(r.rec->TxFillIndex + r.rec->TxSendIndex, 0u);
            EXPECT_EQ(r.rec->TxActiveIndex, TX_INDEX_IDLE);
            EXPECT_EQ(r.card.regs().imr, 0x1B);
            r.card.faults().ignore_stop = false;
            if (step == 1) { ASSERT_EQ(r.Reset(), NDIS_STATUS_SUCCESS); }
            r.Send(100);
            r.Run();
        } else {
            r.Halt();
            const sim::PortRange& ports = r.host.port_ranges()[0];
            EXPECT_EQ(ports.released_at - r.adapter->interrupt().disconnected_at, 250000 * rig::kUs);
            EXPECT_FALSE(r.adapter->interrupt().connected);
            EXPECT_EQ(r.card.regs().tcr, 0x02);
            EXPECT_EQ(Ne2000MiniportBlock.AdapterList, nullptr);
        }
        completed.resize(3);
        EXPECT_EQ(completed, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS, NDIS_STATUS_REQUEST_ABORTED}));
        r.allowed_log = {NDIS_ERROR_CODE_HARDWARE_FAILURE, NDIS_ERROR_CODE_DRIVER_FAILURE};
        EXPECT_EQ(r.Check(), "");
    }
}

// A card whose loopback lets the wire in (QEMU's does) keeps storing frames
// after a halt. The halt leaves it masked, with its status acknowledged, so
// nothing it stores raises the line: held high, a PC's IRQ 3 would also
// silence the second serial port, which shares it.
TEST(HaltAndReset, AHaltedCardRaisesNoInterrupt) {
    for (hw::BoardKind kind : hw::kBoardKinds) {
        SCOPED_TRACE(hw::kind_name(kind));
        rig::Rig r(kind);
        r.card.faults().loopback_leaks = true;
        ASSERT_TRUE(r.Init());
        r.InjectStream(r.host.bus().now(), 300 * rig::kUs, 20, {60, 1000}, {rig::kToStation, rig::kBroadcast});
        r.Send(1514);
        r.Send(300);
        r.host.run_for(2 * rig::kMs);
        r.Halt();
        EXPECT_EQ(r.card.regs().imr, 0x00);
        EXPECT_FALSE(r.card.irq_level());
        const std::uint8_t curr = r.card.regs().curr;
        for (std::size_t len : {60, 600, 1514}) {
            r.Inject(rig::kToStation, len);
            r.Run();
            EXPECT_FALSE(r.card.irq_level()) << len;
        }
        EXPECT_NE(r.card.regs().curr, curr) << "the card stored nothing after the halt";
        EXPECT_EQ(r.Check(), "");
    }
}

}  // namespace
