// Receiving a frame from the wire into the ring, in three steps: accept
// (the receiver's state, the checks and the address filter), ring space (the
// frame fits before BNRY, or the ring overflows) and store (ring header,
// frame and FCS at CURR, and the fault knobs that spoil what is stored).
#include "hw/dp8390.h"

#include <algorithm>
#include <cstring>

namespace hw {

using namespace dp8390;

void Dp8390::deliver(const std::uint8_t* frame, std::size_t len) {
    RxFate fate = receive(frame, len);
    if (rx_observer_) rx_observer_(fate);
}

RxFate Dp8390::receive(const std::uint8_t* frame, std::size_t len) {
    std::uint8_t status = 0;
    RxFate fate = accept(frame, len, status);
    if (fate != RxFate::Stored) return fate;
    // The stray-byte fault stores a byte, or a word when the local DMA
    // moves words, ahead of the ring header.
    std::size_t stray = faults_.stray_before_header ? ((st_.dcr & DCR_WTS) ? 2 : 1) : 0;
    unsigned next = 0;
    if (!ring_space(stray + kRingHeaderBytes + len, status, next)) return RxFate::RingFull;
    store(frame, len, status, next, stray);
    return RxFate::Stored;
}

// ---------------------------------------------------------------- accept

unsigned Dp8390::hash_bit(const std::uint8_t* dest) {
    // CRC of the destination, data bits least significant first, no final
    // complement; the top 6 bits of the (unreflected) register select the bit.
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < kAddressBytes; i++) {
        std::uint8_t b = dest[i];
        for (int k = 0; k < 8; k++) {
            std::uint32_t bit = ((crc >> 31) ^ (b >> k)) & 1;
            crc <<= 1;
            if (bit) crc ^= 0x04C11DB7u;
        }
    }
    return crc >> 26;
}

// The address filter: PAR, broadcast (AB), multicast by hash (AM),
// every individual address (PRO).
bool Dp8390::address_match(const std::uint8_t* dest) const {
    if (dest[0] & 1) {
        bool broadcast = std::all_of(dest, dest + kAddressBytes, [](std::uint8_t b) { return b == 0xFF; });
        if (broadcast) return st_.rcr & RCR_AB;
        if (!(st_.rcr & RCR_AM)) return false;
        unsigned h = hash_bit(dest);
        return st_.mar[h >> 3] & (1u << (h & 7));
    }
    if (st_.rcr & RCR_PRO) return true;
    return std::equal(dest, dest + kAddressBytes, st_.par.begin());
}

// Whether a frame (`len` bytes with its FCS) is to be stored, and with which
// receive status. A frame the filter takes but the receiver cannot (off by
// loopback unless it leaks, an overflow or monitor mode) is missed; one with an FCS or
// alignment error is counted and kept only under RCR SEP; runts are kept
// only under RCR AR.
RxFate Dp8390::accept(const std::uint8_t* frame, std::size_t len, std::uint8_t& status) {
    if (!running()) return RxFate::Stopped;  // the receiver and its counters are off while stopped
    if (len < kAddressBytes + kFcsBytes) return RxFate::Runt;
    std::size_t data_len = len - kFcsBytes;
    std::uint32_t sent = static_cast<std::uint32_t>(frame[data_len]) | frame[data_len + 1] << 8 |
                         frame[data_len + 2] << 16 | static_cast<std::uint32_t>(frame[data_len + 3]) << 24;
    bool crc_error = ethernet_fcs(frame, data_len) != sent;
    if (Faults::take(faults_.rx_bad_fcs)) crc_error = true;
    bool align_error = Faults::take(faults_.rx_alignment);
    if (!address_match(frame)) return RxFate::Rejected;

    std::uint8_t phy = (frame[0] & 1) ? RSR_PHY : 0;
    if ((loopback() && !faults_.loopback_leaks) || st_.rx_disabled || (st_.rcr & RCR_MON)) {
        st_.rsr = static_cast<std::uint8_t>(RSR_MPA | phy | ((st_.rcr & RCR_MON) ? RSR_DIS : 0));
        tally(kTallyMissed);
        raise_isr(ISR_RXE);
        return RxFate::Off;
    }
    if (data_len < kMinFrame && !(st_.rcr & RCR_AR)) return RxFate::Runt;

    status = phy;
    if (!crc_error && !align_error) {
        status |= RSR_PRX;
        return RxFate::Stored;
    }
    if (align_error) {
        status |= RSR_FAE;
        tally(kTallyAlignment);
    } else {
        status |= RSR_CRC;
        tally(kTallyCrc);
    }
    st_.rsr = status;
    raise_isr(ISR_RXE);
    return (st_.rcr & RCR_SEP) ? RxFate::Stored : RxFate::Error;
}

