// DP8390-compatible controller as the driver sees it through its 32-port
// window: register offsets (by page and direction), command values, and the
// bits of the interrupt, data, receive and transmit configuration registers.
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

// Command register (all pages)
#define NIC_COMMAND 0x00
#define   CR_STOP 0x01           // STP
#define   CR_START 0x02          // STA
#define   CR_XMIT 0x04           // TXP: reads 1 while transmitting
#define   CR_DMA_READ 0x08       // remote read
#define   CR_DMA_WRITE 0x10      // remote write
#define   CR_NO_DMA 0x20         // abort or complete remote DMA
#define   CR_PAGE0 0x00
#define   CR_PAGE1 0x40

// Command values the driver writes
#define CR_VALUE_STOP_PAGE0 0x01           // stop, no remote DMA command
#define CR_VALUE_START_READ 0x0A           // start, begin remote read
#define CR_VALUE_START_WRITE 0x12          // start, begin remote write
#define CR_VALUE_STOP 0x21                 // stop, abort remote DMA
#define CR_VALUE_START 0x22                // start, abort remote DMA, page 0
#define CR_VALUE_START_XMIT 0x26           // start, transmit, abort remote DMA
#define CR_VALUE_STOP_PAGE1 0x41           // stop, no remote DMA command, page 1
#define CR_VALUE_STOP_NO_DMA_PAGE1 0x61    // stop, abort remote DMA, page 1
#define CR_VALUE_START_NO_DMA_PAGE1 0x62   // start, abort remote DMA, page 1

// Page 0, write
#define NIC_PAGE_START 0x01      // PSTART: first receive ring page
#define NIC_PAGE_STOP 0x02       // PSTOP: page one past the ring
#define NIC_BOUNDARY 0x03        // BNRY: page before the next unread frame
#define NIC_XMIT_START 0x04      // TPSR: transmit start page
#define NIC_XMIT_COUNT_LSB 0x05  // TBCR0
#define NIC_XMIT_COUNT_MSB 0x06  // TBCR1
#define NIC_INTR_STATUS 0x07     // ISR: write 1 to clear a bit (also readable)
#define NIC_RMT_ADDR_LSB 0x08    // RSAR0: remote start address, low
#define NIC_RMT_ADDR_MSB 0x09    // RSAR1: remote start address, high
#define NIC_RMT_COUNT_LSB 0x0A   // RBCR0: remote byte count, low
#define NIC_RMT_COUNT_MSB 0x0B   // RBCR1: remote byte count, high
#define NIC_RCV_CONFIG 0x0C      // RCR
#define NIC_XMIT_CONFIG 0x0D     // TCR
#define NIC_DATA_CONFIG 0x0E     // DCR
#define NIC_INTR_MASK 0x0F       // IMR

// Page 0, read
#define NIC_XMIT_STATUS 0x04     // TSR
#define NIC_CRDA_LSB 0x08        // CRDA0: current remote address, low
#define NIC_CRDA_MSB 0x09        // CRDA1: current remote address, high
#define NIC_FAE_ERR_CNTR 0x0D    // CNTR0: frame alignment errors (clear on read)
#define NIC_CRC_ERR_CNTR 0x0E    // CNTR1: CRC errors (clear on read)
#define NIC_MISSED_CNTR 0x0F     // CNTR2: missed frames (clear on read)

// Page 1, read and write
#define NIC_PHYS_ADDR 0x01       // PAR0..PAR5 at 0x01..0x06
#define NIC_CURRENT 0x07         // CURR: controller's write page
#define NIC_MC_ADDR 0x08         // MAR0..MAR7 at 0x08..0x0F

// Outside the controller
#define NIC_RACK_NIC 0x10        // data port: card RAM through remote DMA
#define NIC_RESET 0x1F           // reset port: read, then write 0xFF
#define NIC_PORT_COUNT 32

// What every port of a controller that does not answer (a PC Card taken
// out) reads: no valid CR, and every ISR condition at once.
#define NIC_NO_ANSWER 0xFF

// Interrupt status and mask bits (ISR, IMR)
#define ISR_RCV 0x01             // PRX: frame received
#define ISR_XMIT 0x02            // PTX: frame transmitted
#define ISR_RCV_ERR 0x04         // RXE: receive error
#define ISR_XMIT_ERR 0x08        // TXE: transmit aborted with error
#define ISR_OVERFLOW 0x10        // OVW: receive ring overflow
#define ISR_COUNTER 0x20         // CNT: a tally counter has its top bit set
#define ISR_DMA_DONE 0x40        // RDC: remote DMA complete
#define ISR_RESET 0x80           // RST: controller entered the stopped state
#define ISR_XMIT_DONE (ISR_XMIT | ISR_XMIT_ERR)
#define ISR_CLEAR_ALL 0xFF       // write 1 to every bit

#define IMR_VALUE 0x1B           // PRX, PTX, TXE, OVW enabled
#define IMR_MASK_ALL 0x00        // every interrupt masked

#define MAR_COUNT 8              // multicast hash registers MAR0..MAR7
#define MAR_ACCEPT_ALL 0xFF      // every hash bit of one register set

#define RESET_PORT_PULSE 0xFF    // written to the reset port after reading it

// Data configuration (DCR)
#define DCR_BYTE_WIDE 0x48       // FIFO 8 bytes, normal operation, byte transfers
#define DCR_WORD_WIDE 0x49       // the same with word transfers
#define DCR_INIT 0x50            // FIFO 8 bytes, auto-init remote, loopback, bytes

// Receive configuration (RCR)
#define RCR_BROADCAST 0x04       // AB
#define RCR_MULTICAST 0x08       // AM
#define RCR_PROMISCUOUS 0x10     // PRO
#define RCR_MONITOR 0x20         // MON

// Transmit configuration (TCR)
#define TCR_NORMAL 0x00
#define TCR_LOOPBACK 0x02        // internal loopback

// Transmit status (TSR)
#define TSR_XMIT_OK 0x01

// Receive status (ring header byte 0, RSR)
#define RSR_PACKET_OK 0x01
#define RSR_CRC_ERROR 0x02
#define RSR_FRAME_ALIGN 0x04
#define RSR_FIFO_OVERRUN 0x08
#define RSR_MISSED_PACKET 0x10
#define RSR_PHYSICAL 0x20        // 1 = group address
#define RSR_DISABLED 0x40
#define RSR_DEFERRING 0x80
#define RSR_BAD_MASK 0x5E        // CRC, FAE, FO, MPA, DIS

// Station-address PROM width signatures
#define PROM_SIGNATURE_BYTE 0x42 // 'B': 8-bit card
#define PROM_SIGNATURE_WORD 0x57 // 'W': 16-bit card

#endif  // CARD_DP8390REG_H
