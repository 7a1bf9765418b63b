// Two adapters on one interrupt line, both busy: frames both ways between
// them and broadcasts from a peer to both. Every interrupt on the line calls
// both service routines; each must claim exactly what its own card shows
// (an enabled condition while armed) and nothing of the other card's, and no
// frame of either may be lost, duplicated or changed. Explored like the
// other sweeps: once plainly, then once for every port access k with the
// line fired (both routines called) right after access k.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "card/dp8390reg.h"
#include "tests/reliability/explorer.h"

namespace {

using namespace explore;

constexpr UINT kLine = 3;
const MacAddress kStations[2] = {{0x02, 0x4E, 0x45, 0x00, 0x00, 0x0A}, {0x02, 0x4E, 0x45, 0x00, 0x00, 0x0B}};

// The two boards of a pair, both on kLine.
hw::BoardConfig Board(hw::BoardKind kind, int side) {
    hw::BoardConfig c = ConfigOf(kind);
    c.station = kStations[side];
    c.io_base = side ? 0x320 : 0x300;
    c.irq = kLine;
    c.pos_data1 = side ? 0x0A : 0x00;  // MCA: 0x320 or 0x300, interrupt 3
    return c;
}

struct Shared;
Shared* g_shared = nullptr;  // the run whose service routines are checked
W_ISR_HANDLER g_isr = nullptr;

struct Shared {
    sim::Host host;
    hw::Ne2000Board* cards[2];
    sim::Adapter* adapters[2] = {};
    sim::RecordingProtocol protos[2];
    std::string fault;
    unsigned ring_full = 0;

    Shared(hw::BoardKind a, hw::BoardKind b) {
        cards[0] = &host.add_card(Board(a, 0));
        cards[1] = &host.add_card(Board(b, 1));
        for (hw::Ne2000Board* c : cards)
            c->core().set_receive_observer([this](hw::RxFate f) { ring_full += f == hw::RxFate::RingFull; });
        host.load_driver(DriverEntry);
        // The same handlers, the service routine seen through Checked.
        NDIS_MINIPORT_CHARACTERISTICS chars = host.characteristics();
        g_isr = chars.ISRHandler;
        chars.ISRHandler = Checked;
        host.register_miniport(chars, host.characteristics_length());
        g_shared = this;
    }
    ~Shared() { g_shared = nullptr; }

    // Claims only what its own card shows: an enabled condition in ISR while
    // armed. Nothing clears ISR while the routine runs (a condition may arise
    // while it reads), and claiming masks the card: judged by ISR after the
    // routine against IMR before it.
    static VOID NDIS_API Checked(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE context) {
        Shared& s = *g_shared;
        auto* rec = static_cast<AdapterRecord*>(context);
        const hw::Ne2000Board& card = *s.cards[rec->IoPortBase == s.cards[0]->io_base() ? 0 : 1];
        const bool armed = rec->InterruptsArmed;
        const std::uint8_t enabled = card.regs().imr & rec->ImrValue;
        const bool before = card.regs().isr & enabled;
        g_isr(recognized, queue, context);
        if (*recognized && !(card.regs().isr & enabled)) s.Fault("claimed an interrupt its card did not raise");
        if (!*recognized && armed && before) s.Fault("declined an interrupt its own card raised");
    }
    void Fault(const std::string& what) {
        if (fault.find(what) == std::string::npos) fault += what + "; ";
    }

    bool Init() {
        ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
        for (int i = 0; i < 2; i++) {
            if (host.initialize(host.config_for(*cards[i])) != NDIS_STATUS_SUCCESS) return false;
            adapters[i] = &host.adapter();
            adapters[i]->bind(protos[i]);
            if (adapters[i]->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4) != NDIS_STATUS_SUCCESS) return false;
        }
        return adapters[0]->interrupt().vector == kLine && adapters[1]->interrupt().vector == kLine;
    }

