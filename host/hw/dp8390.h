// The DP8390 controller core: registers on pages 0 and 1 (page 2 read-back),
// remote DMA, receive into the ring, transmit on the segment, ISR/IMR and
// the interrupt line, tally counters, loopback, stop/start/reset.
//
// The core never learns which bus its board sits on: it reaches card memory
// through CardMemory and tells its host of line changes through CoreHost.
// Registers and remote DMA are in dp8390.cpp, transmit in
// dp8390_transmit.cpp, receive in dp8390_receive.cpp.
#ifndef HW_DP8390_H
#define HW_DP8390_H

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "hw/card_memory.h"
#include "hw/clock.h"
#include "hw/dp8390_regs.h"
#include "hw/segment.h"

namespace hw {

// Fault knobs, all off by default. Counts ("the next N ...") go down as the
// fault acts; kAlways makes a count never run out.
struct Faults {
    static constexpr int kAlways = -1;
    // Takes one from a count; true while the fault acts.
    static bool take(int& count) {
        if (count == 0) return false;
        if (count > 0) count--;
        return true;
    }

    bool no_answer = false;            // controller absent: reads 0xFF, writes ignored
    int pull_after = 0;                // > 0: the board answers this many more port accesses,
                                       // then the card is pulled out (Ne2000Board::pull_out)
    bool loopback_leaks = false;       // loopback does not isolate the wire: frames are still
                                       // stored while TCR or DCR selects loopback (QEMU's card)
    bool ignore_stop = false;          // a CR write with STP leaves the run state alone
    bool crda_frozen = false;          // CRDA0/1 keep reading the start address
    bool rdc_never = false;            // ISR RDC never set
    bool txp_stuck = false;            // CR reads TXP set at all times
    int tx_abort = 0;                  // next N transmissions: TSR ABT, ISR TXE, nothing sent
    bool stop_cuts_tx = false;         // STP ends a transmission at once, no PTX/TXE
    int curr_unstable = 0;             // next N page-1 CURR reads differ from each other
    int corrupt_header = 0;            // next N stored frames get the header fields below
    bool corrupt_status = false;       //   ... replace the receive status by bad_status
    bool corrupt_next = false;         //   ... replace the next page by bad_next
    bool corrupt_count = false;        //   ... replace the byte count by bad_count
    std::uint8_t bad_status = 0x00;
    std::uint8_t bad_next = 0x00;
    std::uint16_t bad_count = 0x0000;
    int count_high_is_low = 0;         // next N headers: count high byte = low byte
    int stray_before_header = 0;       // next N stored frames: one stray byte (byte-wide
                                       // DCR) or word (word-wide) stored ahead of the ring
                                       // header, which with the frame moves on by as much
    std::uint16_t stray_value = 0xA5A5;//   ... the stray bytes (low byte first)
    int rx_bad_fcs = 0;                // next N frames received with an FCS error
    int rx_alignment = 0;              // next N frames received with an alignment error
    std::uint8_t spurious_isr = 0;     // ORed into ISR reads ...
    int spurious_isr_reads = 0;        //   ... for the next N reads
    int foreign_irq = 0;               // pending pulses of a shared line (no card cause)
};

// What a correct driver never does; tests assert zero.
struct Misuse {
    unsigned data_port_idle = 0;   // data-port access with no transfer or past its count
    unsigned txp_stopped = 0;      // TXP while stopped
    unsigned txp_busy = 0;         // TXP while transmitting
    unsigned odd_word = 0;         // word transfer at an odd address
    unsigned page1_in_isr = 0;     // page-1 CURR or MAR7 during the service routine
    unsigned total() const {
        return data_port_idle + txp_stopped + txp_busy + odd_word + page1_in_isr;
    }
};

// Tally counters: index into Dp8390State::cntr, read at P0R_CNTR0 + index.
enum Tally : unsigned {
    kTallyAlignment = 0,  // CNTR0: frame alignment errors
    kTallyCrc = 1,        // CNTR1: FCS errors
    kTallyMissed = 2,     // CNTR2: frames missed (no room, receiver off, monitor mode)
};

// What became of a frame the receiver was offered, by the first check that
// decided it (Dp8390::deliver).
enum class RxFate : std::uint8_t {
    Stored,    // written into the ring (intact, or with an error under RCR SEP)
    Stopped,   // the controller is stopped (CR STP): nothing is received or counted
    Rejected,  // the address filter (PAR, broadcast, multicast hash, PRO) did not take it
    Off,       // taken, but the receiver is off (after a ring overflow, in loopback or
               // monitor mode): missed, counted in CNTR2
    Runt,      // shorter than 64 bytes with its FCS, RCR AR clear
    Error,     // an FCS or alignment error, RCR SEP clear
    RingFull,  // no room before BNRY: the ring overflowed (missed, counted in CNTR2)
};

// All controller state, one field per register plus the engine's progress.
struct Dp8390State {
    // CR, kept as its parts
    std::uint8_t cr_run = dp8390::CR_STP;        // STP/STA as last written
    std::uint8_t cr_rd = dp8390::CR_RD_ABORT;    // RD field as it reads
    std::uint8_t cr_page = 0;                    // 0..3
    // page 0
    std::uint8_t pstart = 0, pstop = 0, bnry = 0, tpsr = 0;
    std::uint16_t tbcr = 0;
    std::uint8_t tsr = 0, ncr = 0, isr = dp8390::ISR_RST, imr = 0;
    std::uint16_t rsar = 0, rbcr = 0;
    std::uint8_t rcr = 0, tcr = 0, dcr = 0, rsr = 0;
    std::array<std::uint8_t, 3> cntr{};          // CNTR0-2, indexed by Tally
    // page 1
    std::array<std::uint8_t, 6> par{};
    std::uint8_t curr = 0;
    std::array<std::uint8_t, 8> mar{};
    // remote DMA engine
    bool dma_active = false;
    bool dma_write = false;
    std::uint16_t dma_addr = 0;                  // next byte moved (CRDA)
    std::uint16_t dma_count = 0;                 // bytes left
    bool dma_odd_counted = false;
    // transmitter and receiver
    bool transmitting = false;                   // a transmission is under way
    bool tx_on_segment = false;                  // it went to the segment
    bool rx_disabled = false;                    // after a ring overflow
    bool line = false;                           // interrupt line as last reported
};

// Told of every change of the interrupt line.
class CoreHost {
public:
    virtual ~CoreHost() = default;
    virtual void line_changed(bool level) = 0;
};

class Dp8390 : public Station {
public:
    Dp8390(Clock& clock, CardMemory& memory, CoreHost& host);
    ~Dp8390() override;
    Dp8390(const Dp8390&) = delete;
    Dp8390& operator=(const Dp8390&) = delete;

