// Driver entry, the handler table and the adapter list.
#include <gtest/gtest.h>

#include <vector>

#include "driver/driver.h"
#include "hw/board.h"
#include "receive/receive.h"
#include "request/request.h"
#include "transmit/transmit.h"
#include "sim/host.h"

namespace {

TEST(DriverEntry, RegistersTheThreeZeroHandlerTable) {
    sim::Host host;
    ASSERT_EQ(host.load_driver(DriverEntry), 0u);
    EXPECT_TRUE(host.registered());
    // The record's own length (60 bytes on the 32-bit target), so a wrapper
    // that takes exactly that many bytes sees every handler.
    EXPECT_EQ(host.characteristics_length(), sizeof(NDIS_MINIPORT_CHARACTERISTICS));
    EXPECT_TRUE(host.problems().empty());
    const NDIS_MINIPORT_CHARACTERISTICS& c = host.characteristics();
    EXPECT_EQ(c.MajorNdisVersion, 3);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(c.CheckForHangHandler, nullptr);
    EXPECT_EQ(c.ReconfigureHandler, nullptr);
    EXPECT_EQ(c.ISRHandler, &Ne2000Isr);
    EXPECT_EQ(c.HandleInterruptHandler, &Ne2000HandleInterrupt);
    EXPECT_EQ(c.InitializeHandler, &Ne2000Initialize);
    EXPECT_EQ(c.HaltHandler, &Ne2000Halt);
    EXPECT_EQ(c.ResetHandler, &Ne2000Reset);
    EXPECT_EQ(c.SendHandler, &Ne2000Send);
    EXPECT_EQ(c.TransferDataHandler, &Ne2000TransferData);
    EXPECT_EQ(c.QueryInformationHandler, &Ne2000QueryInformation);
    EXPECT_EQ(c.SetInformationHandler, &Ne2000SetInformation);
    EXPECT_EQ(Ne2000MiniportBlock.WrapperHandle, host.wrapper_handle());
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, nullptr);
}

TEST(DriverEntry, RefusedRegistrationFailsAndLeavesTheListEmpty) {
    sim::Host host;
    host.refuse_registration(true);
    EXPECT_EQ(host.load_driver(DriverEntry), 0xC0000001u);
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, nullptr);
}

// The list as a vector, head first.
std::vector<AdapterRecord*> ListContents() {
    std::vector<AdapterRecord*> out;
    for (AdapterRecord* p = Ne2000MiniportBlock.AdapterList; p; p = p->NextAdapter) out.push_back(p);
    return out;
}

TEST(AdapterList, UnlinkKeepsTheOrderOfTheOthers) {
    struct Case {
        const char* name;
        int count;   // records linked, in order 0, 1, ...
        int remove;  // index of the record unlinked
        std::vector<int> expected;  // remaining, head first
    };
    const Case cases[] = {
        {"only", 1, 0, {}},
        {"head", 3, 2, {1, 0}},
        {"middle", 3, 1, {2, 0}},
        {"end", 3, 0, {2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdapterRecord records[3] = {};
        Ne2000MiniportBlock.AdapterList = nullptr;
        for (int i = 0; i < c.count; i++) Ne2000LinkAdapter(&records[i]);
        Ne2000UnlinkAdapter(&records[c.remove]);
        std::vector<AdapterRecord*> expected;
        for (int i : c.expected) expected.push_back(&records[i]);
        EXPECT_EQ(ListContents(), expected);
        EXPECT_EQ(Ne2000AdapterListEmpty() != 0, expected.empty());
    }
    Ne2000MiniportBlock.AdapterList = nullptr;
}

TEST(AdapterList, ThreeAdaptersInitializedAreListedNewestFirst) {
    sim::Host host;
    ASSERT_EQ(host.load_driver(DriverEntry), 0u);
    const unsigned bases[] = {0x300, 0x320, 0x340};
    for (unsigned base : bases) {
        hw::BoardConfig cfg;
        cfg.io_base = base;
        cfg.irq = 3 + (base - 0x300) / 0x20;
        cfg.station[5] = static_cast<std::uint8_t>(base >> 4);
        hw::Ne2000Board& card = host.add_card(cfg);
        ASSERT_EQ(host.initialize(host.config_for(card)), NDIS_STATUS_SUCCESS);
    }
    std::vector<AdapterRecord*> expected = {host.adapter(2).record<AdapterRecord>(),
                                            host.adapter(1).record<AdapterRecord>(),
                                            host.adapter(0).record<AdapterRecord>()};
    EXPECT_EQ(ListContents(), expected);
    for (std::size_t i = 0; i < 3; i++) host.adapter(i).halt();
    EXPECT_EQ(Ne2000MiniportBlock.AdapterList, nullptr);
    EXPECT_TRUE(host.problems().empty());
}

}  // namespace
