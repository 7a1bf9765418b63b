// Fault matrix: every fault knob of the emulated card against the handler
// paths that meet it. A case applies the fault, drives the path and checks
// what it must give (status, event-log entries); then the fault is removed
// (and the adapter reset where it leaves the controller in an unknown
// state) and a frame each way must go through. Every case runs under a
// virtual-time budget, and the rig's accounting holds the traffic to
// account: nothing is lost that the card itself did not drop and count,
// except what the case allows.
#include <gtest/gtest.h>

#include <algorithm>

#include "card/dp8390reg.h"
#include "tests/support/rig.h"

namespace {

using namespace rig;
constexpr Nanos kSecond = 1000 * kMs;

struct FaultCase {
    const char* name;
    std::string (*run)(Rig&);  // drives the path with the fault in place: what went wrong
    bool tx_loss, rx_loss, reset_after;
    std::vector<NDIS_ERROR_CODE> log;
    std::vector<hw::BoardKind> kinds = {};  // the boards whose paths meet the fault; empty: all four
};

std::string Has(bool ok, const std::string& what) { return ok ? "" : what + "; "; }

std::string Logged(Rig& w, NDIS_ERROR_CODE code, std::vector<ULONG> data = {}) {
    for (auto& e : w.host.error_log())
        if (e.code == code && e.data == data) return "";
    return "missing event-log entry " + std::to_string(code) + "; ";
}

// Some traffic each way, and time for it.
void Traffic(Rig& w, unsigned n) {
    for (unsigned i = 0; i < n; i++) {
        w.Inject(kToStation, 300 + i * 100);
        w.Send(300 + i * 50);
    }
    w.Run(60 * kSecond);
}

ULONG Query(Rig& w, NDIS_OID oid) { return w.adapter->query_ulong(oid).value_or(0xFFFFFFFF); }

// The fault, with an adapter up, and n exchanges under it.
#define UP(...) [](Rig& w) -> std::string { if (!w.Init()) return "no adapter"; __VA_ARGS__ }
#define UNDER_TRAFFIC(n, ...)                                                                               \
    UP(hw::Faults& f = w.card.faults(); __VA_ARGS__; Traffic(w, n);                                         \
       return Has(f.corrupt_header <= 0 && f.curr_unstable <= 0 && f.spurious_isr_reads <= 0, "the fault never acted");)

// Stray bytes stored before the header: taken at the shifted position.
std::string StrayBeforeHeader(Rig& w) {
    if (!w.Init()) return "no adapter";
    w.card.faults().stray_before_header = 1;
    w.Inject(kToStation, 400);
    w.Run();
    return Has(w.card.faults().stray_before_header == 0 && w.figures().rx_indicated == 1, "not stored, or not taken");
}

const FaultCase kCases[] = {
    // --- the controller does not answer ----------------------------------------
    // An ISA or MCA card fails the port check; a PC Card is not probed, and the
    // setup's stop check, where CR reads 0xFF, finds it absent.
    {"no_answer_at_initialization", [](Rig& w) {
         w.card.faults().no_answer = true;
         std::string out = Has(!w.Init(), "came up without a controller");
         return out + Logged(w, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND);
     }, false, false, false, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND}},
    {"no_answer_at_reset", UP(Traffic(w, 2); w.card.faults().no_answer = true;
         std::string out = Has(w.Reset() == NDIS_STATUS_FAILURE, "reset reported success");
         return out + Logged(w, NDIS_ERROR_CODE_HARDWARE_FAILURE, {0, 1});),
     true, true, true, {NDIS_ERROR_CODE_HARDWARE_FAILURE}},
    {"no_answer_during_traffic", UP(Nanos t = w.host.bus().now();
         w.InjectStream(t, 300 * kUs, 20, {60, 700}, {kToStation});
         w.host.bus().clock().schedule(t + 2 * kMs, [&w] { w.card.faults().no_answer = true; });
         for (int i = 0; i < 6; i++) {
             w.Send(200 + i * 100);
             w.host.run_for(700 * kUs);
         }
         w.Run(20 * kSecond);
         return "";),
     true, true, true, {NDIS_ERROR_CODE_DRIVER_FAILURE, NDIS_ERROR_CODE_HARDWARE_FAILURE}},
    {"no_answer_at_halt", UP(Traffic(w, 2); w.Send(1000); w.card.faults().no_answer = true;
         w.Halt(); return "";), true, true, false, {}},
    {"no_answer_at_filter_change", UP(w.card.faults().no_answer = true;
         std::string out = Has(w.SetFilter(0x0D) == NDIS_STATUS_SUCCESS, "filter refused");
         return out + Has(w.SetMulticast({Address(kMulticastListed)}) == NDIS_STATUS_SUCCESS, "list refused");),
     false, false, true, {}},
    // --- the controller does not honour a stop -----------------------------------
    {"ignore_stop_at_initialization", [](Rig& w) {
         w.card.faults().ignore_stop = true;
         std::string out = Has(!w.Init(), "initialized");
         return out + Logged(w, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND);
     }, false, false, false, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND}},
    {"ignore_stop_at_reset", UP(Traffic(w, 2); w.card.faults().ignore_stop = true;
         std::string out = Has(w.Reset() == NDIS_STATUS_FAILURE, "reset succeeded");
         return out + Logged(w, NDIS_ERROR_CODE_HARDWARE_FAILURE, {0, 1});),
     true, true, true, {NDIS_ERROR_CODE_HARDWARE_FAILURE}},
    {"ignore_stop_in_overflow_recovery", UP(w.card.faults().ignore_stop = true;
         w.Send(1000); w.Inject(kToStation, 200); w.card.core().raise_isr(ISR_OVW); w.Run(10 * kSecond); return "";),
     true, true, true, {}},
    {"ignore_stop_at_halt", UP(Traffic(w, 1); w.card.faults().ignore_stop = true;
         w.Halt(); return "";), true, true, false, {}},
    // --- CRDA never moves: the write preparation fails ---------------------------
    // The RAM test of an ISA or MCA card finds no RAM; a PC Card has no RAM
    // test, and each send fails instead.
    {"crda_frozen_at_initialization_ram_test", [](Rig& w) {
         w.card.faults().crda_frozen = true;
         std::string out = Has(!w.Init(), "initialized with no RAM found");
         return out + Logged(w, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND);
     }, false, false, false, {NDIS_ERROR_CODE_ADAPTER_NOT_FOUND},
     {hw::BoardKind::Isa16, hw::BoardKind::Isa8, hw::BoardKind::Mca}},
    {"crda_frozen_fails_each_send", UP(w.card.faults().crda_frozen = true;
         w.Send(100); w.Send(61, {13, 0, 48}); w.Run(10 * kSecond);
         return Logged(w, NDIS_ERROR_CODE_HARDWARE_FAILURE, {1, w.rec->TxAreaAddress});),
     true, false, false, {NDIS_ERROR_CODE_HARDWARE_FAILURE}},
    // --- RDC never set: every completion wait runs out ---------------------------
    {"rdc_never_on_send_and_receive", UP(w.card.faults().rdc_never = true;
         w.Inject(kToStation, 301); w.Send(61, {14, 0, 47}); w.Send(61, {13, 0, 48}); w.Send(41); w.Run(60 * kSecond);
         return Has(w.figures().rx_indicated == 1 && w.figures().tx_on_wire == 3, "traffic lost");),
     false, false, false, {}},
    // --- TXP stuck: every transmitter-idle wait runs out -------------------------
    {"txp_stuck_on_send_and_overflow", UP(w.card.faults().txp_stuck = true;
         Traffic(w, 3); w.Send(500); w.card.core().raise_isr(ISR_OVW); w.Run(10 * kSecond);
         return Has(w.figures().tx_on_wire == 4, "frames lost");),
     false, false, false, {}},
    // --- transmissions aborted: counted as errors, not retried -------------------
    {"tx_abort_counted_as_errors", UP(w.card.faults().tx_abort = 3;
         for (int i = 0; i < 6; i++) w.Send(100 + i * 250);
         w.Run(10 * kSecond);
         return Has(Query(w, OID_GEN_XMIT_ERROR) == 3 && Query(w, OID_GEN_XMIT_OK) == 3, "counts") +
                Has(w.figures().tx_on_wire == 3, "on the wire");),
     true, false, false, {}},
    // --- the stop cuts a transmission off -----------------------------------------
    {"stop_cuts_tx_at_reset", UP(w.card.faults().stop_cuts_tx = true;
         w.Send(1514); w.Send(1514); w.host.run_for(200 * kUs);
         return Has(w.Reset() == NDIS_STATUS_SUCCESS, "reset failed");),
     true, false, false, {}},
    {"stop_cuts_tx_in_overflow_recovery", UP(w.card.faults().stop_cuts_tx = true;
         w.Inject(kOtherStation, 1514); w.Send(1514); w.Inject(kToStation, 100);
         w.card.core().raise_isr(ISR_OVW); w.Run(10 * kSecond);
         return Has(w.figures().tx_on_wire == 1, "the cut-off frame was not sent exactly once");),
     false, false, false, {}},
    {"stop_cuts_tx_at_halt", UP(w.card.faults().stop_cuts_tx = true;
         w.Send(1514); w.Send(1514); w.Send(1514); w.host.run_for(300 * kUs); w.Halt(); return "";),
     true, true, false, {}},
    // --- CURR unstable, ring headers corrupted -----------------------------------
    {"curr_unstable_for_a_while", UNDER_TRAFFIC(4, f.curr_unstable = 5), false, true, false, {}},
    {"curr_never_stable", UNDER_TRAFFIC(4, f.curr_unstable = hw::Faults::kAlways), false, true, true, {}},
    {"header_status_corrupted",
     UNDER_TRAFFIC(4, f.corrupt_header = 2; f.corrupt_status = true; f.bad_status = 0x06), false, true, false, {}},
    {"header_next_page_corrupted",
     UNDER_TRAFFIC(4, f.corrupt_header = 2; f.corrupt_next = true; f.bad_next = 0xF0), false, true, false, {}},
    {"header_count_corrupted",
     UNDER_TRAFFIC(4, f.corrupt_header = 2; f.corrupt_count = true; f.bad_count = 0x0002), false, true, false, {}},
    {"header_count_high_is_low_repaired", UP(w.card.faults().count_high_is_low = 3;
         for (std::size_t len : {300, 1000, 1514}) w.Inject(kToStation, len);
         w.Run();
         return Has(w.card.faults().count_high_is_low == 0 && w.figures().rx_indicated == 3, "repairable headers dropped");),
     false, false, false, {}},
    // A stray byte (8-bit card) or word (16-bit card) before the header.
    {"stray_before_header", StrayBeforeHeader, false, true, false, {}},
    // --- receive errors: counted ---------------------------------------------------
    {"rx_bad_fcs_counted", UP(w.card.faults().rx_bad_fcs = 3; Traffic(w, 6);
         return Has(Query(w, OID_GEN_RCV_ERROR) + w.card.regs().cntr[1] == 3, "CRC errors");),
     false, true, false, {}},
    // The tallies are read when the handler serves counters, an overflow or
    // a receive error alone; what it has not read yet is in the card's tally.
    {"rx_alignment_counted", UP(w.card.faults().rx_alignment = 2; Traffic(w, 5);
         return Has(Query(w, OID_802_3_RCV_ERROR_ALIGNMENT) + w.card.regs().cntr[0] == 2, "alignment errors");),
     false, true, false, {}},
    // --- loopback that does not isolate the wire (QEMU's card) -------------------
    // Frames keep arriving in an overflow recovery, a reset and a halt, while
    // the controller runs in loopback; the halted card raises no interrupt.
    {"loopback_leaks", UP(w.card.faults().loopback_leaks = true;
         w.InjectStream(w.host.bus().now(), 200 * kUs, 60, {60, 300, 1514}, {kToStation, kBroadcast});
         Traffic(w, 2); w.card.core().raise_isr(ISR_OVW); w.Send(1000); w.Run(10 * kSecond);
         std::string out = Has(w.Reset() == NDIS_STATUS_SUCCESS, "reset failed");
         Traffic(w, 2); w.Halt(); w.Inject(kToStation, 100); w.Run();
         return out + Has(!w.card.irq_level(), "the halted card raises its line");),
     false, false, false, {}},
    // --- spurious ISR bits, and a shared line with no card cause -----------------
    {"spurious_ptx_with_nothing_on_the_wire", UP(hw::Faults& f = w.card.faults();
         f.spurious_isr = ISR_PTX; f.spurious_isr_reads = 3; w.card.core().raise_isr(ISR_PRX); w.Run();
         return Logged(w, NDIS_ERROR_CODE_DRIVER_FAILURE, {4});),
     false, false, false, {NDIS_ERROR_CODE_DRIVER_FAILURE}},
    {"spurious_txe_while_a_frame_is_on_the_wire", UP(w.Send(1514); w.Send(1514);
         hw::Faults& f = w.card.faults(); f.spurious_isr = ISR_TXE; f.spurious_isr_reads = 2;
         w.card.core().raise_isr(ISR_PRX); w.Run(); return "";),
     true, false, false, {NDIS_ERROR_CODE_DRIVER_FAILURE}},
    {"spurious_rx_overflow_and_counter_bits",
     UNDER_TRAFFIC(3, f.spurious_isr = ISR_PRX | ISR_OVW | ISR_CNT | ISR_RXE; f.spurious_isr_reads = 6), false, true, false, {}},
    {"foreign_interrupts_on_the_line", UP(w.card.faults().foreign_irq = 50; Traffic(w, 3);
         for (int i = 0; i < 20; i++) w.host.run_for(100 * kUs);
         return Has(w.adapter->counters().isr_calls > w.adapter->counters().isr_recognized, "none seen");),
     false, false, false, {}},
};