    void attach(Segment& segment);
    // Off the segment for good: a transmission under way is cut off and
    // nothing arrives any more (the card was pulled out).
    void detach();

    // Reset pulse (the board's reset port).
    void reset();
    // Register access at offset 0x00-0x0F on the current page.
    std::uint8_t read_reg(unsigned offset);
    void write_reg(unsigned offset, std::uint8_t value);
    // Data-port access: `wide` is the size of the port access (16 bits).
    std::uint16_t read_data(bool wide);
    void write_data(std::uint16_t value, bool wide);
    // `count` data-port accesses in a row (a string access) of 8 or 16
    // bits. The buffer may be unaligned.
    void read_data(std::uint8_t* dst, std::uint32_t count);
    void read_data(std::uint16_t* dst, std::uint32_t count);
    void write_data(const std::uint8_t* src, std::uint32_t count);
    void write_data(const std::uint16_t* src, std::uint32_t count);

    void set_isr_context(bool active) { in_isr_ = active; }
    bool line() const { return st_.line; }

    // Station: deliver() is a frame from the wire, received into the ring.
    void deliver(const std::uint8_t* frame, std::size_t len) override;
    // Told of each delivered frame's fate (one observer; empty to stop).
    void set_receive_observer(std::function<void(RxFate)> observer) {
        rx_observer_ = std::move(observer);
    }
    void transmit_done() override;
    void segment_gone() override;

