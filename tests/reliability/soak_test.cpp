// Soak: a seeded long run of traffic both ways (random sizes, destinations,
// buffer layouts and arrival gaps, bursts that overrun the ring), with
// random transient card faults and resets, held to World::Check's
// accounting after every chunk of frames.
//
// Environment:
//   NE2K_SOAK_FRAMES  frames each way (default 10,000: 20,000 in all)
//   NE2K_SOAK_SEED    seed (default 1)
//   NE2K_SOAK_KIND    board: pccard (default), isa16, isa8
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "card/dp8390reg.h"
#include "hw/segment.h"
#include "tests/reliability/world.h"

namespace ne2k {
namespace {

using hw::kMicrosecond;

std::uint64_t Env(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

TEST(Soak, SeededTrafficWithTransientFaultsAndResets) {
    const std::uint64_t frames = Env("NE2K_SOAK_FRAMES", 10000);
    const std::uint64_t seed = Env("NE2K_SOAK_SEED", 1);
    const char* kind_name = std::getenv("NE2K_SOAK_KIND");
    std::string kind_s = kind_name ? kind_name : "pccard";
    hw::BoardKind kind = kind_s == "isa8" ? hw::BoardKind::Isa8
                       : kind_s == "isa16" ? hw::BoardKind::Isa16
                                           : hw::BoardKind::PcCard;
    auto started = std::chrono::steady_clock::now();

    World w(kind);
    w.CountFromProtocol();
    w.polite_peer = true;
    ASSERT_TRUE(w.Init());
    w.adapter()->keep_indications(false);
    ASSERT_EQ(w.SetMulticast({World::DestAddress(kMulticastListed), World::DestAddress(kMulticastListed2)}),
              NDIS_STATUS_SUCCESS);
    std::mt19937_64 rng(seed);
    auto uni = [&](std::uint64_t lo, std::uint64_t hi) {
        return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
    };
    auto size = [&]() -> std::size_t {
        switch (uni(0, 5)) {
        case 0: return 60;
        case 1: return 1514;
        case 2: return uni(60, 200);
        default: return uni(60, 1514);
        }
    };
    const Dest dests[] = {kToStation, kToStation, kToStation, kBroadcast, kMulticastListed,
                          kMulticastListed2, kMulticastOther, kOtherStation};

    std::uint64_t sent = 0, injected = 0, chunks = 0, aborts = 0, faults_used = 0;
    std::string failures;
    while ((sent < frames || injected < frames) && failures.size() < 2000) {
        chunks++;
        // This chunk's transient fault, if any.
        hw::Faults& f = w.card().faults();
        bool rx_loss = false;
        const char* names[] = {"tx_abort", "rx_bad_fcs", "rx_alignment", "corrupt_header", "count_high_is_low",
                               "curr_unstable", "foreign_irq", "stop_cuts_tx"};
        std::uint64_t which = uni(0, 11);
        std::string what = which < 8 ? names[which] : "no fault";
        switch (which) {
        case 0: f.tx_abort = static_cast<int>(uni(1, 3)); break;
        case 1: f.rx_bad_fcs = static_cast<int>(uni(1, 3)); break;
        case 2: f.rx_alignment = 1; break;
        case 3: f.corrupt_header = 1; f.corrupt_status = true; f.bad_status = 0x02; rx_loss = true; break;
        case 4: f.count_high_is_low = static_cast<int>(uni(1, 4)); break;
        case 5: f.curr_unstable = static_cast<int>(uni(1, 6)); break;
        case 6: f.foreign_irq = static_cast<int>(uni(1, 20)); break;
        case 7: f.stop_cuts_tx = true; break;
        default: break;
        }
        if (f.tx_abort || f.rx_bad_fcs || f.rx_alignment || f.corrupt_header || f.count_high_is_low ||
            f.curr_unstable || f.foreign_irq || f.stop_cuts_tx)
            faults_used++;
        int abort_before = f.tx_abort;
        w.allow_rx_loss = rx_loss;
        w.allow_tx_loss = f.tx_abort > 0;
        // Peer frames on the clock: steady, or a burst that overruns the ring.
        unsigned n = static_cast<unsigned>(uni(20, 200));
        bool burst = uni(0, 4) == 0;
        // The peer sends no faster than the wire carries: a burst is frames
        // back to back, steady traffic leaves gaps.
        hw::Nanos t = w.host().now();
        for (unsigned i = 0; i < n && injected < frames; i++, injected++) {
            std::size_t len = size();
            w.InjectAt(t, dests[uni(0, 7)], len);
            t += hw::wire_time(len + hw::kFcsBytes) + (burst ? uni(0, 5) : uni(10, 1500)) * kMicrosecond;
        }
        // Sends from the top, between runs of the clock.
        unsigned m = static_cast<unsigned>(uni(20, 200));
        bool reset = uni(0, 9) == 0;
        if (burst) what += ", burst";
        if (reset) what += ", reset";
        unsigned reset_at = static_cast<unsigned>(uni(0, m));
        for (unsigned i = 0; i < m && sent < frames; i++, sent++) {
            std::size_t len = uni(0, 15) == 0 ? uni(18, 59) : size();
            std::vector<std::size_t> pieces;
            if (uni(0, 2) == 0) {
                std::size_t left = len;
                while (left) {
                    std::size_t p = std::min<std::size_t>(left, uni(0, 3) == 0 ? uni(0, 3) : uni(1, 700));
                    pieces.push_back(p);
                    left -= p;
                }
            }
            w.Send(len, pieces);
            if (reset && i == reset_at) {
                if (w.Reset() != NDIS_STATUS_SUCCESS) failures += "a reset failed; ";
            }
            w.host().run_for(uni(0, 3) * uni(100, 1500) * kMicrosecond);
        }
        if (!w.RunIdle(600'000'000'000ull)) failures += "did not come to rest; ";
        aborts += static_cast<std::uint64_t>(abort_before - f.tx_abort);
        f = hw::Faults{};
        std::string c = w.Check();
        if (!c.empty()) failures += "chunk " + std::to_string(chunks) + " (" + what + "): " + c + "\n";
        w.Forget();
    }
    const AdapterRecord& r = *w.rec();
    // An abort whose completion a reset overtook is not counted.
    EXPECT_LE(r.XmitErrorCount, aborts);
    EXPECT_LE(aborts - r.XmitErrorCount, w.figures().resets);
    World::Figures fig = w.figures();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[soak] seed %llu, %s: %llu chunks, %llu transient faults, %llu resets, virtual %.1f s, real %.1f s\n"
                "[soak] received: %llu frames on the wire, %llu stored by the card, %llu indicated, "
                "%llu missed (counted by the card), %llu while stopped, %llu dropped with the ring\n"
                "[soak] sent: %llu frames, %llu on the wire, %llu lost (aborted by the card or to a reset)\n"
                "[soak] counters: xmit ok %u, xmit error %u, rcv ok %u, crc %u, alignment %u, missed %u\n",
                (unsigned long long)seed, kind_s.c_str(), (unsigned long long)chunks,
                (unsigned long long)faults_used, (unsigned long long)fig.resets,
                w.host().now() / 1e9, secs, (unsigned long long)fig.rx_frames,
                (unsigned long long)fig.rx_stored, (unsigned long long)fig.rx_indicated,
                (unsigned long long)fig.rx_missed, (unsigned long long)fig.rx_stopped,
                (unsigned long long)fig.rx_dropped, (unsigned long long)fig.tx_frames,
                (unsigned long long)fig.tx_on_wire, (unsigned long long)fig.tx_lost, r.XmitOkCount,
                r.XmitErrorCount, r.RcvOkCount, r.CrcErrorCount, r.AlignmentErrorCount,
                r.MissedPacketCount);
    RecordProperty("frames", std::to_string(fig.rx_frames + fig.tx_frames));
    EXPECT_EQ(failures, "");
    w.Halt();
    EXPECT_EQ(w.Check(), "");
}

}  // namespace
}  // namespace ne2k
