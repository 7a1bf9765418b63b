// A small miniport of the tests' own, registered through its own entry
// point, and a port device with an interrupt line, to test the host
// platform without the real driver or card.
#ifndef TESTS_SIM_FAKE_MINIPORT_H
#define TESTS_SIM_FAKE_MINIPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "hw/port_device.h"
#include "platform/ndis.h"
#include "sim/host.h"

namespace fake {

// Ports: 0x07 status (write 1s to clear), 0x0F mask, 0x10 data.
// The line is high while status & mask is not zero.
class Card : public hw::PortDevice {
public:
    std::uint8_t regs[32] = {};
    unsigned string_calls = 0;
    unsigned isr_context_reads = 0;  // port reads made while told the ISR runs
    bool in_isr = false;

    void raise(std::uint8_t bits) { regs[7] |= bits; update(); }
    bool line() const { return (regs[7] & regs[15]) != 0; }

    std::uint8_t read8(std::uint32_t off) override {
        if (in_isr) isr_context_reads++;
        return regs[off & 31];
    }
    void write8(std::uint32_t off, std::uint8_t v) override {
        off &= 31;
        if (off == 7) regs[7] &= static_cast<std::uint8_t>(~v);
        else regs[off] = v;
        update();
    }
    std::uint16_t read16(std::uint32_t off) override { return static_cast<std::uint16_t>(read8(off) | 0xAB00); }
    void write16(std::uint32_t off, std::uint16_t v) override { write8(off, static_cast<std::uint8_t>(v)); }
    void read8_string(std::uint32_t off, std::uint8_t* d, std::uint32_t n) override {
        string_calls++;
        for (std::uint32_t i = 0; i < n; i++) d[i] = static_cast<std::uint8_t>(regs[off & 31] + i);
    }
    void write16_string(std::uint32_t, const std::uint16_t*, std::uint32_t) override { string_calls++; }
    bool irq_level() const override { return line(); }
    void set_isr_context(bool active) override { in_isr = active; }
    void describe_to(std::string& out, std::uint32_t off, bool write, unsigned,
                     std::uint32_t value) const override {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s %s 0x%02X", off == 7 ? "STATUS" : off == 15 ? "MASK" : "REG",
                      write ? "=" : "->", value);
        out += buf;
    }

private:
    void update() { notify_irq(line()); }
};

// What the fake miniport does and what it saw.
struct State {
    // Behaviour
    UINT base = 0x300;
    UINT vector = 5;
    bool isr_masks = true;           // false: the ISR leaves the line high and claims nothing
    bool halt_frees_wrong_size = false;
    int dpc_raises_again = 0;        // deferred handler leaves a new condition pending
    bool halt_leaks = false;
    bool close_configuration = true;
    enum SendMode { CompleteOnce, CompleteTwice, Never, ReturnSuccess } send_mode = CompleteOnce;
    std::vector<std::uint8_t> frame;  // indicated by the deferred handler when not empty
    std::uint8_t station[6] = {0x02, 0, 0, 0, 0, 1};
    Card* card = nullptr;             // raised from inside handlers

    // Observations
    std::vector<std::string> log;
    void* record = nullptr;
    bool armed = false;
    unsigned isr_in_sync = 0;
    bool in_sync = false;
    NDIS_STATUS config_status = 0;
    std::vector<std::uint8_t> network_address;
};

extern State state;

NTSTATUS Entry(PVOID DriverObject, PVOID RegistryPath);
constexpr NDIS_OID kOidSyncRaise = 0xFF000001;  // set: raise the line inside a synchronized routine
constexpr NDIS_OID kOidStallRaise = 0xFF000002; // set: raise the line, then stall

// A host with a fake card at state.base and the fake driver loaded.
struct Rig {
    Card card;
    sim::Host host;
    Rig();
    NDIS_STATUS init(sim::AdapterConfig config = {});
};

}  // namespace fake

#endif  // TESTS_SIM_FAKE_MINIPORT_H