    // Back door: state without side effects.
    const Dp8390State& state() const { return st_; }
    Dp8390State& state() { return st_; }
    // Re-evaluates ISR CNT and the line after a back-door change.
    void refresh();
    // Sets ISR bits, updating the line (the back door: with no cause).
    void raise_isr(std::uint8_t bits);
    std::uint8_t cr_value() const;
    bool running() const {
        return (st_.cr_run & dp8390::CR_STA) && !(st_.cr_run & dp8390::CR_STP);
    }
    bool loopback() const {
        return (st_.tcr & dp8390::TCR_LB_MASK) || !(st_.dcr & dp8390::DCR_LS);
    }
    Faults& faults() { return faults_; }
    const Faults& faults() const { return faults_; }
    const Misuse& misuse() const { return misuse_; }
    Misuse& misuse() { return misuse_; }

    // The multicast hash bit (0..63) of a destination address.
    static unsigned hash_bit(const std::uint8_t* dest);

private:
    // registers
    void write_cr(std::uint8_t value);
    void page1_met();
    std::uint8_t read_isr();
    std::uint8_t read_curr();
    std::uint8_t read_tally(Tally counter);
    void tally(Tally counter);
    void update_line();
    // transmit (dp8390_transmit.cpp)
    void start_transmission();
    void finish_transmission();
    void stop_transmission();
    // remote DMA
    void start_dma(bool write);
    bool dma_ready(bool write);
    void dma_advance(unsigned bytes);
    void check_odd_word(std::uint16_t a);
    std::uint32_t dma_run(std::uint32_t want, bool write) const;
    template <typename Element>
    void copy_data(Element* buffer, std::uint32_t count);
    // receive (dp8390_receive.cpp)
    RxFate receive(const std::uint8_t* frame, std::size_t len);
    RxFate accept(const std::uint8_t* frame, std::size_t len, std::uint8_t& status);
    bool address_match(const std::uint8_t* dest) const;
    bool ring_space(std::size_t bytes, std::uint8_t status, unsigned& next);
    void store(const std::uint8_t* frame, std::size_t len, std::uint8_t status, unsigned next,
               std::size_t stray);

    // The ring's wrap: the address after `a`, where PSTOP x 256 continues at
    // PSTART x 256 (unless PSTOP == PSTART) ...
    std::uint16_t next_addr(std::uint16_t a) const {
        a = static_cast<std::uint16_t>(a + 1);
        if (st_.pstop != st_.pstart && a == (st_.pstop << 8)) a = static_cast<std::uint16_t>(st_.pstart << 8);
        return a;
    }
    // ... and how many bytes from `a` on lie before that wrap or the end of
    // the address space.
    std::uint32_t bytes_before_wrap(std::uint32_t a) const {
        std::uint32_t stop = static_cast<std::uint32_t>(st_.pstop) << 8;
        if (st_.pstop != st_.pstart && a < stop) return stop - a;
        return 0x10000 - a;
    }

    Clock& clock_;
    CardMemory& mem_;
    CoreHost& host_;
    Segment* segment_ = nullptr;
    Dp8390State st_;
    Faults faults_;
    Misuse misuse_;
    bool in_isr_ = false;
    bool curr_toggle_ = false;
    Clock::EventId tx_event_ = 0;  // loopback / abort completion
    std::vector<std::uint8_t> tx_buf_;
    std::function<void(RxFate)> rx_observer_;
};

}  // namespace hw

#endif  // HW_DP8390_H
