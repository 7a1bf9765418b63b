// Adapter initialization: medium, configuration keywords, MCA POS decoding,
// the derived layout, and every failure branch with what it undoes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "card/dp8390reg.h"
#include "driver/driver.h"
#include "hw/board.h"
#include "sim/host.h"

namespace {

constexpr ULONG kUnsupportedConfig = 0xC0001391u;

// A host with the driver loaded and one card.
struct Rig {
    sim::Host host;
    hw::Ne2000Board* card = nullptr;

    explicit Rig(const hw::BoardConfig& cfg = hw::BoardConfig{}) {
        EXPECT_EQ(host.load_driver(DriverEntry), 0u);
        card = &host.add_card(cfg);
    }
    sim::AdapterConfig config() const { return host.config_for(*card); }
    AdapterRecord* record() { return host.adapter().record<AdapterRecord>(); }

    // Everything initialization took has been given back.
    void ExpectNothingHeld() {
        EXPECT_TRUE(host.leaked_allocations().empty());
        EXPECT_TRUE(host.live_port_ranges().empty());
        EXPECT_TRUE(host.live_mappings().empty());
        EXPECT_EQ(host.open_configurations(), 0u);
    }
    std::vector<sim::ErrorLogEntry> Log() const { return host.error_log(); }
};

TEST(Initialize, PicksThe8023MediumOrRefusesWithoutIt) {
    {
        Rig rig;
        sim::AdapterConfig cfg = rig.config();
        cfg.media = {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3, NdisMedium802_3};
        ASSERT_EQ(rig.host.initialize(cfg), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(rig.host.adapter().selected_medium(), 2u);
        rig.host.adapter().halt();
        rig.ExpectNothingHeld();
    }
    for (const std::vector<NDIS_MEDIUM>& media :
         {std::vector<NDIS_MEDIUM>{}, std::vector<NDIS_MEDIUM>{NdisMedium802_5, NdisMediumWan}}) {
        Rig rig;
        sim::AdapterConfig cfg = rig.config();
        cfg.media = media;
        EXPECT_EQ(rig.host.initialize(cfg), NDIS_STATUS_UNSUPPORTED_MEDIA);
        EXPECT_TRUE(rig.host.allocations().empty());
        EXPECT_EQ(rig.host.configuration_opens(), 0u);
    }
}

TEST(Initialize, IoBaseAndInterruptRanges) {
    struct Case {
        const char* name;
        ULONG io_base;
        ULONG interrupt;
        std::optional<ULONG> logged;  // data word of the configuration error, if refused
        unsigned card_irq;            // line the card raises when accepted
    };
    const Case cases[] = {
        {"io base 0x120", 0x120, 3, std::nullopt, 3},
        {"io base 0xC3D0", 0xC3D0, 3, std::nullopt, 3},
        {"io base 0x11F", 0x11F, 3, 0x11F, 3},
        {"io base 0xC3D1", 0xC3D1, 3, 0xC3D1, 3},
        {"interrupt 2", 0x300, 2, std::nullopt, 2},
        {"interrupt 15", 0x300, 15, std::nullopt, 15},
        {"interrupt 1", 0x300, 1, 1u, 3},
        {"interrupt 16", 0x300, 16, 16u, 3},
        {"interrupt 0x103 is 3", 0x300, 0x103, std::nullopt, 3},
        {"interrupt 0x80", 0x300, 0x80, 0xFFFFFF80u, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hw::BoardConfig board;
        board.io_base = c.logged ? 0x300 : c.io_base;
        board.irq = c.card_irq;
        Rig rig(board);
        sim::AdapterConfig cfg = rig.config();
        cfg.set("IoBaseAddress_1", c.io_base).set("InterruptNumber", c.interrupt);
        NDIS_STATUS status = rig.host.initialize(cfg);
        if (c.logged) {
            EXPECT_EQ(status, NDIS_STATUS_FAILURE);
            ASSERT_EQ(rig.Log().size(), 1u);
            EXPECT_EQ(rig.Log()[0].code, kUnsupportedConfig);
            EXPECT_EQ(rig.Log()[0].data, std::vector<ULONG>{*c.logged});
            // Refused before any resource but the record and the configuration.
            EXPECT_TRUE(rig.host.port_ranges().empty());
            rig.ExpectNothingHeld();
        } else {
            ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
            EXPECT_TRUE(rig.Log().empty());
            EXPECT_EQ(rig.record()->IoBaseAddress, c.io_base);
            EXPECT_EQ(rig.record()->InterruptNumber, c.card_irq);
            EXPECT_EQ(rig.host.adapter().interrupt().vector, c.card_irq);
            EXPECT_EQ(rig.host.adapter().interrupt().level, c.card_irq);
            EXPECT_TRUE(rig.host.adapter().interrupt().shared);
            EXPECT_EQ(rig.host.adapter().interrupt().mode, NdisInterruptLatched);
            rig.host.adapter().halt();
            rig.ExpectNothingHeld();
        }
    }
}

TEST(Initialize, MaximumMulticastList) {
    const std::pair<std::optional<ULONG>, ULONG> cases[] = {
        {std::nullopt, 8}, {5, 5}, {0, 0}, {8, 8}, {9, 8}, {20, 8}};
    for (const auto& [configured, expected] : cases) {
        SCOPED_TRACE(configured ? std::to_string(*configured) : "absent");
        Rig rig;
        sim::AdapterConfig cfg = rig.config();
        if (configured) cfg.set("MaximumMulticastList", *configured);
        ASSERT_EQ(rig.host.initialize(cfg), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(rig.host.adapter().query_ulong(OID_802_3_MAXIMUM_LIST_SIZE), expected);
        rig.host.adapter().halt();
    }
}

TEST(Initialize, StationAddressOverrideOfSixBytesOnly) {
    const std::vector<std::uint8_t> six = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    struct Case {
        const char* name;
        std::optional<std::vector<std::uint8_t>> override_bytes;
        bool taken;
    };
    const Case cases[] = {
        {"none", std::nullopt, false},
        {"six bytes", six, true},
        {"five bytes", std::vector<std::uint8_t>(six.begin(), six.begin() + 5), false},
        {"seven bytes", std::vector<std::uint8_t>{2, 1, 1, 1, 1, 1, 1}, false},
        {"all zero", std::vector<std::uint8_t>(6, 0), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        sim::AdapterConfig cfg = rig.config();
        cfg.network_address = c.override_bytes;
        ASSERT_EQ(rig.host.initialize(cfg), NDIS_STATUS_SUCCESS);
        std::uint8_t current[6] = {}, permanent[6] = {};
        sim::Adapter& a = rig.host.adapter();
        ASSERT_EQ(a.query(OID_802_3_CURRENT_ADDRESS, current, 6), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(a.query(OID_802_3_PERMANENT_ADDRESS, permanent, 6), NDIS_STATUS_SUCCESS);
        std::vector<std::uint8_t> card_address(rig.card->config().station.begin(),
                                               rig.card->config().station.end());
        EXPECT_EQ(std::vector<std::uint8_t>(permanent, permanent + 6), card_address);
        EXPECT_EQ(std::vector<std::uint8_t>(current, current + 6),
                  c.taken ? six : card_address);
        // The card answers to the station address.
        EXPECT_EQ(std::vector<std::uint8_t>(rig.card->regs().par.begin(), rig.card->regs().par.end()),
                  c.taken ? six : card_address);
        a.halt();
    }
}

TEST(Initialize, TwoProcessorsDriveOneAdapter) {
    for (int processors : {1, 2}) {
        SCOPED_TRACE(processors);
        sim::Host host;
        host.set_processor_count(processors);
        ASSERT_EQ(host.load_driver(DriverEntry), 0u);
        hw::BoardConfig first, second;
        second.io_base = 0x320;
        second.irq = 5;
        second.station[5] = 2;
        hw::Ne2000Board& a = host.add_card(first);
        hw::Ne2000Board& b = host.add_card(second);
        ASSERT_EQ(host.initialize(host.config_for(a)), NDIS_STATUS_SUCCESS);
        NDIS_STATUS status = host.initialize(host.config_for(b));
        if (processors == 1) {
            EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
            EXPECT_TRUE(host.error_log().empty());
            host.adapter(1).halt();
        } else {
            EXPECT_EQ(status, NDIS_STATUS_FAILURE);
            ASSERT_EQ(host.error_log().size(), 1u);
            EXPECT_EQ(host.error_log()[0].code, kUnsupportedConfig);
            EXPECT_EQ(host.error_log()[0].data, std::vector<ULONG>{kUnsupportedConfig});
            EXPECT_EQ(Ne2000MiniportBlock.AdapterList, host.adapter(0).record<AdapterRecord>());
            EXPECT_EQ(Ne2000MiniportBlock.AdapterList->NextAdapter, nullptr);
        }
        EXPECT_TRUE(host.adapter(0).running());
        host.adapter(0).halt();
        EXPECT_TRUE(host.leaked_allocations().empty());
    }
}

// Every entry of both I/O base tables and of the interrupt table, selected
// by PosData1 bits 1-3 and 5-6; other bits are ignored.
TEST(Initialize, McaPosDecoding) {
    struct Case {
        const char* name;
        USHORT adapter_id;
        UCHAR pos_data1;
        ULONG io_base;       // where the card answers and the driver looks
        UCHAR interrupt;
        bool keywords_read;  // IoBaseAddress_1 and InterruptNumber
    };
    const Case cases[] = {
        {"0x67B0 field 0 keeps 0x300", 0x67B0, 0x00, 0x300, 3, false},
        {"0x67B0 field 1", 0x67B0, 0x22, 0x1000, 4, false},
        {"0x67B0 field 2", 0x67B0, 0x44, 0x2020, 5, false},
        {"0x67B0 field 3", 0x67B0, 0x66, 0x8020, 9, false},
        {"0x67B0 field 4", 0x67B0, 0x08, 0x300, 3, false},
        {"0x67B0 field 5", 0x67B0, 0x2A, 0x320, 4, false},
        {"0x67B0 field 6", 0x67B0, 0x4C, 0x340, 5, false},
        {"0x67B0 field 7", 0x67B0, 0x6E, 0x360, 9, false},
        {"0x7154 field 0 keeps 0x300", 0x7154, 0x61, 0x300, 9, false},
        {"0x7154 field 1", 0x7154, 0x43, 0x1000, 5, false},
        {"0x7154 field 2", 0x7154, 0x25, 0x2020, 4, false},
        {"0x7154 field 3", 0x7154, 0x87, 0x8020, 3, false},
        {"0x7154 field 4", 0x7154, 0x69, 0xA0A0, 9, false},
        {"0x7154 field 5", 0x7154, 0x4B, 0xB0B0, 5, false},
        {"0x7154 field 6", 0x7154, 0x2D, 0xC0C0, 4, false},
        {"0x7154 field 7", 0x7154, 0x9F, 0xC3D0, 3, false},
        {"unknown identifier: keywords decide", 0x1234, 0x4A, 0x340, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hw::BoardConfig board;
        board.kind = hw::BoardKind::Mca;
        board.mca_adapter_id = c.adapter_id;
        board.pos_data1 = c.pos_data1;
        board.io_base = c.io_base;  // used by the card only when it does not decode POS
        board.irq = c.interrupt;
        sim::Host host;
        ASSERT_EQ(host.load_driver(DriverEntry), 0u);
        hw::Ne2000Board& card = host.add_card(board);
        ASSERT_EQ(card.io_base(), c.io_base);
        sim::AdapterConfig cfg = host.config_for(card);
        cfg.set("IoBaseAddress_1", c.io_base).set("InterruptNumber", c.interrupt);
        cfg.pos = NDIS_MCA_POS_DATA{c.adapter_id, c.pos_data1, 0, 0, 0};
        ASSERT_EQ(host.initialize(cfg), NDIS_STATUS_SUCCESS);
        sim::Adapter& a = host.adapter();
        AdapterRecord* r = a.record<AdapterRecord>();
        EXPECT_EQ(r->IoBaseAddress, c.io_base);
        EXPECT_EQ(r->InterruptNumber, c.interrupt);
        EXPECT_EQ(r->BusType, NdisInterfaceMca);
        EXPECT_EQ(r->ByteWide, 0);
        EXPECT_EQ(a.attributes().type, NdisInterfaceMca);
        EXPECT_EQ(a.keyword_read("IoBaseAddress_1"), c.keywords_read);
        EXPECT_EQ(a.keyword_read("InterruptNumber"), c.keywords_read);
        a.halt();
    }
}

TEST(Initialize, McaPosReadFailureIsAConfigurationError) {
    hw::BoardConfig board;
    board.kind = hw::BoardKind::Mca;
    Rig rig(board);
    sim::AdapterConfig cfg = rig.config();
    cfg.pos.reset();
    EXPECT_EQ(rig.host.initialize(cfg), NDIS_STATUS_FAILURE);
    ASSERT_EQ(rig.Log().size(), 1u);
    EXPECT_EQ(rig.Log()[0].data, std::vector<ULONG>{kUnsupportedConfig});
    rig.ExpectNothingHeld();
}

TEST(Initialize, CardTypeChoosesTheBringUpPath) {
    struct Case {
        const char* name;
        hw::BoardKind kind;
        ULONG card_type;
        bool attribute_keywords_read;
        ULONG attribute_address, attribute_size;
        UCHAR byte_wide;
    };
    const Case cases[] = {
        {"ISA, CardType 0", hw::BoardKind::Isa16, 0, false, 0, 0, 0},
        {"8-bit ISA, CardType 0", hw::BoardKind::Isa8, 0, false, 0, 0, 1},
        {"PC Card, CardType 1", hw::BoardKind::PcCard, 1, true, 0xD4000, 0x1000, 0},
        {"ISA, CardType 2", hw::BoardKind::Isa16, 2, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hw::BoardConfig board;
        board.kind = c.kind;
        Rig rig(board);
        sim::AdapterConfig cfg = rig.config();
        cfg.keywords.erase("PCCARDAttributeMemoryAddress");
        cfg.keywords.erase("PCCARDAttributeMemorySize");
        cfg.set("CardType", c.card_type);
        rig.host.trace_to_vector(true);
        ASSERT_EQ(rig.host.initialize(cfg), NDIS_STATUS_SUCCESS);
        sim::Adapter& a = rig.host.adapter();
        AdapterRecord* r = rig.record();
        EXPECT_EQ(a.keyword_read("PCCARDAttributeMemoryAddress"), c.attribute_keywords_read);
        EXPECT_EQ(a.keyword_read("PCCARDAttributeMemorySize"), c.attribute_keywords_read);
        EXPECT_EQ(r->AttributeMemoryAddress, c.attribute_address);
        EXPECT_EQ(r->AttributeMemorySize, c.attribute_size);
        EXPECT_EQ(r->ByteWide, c.byte_wide);
        // The port check runs only for CardType 0: it begins by masking the
        // card (IMR = 0); without it the first access is the reset port.
        ASSERT_FALSE(rig.host.trace().empty());
        const sim::TraceEntry& first = rig.host.trace().front();
        if (c.card_type == 0) {
            EXPECT_TRUE(first.write);
            EXPECT_EQ(first.port, r->IoPortBase + NIC_IMR);
        } else {
            EXPECT_FALSE(first.write);
            EXPECT_EQ(first.port, r->IoPortBase + NIC_RESET);
        }
        // Fixed RAM for any CardType other than 0.
        if (c.card_type != 0) {
            EXPECT_EQ(r->RamStart, 0x4000u);
            EXPECT_EQ(r->RamSize, 0x4000u);
        }
        a.halt();
        rig.ExpectNothingHeld();
    }
}

TEST(Initialize, DerivesTheCardMemoryLayout) {
    Rig rig;
    ASSERT_EQ(rig.host.initialize(rig.config()), NDIS_STATUS_SUCCESS);
    AdapterRecord* r = rig.record();
    EXPECT_EQ(r->RamStart, 0x4000u);
    EXPECT_EQ(r->RamSize, 0x4000u);
    EXPECT_EQ(r->TxSlotCount, 12u);
    EXPECT_EQ(r->TxStartPage, 0x40);
    EXPECT_EQ(r->RxFirstPage, 0x4C);
    EXPECT_EQ(r->RxStopPage, 0x80);
    EXPECT_EQ(r->TxAreaAddress, 0x4000u);
    EXPECT_EQ(r->RxRingAddress, 0x4C00u);
    EXPECT_EQ(r->RamEndAddress, 0x8000u);
    // A freshly initialized adapter: idle transmitter, empty slots, zero counts.
    EXPECT_EQ(r->TxActiveIndex, TX_INDEX_IDLE);
    for (ULONG s : r->TxSlotState) EXPECT_EQ(s, 0u);
    for (NDIS_OID oid : {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR,
                         OID_GEN_RCV_NO_BUFFER, OID_802_3_RCV_ERROR_ALIGNMENT,
                         OID_802_3_XMIT_ONE_COLLISION, OID_802_3_XMIT_MORE_COLLISIONS}) {
        EXPECT_EQ(rig.host.adapter().query_ulong(oid), 0u) << std::hex << oid;
    }
    EXPECT_EQ(r->ImrValue, IMR_VALUE);
    EXPECT_EQ(r->InterruptsArmed, 1);
    EXPECT_EQ(r->LookaheadSize, 238u);
    EXPECT_EQ(r->RcrValue, 0);
    // On the wire, armed, running.
    EXPECT_EQ(rig.card->regs().tcr, TCR_NORMAL);
    EXPECT_EQ(rig.card->regs().imr, IMR_VALUE);
    EXPECT_TRUE(rig.card->running());
    rig.host.adapter().halt();
}

TEST(Initialize, FailuresUndoWhatWasDone) {
    enum class Cause { Allocate, OpenConfig, Ports, NoCard, Setup, Interrupt };
    struct Case {
        const char* name;
        Cause cause;
        NDIS_STATUS status;
        std::optional<NDIS_ERROR_CODE> logged;
        bool stopped_with_cr_01;  // the controller was stopped with CR = 0x01
    };
    const Case cases[] = {
        {"allocation", Cause::Allocate, NDIS_STATUS_RESOURCES, std::nullopt, false},
        {"open configuration", Cause::OpenConfig, NDIS_STATUS_RESOURCES, std::nullopt, false},
        {"port range", Cause::Ports, NDIS_STATUS_FAILURE, std::nullopt, false},
        {"no card", Cause::NoCard, NDIS_STATUS_FAILURE, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, false},
        {"setup", Cause::Setup, NDIS_STATUS_FAILURE, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, true},
        {"interrupt", Cause::Interrupt, NDIS_STATUS_FAILURE, NDIS_ERROR_CODE_INTERRUPT_CONNECT,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Host host;
        ASSERT_EQ(host.load_driver(DriverEntry), 0u);
        // An earlier adapter stays on the list and keeps running.
        hw::BoardConfig earlier_cfg;
        earlier_cfg.io_base = 0x340;
        earlier_cfg.irq = 7;
        hw::Ne2000Board& earlier = host.add_card(earlier_cfg);
        ASSERT_EQ(host.initialize(host.config_for(earlier)), NDIS_STATUS_SUCCESS);
        AdapterRecord* earlier_record = host.adapter(0).record<AdapterRecord>();

        hw::Ne2000Board& card = host.add_card(hw::BoardConfig{});
        sim::AdapterConfig cfg = host.config_for(card);
        switch (c.cause) {
            case Cause::Allocate: cfg.fail.allocate_memory = true; break;
            case Cause::OpenConfig: cfg.fail.open_configuration = true; break;
            case Cause::Ports: cfg.fail.register_ports = true; break;
            case Cause::NoCard: card.faults().no_answer = true; break;
            case Cause::Interrupt: cfg.fail.register_interrupt = true; break;
            case Cause::Setup: break;
        }
        if (c.cause == Cause::Setup) {
            // The controller stops honouring a stop command once the station
            // address has been read: the setup's first check fails.
            host.set_access_hook([&](std::uint64_t) {
                const hw::Dp8390State& s = card.regs();
                if (s.rbcr == 0x0C && s.dma_active) card.faults().ignore_stop = true;
            });
        }
        std::size_t log_before = host.error_log().size();
        host.trace_to_vector(true);
        EXPECT_EQ(host.initialize(cfg), c.status);
        host.set_access_hook(nullptr);
        host.trace_to_vector(false);
        std::vector<std::uint32_t> cr_writes;
        for (const sim::TraceEntry& e : host.trace()) {
            if (e.write && e.port == card.io_base() + NIC_CR) cr_writes.push_back(e.value);
        }

        std::vector<sim::ErrorLogEntry> log(host.error_log().begin() + log_before,
                                            host.error_log().end());
        if (c.logged) {
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].code, *c.logged);
            EXPECT_TRUE(log[0].data.empty());
        } else {
            EXPECT_TRUE(log.empty());
        }
        if (c.stopped_with_cr_01) {
            ASSERT_FALSE(cr_writes.empty());
            EXPECT_EQ(cr_writes.back(), std::uint32_t{(CR_STP | CR_PAGE0)});
        } else if (!cr_writes.empty()) {
            EXPECT_NE(cr_writes.back(), std::uint32_t{(CR_STP | CR_PAGE0)});
        }
        // Only the earlier adapter's record, ports and list entry remain.
        EXPECT_EQ(host.leaked_allocations().size(), 1u);
        EXPECT_EQ(host.live_port_ranges().size(), 1u);
        EXPECT_EQ(host.open_configurations(), 0u);
        EXPECT_EQ(Ne2000MiniportBlock.AdapterList, earlier_record);
        EXPECT_EQ(earlier_record->NextAdapter, nullptr);
        EXPECT_TRUE(host.adapter(0).running());
        host.adapter(0).halt();
        EXPECT_TRUE(host.leaked_allocations().empty());
        EXPECT_TRUE(host.live_port_ranges().empty());
    }
}

}  // namespace
