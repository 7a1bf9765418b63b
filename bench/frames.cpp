// Sends N frames of one size from adapter A to adapter B and prints the
// per-frame port accesses: the program scripts/callgrind.sh runs under
// callgrind (instructions per frame from two runs of different N), and with
// --trace the port trace of the last frame.
//
//   bench_frames <bytes> <frames> [--trace] [--trace-all] [--isa8] [--no-allocations]
// --trace-all sends the trace of every access to a sink that counts it;
// --no-allocations fails the run when the frames made any heap allocation.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/pair.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s <bytes> <frames> [--trace] [--trace-all] [--isa8] [--no-allocations]\n",
                     argv[0]);
        return 2;
    }
    std::size_t len = std::strtoul(argv[1], nullptr, 10);
    long frames = std::strtol(argv[2], nullptr, 10);
    bool trace = false, trace_all = false, isa8 = false, no_allocations = false;
    for (int i = 3; i < argc; i++) {
        if (std::strcmp(argv[i], "--trace") == 0) trace = true;
        if (std::strcmp(argv[i], "--trace-all") == 0) trace_all = true;
        if (std::strcmp(argv[i], "--isa8") == 0) isa8 = true;
        if (std::strcmp(argv[i], "--no-allocations") == 0) no_allocations = true;
    }
    bench::Pair pair(isa8 ? hw::BoardKind::Isa8 : hw::BoardKind::Isa16);
    pair.prepare(len);
    std::uint64_t trace_chars = 0;
    if (trace_all)
        pair.host().bus().set_trace_sink([&](const sim::TraceEntry& e) { trace_chars += e.text.size(); });
    pair.send_one();  // the first frame grows what buffers need to grow
    bench::CardCost tx0 = pair.sender_cost(), rx0 = pair.receiver_cost();
    std::uint64_t allocs0 = bench::heap_allocations();
    for (long i = 0; i < frames; i++) {
        if (trace && i == frames - 1) pair.host().bus().trace_to_vector(true);
        pair.send_one();
    }
    std::uint64_t allocs = bench::heap_allocations() - allocs0;
    bench::CardCost tx = pair.sender_cost(), rx = pair.receiver_cost();
    if (trace)
        for (const sim::TraceEntry& e : pair.host().bus().trace()) std::printf("%s\n", e.text.c_str());
    double n = static_cast<double>(frames);
    std::printf("frames %ld of %zu bytes: sender %.2f ports (%.2f data), receiver %.2f ports "
                "(%.2f data), heap allocations %.2f per frame (%llu in all), driver allocations after "
                "initialize %llu\n",
                frames, len, (tx.accesses - tx0.accesses) / n, (tx.data_accesses - tx0.data_accesses) / n,
                (rx.accesses - rx0.accesses) / n, (rx.data_accesses - rx0.data_accesses) / n,
                allocs / n, static_cast<unsigned long long>(allocs),
                static_cast<unsigned long long>(pair.host().allocations_after_initialize()));
    if (trace_all) std::printf("trace: %llu characters\n", static_cast<unsigned long long>(trace_chars));
    if (no_allocations && allocs != 0) {
        std::fprintf(stderr, "heap allocations while frames went through: %llu\n",
                     static_cast<unsigned long long>(allocs));
        return 1;
    }
    if (!pair.healthy()) {
        std::fprintf(stderr, "a frame was lost or damaged\n");
        return 1;
    }
    return 0;
}
