#include "tools/demo_frames.h"

#include <algorithm>

#include "hw/segment.h"

namespace ne2k_tool {

std::uint64_t frame_hash(const std::vector<std::uint8_t>& f) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (std::uint8_t b : f) h = (h ^ b) * 0x100000001B3ull;
    return h ^ f.size();
}

std::vector<std::uint8_t> make_frame(const sim::MacAddress& dst, const sim::MacAddress& src, int side,
                                     std::uint32_t seq, unsigned size, std::uint64_t seed) {
    std::vector<std::uint8_t> f(size);
    std::copy(dst.begin(), dst.end(), f.begin());
    std::copy(src.begin(), src.end(), f.begin() + 6);
    f[12] = kDemoEtherType >> 8;
    f[13] = kDemoEtherType & 0xFF;
    f[14] = 'N';
    f[15] = '2';
    f[16] = static_cast<std::uint8_t>(side);
    f[17] = static_cast<std::uint8_t>(seq >> 24);
    f[18] = static_cast<std::uint8_t>(seq >> 16);
    f[19] = static_cast<std::uint8_t>(seq >> 8);
    f[20] = static_cast<std::uint8_t>(seq);
    f[21] = static_cast<std::uint8_t>(size >> 8);
    f[22] = static_cast<std::uint8_t>(size);
    Rng pattern(seed ^ (std::uint64_t(side) << 40) ^ (std::uint64_t(seq) << 8));
    for (std::size_t i = kDemoHeaderBytes; i + kDemoCrcBytes < size; i++)
        f[i] = static_cast<std::uint8_t>(pattern.next());
    std::uint32_t crc = hw::ethernet_fcs(f.data() + 14, size - 14 - kDemoCrcBytes);
    for (int i = 0; i < 4; i++) f[size - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    return f;
}

bool demo_frame_of(const std::uint8_t* f, std::size_t len, int side, std::uint32_t& seq) {
    if (len < kDemoHeaderBytes + kDemoCrcBytes || f[12] != (kDemoEtherType >> 8) ||
        f[13] != (kDemoEtherType & 0xFF) || f[14] != 'N' || f[15] != '2' || f[16] != side)
        return false;
    seq = (std::uint32_t(f[17]) << 24) | (std::uint32_t(f[18]) << 16) | (std::uint32_t(f[19]) << 8) | f[20];
    return true;
}

bool demo_crc_ok(const std::vector<std::uint8_t>& f) {
    std::uint32_t crc = hw::ethernet_fcs(f.data() + 14, f.size() - 14 - kDemoCrcBytes);
    const std::uint8_t* c = f.data() + f.size() - kDemoCrcBytes;
    return c[0] == (crc & 0xFF) && c[1] == ((crc >> 8) & 0xFF) && c[2] == ((crc >> 16) & 0xFF) &&
           c[3] == (crc >> 24);
}

}  // namespace ne2k_tool
