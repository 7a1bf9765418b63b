// Figures shared by the register-level routines: wait bounds and stalls,
// card kinds, fixed card memory, and the layout of the attribute window.
#ifndef CARD_CARDLOCAL_H
#define CARD_CARDLOCAL_H

// Stalls, in microseconds, and poll bounds (readings of the polled register).
#define STOP_SETTLE_US 2000           // after a stop command or a reset pulse
#define XMIT_IDLE_STALL_US 10         // transmitter-idle wait: step ...
#define XMIT_IDLE_LIMIT_US 10000      // ... and total (1,000 stalls)
#define RMT_ADDR_POLL_LIMIT 65535     // write preparation: CRDA polls
#define RMT_ADDR_STALL_US 1
#define RMT_DONE_POLL_LIMIT 65535     // completion wait: ISR readings
#define RMT_DONE_STALL_US 4
#define STOP_RESET_POLL_LIMIT 4       // CardStop: ISR readings for RST
#define STOP_RESET_STALL_US 500
#define INIT_RESET_POLL_LIMIT 16382   // CardInitialize: ISR readings for RST
#define INIT_RESET_STALL_US 4

// Card memory.
#define CARD_ADDRESS_SPACE 0x10000u   // 16-bit card addresses
#define CARD_RAM_TOP 0xFF00u          // RAM end is trimmed here so pages fit a byte
#define RAM_PROBE_STEP 0x400u         // RAM search: start and end probe step
#define RAM_PATTERN_LENGTH 4u         // RAM test pattern AA 55 FF 00
#define PC_CARD_RAM_START 0x4000u
#define PC_CARD_RAM_SIZE 0x4000u

// Station-address PROM image read by CardSlotTest, and its signature area.
#define PROM_IMAGE_LENGTH 32u
#define PROM_SIGNATURE_FIRST 16u      // pairs (i, i + 1) for i = 16 .. 30
#define PROM_ADDRESS_READ_COUNT 12u   // remote read programmed for the address

// PC Card attribute window: address byte i at 0xFF0 + 2 * i.
#define ATTRIBUTE_ADDRESS_OFFSET 0xFF0u
#define ATTRIBUTE_WINDOW_MINIMUM 0xFFBu  // one past the last byte read (0xFFA)

// CardInitialize programming while the controller is found and reset.
#define INIT_XMIT_START_PAGE 0xA0
#define INIT_RING_START_PAGE 0x04
#define INIT_RING_STOP_PAGE 0xFF
#define INIT_XMIT_COUNT 0x3C
#define INIT_RMT_COUNT 0x37

#endif  // CARD_CARDLOCAL_H
