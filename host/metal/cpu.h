// The processor and the 8259 interrupt controllers: port I/O, interrupts
// on and off, the descriptor tables, and where each interrupt goes.
//
// Vectors 0-31 are the processor's exceptions: each is fatal (the run ends
// with the registers on the serial port). The two 8259s are moved to
// vectors 0x20-0x2F with every line unmasked, so that an interrupt on a
// line nobody connected (a card on another line than the driver was told,
// say) is seen: it is counted as unexpected, as is a spurious one, and
// fails the run. A line a handler was connected to and then disconnected
// from is masked, as a system masks a line whose last handler is gone.
#ifndef METAL_CPU_H
#define METAL_CPU_H

#include <cstdint>

namespace metal {

inline std::uint8_t inb(std::uint16_t port) {
    std::uint8_t v;
    asm volatile("inb %1, %0" : "=a"(v) : "Nd"(port));
    return v;
}
inline std::uint16_t inw(std::uint16_t port) {
    std::uint16_t v;
    asm volatile("inw %1, %0" : "=a"(v) : "Nd"(port));
    return v;
}
inline void outb(std::uint16_t port, std::uint8_t v) { asm volatile("outb %0, %1" : : "a"(v), "Nd"(port)); }
inline void outw(std::uint16_t port, std::uint16_t v) { asm volatile("outw %0, %1" : : "a"(v), "Nd"(port)); }

inline void insb(std::uint16_t port, std::uint8_t* to, std::uint32_t n) {
    asm volatile("rep insb" : "+D"(to), "+c"(n) : "d"(port) : "memory");
}
inline void insw(std::uint16_t port, std::uint16_t* to, std::uint32_t n) {
    asm volatile("rep insw" : "+D"(to), "+c"(n) : "d"(port) : "memory");
}
inline void outsb(std::uint16_t port, const std::uint8_t* from, std::uint32_t n) {
    asm volatile("rep outsb" : "+S"(from), "+c"(n) : "d"(port) : "memory");
}
inline void outsw(std::uint16_t port, const std::uint16_t* from, std::uint32_t n) {
    asm volatile("rep outsw" : "+S"(from), "+c"(n) : "d"(port) : "memory");
}

inline std::uint64_t rdtsc() {
    std::uint32_t lo, hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    return (std::uint64_t{hi} << 32) | lo;
}

// Interrupts off; returns whether they were on, for interrupts_restore.
inline bool interrupts_off() {
    std::uint32_t flags;
    asm volatile("pushf; pop %0; cli" : "=r"(flags) : : "memory");
    return flags & 0x200;
}
inline void interrupts_restore(bool on) {
    if (on) asm volatile("sti" : : : "memory");
}
inline void interrupts_on() { asm volatile("sti" : : : "memory"); }
// Enables interrupts and waits for one, with no window between the two in
// which an interrupt could come and be missed.
inline void wait_for_interrupt() { asm volatile("sti; hlt" : : : "memory"); }

// What the entry stubs of boot.S leave on the stack.
struct InterruptFrame {
    std::uint32_t edi, esi, ebp, esp, ebx, edx, ecx, eax;  // pusha
    std::uint32_t vector, error;
    std::uint32_t eip, cs, eflags;
};

// A routine that serves one 8259 line, called with interrupts off.
using IrqHandler = void (*)();

// The GDT (flat code and data), the IDT, both 8259s remapped with every
// line unmasked. Interrupts stay off.
void cpu_setup();
// Routes `irq` (0-15) to `handler`; null disconnects the handler and masks
// the line. The end of interrupt is sent after the handler.
void irq_connect(unsigned irq, IrqHandler handler);
// Unmasks `irq` with nothing connected: an interrupt there is unexpected.
void irq_watch(unsigned irq);
// Interrupts that came on a line nobody connected, or spurious ones.
std::uint32_t unexpected_interrupts();

}  // namespace metal

#endif  // METAL_CPU_H
