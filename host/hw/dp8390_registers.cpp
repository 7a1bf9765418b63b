// What a register access decodes to: the registers of pages 0-2 for read
// and write (one dispatch on page and offset), and the reads with side
// effects (ISR and its spurious-bits knob, CURR and its instability knob,
// the tally counters that clear when read). CR is on every page and goes to
// the core's state machine.
#include "hw/dp8390.h"

namespace hw {

using namespace dp8390;

namespace {

// A register's key in the dispatch of read_reg and write_reg: the page in
// the high nibble, the offset in the low one.
constexpr unsigned at(unsigned page, unsigned offset) { return page << 4 | offset; }

void set_low(std::uint16_t& reg, std::uint8_t v) { reg = static_cast<std::uint16_t>((reg & 0xFF00) | v); }
void set_high(std::uint16_t& reg, std::uint8_t v) { reg = static_cast<std::uint16_t>((reg & 0x00FF) | v << 8); }

}  // namespace

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

}  // namespace hw
