// A small miniport of the tests' own and a port device with an interrupt
// line, to test the host platform without the driver or the card.
#ifndef TESTS_SIM_FAKE_MINIPORT_H
#define TESTS_SIM_FAKE_MINIPORT_H

#include <string>
#include <vector>

#include "sim/host.h"

namespace fake {

// Ports 0x07 status (write ones to clear), 0x0F mask, 0x10 data; the line
// is high while status & mask.
class Card : public hw::PortDevice {
public:
    std::uint8_t regs[32] = {};
    unsigned string_calls = 0, isr_context_reads = 0;
    bool in_isr = false;

    void raise(std::uint8_t bits) { regs[7] |= bits, notify_irq(irq_level()); }
    std::uint8_t read8(std::uint32_t off) override { return isr_context_reads += in_isr, regs[off & 31]; }
    void write8(std::uint32_t off, std::uint8_t v) override {
        (off & 31) == 7 ? regs[7] &= std::uint8_t(~v) : regs[off & 31] = v;
        notify_irq(irq_level());
    }
    std::uint16_t read16(std::uint32_t off) override { return std::uint16_t(read8(off) | 0xAB00); }
    void write16(std::uint32_t off, std::uint16_t v) override { write8(off, std::uint8_t(v)); }
    void read8_string(std::uint32_t off, std::uint8_t* d, std::uint32_t n) override {
        string_calls++;
        for (std::uint32_t i = 0; i < n; i++) d[i] = std::uint8_t(regs[off & 31] + i);
    }
    void write16_string(std::uint32_t, const std::uint16_t*, std::uint32_t) override { string_calls++; }
    bool irq_level() const override { return (regs[7] & regs[15]) != 0; }
    void set_isr_context(bool active) override { in_isr = active; }
    void describe_to(std::string& out, std::uint32_t off, bool write, unsigned, std::uint32_t value) const override {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s %s 0x%02X", off == 7 ? "STATUS" : off == 15 ? "MASK" : "REG", write ? "=" : "->", value);
        out += buf;
    }
};

// What the fake miniport does, and what it saw.
struct State {
    bool isr_masks = true;     // false: the ISR leaves the line high and claims nothing
    int dpc_raises_again = 0;  // the deferred handler leaves a new condition pending
    bool halt_leaks = false, halt_frees_wrong_size = false, close_configuration = true;
    enum SendMode { CompleteOnce, CompleteTwice, Never, ReturnSuccess } send_mode = CompleteOnce;
    std::vector<std::uint8_t> frame;  // indicated by the deferred handler when not empty
    Card* card = nullptr;
    UINT base = 0x300;
    std::vector<std::string> log;
    void* record = nullptr;
    bool armed = false, in_sync = false;
    unsigned isr_in_sync = 0;
    std::vector<std::uint8_t> network_address;
};
extern State state;

NTSTATUS Entry(PVOID DriverObject, PVOID RegistryPath);
constexpr NDIS_OID kOidSyncRaise = 0xFF000001;   // set: raise the line inside a synchronized routine
constexpr NDIS_OID kOidStallRaise = 0xFF000002;  // set: raise the line, then stall

// A host with a fake card at 0x300 on vector 5 and the fake driver loaded.
struct Rig {
    Card card;
    sim::Host host;
    Rig();
    NDIS_STATUS init(sim::AdapterConfig config = {}) { return host.initialize(config); }
};

}  // namespace fake

#endif  // TESTS_SIM_FAKE_MINIPORT_H
