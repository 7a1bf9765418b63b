#ifndef HW_CARD_MEMORY_H
#define HW_CARD_MEMORY_H

#include <array>
#include <cstdint>
#include <vector>

namespace hw {

// Card memory as seen through the remote DMA and by the controller's local
// DMA: a 64 KB card address space holding a PROM image at the bottom and one
// range of RAM. Reads elsewhere give 0xFF; writes outside RAM are dropped.
class CardMemory {
public:
    CardMemory() { bytes_.fill(0xFF); }

    // PROM image at card address 0 (up to 32 bytes are used).
    void set_prom(const std::vector<std::uint8_t>& image);
    // RAM range [start, start + size), clipped to 64 KB; filled with 0.
    void set_ram(std::uint32_t start, std::uint32_t size);
    std::uint32_t ram_start() const { return ram_start_; }
    std::uint32_t ram_end() const { return ram_end_; }
    std::uint32_t prom_size() const { return prom_size_; }

    std::uint8_t read(std::uint16_t a) const { return bytes_[a]; }
    void write(std::uint16_t a, std::uint8_t v) {
        if (a >= ram_start_ && a < ram_end_) bytes_[a] = v;
    }
    bool in_ram(std::uint32_t a, std::uint32_t len) const {
        return a >= ram_start_ && a + len <= ram_end_;
    }
    // Word at an even address: byte a low, byte a+1 high; in the PROM range
    // the PROM byte in both halves.
    std::uint16_t read_word(std::uint16_t a) const {
        if (a < prom_size_) return static_cast<std::uint16_t>(bytes_[a] * 0x101u);
        return static_cast<std::uint16_t>(bytes_[a] | bytes_[static_cast<std::uint16_t>(a + 1)] << 8);
    }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::uint8_t* data() { return bytes_.data(); }

private:
    std::array<std::uint8_t, 0x10000> bytes_;
    std::uint32_t prom_size_ = 0;
    std::uint32_t ram_start_ = 0, ram_end_ = 0;
};

}  // namespace hw

#endif  // HW_CARD_MEMORY_H
