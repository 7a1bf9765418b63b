// Soak: a seeded long run of traffic both ways (random sizes, destinations,
// buffer layouts and gaps, bursts that overrun the ring), in chunks, each
// with one transient card fault or none and sometimes a reset, held to the
// rig's accounting after every chunk.
//
// Environment: NE2K_SOAK_FRAMES (frames each way, default 10,000),
// NE2K_SOAK_SEED (default 1), NE2K_SOAK_KIND (isa16, isa8, pccard or mca;
// by default each, one after the other).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "tests/support/rig.h"

namespace {

using namespace rig;

std::uint64_t Env(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// The transient faults: one per chunk, counts drawn from `n`.
struct Transient {
    const char* name;
    void (*set)(hw::Faults&, int n);
    int lo, hi;
    bool rx_loss;
};
const Transient kTransients[] = {
    {"tx_abort", [](hw::Faults& f, int n) { f.tx_abort = n; }, 1, 3, false},
    {"rx_bad_fcs", [](hw::Faults& f, int n) { f.rx_bad_fcs = n; }, 1, 3, false},
    {"rx_alignment", [](hw::Faults& f, int n) { f.rx_alignment = n; }, 1, 1, false},
    {"corrupt_header", [](hw::Faults& f, int n) { f.corrupt_header = n, f.corrupt_status = true, f.bad_status = 0x02; }, 1, 1, true},
    {"count_high_is_low", [](hw::Faults& f, int n) { f.count_high_is_low = n; }, 1, 4, false},
    {"curr_unstable", [](hw::Faults& f, int n) { f.curr_unstable = n; }, 1, 6, false},
    {"foreign_irq", [](hw::Faults& f, int n) { f.foreign_irq = n; }, 1, 20, false},
    {"stop_cuts_tx", [](hw::Faults& f, int) { f.stop_cuts_tx = true; }, 0, 0, false},
    {"loopback_leaks", [](hw::Faults& f, int) { f.loopback_leaks = true; }, 0, 0, false},
};
constexpr unsigned kTransientCount = sizeof kTransients / sizeof kTransients[0];

class Soak : public ::testing::TestWithParam<hw::BoardKind> {};

TEST_P(Soak, SeededTrafficWithTransientFaultsAndResets) {
    const std::uint64_t frames = Env("NE2K_SOAK_FRAMES", 10000);
    const char* kind = std::getenv("NE2K_SOAK_KIND");
    if (kind && *kind && kind != std::string(hw::kind_name(GetParam()))) GTEST_SKIP() << "NE2K_SOAK_KIND=" << kind;
    Rig w(GetParam());
    w.count_live = true;
    w.polite_peer = true;
    ASSERT_TRUE(w.Init());
    w.adapter->keep_indications(false);
    ASSERT_EQ(w.SetMulticast({Address(kMulticastListed), Address(kMulticastListed2)}), NDIS_STATUS_SUCCESS);
    std::mt19937_64 rng(Env("NE2K_SOAK_SEED", 1));
    auto uni = [&](std::uint64_t lo, std::uint64_t hi) { return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng); };
    auto size = [&]() -> std::size_t {
        std::uint64_t s = uni(0, 5);
        return s == 0 ? 60 : s == 1 ? 1514 : s == 2 ? uni(60, 200) : uni(60, 1514);
    };
    const Dest dests[] = {kToStation, kToStation, kToStation, kBroadcast, kMulticastListed, kMulticastListed2,
                          kMulticastOther, kOtherStation};
    std::uint64_t sent = 0, injected = 0, chunks = 0, aborts = 0;
    std::string failures;
    while ((sent < frames || injected < frames) && failures.size() < 2000) {
        chunks++;
        std::uint64_t which = uni(0, kTransientCount + 3);
        std::string what = which < kTransientCount ? kTransients[which].name : "no fault";
        hw::Faults& f = w.card.faults();
        if (which < kTransientCount) kTransients[which].set(f, int(uni(kTransients[which].lo, kTransients[which].hi)));
        int abort_before = f.tx_abort;
        w.allow_rx_loss = which < kTransientCount && kTransients[which].rx_loss;
        w.allow_tx_loss = f.tx_abort > 0;
        // The peer's frames, on the clock: back to back in a burst that
        // overruns the ring, or with gaps.
        bool burst = uni(0, 4) == 0;
        Nanos t = w.host.bus().now();
        for (unsigned i = 0, n = unsigned(uni(20, 200)); i < n && injected < frames; i++, injected++) {
            std::size_t len = size();
            w.InjectAt(t, dests[uni(0, 7)], len);
            t += hw::wire_time(len + hw::kFcsBytes) + (burst ? uni(0, 5) : uni(10, 1500)) * kUs;
        }
        // Sends from the top between runs of the clock, in pieces of any size.
        unsigned m = unsigned(uni(20, 200)), reset_at = uni(0, 9) == 0 ? unsigned(uni(0, m)) : ~0u;
        for (unsigned i = 0; i < m && sent < frames; i++, sent++) {
            std::size_t len = uni(0, 15) == 0 ? uni(18, 59) : size(), left = len;
            std::vector<std::size_t> pieces;
            while (uni(0, 2) == 0 && left) {
                pieces.push_back(std::min<std::size_t>(left, uni(0, 3) == 0 ? uni(0, 3) : uni(1, 700)));
                left -= pieces.back();
            }
            if (!pieces.empty() && left) pieces.push_back(left);
            w.Send(len, pieces);
            if (i == reset_at && w.Reset() != NDIS_STATUS_SUCCESS) failures += "a reset failed; ";
            w.host.run_for(uni(0, 3) * uni(100, 1500) * kUs);
        }
        if (!w.Run(600'000'000'000ull)) failures += "did not come to rest; ";
        aborts += std::uint64_t(abort_before - f.tx_abort);
        f = hw::Faults{};
        std::string c = w.Check();
        if (!c.empty()) failures += "chunk " + std::to_string(chunks) + " (" + what + (burst ? ", burst" : "") + "): " + c + "\n";
        w.Forget();
    }
    // An abort whose completion a reset overtook is not counted.
    EXPECT_LE(w.rec->XmitErrorCount, aborts);
    EXPECT_LE(aborts - w.rec->XmitErrorCount, w.figures().resets);
    EXPECT_EQ(failures, "");
    w.Halt();
    EXPECT_EQ(w.Check(), "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, Soak, ::testing::ValuesIn(hw::kBoardKinds),
                         [](const auto& info) { return std::string(hw::kind_name(info.param)); });

}  // namespace
