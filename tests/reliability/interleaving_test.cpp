// Interleaving explorer. The service routine may cut into any handler at any
// port access outside a synchronized routine, on a shared line also when the
// card raised nothing. Each scenario is run once plainly, to count its port
// accesses N, and then once for every access index k in [0, N): right after
// access k the routine is called as a shared-line interrupt (held off inside
// NdisMSynchronizeWithInterrupt; the deferred handler, when asked for, runs
// at the next point where no handler runs). Then a seeded sample of pairs
// (k1, k2) of two such interruptions. Every run is held to World::Check's
// accounting, the record's invariants must hold between any two port
// accesses, and the run must end within a virtual-time budget.
//
// Environment:
//   NE2K_EXPLORE_STRIDE  step between the k explored (default 1; in a
//                        sanitizer build, a stride that keeps each scenario
//                        to about 400 runs)
//   NE2K_EXPLORE_PAIRS   pairs sampled per scenario, half of them close
//                        together (default 2000; 200 under the sanitizers)
//   NE2K_EXPLORE_SEED    seed of the pair sample (default 20261206)
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#include "tests/reliability/world.h"

#if defined(__SANITIZE_ADDRESS__)
#define NE2K_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NE2K_SANITIZED 1
#endif
#endif
#ifndef NE2K_SANITIZED
#define NE2K_SANITIZED 0
#endif

namespace ne2k {
namespace {

using hw::kMicrosecond;
constexpr hw::Nanos kMillisecond = 1000 * kMicrosecond;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    return std::strtoull(v, nullptr, 10);
}

struct Scenario {
    const char* name;
    std::function<bool(World&)> run;  // false: the scenario could not be set up
    bool stop_cuts_tx = false;
    hw::BoardKind kind = hw::BoardKind::PcCard;
};

const ULONG kDirectedBroadcastMulticast =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;

// Initialization with frames already arriving, then one exchange.
bool InitScenario(World& w) {
    w.InjectStream(0, 150 * kMicrosecond, 40, {60, 200, 1514}, {kToStation, kBroadcast});
    if (!w.Init()) return false;
    w.Send(100);
    w.Send(60, {14, 46});
    return w.RunIdle();
}

// Traffic both ways: the ring wraps several times, the slots wrap.
bool TrafficScenario(World& w) {
    if (!w.Init()) return false;
    hw::Nanos t0 = w.host().now();
    w.InjectStream(t0, 1400 * kMicrosecond, 36, {60, 1514, 300, 1000, 590, 61, 1200},
                   {kToStation, kBroadcast, kToStation, kMulticastListed});
    const std::size_t sizes[] = {60, 42, 257, 1514, 1000, 590, 256, 18, 1513, 700};
    for (unsigned i = 0; i < 30; i++) {
        std::size_t n = sizes[i % 10];
        w.Send(n, i % 3 == 1 ? std::vector<std::size_t>{14, n / 2 - 7, 0, n - n / 2 - 7} : std::vector<std::size_t>{});
        w.host().run_for((i % 4) * 700 * kMicrosecond);
    }
    return w.RunIdle();
}

// A flood of short frames, a little faster than the wire carries them,
// overruns the ring (an 8 KB card: 20 ring pages) several times while the
// adapter's own frames wait for the medium or are on the wire.
bool OverflowScenario(World& w) {
    if (!w.Init()) return false;
    hw::Nanos t0 = w.host().now();
    w.InjectStream(t0, 55 * kMicrosecond, 300, {60, 60, 60, 64}, {kToStation, kBroadcast});
    for (unsigned i = 0; i < 16; i++) {
        w.Send(i % 2 ? 1514 : 600);
        w.host().run_for(800 * kMicrosecond);
    }
    return w.RunIdle();
}

// Filter and multicast changes while frames to every kind of address arrive.
bool FilterScenario(World& w) {
    if (!w.Init(NDIS_PACKET_TYPE_DIRECTED)) return false;
    std::function<void()> steps[] = {
        [&] { w.SetMulticast({World::DestAddress(kMulticastListed), World::DestAddress(kMulticastListed2)}); },
        [&] { w.SetFilter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST); },
        [&] { w.SetFilter(kDirectedBroadcastMulticast); },
        [&] { w.SetFilter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_ALL_MULTICAST); },
        [&] { w.SetMulticast({World::DestAddress(kMulticastListed)}); },
        [&] { w.SetFilter(NDIS_PACKET_TYPE_PROMISCUOUS); },
        [&] { w.SetFilter(kDirectedBroadcastMulticast); },
        [&] { w.SetFilter(NDIS_PACKET_TYPE_DIRECTED); },
    };
    for (auto& step : steps) {
        hw::Nanos t = w.host().now();
        for (unsigned d = 0; d < kDestCount; d++)
            w.InjectAt(t + (d * 90 + 10) * kMicrosecond, static_cast<Dest>(d), 60 + d * 40);
        w.Send(80);
        w.host().run_for(150 * kMicrosecond);
        step();
        w.host().run_for(900 * kMicrosecond);
    }
    return w.RunIdle();
}

