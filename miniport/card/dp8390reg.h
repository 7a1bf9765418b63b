// DP8390-compatible controller as the driver sees it through its 32-port
// window: register offsets (by page and direction) and the bits of each
// register, under the controller's own short names (the names the port trace
// prints). Register values are written as ORs of these bits.
//
// Registers 0x00-0x0F are banked into pages by CR bits 6-7. Page 0 is
// selected at all times except inside a sequence that needs page 1 (PAR,
// CURR, MAR); such a sequence ends with a page-0 command.
//
// Card memory (16-bit addresses, 256-byte pages):
//
//   TxStartPage                 RxFirstPage                    RxStopPage
//   | slot 0 | ... | slot 11 |  | ring page | ... | ring page |
//                               each frame: [status|next|count lo|count hi] frame+FCS
#ifndef CARD_DP8390REG_H
#define CARD_DP8390REG_H

#include "platform/ndis.h"

// Command register, every page
constexpr ULONG NIC_CR = 0x00;
constexpr UCHAR CR_STP = 0x01;        // stop
constexpr UCHAR CR_STA = 0x02;        // start
constexpr UCHAR CR_TXP = 0x04;        // transmit; reads 1 while transmitting
constexpr UCHAR CR_RD_READ = 0x08;    // remote DMA: read
constexpr UCHAR CR_RD_WRITE = 0x10;   // remote DMA: write
constexpr UCHAR CR_RD_ABORT = 0x20;   // remote DMA: abort or complete
constexpr UCHAR CR_PAGE0 = 0x00;      // PS1-PS0: register page
constexpr UCHAR CR_PAGE1 = 0x40;

// Page 0, write
constexpr ULONG NIC_PSTART = 0x01;    // first receive ring page
constexpr ULONG NIC_PSTOP = 0x02;     // page one past the ring
constexpr ULONG NIC_BNRY = 0x03;      // page before the next unread frame
constexpr ULONG NIC_TPSR = 0x04;      // transmit start page
constexpr ULONG NIC_TBCR0 = 0x05;     // transmit byte count, low
constexpr ULONG NIC_TBCR1 = 0x06;     // ... high
constexpr ULONG NIC_ISR = 0x07;       // interrupt status: write 1 to clear a bit (also read)
constexpr ULONG NIC_RSAR0 = 0x08;     // remote start address, low
constexpr ULONG NIC_RSAR1 = 0x09;     // ... high
constexpr ULONG NIC_RBCR0 = 0x0A;     // remote byte count, low
constexpr ULONG NIC_RBCR1 = 0x0B;     // ... high
constexpr ULONG NIC_RCR = 0x0C;       // receive configuration
constexpr ULONG NIC_TCR = 0x0D;       // transmit configuration
constexpr ULONG NIC_DCR = 0x0E;       // data configuration
constexpr ULONG NIC_IMR = 0x0F;       // interrupt mask

// Page 0, read
constexpr ULONG NIC_TSR = 0x04;       // transmit status
constexpr ULONG NIC_CRDA0 = 0x08;     // current remote address, low
constexpr ULONG NIC_CRDA1 = 0x09;     // ... high
constexpr ULONG NIC_CNTR0 = 0x0D;     // frame alignment errors (clear on read)
constexpr ULONG NIC_CNTR1 = 0x0E;     // CRC errors (clear on read)
constexpr ULONG NIC_CNTR2 = 0x0F;     // missed frames (clear on read)

// Page 1, read and write
constexpr ULONG NIC_PAR0 = 0x01;      // station address, PAR0..PAR5 at 0x01..0x06
constexpr ULONG NIC_CURR = 0x07;      // the controller's write page
constexpr ULONG NIC_MAR0 = 0x08;      // multicast hash, MAR0..MAR7 at 0x08..0x0F
constexpr ULONG MAR_COUNT = 8;

