// DP8390 controller registers as the emulated core sees them.
//
// Offsets 0x00-0x0F from the board's base; the page is chosen by CR PS0-PS1.
// A name says page and direction: P0R_ is page 0 read, P0W_ page 0 write,
// P1_ page 1 (read and write), P2R_ page 2 read.
//
// Buffer memory as the receive ring uses it (pages of 256 bytes):
//
//   PSTART*256                    CURR*256                     PSTOP*256
//   |  ...frames already read...  | hdr | frame + FCS ... | ... |
//                                 '-- status, next page, count lo, count hi
//
// A frame runs from CURR*256+4 onward and continues at PSTART*256 after the
// last page before PSTOP.
#ifndef HW_DP8390_REGS_H
#define HW_DP8390_REGS_H

#include <cstdint>

namespace hw {
namespace dp8390 {

// Any page
constexpr std::uint8_t CR = 0x00;
constexpr std::uint8_t CR_STP = 0x01;   // stop
constexpr std::uint8_t CR_STA = 0x02;   // start
constexpr std::uint8_t CR_TXP = 0x04;   // transmit packet (reads 1 while sending)
constexpr std::uint8_t CR_RD_MASK = 0x38;
constexpr std::uint8_t CR_RD_READ = 0x08;   // remote read
constexpr std::uint8_t CR_RD_WRITE = 0x10;  // remote write
constexpr std::uint8_t CR_RD_SEND = 0x18;   // send packet (not modelled)
constexpr std::uint8_t CR_RD_ABORT = 0x20;  // abort / complete remote DMA
constexpr std::uint8_t CR_PS_MASK = 0xC0;
constexpr unsigned CR_PS_SHIFT = 6;

// Page 0, read
constexpr std::uint8_t P0R_CLDA0 = 0x01;
constexpr std::uint8_t P0R_CLDA1 = 0x02;
constexpr std::uint8_t P0R_BNRY = 0x03;
constexpr std::uint8_t P0R_TSR = 0x04;
constexpr std::uint8_t TSR_PTX = 0x01;  // sent without error
constexpr std::uint8_t TSR_COL = 0x04;  // collided
constexpr std::uint8_t TSR_ABT = 0x08;  // aborted
constexpr std::uint8_t P0R_NCR = 0x05;
constexpr std::uint8_t P0R_FIFO = 0x06;
constexpr std::uint8_t P0R_ISR = 0x07;
constexpr std::uint8_t P0R_CRDA0 = 0x08;
constexpr std::uint8_t P0R_CRDA1 = 0x09;
constexpr std::uint8_t P0R_RSR = 0x0C;
constexpr std::uint8_t RSR_PRX = 0x01;  // received intact
constexpr std::uint8_t RSR_CRC = 0x02;  // FCS error
constexpr std::uint8_t RSR_FAE = 0x04;  // frame alignment error
constexpr std::uint8_t RSR_MPA = 0x10;  // missed packet
constexpr std::uint8_t RSR_PHY = 0x20;  // multicast or broadcast destination
constexpr std::uint8_t RSR_DIS = 0x40;  // receiver disabled (monitor mode)
constexpr std::uint8_t P0R_CNTR0 = 0x0D;  // frame alignment errors
constexpr std::uint8_t P0R_CNTR1 = 0x0E;  // FCS errors
constexpr std::uint8_t P0R_CNTR2 = 0x0F;  // missed frames

// Page 0, write
constexpr std::uint8_t P0W_PSTART = 0x01;
constexpr std::uint8_t P0W_PSTOP = 0x02;
constexpr std::uint8_t P0W_BNRY = 0x03;
constexpr std::uint8_t P0W_TPSR = 0x04;
constexpr std::uint8_t P0W_TBCR0 = 0x05;
constexpr std::uint8_t P0W_TBCR1 = 0x06;
constexpr std::uint8_t P0W_ISR = 0x07;
constexpr std::uint8_t P0W_RSAR0 = 0x08;
constexpr std::uint8_t P0W_RSAR1 = 0x09;
constexpr std::uint8_t P0W_RBCR0 = 0x0A;
constexpr std::uint8_t P0W_RBCR1 = 0x0B;
constexpr std::uint8_t P0W_RCR = 0x0C;
constexpr std::uint8_t RCR_SEP = 0x01;  // keep frames with errors
constexpr std::uint8_t RCR_AR = 0x02;   // keep runts
constexpr std::uint8_t RCR_AB = 0x04;   // accept broadcast
constexpr std::uint8_t RCR_AM = 0x08;   // accept multicast (hash)
constexpr std::uint8_t RCR_PRO = 0x10;  // accept every individual address
constexpr std::uint8_t RCR_MON = 0x20;  // monitor: check and count, store nothing
constexpr std::uint8_t P0W_TCR = 0x0D;
constexpr std::uint8_t TCR_CRC = 0x01;      // inhibit FCS
constexpr std::uint8_t TCR_LB_MASK = 0x06;  // loopback mode
constexpr std::uint8_t P0W_DCR = 0x0E;
constexpr std::uint8_t DCR_WTS = 0x01;  // word transfers
constexpr std::uint8_t DCR_BOS = 0x02;
constexpr std::uint8_t DCR_LAS = 0x04;
constexpr std::uint8_t DCR_LS = 0x08;   // clear: loopback selected
constexpr std::uint8_t DCR_AR = 0x10;
constexpr std::uint8_t P0W_IMR = 0x0F;

// ISR and IMR share these bits
constexpr std::uint8_t ISR_PRX = 0x01;  // frame received
constexpr std::uint8_t ISR_PTX = 0x02;  // frame sent
constexpr std::uint8_t ISR_RXE = 0x04;  // receive error
constexpr std::uint8_t ISR_TXE = 0x08;  // transmit error
constexpr std::uint8_t ISR_OVW = 0x10;  // ring overflow
constexpr std::uint8_t ISR_CNT = 0x20;  // a tally counter has bit 7 set
constexpr std::uint8_t ISR_RDC = 0x40;  // remote DMA complete
constexpr std::uint8_t ISR_RST = 0x80;  // stopped (not cleared by writing)
constexpr std::uint8_t ISR_LINE_MASK = 0x7F;

// Page 1, read and write
constexpr std::uint8_t P1_PAR0 = 0x01;  // station address, first byte
constexpr std::uint8_t P1_PAR1 = 0x02;
constexpr std::uint8_t P1_PAR2 = 0x03;
constexpr std::uint8_t P1_PAR3 = 0x04;
constexpr std::uint8_t P1_PAR4 = 0x05;
constexpr std::uint8_t P1_PAR5 = 0x06;
constexpr std::uint8_t P1_CURR = 0x07;  // current page (offset of page 0's ISR)
constexpr std::uint8_t P1_MAR0 = 0x08;  // multicast hash bits 0-7
constexpr std::uint8_t P1_MAR1 = 0x09;
constexpr std::uint8_t P1_MAR2 = 0x0A;
constexpr std::uint8_t P1_MAR3 = 0x0B;
constexpr std::uint8_t P1_MAR4 = 0x0C;
constexpr std::uint8_t P1_MAR5 = 0x0D;
constexpr std::uint8_t P1_MAR6 = 0x0E;
constexpr std::uint8_t P1_MAR7 = 0x0F;  // hash bits 56-63 (offset of page 0's IMR)

// Page 2, read (the values written on page 0)
constexpr std::uint8_t P2R_PSTART = 0x01;
constexpr std::uint8_t P2R_PSTOP = 0x02;
constexpr std::uint8_t P2R_TPSR = 0x04;
constexpr std::uint8_t P2R_RCR = 0x0C;
constexpr std::uint8_t P2R_TCR = 0x0D;
constexpr std::uint8_t P2R_DCR = 0x0E;
constexpr std::uint8_t P2R_IMR = 0x0F;

// Ring header before every stored frame
constexpr unsigned kRingHeaderBytes = 4;
constexpr unsigned kPageBytes = 256;

}  // namespace dp8390
}  // namespace hw

#endif  // HW_DP8390_REGS_H
