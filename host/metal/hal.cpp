#include "metal/hal.h"

#include "metal/clock.h"
#include "metal/console.h"
#include "metal/cpu.h"
#include "platform/ndis.h"

namespace metal {

namespace {

bool tracing = false;
std::uint32_t trace_base = 0;
unsigned page = 0;  // register page the driver last selected through CR
std::uint64_t accesses = 0;
std::uint64_t stalled = 0;

// Controller registers by page and offset, as read and as written.
const char* const kPage0Read[16] = {"CR",   "CLDA0", "CLDA1", "BNRY",  "TSR",   "NCR",   "FIFO",  "ISR",
                                    "CRDA0", "CRDA1", "-",     "-",     "RSR",   "CNTR0", "CNTR1", "CNTR2"};
const char* const kPage0Write[16] = {"CR",    "PSTART", "PSTOP", "BNRY", "TPSR", "TBCR0", "TBCR1", "ISR",
                                     "RSAR0", "RSAR1",  "RBCR0", "RBCR1", "RCR", "TCR",   "DCR",   "IMR"};
const char* const kPage1[16] = {"CR",   "PAR0", "PAR1", "PAR2", "PAR3", "PAR4", "PAR5", "CURR",
                                "MAR0", "MAR1", "MAR2", "MAR3", "MAR4", "MAR5", "MAR6", "MAR7"};

const char* register_name(std::uint32_t port, bool write) {
    std::uint32_t offset = port - trace_base;
    if (offset >= 0x18) return "RESET";
    if (offset >= 0x10) return "DATA";
    if (page == 1) return kPage1[offset];
    if (page == 0) return write ? kPage0Write[offset] : kPage0Read[offset];
    return "PAGE2/3";
}

bool traced(std::uint32_t port) { return tracing && port >= trace_base && port - trace_base < 0x20; }

void trace_one(std::uint32_t port, bool write, std::uint32_t value, bool word) {
    if (write && port == trace_base) page = (value >> 6) & 3;
    if (!traced(port)) return;
    print(word ? "%c 0x%03x %-6s = 0x%04x\n" : "%c 0x%03x %-6s = 0x%02x\n", write ? 'W' : 'R', port,
          register_name(port, write), value);
}

void trace_string(std::uint32_t port, bool write, std::uint32_t count, bool word) {
    if (!traced(port)) return;
    print("%c 0x%03x %-6s x %u %s\n", write ? 'W' : 'R', port, register_name(port, write), count, word ? "words" : "bytes");
}

}  // namespace

void hal_trace(bool on, std::uint32_t base) {
    tracing = on;
    trace_base = base;
}

std::uint64_t hal_port_accesses() { return accesses; }
std::uint64_t hal_stalled_us() { return stalled; }

}  // namespace metal

using namespace metal;

extern "C" {

UCHAR NDIS_API READ_PORT_UCHAR(ULONG Port) {
    UCHAR v = inb(static_cast<std::uint16_t>(Port));
    accesses++;
    trace_one(Port, false, v, false);
    return v;
}

USHORT NDIS_API READ_PORT_USHORT(ULONG Port) {
    USHORT v = inw(static_cast<std::uint16_t>(Port));
    accesses++;
    trace_one(Port, false, v, true);
    return v;
}

VOID NDIS_API WRITE_PORT_UCHAR(ULONG Port, UCHAR Value) {
    outb(static_cast<std::uint16_t>(Port), Value);
    accesses++;
    trace_one(Port, true, Value, false);
}

VOID NDIS_API WRITE_PORT_USHORT(ULONG Port, USHORT Value) {
    outw(static_cast<std::uint16_t>(Port), Value);
    accesses++;
    trace_one(Port, true, Value, true);
}

VOID NDIS_API READ_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count) {
    insb(static_cast<std::uint16_t>(Port), Buffer, Count);
    accesses += Count;
    trace_string(Port, false, Count, false);
}

VOID NDIS_API READ_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count) {
    insw(static_cast<std::uint16_t>(Port), Buffer, Count);
    accesses += Count;
    trace_string(Port, false, Count, true);
}

VOID NDIS_API WRITE_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count) {
    outsb(static_cast<std::uint16_t>(Port), Buffer, Count);
    accesses += Count;
    trace_string(Port, true, Count, false);
}

VOID NDIS_API WRITE_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count) {
    outsw(static_cast<std::uint16_t>(Port), Buffer, Count);
    accesses += Count;
    trace_string(Port, true, Count, true);
}

VOID NDIS_API KeStallExecutionProcessor(ULONG MicroSeconds) {
    stalled += MicroSeconds;
    if (tracing) print("  stall %u us\n", MicroSeconds);
    stall_us(MicroSeconds);
}

}  // extern "C"
