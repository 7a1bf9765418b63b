// The remote DMA engine: a transfer set up by RSAR and RBCR and started by
// CR, each data-port access moving one byte or word through card memory,
// RDC when the count runs out, and the string forms that move whole runs.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "hw/dp8390.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the data port's word copies assume a little-endian host"
#endif

namespace hw {

using namespace dp8390;

void Dp8390::start_dma(bool write) {
    st_.dma_write = write;
    st_.dma_addr = st_.rsar;
    st_.dma_count = st_.rbcr;
    st_.dma_odd_counted = false;
    st_.cr_rd = write ? CR_RD_WRITE : CR_RD_READ;
    st_.dma_active = true;
    if (st_.dma_count == 0) dma_advance(0);
}

// A data-port access with no transfer in this direction, or past its count,
// moves nothing and is a misuse.
bool Dp8390::dma_ready(bool write) {
    if (st_.dma_active && st_.dma_write == write && st_.dma_count > 0) return true;
    misuse_.data_port_idle++;
    return false;
}

// Lowers the count by `bytes` (not below 0); at 0 the transfer is complete.
void Dp8390::dma_advance(unsigned bytes) {
    st_.dma_count = static_cast<std::uint16_t>(st_.dma_count > bytes ? st_.dma_count - bytes : 0);
    if (st_.dma_count != 0) return;
    st_.dma_active = false;
    st_.cr_rd = CR_RD_ABORT;
    if (!faults_.rdc_never) raise_isr(ISR_RDC);
}

// A word transfer at an odd address is a misuse, counted once a transfer.
void Dp8390::check_odd_word(std::uint16_t a) {
    if (!(a & 1) || st_.dma_odd_counted) return;
    misuse_.odd_word++;
    st_.dma_odd_counted = true;
}

std::uint16_t Dp8390::read_data(bool wide) {
    if (!dma_ready(false)) return wide ? 0xFFFF : 0xFF;
    std::uint16_t a = st_.dma_addr;
    if (st_.dcr & DCR_WTS) {
        check_odd_word(a);
        std::uint16_t b = next_addr(a);
        std::uint16_t w = a < mem_.prom_size() ? mem_.read_word(a)
                                               : static_cast<std::uint16_t>(mem_.read(a) | mem_.read(b) << 8);
        st_.dma_addr = next_addr(b);
        dma_advance(2);
        return wide ? w : static_cast<std::uint16_t>(w & 0xFF);
    }
    std::uint8_t v = mem_.read(a);
    st_.dma_addr = next_addr(a);
    dma_advance(1);
    return v;
}

void Dp8390::write_data(std::uint16_t value, bool wide) {
    if (!dma_ready(true)) return;
    std::uint16_t a = st_.dma_addr;
    if (st_.dcr & DCR_WTS) {
        check_odd_word(a);
        std::uint16_t b = next_addr(a);
        mem_.write(a, static_cast<std::uint8_t>(value));
        // Only bytes inside the count reach memory.
        if (st_.dma_count >= 2) mem_.write(b, wide ? static_cast<std::uint8_t>(value >> 8) : 0);
        st_.dma_addr = next_addr(b);
        dma_advance(2);
        return;
    }
    mem_.write(a, static_cast<std::uint8_t>(value));
    st_.dma_addr = next_addr(a);
    dma_advance(1);
}

// How many bytes a bulk copy may move from dma_addr without a wrap, the
// PROM range, memory outside RAM (writes) or a fault in the way (0: none,
// take the one-access path).
std::uint32_t Dp8390::dma_run(std::uint32_t want, bool write) const {
    if (!st_.dma_active || st_.dma_write != write) return 0;
    bool words = st_.dcr & DCR_WTS;
    std::uint32_t a = st_.dma_addr;
    if (words && (a & 1)) return 0;
    if (a < mem_.prom_size()) return 0;
    std::uint32_t count = words ? (st_.dma_count & ~1u) : st_.dma_count;
    std::uint32_t run = std::min({want, count, bytes_before_wrap(a)});
    if (write && !mem_.in_ram(a, run)) return 0;
    return run;
}

// The string forms: `count` data-port accesses of one Element (8 or 16
// bits) each between the buffer and card memory; a const buffer makes them
// remote writes. Where the transfer's width is the access's, whole runs go
// by memcpy; the rest one access at a time.
template <typename Element>
void Dp8390::copy_data(Element* buffer, std::uint32_t count) {
    constexpr bool write = std::is_const_v<Element>;
    constexpr unsigned kUnit = sizeof(Element);
    constexpr bool wide = kUnit == 2;
    using Byte = std::conditional_t<write, const std::uint8_t, std::uint8_t>;
    Byte* host = reinterpret_cast<Byte*>(buffer);  // may be unaligned: bytes only
    bool words = st_.dcr & DCR_WTS;
    while (count) {
        std::uint32_t run = words == wide ? dma_run(count * kUnit, write) : 0;
        if (run == 0) {
            std::uint16_t v = 0;
            if constexpr (write) {
                std::memcpy(&v, host, kUnit);
                write_data(v, wide);
            } else {
                v = read_data(wide);
                std::memcpy(host, &v, kUnit);
            }
            host += kUnit;
            count--;
            continue;
        }
        if constexpr (write)
            std::memcpy(mem_.data() + st_.dma_addr, host, run);
        else
            std::memcpy(host, mem_.data() + st_.dma_addr, run);
        st_.dma_addr = next_addr(static_cast<std::uint16_t>(st_.dma_addr + run - 1));
        host += run;
        count -= run / kUnit;
        dma_advance(run);
    }
}

void Dp8390::read_data(std::uint8_t* dst, std::uint32_t count) { copy_data(dst, count); }
void Dp8390::read_data(std::uint16_t* dst, std::uint32_t count) { copy_data(dst, count); }
void Dp8390::write_data(const std::uint8_t* src, std::uint32_t count) { copy_data(src, count); }
void Dp8390::write_data(const std::uint16_t* src, std::uint32_t count) { copy_data(src, count); }

}  // namespace hw
