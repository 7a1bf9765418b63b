#include "hw/card_memory.h"

#include <algorithm>

namespace hw {

void CardMemory::set_prom(const std::vector<std::uint8_t>& image) {
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(image.size(), 32));
    for (std::uint32_t i = 0; i < prom_size_; i++) bytes_[i] = 0xFF;
    std::copy(image.begin(), image.begin() + n, bytes_.begin());
    prom_size_ = n;
}

void CardMemory::set_ram(std::uint32_t start, std::uint32_t size) {
    for (std::uint32_t a = ram_start_; a < ram_end_; a++)
        if (a >= prom_size_) bytes_[a] = 0xFF;
    ram_start_ = std::min<std::uint32_t>(start, 0x10000);
    ram_end_ = std::min<std::uint32_t>(start + size, 0x10000);
    for (std::uint32_t a = ram_start_; a < ram_end_; a++) bytes_[a] = 0;
}

}  // namespace hw
