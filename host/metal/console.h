// The serial port COM1 (0x3F8, 115200 baud, 8N1, polled): everything the
// kernel says goes there, each line ended by CR LF.
//
//   print("mapped at 0x%08x, %u bytes\n", base, size);
//
// Formats: %s %c %d %u %x %X (with a width and a 0 flag, e.g. %08x, %-12s),
// %llu %llx for 64-bit values, %%.
#ifndef METAL_CONSOLE_H
#define METAL_CONSOLE_H

#include <cstdarg>
#include <cstdint>

namespace metal {

void console_setup();
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vprint(const char* format, va_list args);
// Formats into `out` (always ended by a zero, cut at `room` - 1 characters).
void format(char* out, unsigned room, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace metal

#endif  // METAL_CONSOLE_H
