// Fault matrix: every fault knob of the emulated card against the handler
// paths that can meet it. Each case applies the fault, drives the path and
// checks the status and event-log entries it must give; then the fault is
// removed (and the adapter reset where the fault leaves the controller in an
// unknown state) and a frame each way must go through. Every case runs under
// a virtual-time budget (no hang), and World::Check holds the traffic to
// account: nothing is lost that the card itself did not drop and count,
// except what the case names (frames the card aborted, frames with bad
// headers dropped with the ring, frames lost with a reset).
#include <gtest/gtest.h>

#include <ostream>

#include <functional>

#include "card/dp8390reg.h"
#include "tests/reliability/world.h"

namespace ne2k {
namespace {

using hw::kMicrosecond;
constexpr hw::Nanos kMillisecond = 1000 * kMicrosecond;
constexpr hw::Nanos kSecond = 1000 * kMillisecond;

struct HangError {};

struct Expect {
    bool allow_tx_loss = false;
    bool allow_rx_loss = false;
    bool reset_after = false;  // the adapter is reset once the fault is removed
    std::vector<NDIS_ERROR_CODE> log;
};

struct FaultCase {
    const char* name;
    hw::BoardKind kind;
    // Drives the path with the fault in place; returns what went wrong.
    std::function<std::string(World&)> run;
    Expect expect;
};

std::string Has(bool ok, const std::string& what) { return ok ? "" : what + "; "; }

// One log entry with this code and these data words.
std::string Logged(World& w, NDIS_ERROR_CODE code, std::vector<ULONG> data) {
    for (auto& e : w.host().error_log())
        if (e.code == code && e.data == data) return "";
    std::string s = "missing event-log entry 0x";
    char b[64];
    std::snprintf(b, sizeof b, "%X (log holds %zu:", code, w.host().error_log().size());
    s += b;
    for (auto& e : w.host().error_log()) {
        std::snprintf(b, sizeof b, " 0x%X/%zu", e.code, e.data.size());
        s += b;
    }
    return s + "); ";
}

// Some traffic each way, and time for it.
void Traffic(World& w, unsigned n, std::size_t len = 300) {
    for (unsigned i = 0; i < n; i++) {
        w.Inject(kToStation, len + i * 100);
        w.Send(len + i * 50);
    }
    w.RunIdle(60 * kSecond);
}

ULONG Query(World& w, NDIS_OID oid) { return w.adapter()->query_ulong(oid).value_or(0xFFFFFFFF); }

// After the fault: a new adapter when initialization failed, else the same
// one (reset if asked); then a frame each way must arrive.
std::string UsableAgain(World& w, const Expect& e, bool init_failed) {
    w.card().faults() = hw::Faults{};
    if (init_failed) {
        if (!w.Init()) return "initialization fails with the fault removed; ";
    } else if (e.reset_after) {
        if (w.Reset() != NDIS_STATUS_SUCCESS) return "reset fails with the fault removed; ";
    }
    World::Figures before = w.figures();
    w.Inject(kToStation, 500);
    w.Send(400);
    w.Inject(kBroadcast, 61);
    w.Send(60);
    if (!w.RunIdle(10 * kSecond)) return "does not come to rest after the fault; ";
    World::Figures after = w.figures();
    std::string out;
    if (after.rx_indicated - before.rx_indicated != 2) out += "frames sent to it afterwards are not indicated; ";
    if (after.tx_on_wire - before.tx_on_wire != 2) out += "frames it sends afterwards do not reach the wire; ";
    return out;
}

// Cases that start from an adapter that came up.
std::function<std::string(World&)> Up(std::string (*run)(World&)) {
    return [run](World& w) { return w.Init() ? run(w) : std::string("no adapter"); };
}

// Cases that only put a fault in place and let some traffic run under it.
std::function<std::string(World&)> UnderTraffic(unsigned n, void (*set)(hw::Faults&)) {
    return [n, set](World& w) {
        if (!w.Init()) return std::string("no adapter");
        set(w.card().faults());
        Traffic(w, n);
        return std::string();
    };
}

// Stray bytes stored before the header: the header is taken at the shifted
// position and the frame arrives whole.
std::string StrayBeforeHeader(World& w) {
    w.card().faults().stray_before_header = 1;
    w.Inject(kToStation, 400);
    w.RunIdle();
    return Has(w.figures().rx_indicated == 1, "the shifted header was not taken");
}

const FaultCase kCases[] = {
    // --- the controller does not answer ---------------------------------
    {"no_answer_at_initialization_isa", hw::BoardKind::Isa16,
     [](World& w) {
         w.card().faults().no_answer = true;
         std::string out = Has(!w.Init(), "initialized without a controller");
         out += Has(w.host().adapter().initialize_status() == NDIS_STATUS_FAILURE, "status not NDIS_STATUS_FAILURE");
         return out + Logged(w, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {});
     },
     {false, false, false, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND}}},
    // A PC Card is not probed (no port check, no RAM test): the setup's stop
    // check, where CR reads 0xFF, finds it absent.
    {"no_answer_at_initialization_pccard", hw::BoardKind::PcCard,
     [](World& w) {
         w.card().faults().no_answer = true;
         std::string out = Has(!w.Init(), "a PC Card adapter without a controller came up");
         return out + Logged(w, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {});
     },
     {false, false, false, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND}}},
    {"no_answer_at_reset", hw::BoardKind::PcCard,
     Up([](World& w) {
         Traffic(w, 2);
         w.card().faults().no_answer = true;
         std::string out = Has(w.Reset() == NDIS_STATUS_FAILURE, "reset of an absent controller reported success");
         return out + Logged(w, NDIS_ERROR_CODE_HARDWARE_FAILURE, {0, 1});
     }),
     {true, true, true, {NDIS_ERROR_CODE_HARDWARE_FAILURE}}},
    {"no_answer_during_traffic", hw::BoardKind::PcCard,
     Up([](World& w) {
         hw::Nanos t = w.host().now();
         w.InjectStream(t, 300 * kMicrosecond, 20, {60, 700}, {kToStation});
         w.host().clock().schedule(t + 2 * kMillisecond, [&w] { w.card().faults().no_answer = true; });
         for (int i = 0; i < 6; i++) {
             w.Send(200 + i * 100);
             w.host().run_for(700 * kMicrosecond);
         }
         w.RunIdle(20 * kSecond);
         return std::string();
     }),
     {true, true, true, {NDIS_ERROR_CODE_DRIVER_FAILURE}}},
    {"no_answer_at_halt", hw::BoardKind::PcCard,
     Up([](World& w) {
         Traffic(w, 2);
         w.Send(1000);
         w.card().faults().no_answer = true;
         w.Halt();
         return Has(w.host().leaked_allocations().empty(), "record not freed");
     }),
     {true, true, false, {}}},
    {"no_answer_at_filter_change", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().no_answer = true;
         std::string out = Has(w.SetFilter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST |
                                           NDIS_PACKET_TYPE_ALL_MULTICAST) == NDIS_STATUS_SUCCESS,
                               "filter refused");
         out += Has(w.SetMulticast({World::DestAddress(kMulticastListed)}) == NDIS_STATUS_SUCCESS, "list refused");
         return out;
     }),
     {false, false, true, {}}},
    // --- the controller does not honour a stop ---------------------------
    {"ignore_stop_at_initialization", hw::BoardKind::Isa16,
     [](World& w) {
         w.card().faults().ignore_stop = true;
         std::string out = Has(!w.Init(), "initialized a controller that does not stop");
         return out + Logged(w, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {});
     },
     {false, false, false, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND}}},
    {"ignore_stop_at_reset", hw::BoardKind::PcCard,
     Up([](World& w) {
         Traffic(w, 2);
         w.card().faults().ignore_stop = true;
         std::string out = Has(w.Reset() == NDIS_STATUS_FAILURE, "reset succeeded on a controller that does not stop");
         return out + Logged(w, NDIS_ERROR_CODE_HARDWARE_FAILURE, {0, 1});
     }),
     {true, true, true, {NDIS_ERROR_CODE_HARDWARE_FAILURE}}},
    {"ignore_stop_in_overflow_recovery", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().ignore_stop = true;
         w.Send(1000);
         w.Inject(kToStation, 200);
         w.card().core().raise_isr(ISR_OVW);
         w.RunIdle(10 * kSecond);
         return std::string();
     }),
     {true, true, true, {}}},
    {"ignore_stop_at_halt", hw::BoardKind::PcCard,
     Up([](World& w) {
         Traffic(w, 1);
         w.card().faults().ignore_stop = true;
         w.Halt();
         return Has(w.host().leaked_allocations().empty(), "record not freed");
     }),
     {true, true, false, {}}},
    // --- CRDA never moves: the write preparation fails -------------------
    {"crda_frozen_on_send", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().crda_frozen = true;
         w.Send(300);
         w.Send(42);
         w.RunIdle(10 * kSecond);
         std::string out = Logged(w, NDIS_ERROR_CODE_HARDWARE_FAILURE, {1, w.rec()->TxAreaAddress});
         out += Has(w.figures().tx_on_wire == 0, "a frame went out although its copy failed");
         return out;
     }),
     {false, false, false, {NDIS_ERROR_CODE_HARDWARE_FAILURE}}},
    {"crda_frozen_at_initialization_ram_test", hw::BoardKind::Isa8,
     [](World& w) {
         w.card().faults().crda_frozen = true;
         std::string out = Has(!w.Init(), "initialized with no RAM found");
         return out + Logged(w, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {});
     },
     {false, false, false, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND}}},
    // --- RDC never set: every completion wait runs out --------------------
    {"rdc_never_on_send_and_receive", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().rdc_never = true;
         w.Inject(kToStation, 300);
         w.Send(61, {14, 0, 47});
         w.Send(100);
         w.RunIdle(60 * kSecond);
         return Has(w.figures().rx_indicated == 1 && w.figures().tx_on_wire == 2, "traffic lost without RDC");
     }),
     {false, false, false, {}}},
    {"rdc_never_on_8_bit_path", hw::BoardKind::Isa8,
     Up([](World& w) {
         w.card().faults().rdc_never = true;
         w.Inject(kToStation, 300);
         w.Send(61, {13, 0, 48});
         w.RunIdle(60 * kSecond);
         return Has(w.figures().rx_indicated == 1 && w.figures().tx_on_wire == 1, "traffic lost without RDC");
     }),
     {false, false, false, {}}},
    // --- TXP stuck: every transmitter-idle wait runs out -------------------
    {"txp_stuck_on_send_and_overflow", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().txp_stuck = true;
         Traffic(w, 3);
         w.Send(500);
         w.card().core().raise_isr(ISR_OVW);
         w.RunIdle(10 * kSecond);
         return Has(w.figures().tx_on_wire == 4, "frames lost with TXP stuck");
     }),
     {false, false, false, {}}},
    // --- transmissions aborted --------------------------------------------
    {"tx_abort_counted_as_errors", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().tx_abort = 3;
         for (int i = 0; i < 6; i++) w.Send(100 + i * 250);
         w.RunIdle(10 * kSecond);
         std::string out = Has(Query(w, OID_GEN_XMIT_ERROR) == 3, "XMIT_ERROR " + std::to_string(Query(w, OID_GEN_XMIT_ERROR)));
         out += Has(Query(w, OID_GEN_XMIT_OK) == 3, "XMIT_OK " + std::to_string(Query(w, OID_GEN_XMIT_OK)));
         return out + Has(w.figures().tx_on_wire == 3, "on the wire " + std::to_string(w.figures().tx_on_wire));
     }),
     {true, false, false, {}}},
    // --- the stop cuts a transmission off -----------------------------------
    {"stop_cuts_tx_at_reset", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().stop_cuts_tx = true;
         w.Send(1514);
         w.Send(1514);
         w.host().run_for(200 * kMicrosecond);
         return Has(w.Reset() == NDIS_STATUS_SUCCESS, "reset failed");
     }),
     {true, false, false, {}}},
    {"stop_cuts_tx_in_overflow_recovery", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().stop_cuts_tx = true;
         w.Inject(kOtherStation, 1514);
         w.Send(1514);
         w.Inject(kToStation, 100);
         w.card().core().raise_isr(ISR_OVW);
         w.RunIdle(10 * kSecond);
         return Has(w.figures().tx_on_wire == 1, "the cut-off frame was not sent exactly once");
     }),
     {false, false, false, {}}},
    {"stop_cuts_tx_at_halt", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().stop_cuts_tx = true;
         w.Send(1514);
         w.Send(1514);
         w.Send(1514);
         w.host().run_for(300 * kMicrosecond);
         w.Halt();
         return Has(w.host().leaked_allocations().empty(), "record not freed");
     }),
     {true, true, false, {}}},
    // --- CURR unstable -------------------------------------------------------
    {"curr_unstable_for_a_while", hw::BoardKind::PcCard,
     UnderTraffic(4, [](hw::Faults& f) { f.curr_unstable = 5; }),
     {false, true, false, {}}},
    {"curr_never_stable", hw::BoardKind::PcCard,
     UnderTraffic(4, [](hw::Faults& f) { f.curr_unstable = hw::Faults::kAlways; }),
     {false, true, true, {}}},
    // --- ring headers corrupted ------------------------------------------------
    {"header_status_corrupted", hw::BoardKind::PcCard,
     UnderTraffic(4, [](hw::Faults& f) { f.corrupt_header = 2; f.corrupt_status = true; f.bad_status = 0x06; }),
     {false, true, false, {}}},
    {"header_next_page_corrupted", hw::BoardKind::PcCard,
     UnderTraffic(4, [](hw::Faults& f) { f.corrupt_header = 2; f.corrupt_next = true; f.bad_next = 0xF0; }),
     {false, true, false, {}}},
    {"header_count_corrupted", hw::BoardKind::Isa8,
     UnderTraffic(4, [](hw::Faults& f) { f.corrupt_header = 2; f.corrupt_count = true; f.bad_count = 0x0002; }),
     {false, true, false, {}}},
    {"header_count_high_is_low_repaired", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().count_high_is_low = 3;
         for (std::size_t len : {300, 1000, 1514}) w.Inject(kToStation, len);
         w.RunIdle();
         return Has(w.figures().rx_indicated == 3, "repairable headers dropped");
     }),
     {false, false, false, {}}},
    // A stray byte (8-bit card) or word (16-bit card) before the header.
    {"stray_byte_before_header", hw::BoardKind::Isa8,
     Up(StrayBeforeHeader),
     {false, true, false, {}}},
    {"stray_word_before_header", hw::BoardKind::PcCard,
     Up(StrayBeforeHeader),
     {false, true, false, {}}},
    // --- receive errors ----------------------------------------------------------
    {"rx_bad_fcs_counted", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().rx_bad_fcs = 3;
         Traffic(w, 6);
         ULONG n = Query(w, OID_GEN_RCV_ERROR) + w.card().regs().cntr[1];
         return Has(n == 3, "CRC errors counted " + std::to_string(n));
     }),
     {false, true, false, {}}},
    {"rx_alignment_counted", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().rx_alignment = 2;
         Traffic(w, 5);
         // The tallies are read when the interrupt handler serves counters,
         // a ring overflow or a receive error alone; what it has not read yet
         // is still in the card's tally.
         ULONG n = Query(w, OID_802_3_RCV_ERROR_ALIGNMENT) + w.card().regs().cntr[0];
         return Has(n == 2, "alignment errors counted " + std::to_string(n));
     }),
     {false, true, false, {}}},
    // --- spurious ISR bits -------------------------------------------------------
    {"spurious_ptx_with_nothing_on_the_wire", hw::BoardKind::PcCard,
     Up([](World& w) {
         auto& f = w.card().faults();
         f.spurious_isr = ISR_PTX;
         f.spurious_isr_reads = 3;
         w.card().core().raise_isr(ISR_PRX);
         w.RunIdle();
         return Logged(w, NDIS_ERROR_CODE_DRIVER_FAILURE, {4});
     }),
     {false, false, false, {NDIS_ERROR_CODE_DRIVER_FAILURE}}},
    {"spurious_txe_while_a_frame_is_on_the_wire", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.Send(1514);
         w.Send(1514);
         auto& f = w.card().faults();
         f.spurious_isr = ISR_TXE;
         f.spurious_isr_reads = 2;
         w.card().core().raise_isr(ISR_PRX);
         w.RunIdle();
         return std::string();
     }),
     {true, false, false, {NDIS_ERROR_CODE_DRIVER_FAILURE}}},
    {"spurious_rx_overflow_and_counter_bits", hw::BoardKind::PcCard,
     UnderTraffic(3, [](hw::Faults& f) { f.spurious_isr = ISR_PRX | ISR_OVW | ISR_CNT | ISR_RXE; f.spurious_isr_reads = 6; }),
     {false, true, false, {}}},
    // --- a shared line that fires with no card cause ------------------------------
    {"foreign_interrupts_on_the_line", hw::BoardKind::PcCard,
     Up([](World& w) {
         w.card().faults().foreign_irq = 50;
         std::uint64_t before = w.adapter()->counters().isr_recognized;
         Traffic(w, 3);
         for (int i = 0; i < 20; i++) w.host().run_for(100 * kMicrosecond);
         std::string out = Has(w.adapter()->counters().isr_calls > w.adapter()->counters().isr_recognized,
                               "no foreign interrupt seen");
         return out + Has(w.adapter()->counters().isr_recognized >= before, "");
     }),
     {false, false, false, {}}},
};