// A reset while frames arrive, the slots are full and packets are queued.
bool ResetScenario(World& w) {
    if (!w.Init()) return false;
    hw::Nanos t0 = w.host().now();
    w.InjectStream(t0, 250 * kMicrosecond, 60, {60, 300, 1000}, {kToStation, kBroadcast});
    for (unsigned i = 0; i < 4; i++) {
        w.Send(600);
        w.host().run_for(400 * kMicrosecond);
    }
    for (unsigned i = 0; i < 5; i++) w.Send(1514);  // beyond the slots: some stay queued
    w.host().run_for(300 * kMicrosecond);
    if (w.Reset() != NDIS_STATUS_SUCCESS) return false;
    for (unsigned i = 0; i < 6; i++) {
        w.Send(300 + 200 * i);
        w.host().run_for(500 * kMicrosecond);
    }
    return w.RunIdle();
}

// A halt with a frame on the wire, frames in the slots and on the queue,
// and frames arriving.
bool HaltScenario(World& w) {
    if (!w.Init()) return false;
    hw::Nanos t0 = w.host().now();
    w.InjectStream(t0, 200 * kMicrosecond, 20, {60, 400}, {kToStation});
    w.host().run_for(1 * kMillisecond);
    for (unsigned i = 0; i < 6; i++) w.Send(1000);
    w.host().run_for(600 * kMicrosecond);
    w.Halt();
    return w.RunIdle();
}

const Scenario kScenarios[] = {
    {"initialization", InitScenario},
    {"traffic_with_wraps", TrafficScenario},
    {"overflow_with_transmit", OverflowScenario, false, hw::BoardKind::Isa8},
    {"overflow_stop_cuts_transmit", OverflowScenario, true, hw::BoardKind::Isa8},
    {"filter_changes", FilterScenario},
    {"reset_during_traffic", ResetScenario},
    {"halt", HaltScenario},
};

struct HangError {};

struct Outcome {
    std::string fault;
    std::uint64_t accesses = 0;
    std::uint64_t connected_at = ~std::uint64_t{0};  // first access with the interrupt connected
    hw::Nanos end = 0;
    unsigned fired = 0;
    std::string invariant;  // the first broken between two accesses
    World::Figures figures;
};

// One run; `ks` sorted: the access indexes after which the service routine
// is called.
Outcome RunOnce(const Scenario& s, const std::vector<std::uint64_t>& ks, hw::Nanos budget,
                std::uint64_t access_limit) {
    Outcome o;
    World w(s.kind);
    if (s.stop_cuts_tx) w.card().faults().stop_cuts_tx = true;
    sim::Host& host = w.host();
    std::size_t next = 0;
    host.set_access_hook([&](std::uint64_t index) {
        if (o.connected_at == ~std::uint64_t{0} && host.adapter_count() &&
            host.adapter(0).interrupt().connected)
            o.connected_at = index;
        while (next < ks.size() && ks[next] < index) next++;
        if (next < ks.size() && ks[next] == index) {
            next++;
            o.fired++;
            if (host.adapter_count()) host.adapter(0).fire_shared();
        }
        if (host.now() > budget || index > access_limit) throw HangError{};
        // The record's invariants hold between any two port accesses.
        if (o.invariant.empty() && w.rec() && w.adapter()->running() && !RecordSane(*w.rec()))
            o.invariant = "at access " + std::to_string(index) + ": " + CheckRecord(*w.rec(), false);
    });
    try {
        if (!s.run(w)) o.fault = "did not come to rest or could not be set up; ";
    } catch (const HangError&) {
        o.accesses = host.access_count();
        o.end = host.now();
        o.fault = "ran past its budget (virtual time " + std::to_string(host.now() / kMicrosecond) +
                  " us, " + std::to_string(host.access_count()) + " accesses)";
        host.set_access_hook(nullptr);
        return o;
    }
    host.set_access_hook(nullptr);
    o.accesses = host.access_count();
    o.end = host.now();
    o.fault += o.invariant + w.Check();
    o.figures = w.figures();
    return o;
}

