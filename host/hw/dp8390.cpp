// The controller core: construction, reset, the command register's state
// machine (run and stop, remote DMA command, transmit), ISR/IMR and the
// interrupt line, the tally counters. What the register pages decode is in
// dp8390_registers.cpp, the remote DMA engine in dp8390_dma.cpp, transmit in
// dp8390_transmit.cpp, receiving into the ring in dp8390_receive.cpp.
#include "hw/dp8390.h"

namespace hw {

using namespace dp8390;

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

void Dp8390::detach() {
    stop_transmission();
    if (segment_) segment_->detach(*this);
    segment_ = nullptr;
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

}  // namespace hw
