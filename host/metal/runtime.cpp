// What the compiler may call on its own in freestanding code (block copies
// and fills, comparisons), since the kernel links no C library.
#include <cstddef>

extern "C" {

void* memcpy(void* to, const void* from, std::size_t n) {
    auto* d = static_cast<unsigned char*>(to);
    auto* s = static_cast<const unsigned char*>(from);
    asm volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
    return to;
}

void* memmove(void* to, const void* from, std::size_t n) {
    auto* d = static_cast<unsigned char*>(to);
    auto* s = static_cast<const unsigned char*>(from);
    if (d <= s || d >= s + n) return memcpy(to, from, n);
    while (n--) d[n] = s[n];
    return to;
}

void* memset(void* to, int value, std::size_t n) {
    auto* d = static_cast<unsigned char*>(to);
    asm volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(value) : "memory");
    return to;
}

int memcmp(const void* a, const void* b, std::size_t n) {
    auto* x = static_cast<const unsigned char*>(a);
    auto* y = static_cast<const unsigned char*>(b);
    for (std::size_t i = 0; i < n; i++)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

}  // extern "C"