// Test names and messages show the case's name.
void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

class Explorer : public ::testing::TestWithParam<Scenario> {};

TEST_P(Explorer, EveryInterruptionPointAndSampledPairs) {
    const Scenario& s = GetParam();
    auto started = std::chrono::steady_clock::now();
    Outcome base = RunOnce(s, {}, hw::kNever, ~std::uint64_t{0});
    ASSERT_EQ(base.fault, "") << "the scenario fails without any interruption";
    const std::uint64_t n = base.accesses;
    // Before the interrupt is connected a shared-line call cannot reach the
    // service routine (the host drops it): those k are the plain run.
    const std::uint64_t k0 = std::min(base.connected_at, n);
    const hw::Nanos budget = base.end + std::max<hw::Nanos>(base.end / 2, 200 * kMillisecond);
    const std::uint64_t access_limit = n * 4 + 100000;

    std::uint64_t stride = EnvNumber("NE2K_EXPLORE_STRIDE", NE2K_SANITIZED ? std::max<std::uint64_t>(1, (n - k0) / 400) : 1);
    if (stride == 0) stride = 1;
    const std::uint64_t pairs = EnvNumber("NE2K_EXPLORE_PAIRS", NE2K_SANITIZED ? 200 : 2000);
    std::mt19937_64 rng(EnvNumber("NE2K_EXPLORE_SEED", 20261206));

    std::uint64_t runs = 0, failures = 0;
    std::string first_failures;
    auto note = [&](const std::string& ks, const Outcome& o) {
        runs++;
        if (o.fault.empty()) return;
        failures++;
        if (failures <= 5) first_failures += "  " + ks + ": " + o.fault + "\n";
    };
    for (std::uint64_t k = k0; k < n; k += stride) {
        Outcome o = RunOnce(s, {k}, budget, access_limit);
        note("k=" + std::to_string(k), o);
    }
    // Half the pairs anywhere, half close together (the second interruption
    // within 400 accesses of the first), where one handler's window meets
    // the next one's.
    std::uniform_int_distribution<std::uint64_t> pick(k0, n - 1), near(1, 400);
    for (std::uint64_t i = 0; i < pairs; i++) {
        std::uint64_t a = pick(rng), b = i % 2 ? pick(rng) : std::min(n - 1, a + near(rng));
        if (a == b) b = a + 1 < n ? a + 1 : k0;
        std::vector<std::uint64_t> ks{std::min(a, b), std::max(a, b)};
        Outcome o = RunOnce(s, ks, budget, access_limit);
        note("k1=" + std::to_string(ks[0]) + " k2=" + std::to_string(ks[1]), o);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const World::Figures& f = base.figures;
    std::printf("[explorer] %-28s accesses %6llu (interrupt from %llu)  runs %6llu (k stride %llu, %llu pairs)  failures %llu  "
                "[plain run: rx %llu stored %llu indicated %llu missed %llu stopped %llu dropped %llu; "
                "tx %llu on wire %llu]  %.1f s\n",
                s.name, (unsigned long long)n, (unsigned long long)k0, (unsigned long long)runs, (unsigned long long)stride,
                (unsigned long long)pairs, (unsigned long long)failures,
                (unsigned long long)f.rx_frames, (unsigned long long)f.rx_stored,
                (unsigned long long)f.rx_indicated, (unsigned long long)f.rx_missed,
                (unsigned long long)f.rx_stopped, (unsigned long long)f.rx_dropped,
                (unsigned long long)f.tx_frames, (unsigned long long)f.tx_on_wire, secs);
    RecordProperty("runs", std::to_string(runs));
    RecordProperty("failures", std::to_string(failures));
    EXPECT_EQ(failures, 0u) << "reproduce with these access indexes:\n" << first_failures;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Explorer, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ne2k
