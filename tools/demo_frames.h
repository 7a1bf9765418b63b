// The demo's frames: numbered, patterned from a seed, and carrying their own
// CRC, so the receiving side can check every byte.
//
//   0   destination, source, type 0x88B5 (local experimental)
//   14  'N' '2', sender side (0 = A, 1 = B), sequence number (4 bytes,
//       big-endian), frame length (2 bytes)
//   23  pattern bytes from a generator seeded by (seed, side, sequence)
//   n-4 CRC-32 of bytes 14..n-5
#ifndef TOOLS_DEMO_FRAMES_H
#define TOOLS_DEMO_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/host.h"

namespace ne2k_tool {

constexpr std::uint16_t kDemoEtherType = 0x88B5;
constexpr std::size_t kDemoHeaderBytes = 23;
constexpr std::size_t kDemoCrcBytes = 4;

// splitmix64: the demo's one source of randomness, seeded by --seed.
struct Rng {
    std::uint64_t s;
    explicit Rng(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

// Frame `seq` of `side`, `size` bytes in all (CRC included).
std::vector<std::uint8_t> make_frame(const sim::MacAddress& dst, const sim::MacAddress& src, int side,
                                     std::uint32_t seq, unsigned size, std::uint64_t seed);
// Whether `f` is a demo frame of `side`; its sequence number in `seq`.
bool demo_frame_of(const std::uint8_t* f, std::size_t len, int side, std::uint32_t& seq);
// Whether the CRC a demo frame carries matches its bytes.
bool demo_crc_ok(const std::vector<std::uint8_t>& f);
// FNV-1a over a frame: what is kept of a settled frame, to check late copies.
std::uint64_t frame_hash(const std::vector<std::uint8_t>& f);

}  // namespace ne2k_tool

#endif  // TOOLS_DEMO_FRAMES_H
