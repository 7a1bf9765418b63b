// Interleaving explorer. The service routine may cut into any handler at any
// port access outside a synchronized routine, on a shared line also when the
// card raised nothing. Each scenario is run once plainly, to count its port
// accesses N, then once for every access index k in [0, N) with the routine
// called as a shared-line interrupt right after access k (held off inside
// NdisMSynchronizeWithInterrupt; the deferred handler, when asked for, runs
// at the next point where no handler runs), then for a seeded sample of
// pairs (k1, k2). Every run is held to the rig's accounting, the record's
// invariants must hold between any two port accesses, and the run must end
// within a virtual-time budget.
//
// Environment: NE2K_EXPLORE_STRIDE (step between the k explored; default 1,
// in a sanitizer build a stride that keeps a scenario near 400 runs),
// NE2K_EXPLORE_PAIRS (default 2000, 200 under the sanitizers),
// NE2K_EXPLORE_SEED (default 20261206).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "tests/support/rig.h"

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

namespace {

using namespace rig;

std::uint64_t Env(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

struct Scenario {
    const char* name;
    bool (*run)(Rig&);  // false: it could not be set up or did not come to rest
    hw::BoardKind kind = hw::BoardKind::PcCard;
    bool stop_cuts_tx = false;
};

// Sends of these sizes, `gap` of virtual time after each.
void Sends(Rig& w, std::vector<std::size_t> sizes, Nanos gap) {
    for (std::size_t n : sizes) {
        w.Send(n);
        w.host.run_for(gap);
    }
}

// A flood of short frames a little faster than the wire overruns the ring
// (an 8 KB card: 20 ring pages) several times while the adapter's own
// frames wait for the medium or are on the wire.
bool Overflow(Rig& w) {
    if (!w.Init()) return false;
    w.InjectStream(w.host.bus().now(), 55 * kUs, 300, {60, 60, 60, 64}, {kToStation, kBroadcast});
    for (int i = 0; i < 16; i++) Sends(w, {i % 2 ? 1514u : 600u}, 800 * kUs);
    return w.Run();
}

const Scenario kScenarios[] = {
    // Initialization with frames already arriving, then one exchange.
    {"initialization", [](Rig& w) {
         w.InjectStream(0, 150 * kUs, 40, {60, 200, 1514}, {kToStation, kBroadcast});
         if (!w.Init()) return false;
         w.Send(100);
         w.Send(60, {14, 46});
         return w.Run();
     }},
    // Traffic both ways: the ring wraps several times, the slots wrap.
    {"traffic_with_wraps", [](Rig& w) {
         if (!w.Init()) return false;
         w.InjectStream(w.host.bus().now(), 1400 * kUs, 36, {60, 1514, 300, 1000, 590, 61, 1200},
                        {kToStation, kBroadcast, kToStation, kMulticastListed});
         const std::size_t sizes[] = {60, 42, 257, 1514, 1000, 590, 256, 18, 1513, 700};
         for (unsigned i = 0; i < 30; i++) {
             std::size_t n = sizes[i % 10];
             w.Send(n, i % 3 == 1 ? std::vector<std::size_t>{14, n / 2 - 7, 0, n - n / 2 - 7} : std::vector<std::size_t>{});
             w.host.run_for((i % 4) * 700 * kUs);
         }
         return w.Run();
     }},
    {"overflow_with_transmit", Overflow, hw::BoardKind::Isa8},
    {"overflow_stop_cuts_transmit", Overflow, hw::BoardKind::Isa8, true},
    // Filter and multicast changes while frames to every kind of address arrive.
    {"filter_changes", [](Rig& w) {
         if (!w.Init(NDIS_PACKET_TYPE_DIRECTED)) return false;
         const ULONG D = NDIS_PACKET_TYPE_DIRECTED, M = NDIS_PACKET_TYPE_MULTICAST, B = NDIS_PACKET_TYPE_BROADCAST;
         const std::vector<std::pair<ULONG, std::vector<Dest>>> steps = {
             {0, {kMulticastListed, kMulticastListed2}}, {D | M, {}}, {D | B | M, {}},
             {D | NDIS_PACKET_TYPE_ALL_MULTICAST, {}}, {0, {kMulticastListed}}, {NDIS_PACKET_TYPE_PROMISCUOUS, {}},
             {D | B | M, {}}, {D, {}}};
         for (const auto& [filter, list] : steps) {
             Nanos t = w.host.bus().now();
             for (unsigned d = 0; d < kDestCount; d++) w.InjectAt(t + (d * 90 + 10) * kUs, Dest(d), 60 + d * 40);
             w.Send(80);
             w.host.run_for(150 * kUs);
             std::vector<MacAddress> addresses;
             for (Dest d : list) addresses.push_back(Address(d));
             filter ? w.SetFilter(filter) : w.SetMulticast(addresses);
             w.host.run_for(900 * kUs);
         }
         return w.Run();
     }},
    // A reset while frames arrive, the slots are full and packets are queued.
    {"reset_during_traffic", [](Rig& w) {
         if (!w.Init()) return false;
         w.InjectStream(w.host.bus().now(), 250 * kUs, 60, {60, 300, 1000}, {kToStation, kBroadcast});
         Sends(w, {600, 600, 600, 600}, 400 * kUs);
         Sends(w, {1514, 1514, 1514, 1514, 1514}, 0);  // beyond the slots: some stay queued
         w.host.run_for(300 * kUs);
         if (w.Reset() != NDIS_STATUS_SUCCESS) return false;
         Sends(w, {300, 500, 700, 900, 1100, 1300}, 500 * kUs);
         return w.Run();
     }},
    // A halt with a frame on the wire, frames in the slots and on the queue,
    // and frames arriving.
    {"halt", [](Rig& w) {
         if (!w.Init()) return false;
         w.InjectStream(w.host.bus().now(), 200 * kUs, 20, {60, 400}, {kToStation});
         w.host.run_for(1 * kMs);
         Sends(w, {1000, 1000, 1000, 1000, 1000, 1000}, 0);
         w.host.run_for(600 * kUs);
         w.Halt();
         return w.Run();
     }},
};

struct Hang {};

struct Outcome {
    std::string fault;
    std::uint64_t accesses = 0, connected_at = ~std::uint64_t{0};  // first access with the interrupt connected
    Nanos end = 0;
};

// One run; `ks` sorted: the access indexes after which the routine is called.
Outcome RunOnce(const Scenario& s, const std::vector<std::uint64_t>& ks, Nanos budget, std::uint64_t limit) {
    Outcome o;
    Rig w(s.kind);
    w.card.faults().stop_cuts_tx = s.stop_cuts_tx;
    sim::Host& host = w.host;
    std::size_t next = 0;
    std::string invariant;
    host.bus().set_access_hook([&](std::uint64_t index) {
        if (o.connected_at == ~std::uint64_t{0} && host.adapter_count() && host.adapter(0).interrupt().connected)
            o.connected_at = index;
        while (next < ks.size() && ks[next] < index) next++;
        if (next < ks.size() && ks[next] == index && host.adapter_count()) host.adapter(0).fire_shared();
        if (host.bus().now() > budget || index > limit) throw Hang{};
        if (invariant.empty() && w.rec && w.adapter->running() && !RecordSane(*w.rec))
            invariant = "at access " + std::to_string(index) + ": " + CheckRecord(*w.rec, false);
    });
    try {
        if (!s.run(w)) o.fault = "did not come to rest or could not be set up; ";
        o.fault += invariant + w.Check();
    } catch (const Hang&) {
        o.fault = "ran past its budget (" + std::to_string(host.bus().now() / kUs) + " us)";
    }
    host.bus().set_access_hook(nullptr);
    o.accesses = host.bus().access_count();
    o.end = host.bus().now();
    return o;
}

void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

class Explorer : public ::testing::TestWithParam<Scenario> {};

TEST_P(Explorer, EveryInterruptionPointAndSampledPairs) {
    const Scenario& s = GetParam();
    Outcome base = RunOnce(s, {}, hw::kNever, ~std::uint64_t{0});
    ASSERT_EQ(base.fault, "") << "the scenario fails without any interruption";
    // Before the interrupt is connected a shared-line call cannot reach the
    // service routine: those k are the plain run.
    const std::uint64_t n = base.accesses, k0 = std::min(base.connected_at, n);
    const Nanos budget = base.end + std::max<Nanos>(base.end / 2, 200 * kMs);
    std::uint64_t stride = Env("NE2K_EXPLORE_STRIDE", NE2K_SANITIZED ? std::max<std::uint64_t>(1, (n - k0) / 400) : 1);
    const std::uint64_t pairs = Env("NE2K_EXPLORE_PAIRS", NE2K_SANITIZED ? 200 : 2000);
    std::mt19937_64 rng(Env("NE2K_EXPLORE_SEED", 20261206));
    std::uint64_t runs = 0, failures = 0;
    std::string first;
    auto note = [&](const std::vector<std::uint64_t>& ks) {
        Outcome o = RunOnce(s, ks, budget, n * 4 + 100000);
        runs++;
        if (o.fault.empty() || ++failures > 5) return;
        first += "  k=" + std::to_string(ks[0]) + (ks.size() > 1 ? " k2=" + std::to_string(ks[1]) : "") + ": " + o.fault + "\n";
    };
    for (std::uint64_t k = k0; k < n; k += std::max<std::uint64_t>(stride, 1)) note({k});
    // Half the pairs anywhere, half close together (within 400 accesses),
    // where one handler's window meets the next one's.
    std::uniform_int_distribution<std::uint64_t> pick(k0, n - 1), near(1, 400);
    for (std::uint64_t i = 0; i < pairs; i++) {
        std::uint64_t a = pick(rng), b = i % 2 ? pick(rng) : std::min(n - 1, a + near(rng));
        if (a == b) b = a + 1 < n ? a + 1 : k0;
        note({std::min(a, b), std::max(a, b)});
    }
    RecordProperty("runs", std::to_string(runs));
    EXPECT_EQ(failures, 0u) << "reproduce with these access indexes:\n" << first;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Explorer, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
