// Heap allocations made by this program, counted by its replacement of the
// global operator new (alloc_count.cpp).
#ifndef BENCH_ALLOC_COUNT_H
#define BENCH_ALLOC_COUNT_H

#include <cstdint>

namespace bench {
std::uint64_t heap_allocations();
}

#endif  // BENCH_ALLOC_COUNT_H
