#include "metal/cpu.h"

#include "metal/console.h"
#include "metal/verdict.h"

extern "C" {
void cpu_load_gdt(const void* descriptor);
extern const std::uint32_t cpu_vector_table[256];
void cpu_interrupt(metal::InterruptFrame* frame);
}

namespace metal {

namespace {

constexpr std::uint16_t kPic1 = 0x20, kPic2 = 0xA0;  // command ports; data at +1
constexpr std::uint8_t kPicEoi = 0x20;
constexpr std::uint8_t kPicReadIsr = 0x0B;  // OCW3: next read of the command port gives ISR
constexpr unsigned kIrqBase = 0x20;         // vector of IRQ 0
constexpr unsigned kCascade = 2;            // the second 8259 hangs on line 2 of the first

struct __attribute__((packed)) TableDescriptor {
    std::uint16_t limit;
    std::uint32_t base;
};

// Null, flat code (0x08), flat data (0x10): base 0, limit 4 GB. Writable:
// the processor marks a descriptor accessed when it loads it.
std::uint64_t gdt[3] = {0, 0x00CF9A000000FFFFull, 0x00CF92000000FFFFull};

struct IdtEntry {
    std::uint16_t offset_low, selector;
    std::uint8_t zero, type;  // 0x8E: present, ring 0, 32-bit interrupt gate (interrupts off)
    std::uint16_t offset_high;
};
IdtEntry idt[256];

IrqHandler handlers[16];
volatile std::uint32_t unexpected;

const char* const kExceptionNames[32] = {
    "divide error", "debug", "NMI", "breakpoint", "overflow", "bound range", "invalid opcode",
    "no math coprocessor", "double fault", "segment overrun", "invalid TSS", "segment not present",
    "stack fault", "general protection", "page fault", "reserved", "x87 error", "alignment check",
    "machine check", "SIMD error", "virtualization", "control protection"};

void pic_setup() {
    outb(kPic1, 0x11);  // ICW1: edge triggered, cascade, ICW4 follows
    outb(kPic2, 0x11);
    outb(kPic1 + 1, kIrqBase);      // ICW2: vectors
    outb(kPic2 + 1, kIrqBase + 8);
    outb(kPic1 + 1, 1u << kCascade);  // ICW3: the second 8259 on line 2
    outb(kPic2 + 1, kCascade);
    outb(kPic1 + 1, 0x01);  // ICW4: 8086 mode, normal end of interrupt
    outb(kPic2 + 1, 0x01);
    outb(kPic1 + 1, 0x00);  // every line unmasked
    outb(kPic2 + 1, 0x00);
}

void set_mask(unsigned irq, bool masked) {
    std::uint16_t port = irq < 8 ? kPic1 + 1 : kPic2 + 1;
    std::uint8_t bit = static_cast<std::uint8_t>(1u << (irq & 7));
    std::uint8_t m = inb(port);
    outb(port, masked ? (m | bit) : (m & ~bit));
}

// A line of the 8259 that is not in service: the request went away before
// the processor took it (the controller then reports line 7 of the chip).
bool spurious(unsigned irq) {
    if ((irq & 7) != 7) return false;
    std::uint16_t port = irq < 8 ? kPic1 : kPic2;
    outb(port, kPicReadIsr);
    return !(inb(port) & 0x80);
}

[[noreturn]] void exception(const InterruptFrame& f) {
    const char* name = f.vector < 32 && kExceptionNames[f.vector] ? kExceptionNames[f.vector] : "reserved";
    std::uint32_t cr2;
    asm volatile("mov %%cr2, %0" : "=r"(cr2));
    print("exception %u (%s), error code 0x%x, at eip 0x%08x cs 0x%x eflags 0x%x cr2 0x%x\n", f.vector, name,
          f.error, f.eip, f.cs, f.eflags, cr2);
    print("  eax 0x%08x ebx 0x%08x ecx 0x%08x edx 0x%08x esi 0x%08x edi 0x%08x ebp 0x%08x\n", f.eax, f.ebx, f.ecx,
          f.edx, f.esi, f.edi, f.ebp);
    fail("the processor raised an exception");
}

}  // namespace

void cpu_setup() {
    static TableDescriptor gdt_descriptor;
    gdt_descriptor = {sizeof gdt - 1, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(gdt))};
    cpu_load_gdt(&gdt_descriptor);
    for (unsigned v = 0; v < 256; v++) {
        std::uint32_t at = cpu_vector_table[v];
        idt[v] = {static_cast<std::uint16_t>(at), 0x08, 0, 0x8E, static_cast<std::uint16_t>(at >> 16)};
    }
    static TableDescriptor idt_descriptor;
    idt_descriptor = {sizeof idt - 1, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(idt))};
    asm volatile("lidt %0" : : "m"(idt_descriptor));
    pic_setup();
}

void irq_connect(unsigned irq, IrqHandler handler) {
    bool was_on = interrupts_off();
    handlers[irq] = handler;
    set_mask(irq, handler == nullptr);
    interrupts_restore(was_on);
}

void irq_watch(unsigned irq) {
    bool was_on = interrupts_off();
    handlers[irq] = nullptr;
    set_mask(irq, false);
    interrupts_restore(was_on);
}

std::uint32_t unexpected_interrupts() { return unexpected; }

}  // namespace metal

using namespace metal;

// Every interrupt and exception, with interrupts off.
extern "C" void cpu_interrupt(InterruptFrame* frame) {
    unsigned v = frame->vector;
    if (v < kIrqBase) exception(*frame);
    if (v >= kIrqBase + 16) {
        unexpected++;
        print("unexpected interrupt: vector %u\n", v);
        return;
    }
    unsigned irq = v - kIrqBase;
    if (spurious(irq)) {
        // No end of interrupt for the chip that raised it; the first chip
        // did put the cascade line in service.
        if (irq >= 8) outb(kPic1, kPicEoi);
        unexpected++;
        print("unexpected interrupt: spurious IRQ %u\n", irq);
        return;
    }
    if (handlers[irq]) {
        handlers[irq]();
    } else {
        unexpected++;
        print("unexpected interrupt: IRQ %u, which nothing has connected\n", irq);
    }
    if (irq >= 8) outb(kPic2, kPicEoi);
    outb(kPic1, kPicEoi);
}