struct Hang {};

// After the fault: a new adapter when initialization failed or the adapter
// was halted, else the same one (reset if asked); a frame each way arrives.
std::string UsableAgain(Rig& w, bool new_adapter, bool reset) {
    w.card.faults() = hw::Faults{};
    if (new_adapter && !w.Init()) return "initialization fails with the fault removed; ";
    if (!new_adapter && reset && w.Reset() != NDIS_STATUS_SUCCESS) return "reset fails with the fault removed; ";
    Rig::Figures before = w.figures();
    w.Inject(kToStation, 500);
    w.Send(400);
    w.Inject(kBroadcast, 61);
    w.Send(60);
    if (!w.Run(10 * kSecond)) return "does not come to rest after the fault; ";
    Rig::Figures after = w.figures();
    return Has(after.rx_indicated - before.rx_indicated == 2, "frames sent to it afterwards not indicated") +
           Has(after.tx_on_wire - before.tx_on_wire == 2, "frames it sends afterwards not on the wire");
}

// A case on one board.
struct Row {
    const FaultCase* c;
    hw::BoardKind kind;
};
std::string RowName(const Row& r) { return std::string(r.c->name) + "_" + hw::kind_name(r.kind); }
void PrintTo(const Row& r, std::ostream* os) { *os << RowName(r); }

