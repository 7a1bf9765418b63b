#include "tests/reliability/explorer.h"

#include <algorithm>
#include <cstdlib>
#include <random>

#include "card/dp8390reg.h"

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

namespace explore {

std::uint64_t Env(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::uint64_t Stride(std::uint64_t span) {
    return std::max<std::uint64_t>(1, Env("NE2K_EXPLORE_STRIDE", NE2K_SANITIZED ? span / 200 : 1));
}

bool SweptHere(hw::BoardKind kind) {
    return !NE2K_SANITIZED || kind == hw::BoardKind::PcCard || kind == hw::BoardKind::Isa8;
}

namespace {

// Sends of these sizes, `gap` of virtual time after each.
void Sends(Rig& w, std::vector<std::size_t> sizes, Nanos gap) {
    for (std::size_t n : sizes) {
        w.Send(n);
        w.host.run_for(gap);
    }
}

// A flood of short frames a little faster than the wire overruns the ring
// several times while the adapter's own frames wait for the medium or are on
// the wire. An 8 KB card (20 ring pages) falls behind by itself; on a 16 KB
// card (52 pages) the protocol takes 150 us over each frame, as a slow one
// does.
bool Overflow(Rig& w) {
    if (!w.Init()) return false;  // (and maybe halted already: the record is not read here)
    if (w.card.kind() != hw::BoardKind::Isa8)
        w.proto.during = [&w](sim::Adapter&, unsigned) { w.host.bus().stall(150 * kUs); };
    w.InjectStream(w.host.bus().now(), 55 * kUs, 300, {60, 60, 60, 64}, {kToStation, kBroadcast});
    for (int i = 0; i < 16; i++) Sends(w, {i % 2 ? 1514u : 600u}, 800 * kUs);
    return w.Run();
}

const std::vector<Scenario> kScenarios = {
    // Initialization with frames already arriving, then one exchange.
    {"initialization", [](Rig& w) {
         w.InjectStream(0, 150 * kUs, 40, {60, 200, 1514}, {kToStation, kBroadcast});
         if (!w.Init()) return false;
         w.Send(100);
         w.Send(60, {14, 46});
         return w.Run();
     }, false, false, true},
    // Traffic both ways, every frame taken through transfer-data: the ring
    // wraps several times, the slots wrap.
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
    {"overflow_with_transmit", Overflow, false, true},
    {"overflow_stop_cuts_transmit", Overflow, true, true},
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
         if (w.Reset() != NDIS_STATUS_SUCCESS && !w.card.pulled()) return false;
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

std::string Logged(Rig& w, std::size_t from, NDIS_ERROR_CODE code, std::vector<ULONG> data) {
    for (std::size_t i = from; i < w.host.error_log().size(); i++)
        if (w.host.error_log()[i].code == code && w.host.error_log()[i].data == data) return "";
    return "no event-log entry " + std::to_string(code) + " for it; ";
}

// What a card that may have been pulled out meets after the scenario: a
// send, interrupts of other devices on its line (which a routine whose card
// is gone must not claim), a reset (which must fail and say so in the event
// log), a send, and the halt, which must give everything back.
std::string PulledTail(Rig& w) {
    if (!w.adapter) {
        if (!w.card.pulled()) return "initialization failed with the card in place; ";
        return Logged(w, 0, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, {});
    }
    if (!w.Up()) return "";  // halted by the scenario
    std::string out;
    w.Send(300);
    w.host.run_for(2 * kMs);
    bool gone = w.card.pulled();
    std::uint64_t claimed = w.adapter->counters().isr_recognized;
    for (int i = 0; i < 3; i++) w.adapter->fire_shared();
    if (gone && w.adapter->counters().isr_recognized != claimed)
        out += "claimed another device's interrupt with its card pulled out; ";
    gone = w.card.pulled();
    std::size_t logged = w.host.error_log().size();
    if (w.Reset() == NDIS_STATUS_SUCCESS && gone) out += "a reset of a card pulled out succeeded; ";
    if (gone) out += Logged(w, logged, NDIS_ERROR_CODE_HARDWARE_FAILURE, {0, 1});
    w.Send(100);
    if (!w.Run()) out += "did not come to rest after the card was pulled out; ";
    w.Halt();
    return out;
}

struct Hang {};

struct Outcome {
    std::string fault;
    std::uint64_t accesses = 0;
    std::uint64_t connected_at = ~std::uint64_t{0};  // first access with the interrupt connected
    std::uint64_t ready_at = ~std::uint64_t{0};      // first access once initialization returned
    Nanos end = 0;
    unsigned ring_full = 0;
};

// One run; `ks` sorted: the access indexes after which the act is done.
Outcome RunOnce(const Scenario& s, hw::BoardKind kind, Act act, const std::vector<std::uint64_t>& ks, Nanos budget,
                std::uint64_t limit) {
    Outcome o;
    Rig w(kind);
    w.card.faults().stop_cuts_tx = s.stop_cuts_tx;
    if (act == Act::Pull) {
        if (!ks.empty()) w.card.faults().pull_after = int(ks[0] + 1);
        w.allowed_log = {NDIS_ERROR_CODE_HARDWARE_FAILURE, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND};
    }
    w.card.core().set_receive_observer([&o](hw::RxFate fate) { o.ring_full += fate == hw::RxFate::RingFull; });
    sim::Host& host = w.host;
    std::size_t next = 0;
    std::string invariant;
    host.bus().set_access_hook([&](std::uint64_t index) {
        if (o.connected_at == ~std::uint64_t{0} && host.adapter_count() && host.adapter(0).interrupt().connected)
            o.connected_at = index;
        if (o.ready_at == ~std::uint64_t{0} && w.Up()) o.ready_at = index;
        while (next < ks.size() && ks[next] < index) next++;
        if (next < ks.size() && ks[next] == index && host.adapter_count()) {
            if (act == Act::Interrupt) host.adapter(0).fire_shared();
            if (act == Act::Reset) host.adapter(0).call_when_free([&w] { w.Reset(); });
            if (act == Act::Halt) host.adapter(0).call_when_free([&w] { w.Halt(); });
        }
        if (host.bus().now() > budget || index > limit) throw Hang{};
        if (invariant.empty() && w.rec && w.adapter->running() && !RecordSane(*w.rec))
            invariant = "at access " + std::to_string(index) + ": " + CheckRecord(*w.rec, false);
    });
    try {
        bool rest = s.run(w);
        if (act == Act::Pull)
            o.fault = PulledTail(w) + (rest || w.card.pulled() ? "" : "did not come to rest; ");
        else if (!rest)
            o.fault = "did not come to rest or could not be set up; ";
        o.fault += invariant + w.Check();
    } catch (const Hang&) {
        o.fault = "ran past its budget (" + std::to_string(host.bus().now() / kUs) + " us, " +
                  std::to_string(host.bus().access_count()) + " port accesses)";
    }
    host.bus().set_access_hook(nullptr);
    o.accesses = host.bus().access_count();
    o.end = host.bus().now();
    return o;
}

}  // namespace

const std::vector<Scenario>& Scenarios() { return kScenarios; }

const Scenario& Named(const std::string& name) {
    for (const Scenario& s : kScenarios)
        if (name == s.name) return s;
    std::abort();
}

const char* ActName(Act act) {
    switch (act) {
    case Act::Interrupt: return "interrupt";
    case Act::Pull: return "pull";
    case Act::Reset: return "reset";
    case Act::Halt: return "halt";
    }
    return "?";
}

std::string CaseName(const Case& c) { return c.scenario + "_" + hw::kind_name(c.kind); }

std::vector<Case> Cases(const std::vector<std::string>& scenarios, const std::vector<Act>& acts) {
    std::vector<Case> out;
    for (Act act : acts)
        for (const std::string& s : scenarios)
            for (hw::BoardKind kind : hw::kBoardKinds) out.push_back(Case{s, kind, act});
    return out;
}

Result Sweep(const Case& c) {
    const Scenario& s = Named(c.scenario);
    Result r;
    Outcome base = RunOnce(s, c.kind, c.act, {}, hw::kNever, ~std::uint64_t{0});
    r.plain = base.fault;
    if (s.overflows && !base.ring_full) r.plain += "the ring never overflows on this board; ";
    if (!r.plain.empty()) return r;
    // The acts reach what they can: a shared-line call the service routine
    // only once the interrupt is connected, the wrapper's reset and halt only
    // an adapter that is up; a pull everything, initialization included.
    const std::uint64_t n = base.accesses, ready = std::min(n, base.ready_at);
    const std::uint64_t k0 = std::min(n, c.act == Act::Interrupt              ? base.connected_at
                                         : c.act == Act::Pull && s.from_start ? 0
                                                                              : ready);
    const Nanos budget = base.end + std::max<Nanos>(base.end / 2, 200 * kMs);
    const std::uint64_t stride = Stride(n - k0);
    const std::uint64_t init_stride = std::max<std::uint64_t>(stride, ready / 2000);
    const std::uint64_t pairs = c.act != Act::Interrupt ? 0 : Env("NE2K_EXPLORE_PAIRS", NE2K_SANITIZED ? 100 : 2000);
    std::mt19937_64 rng(Env("NE2K_EXPLORE_SEED", 20261206));
    auto note = [&](const std::vector<std::uint64_t>& ks) {
        Outcome o = RunOnce(s, c.kind, c.act, ks, budget, n * 4 + 100000);
        r.runs++;
        if (o.fault.empty() || ++r.failures > 5) return;
        r.first += "  k=" + std::to_string(ks[0]) + (ks.size() > 1 ? " k2=" + std::to_string(ks[1]) : "") + ": " +
                   o.fault + "\n";
    };
    for (std::uint64_t k = k0; k < n; k += k < ready ? init_stride : stride) note({k});
    // Half the pairs anywhere, half close together (within 400 accesses),
    // where one handler's window meets the next one's.
    if (k0 < n) {
        std::uniform_int_distribution<std::uint64_t> pick(k0, n - 1), near(1, 400);
        for (std::uint64_t i = 0; i < pairs; i++) {
            std::uint64_t a = pick(rng), b = i % 2 ? pick(rng) : std::min(n - 1, a + near(rng));
            if (a == b) b = a + 1 < n ? a + 1 : k0;
            note({std::min(a, b), std::max(a, b)});
        }
    }
    return r;
}

}  // namespace explore