// Test names and messages show the case's name.
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, StatusLogNoHangUsableAfterwardsNothingLost) {
    const FaultCase& c = GetParam();
    World w(c.kind);
    w.allow_tx_loss = c.expect.allow_tx_loss;
    w.allow_rx_loss = c.expect.allow_rx_loss;
    w.allowed_log = c.expect.log;
    const hw::Nanos budget = 120 * kSecond;  // virtual
    w.host().set_access_hook([&](std::uint64_t) {
        if (w.host().now() > budget) throw HangError{};
    });
    std::string out;
    try {
        out = c.run(w);
        bool init_failed = w.adapter() == nullptr || !w.adapter()->running();
        bool halted = w.adapter() && w.adapter()->halted();
        if (halted) {
            // A halted adapter is gone; a new one on the same card must work.
            w.card().faults() = hw::Faults{};
            out += w.Check();
            out += UsableAgain(w, Expect{}, true);
            out += w.Check();
        } else {
            out += UsableAgain(w, c.expect, init_failed);
            out += w.Check();
        }
    } catch (const HangError&) {
        out += "hangs: past " + std::to_string(budget / kSecond) + " s of virtual time";
    }
    w.host().set_access_hook(nullptr);
    EXPECT_EQ(out, "") << c.name;
}

INSTANTIATE_TEST_SUITE_P(Knobs, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ne2k