// Outside the controller
constexpr ULONG NIC_DATA = 0x10;      // data port: card RAM through the remote DMA
constexpr ULONG NIC_RESET = 0x1F;     // reset port: read, then write RESET_PULSE
constexpr UCHAR RESET_PULSE = 0xFF;
constexpr ULONG NIC_PORT_COUNT = 32;

// What every port of a controller that does not answer (a PC Card taken
// out) reads: no valid CR, and every ISR condition at once.
constexpr UCHAR NIC_NO_ANSWER = 0xFF;

// Interrupt status and mask (ISR, IMR)
constexpr UCHAR ISR_PRX = 0x01;       // frame received
constexpr UCHAR ISR_PTX = 0x02;       // frame transmitted
constexpr UCHAR ISR_RXE = 0x04;       // receive error
constexpr UCHAR ISR_TXE = 0x08;       // transmit aborted with error
constexpr UCHAR ISR_OVW = 0x10;       // receive ring overflow
constexpr UCHAR ISR_CNT = 0x20;       // a tally counter has its top bit set
constexpr UCHAR ISR_RDC = 0x40;       // remote DMA complete
constexpr UCHAR ISR_RST = 0x80;       // the controller entered the stopped state
constexpr UCHAR ISR_TX_DONE = ISR_PTX | ISR_TXE;  // either ends a transmission
constexpr UCHAR ISR_ALL = 0xFF;       // written to acknowledge everything

constexpr UCHAR IMR_VALUE = ISR_PRX | ISR_PTX | ISR_TXE | ISR_OVW;  // the conditions that interrupt
constexpr UCHAR IMR_NONE = 0x00;

// Data configuration (DCR)
constexpr UCHAR DCR_WTS = 0x01;       // word-wide transfers
constexpr UCHAR DCR_LS = 0x08;        // normal operation (clear: loopback)
constexpr UCHAR DCR_AR = 0x10;        // auto-initialize remote
constexpr UCHAR DCR_FT1 = 0x40;       // FIFO threshold 8 bytes (with FT0 clear)
constexpr UCHAR DCR_BYTE_WIDE = DCR_FT1 | DCR_LS;
constexpr UCHAR DCR_WORD_WIDE = DCR_FT1 | DCR_LS | DCR_WTS;

// Receive configuration (RCR)
constexpr UCHAR RCR_AB = 0x04;        // accept broadcast
constexpr UCHAR RCR_AM = 0x08;        // accept multicast through the hash
constexpr UCHAR RCR_PRO = 0x10;       // accept every individual address
constexpr UCHAR RCR_MON = 0x20;       // monitor: check and count, store nothing

// Transmit configuration (TCR)
constexpr UCHAR TCR_NORMAL = 0x00;
constexpr UCHAR TCR_LB0 = 0x02;       // internal loopback

// Transmit status (TSR)
constexpr UCHAR TSR_PTX = 0x01;       // transmitted without error

// Receive status (RSR; byte 0 of the ring header)
constexpr UCHAR RSR_PRX = 0x01;       // received intact
constexpr UCHAR RSR_CRC = 0x02;       // CRC error
constexpr UCHAR RSR_FAE = 0x04;       // frame alignment error
constexpr UCHAR RSR_FO = 0x08;        // FIFO overrun
constexpr UCHAR RSR_MPA = 0x10;       // missed packet
constexpr UCHAR RSR_PHY = 0x20;       // group address (multicast or broadcast)
constexpr UCHAR RSR_DIS = 0x40;       // receiver disabled
constexpr UCHAR RSR_ERRORS = RSR_CRC | RSR_FAE | RSR_FO | RSR_MPA | RSR_DIS;

// Station-address PROM width signatures
constexpr UCHAR PROM_SIGNATURE_BYTE = 0x42;  // 'B': 8-bit card
constexpr UCHAR PROM_SIGNATURE_WORD = 0x57;  // 'W': 16-bit card

constexpr UCHAR MAR_ACCEPT_ALL = 0xFF;       // every hash bit of one register

#endif  // CARD_DP8390REG_H
