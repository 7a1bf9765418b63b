// Faults the explorer, the fault matrix, the soak and the fuzzers found,
// each kept as a named case, and every input a fuzzer ever kept (seed corpora
// and findings) run through its harness in the normal suite.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "card/dp8390reg.h"
#include "fuzz/harnesses.h"
#include "receive/receive.h"
#include "transmit/transmit.h"
#include "tests/support/rig.h"

namespace {

using namespace rig;

// A ring overflow is served while the adapter's own frame still waits for a
// busy medium. The recovery's stop lets that transmission finish, but only
// after the 2 ms stall, so the recovery takes it for cut off and marks it
// for a resend. The frame then goes out during the tail's transmitter-idle
// wait. It must not be sent a second time: it is completed by the transmit
// service like any other, and reaches the wire exactly once.
TEST(ReliabilityRegression, OverflowRecoveryDoesNotResendAFrameThatWentOutLate) {
    Rig w;
    ASSERT_TRUE(w.Init());
    for (int i = 0; i < 4; i++) w.Inject(kOtherStation, 1514);  // about 5 ms of busy medium
    w.Send(1514);
    ASSERT_TRUE(w.card.transmitting());
    w.card.core().raise_isr(ISR_OVW);
    ASSERT_TRUE(w.Run());
    EXPECT_EQ(w.Check(), "");
    EXPECT_EQ(w.figures().tx_on_wire, 1u);
    EXPECT_EQ(w.rec->XmitOkCount, 1u);
    EXPECT_EQ(w.rec->TxActiveIndex, TX_INDEX_IDLE);
    // Still usable: a frame each way.
    w.Send(300);
    w.Inject(kToStation, 400);
    ASSERT_TRUE(w.Run());
    EXPECT_EQ(w.Check(), "");
    EXPECT_EQ(w.figures().tx_on_wire, 2u);
    EXPECT_EQ(w.figures().rx_indicated, 1u);
}

// A reset while a frame is on the wire: the stop lets the frame finish and
// the setup clears its PTX, so nothing is outstanding afterwards. A
// completion still noted as pending would be taken, at the next ring
// overflow, for a transmission cut off; a later frame whose PTX comes with a
// new overflow would then be sent twice, and its second completion logged as
// a driver failure. Each deferred pass here is held until both are pending.
TEST(ReliabilityRegression, AResetLeavesNoTransmissionOutstanding) {
    Rig w(hw::BoardKind::Isa8);  // 20 ring pages: four full frames overflow it
    ASSERT_TRUE(w.Init());
    w.Send(1514);
    ASSERT_TRUE(w.card.transmitting());
    ASSERT_EQ(w.Reset(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(w.Run());

    auto overflow = [&w] {
        for (int i = 0; i < 5; i++) w.Inject(kToStation, 1514);
        ASSERT_TRUE(w.Run());
        ASSERT_TRUE(w.card.regs().isr & ISR_OVW);
    };
    w.adapter->hold_deferred(true);
    overflow();  // while idle
    w.adapter->hold_deferred(false);
    ASSERT_TRUE(w.Run());

    w.adapter->hold_deferred(true);
    w.Send(300);
    overflow();  // after the frame's PTX
    ASSERT_TRUE(w.card.regs().isr & ISR_PTX);
    w.adapter->hold_deferred(false);
    ASSERT_TRUE(w.Run());
    EXPECT_EQ(w.Check(), "");
    EXPECT_EQ(w.figures().tx_on_wire, 2u);
    EXPECT_TRUE(w.host.error_log().empty());
}

// An interrupt the service routine claims during a reset masks the card and
// asks for the deferred handler, which the wrapper runs after the reset.
// The reset's card setup meanwhile clears ISR and arms the card again, so the
// deferred handler starts with the card armed. With only a receive error
// pending (not an enabled condition, so no new edge masks the card) it runs
// the ring drain, whose CURR read selects register page 1; a frame arriving
// then makes the service routine read CURR as ISR and write IMR = 0 into
// MAR7. The deferred handler masks the card itself when it finds it armed.
TEST(ReliabilityRegression, DeferredHandlerAfterAResetRunsWithTheCardMasked) {
    Rig w;
    ASSERT_TRUE(w.Init(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_ALL_MULTICAST));
    hw::Ne2000Board& card = w.card;
    ASSERT_EQ(card.regs().mar[7], 0xFF);
    const std::uint64_t runs = w.adapter->counters().deferred_runs;
    bool masked = false, rxe = false, arrived = false;
    w.host.bus().set_access_hook([&](std::uint64_t) {
        const AdapterRecord& r = *w.rec;
        bool deferred = w.adapter->counters().deferred_runs != runs;
        if (!r.InterruptsArmed) masked = true;
        if (masked && r.InterruptsArmed && !rxe && !deferred) {
            card.core().raise_isr(ISR_RXE);  // armed again by the reset's setup
            rxe = true;
        }
        if (deferred && !arrived && card.regs().cr_page == 1) {
            arrived = true;
            card.core().raise_isr(ISR_PRX);  // a frame while page 1 is selected
        }
    });
    card.core().raise_isr(ISR_PRX);  // claimed at the reset's first port access
    ASSERT_EQ(w.Reset(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(w.Run());
    w.host.bus().set_access_hook(nullptr);
    ASSERT_TRUE(masked && rxe && arrived) << "the interleaving was not reached";
    EXPECT_EQ(card.misuse().page1_in_isr, 0u);
    EXPECT_EQ(card.regs().mar[7], 0xFF);
    // Multicast still arrives, also to addresses hashing into MAR7.
    w.Inject(kMulticastListed2, 100);  // 33:33:00:00:00:01 hashes to MAR7
    w.Inject(kToStation, 100);
    ASSERT_TRUE(w.Run());
    EXPECT_EQ(w.Check(), "");
    EXPECT_EQ(w.figures().rx_indicated, 2u);
}

// A PC Card pulled out while the adapter runs: every port reads all ones and
// writes go nowhere. The service routine read ISR as 0xFF and claimed every
// interrupt of the devices sharing its line; a packet copied to nowhere was
// completed with success; the ring drain took CURR 0xFF for the write page
// and moved its read page out of the ring. Now the routine claims nothing, a
// send fails with the packet copy's event-log entry, the drain finds the
// ring empty, a reset fails and says so, and the halt gives everything back.
TEST(ReliabilityRegression, ACardPulledOutClaimsNothingAndFailsWhatNeedsIt) {
    Rig w(hw::BoardKind::PcCard);
    w.allowed_log = {NDIS_ERROR_CODE_HARDWARE_FAILURE};
    ASSERT_TRUE(w.Init());
    w.Inject(kToStation, 300);
    w.Send(400);
    ASSERT_TRUE(w.Run());
    w.card.pull_out();
    const sim::Adapter::Counters before = w.adapter->counters();
    for (int i = 0; i < 3; i++) w.adapter->fire_shared();
    EXPECT_EQ(w.adapter->counters().isr_calls - before.isr_calls, 3u);
    EXPECT_EQ(w.adapter->counters().isr_recognized, before.isr_recognized);
    const ULONG slot = w.rec->TxAreaAddress + w.rec->TxFillIndex * 256;
    std::vector<NDIS_STATUS> completed;
    w.proto.completed = [&](NDIS_PACKET*, NDIS_STATUS status) { completed.push_back(status); };
    w.Send(200);
    ASSERT_TRUE(w.Run());
    EXPECT_EQ(completed, std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
    ASSERT_FALSE(w.host.error_log().empty());
    EXPECT_EQ(w.host.error_log().back().data, (std::vector<ULONG>{1, slot}));
    const UCHAR next = w.rec->RxNextPage;
    EXPECT_TRUE(Ne2000RcvDpc(w.rec));
    EXPECT_EQ(w.rec->RxNextPage, next);
    EXPECT_EQ(w.rec->RxCurrentPage, next);
    EXPECT_EQ(w.Reset(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(w.host.error_log().back().data, (std::vector<ULONG>{0, 1}));
    w.Halt();
    EXPECT_EQ(w.Check(), "");
}

// Pulled out inside an indication, before the protocol asks for the frame:
// the transfer fails with its event-log entry (2) instead of handing over
// bytes the card never gave, and the transmit tail, which read ISR as 0xFF,
// no longer takes that for the end of the frame on the wire (it counted the
// second frame as sent and started the third).
TEST(ReliabilityRegression, ACardPulledOutInAnIndicationFailsTheTransfer) {
    Rig w(hw::BoardKind::PcCard);
    w.allowed_log = {NDIS_ERROR_CODE_HARDWARE_FAILURE};
    ASSERT_TRUE(w.Init());
    for (int i = 0; i < 4; i++) w.Send(600);  // one on the wire, the others in their slots
    ULONG sent_at_pull = ~0u;
    bool next_full = false;
    w.proto.during = [&](sim::Adapter&, unsigned) {
        sent_at_pull = w.rec->XmitOkCount;
        next_full = w.rec->TxActiveIndex != TX_INDEX_IDLE &&
                    w.rec->TxSlotState[Ne2000NextSendIndex(w.rec)] == TX_SLOT_FULL;
        w.card.pull_out();
    };
    w.Inject(kToStation, 600);
    ASSERT_TRUE(w.Run());
    ASSERT_TRUE(next_full) << "no frame waited behind the one on the wire";
    ASSERT_EQ(w.proto.frames().size(), 1u);
    EXPECT_EQ(w.proto.frames()[0].transfer_status, NDIS_STATUS_FAILURE);
    ASSERT_EQ(w.host.error_log().size(), 1u);
    EXPECT_EQ(w.host.error_log()[0].data, std::vector<ULONG>{2});
    EXPECT_EQ(w.rec->XmitOkCount, sent_at_pull);
    w.Halt();
    EXPECT_EQ(w.Check(), "");
}

// ---------------------------------------------------------------------------
// Fuzz inputs: the seed corpora and every finding kept in fuzz/corpus/<name>/.

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct Harness {
    const char* name;
    std::string (*run)(const std::uint8_t*, std::size_t);
};

// Test names and messages show the case's name.
void PrintTo(const Harness& c, std::ostream* os) { *os << c.name; }

class FuzzCorpus : public ::testing::TestWithParam<Harness> {};

TEST_P(FuzzCorpus, EveryKeptInputPasses) {
    std::vector<std::string> files = Files(std::string(NE2K_SOURCE_DIR) + "/fuzz/corpus/" + GetParam().name);
    ASSERT_FALSE(files.empty()) << "no corpus for " << GetParam().name;
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(GetParam().run(bytes.data(), bytes.size()), "") << f;
    }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpus,
                         ::testing::Values(Harness{"ring", fuzz::RingInput}, Harness{"oid", fuzz::OidInput},
                                           Harness{"config", fuzz::ConfigInput}, Harness{"send", fuzz::SendInput},
                                           Harness{"net", fuzz::NetInput}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
