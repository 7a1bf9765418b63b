// The transmitter: TBCR bytes from page TPSR, with the FCS unless inhibited,
// onto the segment for their wire time (or nowhere in loopback or when a
// fault aborts them), then TSR and ISR PTX or TXE.
#include "hw/dp8390.h"

#include <cstring>

namespace hw {

using namespace dp8390;

void Dp8390::start_transmission() {
    std::uint16_t a = static_cast<std::uint16_t>(st_.tpsr << 8);
    std::size_t n = st_.tbcr;
    tx_buf_.resize(n);
    if (a + n <= 0x10000) {
        std::memcpy(tx_buf_.data(), mem_.data() + a, n);
    } else {
        for (std::size_t i = 0; i < n; i++) tx_buf_[i] = mem_.read(static_cast<std::uint16_t>(a + i));
    }
    if (!(st_.tcr & TCR_CRC)) {
        std::uint32_t fcs = ethernet_fcs(tx_buf_.data(), n);
        for (int i = 0; i < 4; i++) tx_buf_.push_back(static_cast<std::uint8_t>(fcs >> (8 * i)));
    }
    st_.tsr = 0;
    st_.transmitting = true;
    bool abort = Faults::take(faults_.tx_abort);
    if (abort || loopback() || !segment_) {
        // Nothing reaches the wire; the transmitter is busy for the wire time.
        st_.tx_on_segment = false;
        tx_event_ = clock_.schedule(clock_.now() + wire_time(tx_buf_.size()),
                                    [this, abort] {
                                        st_.tsr = abort ? TSR_ABT : TSR_PTX;
                                        finish_transmission();
                                    });
        return;
    }
    st_.tx_on_segment = true;
    segment_->transmit(*this, tx_buf_.data(), tx_buf_.size());
}

void Dp8390::transmit_done() {
    if (!st_.transmitting || !st_.tx_on_segment) return;
    st_.tsr = TSR_PTX;
    finish_transmission();
}

void Dp8390::segment_gone() {
    segment_ = nullptr;
    if (st_.transmitting && st_.tx_on_segment) {
        st_.transmitting = false;  // the frame went nowhere
        st_.tx_on_segment = false;
    }
}

void Dp8390::finish_transmission() {
    st_.transmitting = false;
    st_.tx_on_segment = false;
    std::uint8_t bits = (st_.tsr & TSR_ABT) ? ISR_TXE : ISR_PTX;
    if (st_.cr_run & CR_STP) bits |= ISR_RST;  // a stop was waiting for this frame
    raise_isr(bits);
}

// Cuts a transmission off at once: no PTX, no TXE, nobody receives it.
void Dp8390::stop_transmission() {
    if (!st_.transmitting) return;
    if (st_.tx_on_segment) {
        if (segment_) segment_->cancel(*this);
    } else {
        clock_.cancel(tx_event_);
    }
    st_.transmitting = false;
    st_.tx_on_segment = false;
}

}  // namespace hw
