// The controller core: reset, CR, the registers of pages 0-2, ISR/IMR and
// the line, the tally counters and the remote DMA (every path of a port
// access). Transmit is in dp8390_transmit.cpp, receiving into the ring in
// dp8390_receive.cpp.
#include "hw/dp8390.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the data port's word copies assume a little-endian host"
#endif

namespace hw {

using namespace dp8390;

namespace {

// A register's key in the dispatch of read_reg and write_reg: the page in
// the high nibble, the offset in the low one.
constexpr unsigned at(unsigned page, unsigned offset) { return page << 4 | offset; }

void set_low(std::uint16_t& reg, std::uint8_t v) { reg = static_cast<std::uint16_t>((reg & 0xFF00) | v); }
void set_high(std::uint16_t& reg, std::uint8_t v) { reg = static_cast<std::uint16_t>((reg & 0x00FF) | v << 8); }

}  // namespace

// ---------------------------------------------------------------- core

Dp8390::Dp8390(Clock& clock, CardMemory& memory, CoreHost& host)
    : clock_(clock), mem_(memory), host_(host) {
    tx_buf_.reserve(0x10000 + kFcsBytes);
}

Dp8390::~Dp8390() {
    if (st_.transmitting && !st_.tx_on_segment) clock_.cancel(tx_event_);
    if (segment_) segment_->detach(*this);
}

void Dp8390::attach(Segment& segment) {
    if (segment_) segment_->detach(*this);
    segment_ = &segment;
    segment.attach(*this);
}

void Dp8390::reset() {
    stop_transmission();
    st_.dma_active = false;
    st_.cr_run = CR_STP;
    st_.cr_rd = CR_RD_ABORT;
    st_.cr_page = 0;
    st_.isr |= ISR_RST;
    st_.imr = 0;
    st_.dcr &= static_cast<std::uint8_t>(~DCR_LAS);
    st_.tcr &= static_cast<std::uint8_t>(~TCR_LB_MASK);
    st_.rx_disabled = false;
    update_line();
}

std::uint8_t Dp8390::cr_value() const {
    std::uint8_t v = static_cast<std::uint8_t>(st_.cr_page << CR_PS_SHIFT) | st_.cr_rd | st_.cr_run;
    if (st_.transmitting || faults_.txp_stuck) v |= CR_TXP;
    return v;
}

void Dp8390::raise_isr(std::uint8_t bits) {
    st_.isr |= bits;
    update_line();
}

void Dp8390::refresh() {
    // CNT is set while any counter has bit 7 set.
    if ((st_.cntr[kTallyAlignment] | st_.cntr[kTallyCrc] | st_.cntr[kTallyMissed]) & 0x80)
        st_.isr |= ISR_CNT;
    else
        st_.isr &= static_cast<std::uint8_t>(~ISR_CNT);
    update_line();
}

void Dp8390::update_line() {
    bool level = (st_.isr & st_.imr & ISR_LINE_MASK) != 0;
    if (level == st_.line) return;
    st_.line = level;
    host_.line_changed(level);
}

// Counts one event; a counter stops at 0xFF.
void Dp8390::tally(Tally counter) {
    if (st_.cntr[counter] != 0xFF) st_.cntr[counter]++;
    refresh();
}

// ---------------------------------------------------------------- registers

std::uint8_t Dp8390::read_reg(unsigned offset) {
    offset &= 0x0F;
    if (offset == CR) return cr_value();  // on every page
    switch (at(st_.cr_page, offset)) {
    case at(0, P0R_CLDA0):
    case at(0, P0R_CLDA1): return 0;  // the local DMA address is not modelled
    case at(0, P0R_BNRY): return st_.bnry;
    case at(0, P0R_TSR): return st_.tsr;
    case at(0, P0R_NCR): return st_.ncr;
    case at(0, P0R_FIFO): return 0;
    case at(0, P0R_ISR): return read_isr();
    case at(0, P0R_CRDA0): return static_cast<std::uint8_t>(faults_.crda_frozen ? st_.rsar : st_.dma_addr);
    case at(0, P0R_CRDA1): return static_cast<std::uint8_t>((faults_.crda_frozen ? st_.rsar : st_.dma_addr) >> 8);
    case at(0, P0R_RSR): return st_.rsr;
    case at(0, P0R_CNTR0): return read_tally(kTallyAlignment);
    case at(0, P0R_CNTR1): return read_tally(kTallyCrc);
    case at(0, P0R_CNTR2): return read_tally(kTallyMissed);

    case at(1, P1_PAR0):
    case at(1, P1_PAR1):
    case at(1, P1_PAR2):
    case at(1, P1_PAR3):
    case at(1, P1_PAR4):
    case at(1, P1_PAR5): return st_.par[offset - P1_PAR0];
    case at(1, P1_CURR):
        page1_met();
        return read_curr();
    case at(1, P1_MAR0):
    case at(1, P1_MAR1):
    case at(1, P1_MAR2):
    case at(1, P1_MAR3):
    case at(1, P1_MAR4):
    case at(1, P1_MAR5):
    case at(1, P1_MAR6): return st_.mar[offset - P1_MAR0];
    case at(1, P1_MAR7):
        page1_met();
        return st_.mar[offset - P1_MAR0];

    case at(2, P2R_PSTART): return st_.pstart;
    case at(2, P2R_PSTOP): return st_.pstop;
    case at(2, P2R_TPSR): return st_.tpsr;
    case at(2, P2R_RCR): return st_.rcr;
    case at(2, P2R_TCR): return st_.tcr;
    case at(2, P2R_DCR): return st_.dcr;
    case at(2, P2R_IMR): return st_.imr;
    }
    // The rest of page 2 (next-page pointers, address counter) reads 0;
    // page 0's 0x0A-0x0B and page 3 read 0xFF.
    return st_.cr_page == 2 ? 0x00 : 0xFF;
}

void Dp8390::write_reg(unsigned offset, std::uint8_t value) {
    offset &= 0x0F;
    if (offset == CR) {  // on every page
        write_cr(value);
        return;
    }
    switch (at(st_.cr_page, offset)) {
    case at(0, P0W_PSTART): st_.pstart = value; break;
    case at(0, P0W_PSTOP): st_.pstop = value; break;
    case at(0, P0W_BNRY): st_.bnry = value; break;
    case at(0, P0W_TPSR): st_.tpsr = value; break;
    case at(0, P0W_TBCR0): set_low(st_.tbcr, value); break;
    case at(0, P0W_TBCR1): set_high(st_.tbcr, value); break;
    case at(0, P0W_ISR):
        st_.isr &= static_cast<std::uint8_t>(~(value & ISR_LINE_MASK));
        refresh();  // CNT stays while a counter keeps bit 7
        break;
    case at(0, P0W_RSAR0):
        set_low(st_.rsar, value);
        st_.dma_addr = st_.rsar;  // CRDA follows
        break;
    case at(0, P0W_RSAR1):
        set_high(st_.rsar, value);
        st_.dma_addr = st_.rsar;
        break;
    case at(0, P0W_RBCR0): set_low(st_.rbcr, value); break;
    case at(0, P0W_RBCR1): set_high(st_.rbcr, value); break;
    case at(0, P0W_RCR): st_.rcr = value; break;
    case at(0, P0W_TCR): st_.tcr = value; break;
    case at(0, P0W_DCR): st_.dcr = value; break;
    case at(0, P0W_IMR):
        st_.imr = value;
        update_line();
        break;

    case at(1, P1_PAR0):
    case at(1, P1_PAR1):
    case at(1, P1_PAR2):
    case at(1, P1_PAR3):
    case at(1, P1_PAR4):
    case at(1, P1_PAR5): st_.par[offset - P1_PAR0] = value; break;
    case at(1, P1_CURR):
        page1_met();
        st_.curr = value;
        break;
    case at(1, P1_MAR0):
    case at(1, P1_MAR1):
    case at(1, P1_MAR2):
    case at(1, P1_MAR3):
    case at(1, P1_MAR4):
    case at(1, P1_MAR5):
    case at(1, P1_MAR6): st_.mar[offset - P1_MAR0] = value; break;
    case at(1, P1_MAR7):
        page1_met();
        st_.mar[offset - P1_MAR0] = value;
        break;
    }
    // Pages 2 and 3 are not written.
}

// CURR or MAR7 was accessed. The service routine works on page 0, where
// those offsets are ISR and IMR; meeting them on page 1 during the routine
// is a misuse.
void Dp8390::page1_met() {
    if (in_isr_) misuse_.page1_in_isr++;
}

std::uint8_t Dp8390::read_isr() {
    std::uint8_t v = st_.isr;
    if (faults_.spurious_isr && Faults::take(faults_.spurious_isr_reads)) v |= faults_.spurious_isr;
    return v;
}

std::uint8_t Dp8390::read_curr() {
    if (!Faults::take(faults_.curr_unstable)) return st_.curr;
    curr_toggle_ = !curr_toggle_;
    return static_cast<std::uint8_t>(st_.curr + (curr_toggle_ ? 1 : 2));
}

// Tally counters clear when read.
std::uint8_t Dp8390::read_tally(Tally counter) {
    std::uint8_t v = st_.cntr[counter];
    st_.cntr[counter] = 0;
    refresh();
    return v;
}

void Dp8390::write_cr(std::uint8_t value) {
    st_.cr_page = static_cast<std::uint8_t>((value & CR_PS_MASK) >> CR_PS_SHIFT);

    std::uint8_t run = value & (CR_STP | CR_STA);
    if (run && !((run & CR_STP) && faults_.ignore_stop)) {
        st_.cr_run = run;
        if (run & CR_STP) {
            st_.rx_disabled = false;
            if (st_.transmitting && faults_.stop_cuts_tx) stop_transmission();
            // A transmission under way finishes first; RST follows then.
            if (!st_.transmitting) raise_isr(ISR_RST);
        } else {
            st_.isr &= static_cast<std::uint8_t>(~ISR_RST);
        }
    }

    std::uint8_t rd = value & CR_RD_MASK;
    if (rd & CR_RD_ABORT) {
        st_.dma_active = false;
        st_.cr_rd = CR_RD_ABORT;
    } else if (rd == CR_RD_READ || rd == CR_RD_WRITE) {
        start_dma(rd == CR_RD_WRITE);
    } else if (rd == CR_RD_SEND) {
        st_.dma_active = false;
        st_.cr_rd = CR_RD_SEND;
    }

    if (value & CR_TXP) {
        if (!running())
            misuse_.txp_stopped++;
        else if (st_.transmitting)
            misuse_.txp_busy++;
        else
            start_transmission();
    }
}

// ---------------------------------------------------------------- remote DMA

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