// ---------------------------------------------------------------- ring space

// Every page that `bytes` stored from CURR x 256 on move into, and the page
// after them (the next CURR), must differ from BNRY: then `next` is that
// page. Otherwise the ring overflows: the frame is refused, CNTR2 counts it,
// ISR OVW and RST are set, and the receiver takes nothing more until the
// controller is stopped and started again.
bool Dp8390::ring_space(std::size_t bytes, std::uint8_t status, unsigned& next) {
    std::size_t pages = (bytes + kPageBytes - 1) / kPageBytes;
    unsigned page = st_.curr;
    for (std::size_t i = 0; i < pages; i++) {
        page = (page + 1) & 0xFF;
        if (page == st_.pstop) page = st_.pstart;
        if (page == st_.bnry) {
            st_.rsr = static_cast<std::uint8_t>(RSR_MPA | (status & RSR_PHY));
            st_.rx_disabled = true;
            tally(kTallyMissed);
            raise_isr(ISR_OVW | ISR_RST);
            return false;
        }
    }
    next = page;
    return true;
}

// ---------------------------------------------------------------- store

// Stores `stray` bytes of the stray-byte fault at CURR x 256, the ring
// header after them (status, next page, count low, count high; the count
// is `len`, frame and FCS), and the frame after the header, wrapping at
// PSTOP; then CURR moves on to `next` and ISR PRX is set for a frame
// received intact.
void Dp8390::store(const std::uint8_t* frame, std::size_t len, std::uint8_t status, unsigned next,
                   std::size_t stray) {
    std::uint16_t h = static_cast<std::uint16_t>(st_.curr << 8);
    if (stray) {
        Faults::take(faults_.stray_before_header);
        for (std::size_t i = 0; i < stray; i++)
            mem_.write(static_cast<std::uint16_t>(h + i), static_cast<std::uint8_t>(faults_.stray_value >> (8 * i)));
        h = static_cast<std::uint16_t>(h + stray);
    }

    std::uint16_t a = static_cast<std::uint16_t>(h + kRingHeaderBytes);
    std::size_t left = len;
    while (left) {
        std::uint32_t run = static_cast<std::uint32_t>(std::min<std::size_t>(left, bytes_before_wrap(a)));
        if (mem_.in_ram(a, run)) {
            std::memcpy(mem_.data() + a, frame, run);
        } else {
            for (std::uint32_t i = 0; i < run; i++) mem_.write(static_cast<std::uint16_t>(a + i), frame[i]);
        }
        a = next_addr(static_cast<std::uint16_t>(a + run - 1));
        frame += run;
        left -= run;
    }

    std::uint8_t header[kRingHeaderBytes] = {status, static_cast<std::uint8_t>(next),
                                             static_cast<std::uint8_t>(len & 0xFF),
                                             static_cast<std::uint8_t>((len >> 8) & 0xFF)};
    if (Faults::take(faults_.corrupt_header)) {
        if (faults_.corrupt_status) header[0] = faults_.bad_status;
        if (faults_.corrupt_next) header[1] = faults_.bad_next;
        if (faults_.corrupt_count) {
            header[2] = static_cast<std::uint8_t>(faults_.bad_count);
            header[3] = static_cast<std::uint8_t>(faults_.bad_count >> 8);
        }
    }
    if (Faults::take(faults_.count_high_is_low)) header[3] = header[2];
    for (unsigned i = 0; i < kRingHeaderBytes; i++) mem_.write(static_cast<std::uint16_t>(h + i), header[i]);

    st_.curr = static_cast<std::uint8_t>(next);
    st_.rsr = status;
    raise_isr((status & RSR_PRX) ? ISR_PRX : 0);
}

}  // namespace hw