std::vector<Row> Rows() {
    std::vector<Row> out;
    for (const FaultCase& c : kCases)
        for (hw::BoardKind kind : hw::kBoardKinds)
            if (c.kinds.empty() || std::find(c.kinds.begin(), c.kinds.end(), kind) != c.kinds.end())
                out.push_back(Row{&c, kind});
    return out;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, StatusLogNoHangUsableAfterwardsNothingLost) {
    const FaultCase& c = *GetParam().c;
    Rig w(GetParam().kind);
    w.allow_tx_loss = c.tx_loss;
    w.allow_rx_loss = c.rx_loss;
    w.allowed_log = c.log;
    w.host.bus().set_access_hook([&](std::uint64_t) {
        if (w.host.bus().now() > 120 * kSecond) throw Hang{};
    });
    std::string out;
    try {
        out = c.run(w);
        bool halted = w.adapter && w.adapter->halted();
        if (halted) out += w.Check();
        out += UsableAgain(w, !w.adapter || !w.adapter->running() || halted, c.reset_after);
        out += w.Check();
    } catch (const Hang&) {
        out += "hangs: past 120 s of virtual time";
    }
    w.host.bus().set_access_hook(nullptr);
    EXPECT_EQ(out, "");
}

INSTANTIATE_TEST_SUITE_P(Knobs, FaultMatrix, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return RowName(info.param); });

}  // namespace
