// End-to-end frames per second on the host: adapter A sends, the segment
// carries, adapter B receives and a protocol transfers the whole frame. Per
// frame: port accesses of sender and receiver, bytes through the data ports,
// modeled bus time (accesses times the host's port cost), host time and heap
// allocations. The same with the register trace going to a sink; and the
// time to initialize an adapter.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/alloc_count.h"
#include "bench/pair.h"
#include "driver/driver.h"

namespace {

using benchmark::Counter;

void Report(benchmark::State& state, bench::Pair& pair, const bench::CardCost& tx0,
            const bench::CardCost& rx0, std::uint64_t allocs) {
    const double frames = static_cast<double>(state.iterations());
    bench::CardCost tx = pair.sender_cost(), rx = pair.receiver_cost();
    double cost_ns = static_cast<double>(pair.host().bus().port_cost());
    state.counters["tx_ports"] = Counter(static_cast<double>(tx.accesses - tx0.accesses) / frames);
    state.counters["rx_ports"] = Counter(static_cast<double>(rx.accesses - rx0.accesses) / frames);
    state.counters["data_bytes"] = Counter(
        static_cast<double>(tx.data_bytes - tx0.data_bytes + rx.data_bytes - rx0.data_bytes) / frames);
    state.counters["rx_bus_us"] =
        Counter(static_cast<double>(rx.accesses - rx0.accesses) * cost_ns / 1000.0 / frames);
    state.counters["tx_bus_us"] =
        Counter(static_cast<double>(tx.accesses - tx0.accesses) * cost_ns / 1000.0 / frames);
    // Seconds of host time per frame (printed with an SI prefix: 950n is 950 ns).
    state.counters["host_s"] = Counter(frames, Counter::kIsRate | Counter::kInvert);
    state.counters["frames/s"] = Counter(frames, Counter::kIsRate);
    state.counters["allocs"] =
        Counter(static_cast<double>(allocs) / frames);
    state.counters["drv_allocs"] =
        Counter(static_cast<double>(pair.host().allocations_after_initialize()));
    if (!pair.healthy()) state.SkipWithError("a frame was lost, damaged or misused the platform");
}

void Run(benchmark::State& state, bool trace) {
    bench::Pair pair;
    std::uint64_t trace_entries = 0, trace_chars = 0;
    if (trace)
        pair.host().bus().set_trace_sink([&](const sim::TraceEntry& e) {
            trace_entries++;
            trace_chars += e.text.size();
        });
    pair.prepare(static_cast<std::size_t>(state.range(0)));
    for (int i = 0; i < 64; i++) pair.send_one();  // warm: buffers grown to their size
    bench::CardCost tx0 = pair.sender_cost(), rx0 = pair.receiver_cost();
    // Allocations counted around the frame only, not the benchmark's own work.
    std::uint64_t allocs = 0;
    for (auto _ : state) {
        std::uint64_t before = bench::heap_allocations();
        pair.send_one();
        allocs += bench::heap_allocations() - before;
    }
    Report(state, pair, tx0, rx0, allocs);
    if (trace) benchmark::DoNotOptimize(trace_chars);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_EndToEnd(benchmark::State& state) { Run(state, false); }
void BM_EndToEndTraced(benchmark::State& state) { Run(state, true); }

BENCHMARK(BM_EndToEnd)->ArgName("bytes")->Arg(60)->Arg(590)->Arg(1514);
BENCHMARK(BM_EndToEndTraced)->ArgName("bytes")->Arg(60)->Arg(590)->Arg(1514);

// One adapter brought up through the wrapper's initialize call, on a fresh
// host and card (made outside the timing); port accesses and virtual time
// of the bring-up as counters.
void BM_Initialize(benchmark::State& state) {
    std::uint64_t accesses = 0;
    sim::Nanos virtual_ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            auto host = std::make_unique<sim::Host>();
            host->load_driver(DriverEntry);
            hw::Ne2000Board& card = host->add_card(hw::BoardConfig{});
            sim::AdapterConfig cfg = host->config_for(card);
            std::uint64_t a0 = host->bus().access_count();
            sim::Nanos t0 = host->now();
            state.ResumeTiming();
            NDIS_STATUS s = host->initialize(cfg);
            state.PauseTiming();
            if (s != NDIS_STATUS_SUCCESS) state.SkipWithError("initialize failed");
            accesses = host->bus().access_count() - a0;
            virtual_ns = host->now() - t0;
            host->adapter().halt();
        }
        state.ResumeTiming();
    }
    state.counters["ports"] = Counter(static_cast<double>(accesses));
    state.counters["virtual_ms"] = Counter(static_cast<double>(virtual_ns) / 1e6);
}
BENCHMARK(BM_Initialize)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
