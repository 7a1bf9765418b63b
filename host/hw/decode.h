// The port trace's decoder: the text of one access to a board's 32-port
// window, with the register it names on the page it hits and, for an 8-bit
// access to a register made of flags, the flags set in the value.
#ifndef HW_DECODE_H
#define HW_DECODE_H

#include <cstdint>
#include <string>

namespace hw {

// Appends to `out` the text of an access at `offset` (0x00-0x1F) of `width`
// bits (8 or 16) while register page `page` (0-3) is selected, for example
// "CR = 0x22 (STA, abort DMA, page 0)", "ISR -> 0x01 (PRX)", "data <- 0x1234".
void decode_access(std::string& out, unsigned page, std::uint32_t offset, bool write, unsigned width,
                   std::uint32_t value);

}  // namespace hw

#endif  // HW_DECODE_H