    // Both busy: each sends to the other, in pieces, while a peer broadcasts
    // to both and the other side's frames arrive.
    bool Traffic() {
        if (!Init()) return false;
        Nanos t = host.bus().now();
        for (unsigned i = 0; i < 24; i++) {
            Bytes b = Frame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 60 + i * 61, 1000 + i);
            host.bus().clock().schedule(t + i * 2 * kMs, [this, b] { host.segment().inject(b.data(), b.size()); });
        }
        const std::size_t sizes[] = {60, 1514, 300, 61, 1000, 590, 42, 1200};
        for (unsigned i = 0; i < 32; i++) {
            int from = i % 2;
            std::size_t n = sizes[(i / 2) % 8];
            protos[from].send(*adapters[from], Frame(kStations[1 - from], n, i, from ? 0x5B : 0x5A),
                              i % 3 ? std::vector<std::size_t>{} : std::vector<std::size_t>{14, 0, n - 14});
            host.run_for((i % 3) * 900 * kUs);
        }
        return host.run_until_idle();
    }

    // Every frame sent arrived once, as sent, on the other side; every
    // broadcast on both; every packet completed once with success.
    std::string Check() {
        std::string out = fault;
        if (ring_full) out += "a ring overflowed (the traffic is meant to fit); ";
        for (int side = 0; side < 2; side++) {
            std::map<Bytes, unsigned> got;
            for (const auto& f : protos[side].frames()) got[f.bytes]++;
            for (const auto& s : protos[1 - side].sent()) {
                if (s.completions != 1 || s.completion != NDIS_STATUS_SUCCESS) out += "a send not completed once with success; ";
                unsigned arrived = got[Padded(s.bytes)];
                if (arrived != 1) out += "a frame of side " + std::to_string(1 - side) + " arrived " + std::to_string(arrived) + " times; ";
            }
            std::size_t broadcasts = 0;
            for (const auto& [bytes, n] : got) broadcasts += bytes[0] == 0xFF ? n : 0;
            if (broadcasts != 24) out += "side " + std::to_string(side) + " got " + std::to_string(broadcasts) + " of 24 broadcasts; ";
            if (protos[side].frames().size() != 24 + protos[1 - side].sent().size()) out += "frames nobody sent indicated; ";
            out += CheckHost(host, cards[side]);
        }
        for (sim::Adapter* a : adapters)
            if (a) a->halt();
        if (!host.leaked_allocations().empty() || !host.live_port_ranges().empty()) out += "not given back by the halts; ";
        return out;
    }
};

struct Pair {
    hw::BoardKind a, b;
};
void PrintTo(const Pair& p, std::ostream* os) { *os << hw::kind_name(p.a) << "_" << hw::kind_name(p.b); }

class SharedLine : public ::testing::TestWithParam<Pair> {};

TEST_P(SharedLine, EachRoutineClaimsOnlyItsOwnCardNothingLost) {
    if (!SweptHere(GetParam().a) || !SweptHere(GetParam().b))
        GTEST_SKIP() << "swept on pccard and isa8 only in a sanitizer build";
    struct Hang {};
    auto run = [&](std::uint64_t k, Nanos budget, std::uint64_t* accesses, std::uint64_t* k0, Nanos* end) {
        Shared s(GetParam().a, GetParam().b);
        s.host.bus().set_access_hook([&](std::uint64_t index) {
            if (k0 && *k0 == ~std::uint64_t{0} && s.adapters[1] && s.adapters[1]->interrupt().connected) *k0 = index;
            if (index == k) s.host.dispatch().raise(kLine);
            if (s.host.bus().now() > budget) throw Hang{};
        });
        std::string out;
        try {
            out = s.Traffic() ? "" : "did not come to rest or could not be set up; ";
            out += s.Check();
        } catch (const Hang&) {
            out = "ran past its budget";
        }
        s.host.bus().set_access_hook(nullptr);
        if (accesses) *accesses = s.host.bus().access_count();
        if (end) *end = s.host.bus().now();
        return out;
    };
    std::uint64_t n = 0, k0 = ~std::uint64_t{0};
    Nanos end = 0;
    ASSERT_EQ(run(~std::uint64_t{0}, hw::kNever, &n, &k0, &end), "") << "fails without any interruption";
    const Nanos budget = end + std::max<Nanos>(end / 2, 200 * kMs);
    const std::uint64_t stride = Stride(n - k0);
    std::uint64_t runs = 0, failures = 0;
    std::string first;
    for (std::uint64_t k = k0; k < n; k += stride, runs++) {
        std::string out = run(k, budget, nullptr, nullptr, nullptr);
        if (!out.empty() && ++failures <= 5) first += "  k=" + std::to_string(k) + ": " + out + "\n";
    }
    RecordProperty("runs", std::to_string(runs));
    std::printf("[ explored ] shared line %s_%s: %llu runs\n", hw::kind_name(GetParam().a), hw::kind_name(GetParam().b),
                static_cast<unsigned long long>(runs));
    EXPECT_EQ(failures, 0u) << "reproduce with these access indexes:\n" << first;
}

INSTANTIATE_TEST_SUITE_P(Pairs, SharedLine,
                         ::testing::Values(Pair{hw::BoardKind::PcCard, hw::BoardKind::Isa8},
                                           Pair{hw::BoardKind::Isa16, hw::BoardKind::Mca}),
                         [](const auto& info) {
                             return std::string(hw::kind_name(info.param.a)) + "_" + hw::kind_name(info.param.b);
                         });

}  // namespace
