// The bus: ports routed to emulated devices, the virtual time each access
// costs, the trace of accesses, the devices' interrupt lines, and the
// virtual clock the emulated hardware runs on. The HAL's port operations
// (READ_PORT_*, WRITE_PORT_*) and KeStallExecutionProcessor are in bus.cpp.
//
// A port access is one inline path from the driver's call to the device:
// the common case (no trace, no hook, no hardware event inside the access's
// bus time, nothing waiting for delivery) makes no call beyond the device's.
#ifndef SIM_BUS_H
#define SIM_BUS_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hw/clock.h"
#include "hw/port_device.h"
#include "platform/ndis.h"
#include "sim/dispatch.h"
#include "sim/records.h"

namespace sim {

class Bus {
public:
    explicit Bus(Dispatcher& dispatcher) : dispatcher_(dispatcher) {}
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // --- time ---------------------------------------------------------------
    hw::Clock& clock() { return clock_; }
    Nanos now() const { return clock_.now(); }
    // Virtual time each port access costs (each element of a string access).
    void set_port_cost(Nanos cost) { port_cost_ = cost; }
    Nanos port_cost() const { return port_cost_; }
    // Moves the clock to `t`, stopping at every hardware event on the way so
    // that interrupts are delivered at the time they arise (when `deliver`).
    void advance_to(Nanos t, bool deliver = true);
    // Advances time as a stall does (KeStallExecutionProcessor).
    void stall(Nanos dt);
    std::uint64_t stalled_ns() const { return stalled_ns_; }

    // --- ports --------------------------------------------------------------
    // Routes ports [base, base+count) to `device` (offset = port - base).
    // Offsets [data_first, data_first+data_count) are the device's data
    // port, whose bytes moved are counted. Returns false (and maps nothing)
    // on overlap with a mapped range.
    bool map_ports(std::uint32_t base, std::uint32_t count, hw::PortDevice* device,
                   std::uint32_t data_first = 0, std::uint32_t data_count = 0);
    void unmap_ports(hw::PortDevice* device);

    PortStats port_stats() const { return total_stats_; }
    PortStats port_stats(const hw::PortDevice* device) const;
    std::uint64_t unmapped_accesses() const { return unmapped_accesses_; }
    std::uint64_t access_count() const { return access_index_; }

    // --- interrupt lines ----------------------------------------------------
    // Connects a device's interrupt line to a vector: a rising edge goes to
    // the dispatcher (Dispatcher::raise).
    void connect_irq(hw::PortDevice& device, UINT vector);
    void disconnect_irq(hw::PortDevice& device);
    // Tells every device whether the driver's service routine runs.
    void set_isr_context(bool active);

    // --- trace --------------------------------------------------------------
    // Off by default. A sink gets each entry as it is made; keeping them in
    // a vector is the other way. The device names the register
    // (describe_to()) before a write, so the page is the one written to, and
    // after a read, with the value read (a read changes no page).
    void trace_to_vector(bool on);
    void set_trace_sink(std::function<void(const TraceEntry&)> sink);
    const std::vector<TraceEntry>& trace() const { return trace_; }
    void clear_trace() { trace_.clear(); }
    std::vector<std::string> trace_text() const;  // just the text of each entry
    // Called after every port access with its running index (0-based).
    void set_access_hook(std::function<void(std::uint64_t index)> hook) {
        access_hook_ = std::move(hook);
    }

    // --- port accesses (the HAL's port operations) ---------------------------
    // An unmapped port reads all ones. The string forms hand the whole block
    // to the device in one call.
    std::uint8_t read8(std::uint32_t port);
    std::uint16_t read16(std::uint32_t port);
    void write8(std::uint32_t port, std::uint8_t value);
    void write16(std::uint32_t port, std::uint16_t value);
    void read8s(std::uint32_t port, std::uint8_t* dst, std::uint32_t count);
    void read16s(std::uint32_t port, std::uint16_t* dst, std::uint32_t count);
    void write8s(std::uint32_t port, const std::uint8_t* src, std::uint32_t count);
    void write16s(std::uint32_t port, const std::uint16_t* src, std::uint32_t count);

private:
    static constexpr std::uint32_t kPortSpace = 0x10000;

    struct Slot {
        hw::PortDevice* device = nullptr;
        std::uint32_t base = 0;
        std::uint32_t count = 0;
        std::uint32_t data_first = 0;
        std::uint32_t data_count = 0;
        PortStats stats;
        int vector = -1;     // interrupt vector its line is connected to, or -1
        bool level = false;  // last level seen on its line
        bool mapped = false;
    };
    struct Access {
        bool write;
        unsigned width;       // 8 or 16
        std::uint32_t port;
        std::uint32_t count;  // elements; 0 means a single access
    };

    Slot* slot_for(std::uint32_t port) {
        if (port >= kPortSpace) return nullptr;
        std::uint16_t i = port_table_[port];
        return i ? &slots_[i - 1] : nullptr;
    }
    Slot* slot_of(const hw::PortDevice* device);
    // A device's line changed, with an observer to tell: then as without
    // (kept out of line: the common case has no observer).
    [[gnu::noinline, gnu::cold]] void observe_line(const hw::PortDevice& device, int vector, bool level);
    Slot& slot_made_for(hw::PortDevice* device);

    // Around each access: the counters, the trace, then the bus cost, the
    // hook and any interrupt that became due.
    void count(Slot* s, const Access& a);
    void trace(Slot* s, const Access& a, std::uint32_t value, Nanos start);
    void finish(const Access& a);
    // The driver passes buffers at any byte address to the word string forms.
    static std::uint16_t first_word(const std::uint16_t* p) {
        std::uint16_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }

    Dispatcher& dispatcher_;
    hw::Clock clock_;
    Nanos port_cost_ = hw::kMicrosecond;
    Nanos stalled_ns_ = 0;

    // Port -> index+1 into slots_ (0: nothing mapped).
    std::vector<std::uint16_t> port_table_ = std::vector<std::uint16_t>(kPortSpace, 0);
    std::vector<Slot> slots_;
    std::uint64_t access_index_ = 0;
    std::uint64_t unmapped_accesses_ = 0;
    PortStats total_stats_;

    bool tracing_ = false;  // a sink or the vector is on
    bool trace_vector_ = false;
    std::function<void(const TraceEntry&)> trace_sink_;
    std::vector<TraceEntry> trace_;
    TraceEntry trace_entry_;  // the entry being made (kept for the room of its text)
    std::function<void(std::uint64_t)> access_hook_;
};

// ---------------------------------------------------------------------------
// The access path, inline.

inline void Bus::count(Slot* s, const Access& a) {
    std::uint64_t n = a.count ? a.count : 1;
    total_stats_.accesses += n;
    (a.write ? total_stats_.writes : total_stats_.reads) += n;
    if (!s) {
        unmapped_accesses_ += n;
        return;
    }
    s->stats.accesses += n;
    (a.write ? s->stats.writes : s->stats.reads) += n;
    std::uint32_t off = a.port - s->base;
    if (off - s->data_first < s->data_count) {
        std::uint64_t bytes = n * (a.width / 8);
        s->stats.data_bytes += bytes;
        s->stats.data_accesses += n;
        total_stats_.data_bytes += bytes;
        total_stats_.data_accesses += n;
    }
}

inline void Bus::finish(const Access& a) {
    std::uint64_t n = a.count ? a.count : 1;
    std::uint64_t index = access_index_++;
    bool deliver = dispatcher_.in_wrapper_call();
    if (port_cost_) {
        Nanos t = clock_.now() + n * port_cost_;
        if (clock_.next_deadline() <= t) {
            advance_to(t, deliver);  // events fall due during the access
        } else {
            clock_.run_until(t);
            if (deliver) dispatcher_.deliver();  // as advance_to ends
        }
    }
    if (access_hook_) access_hook_(index);
    if (deliver) dispatcher_.deliver();
}

inline std::uint8_t Bus::read8(std::uint32_t port) {
    Slot* s = slot_for(port);
    Nanos start = clock_.now();
    std::uint8_t v = s ? s->device->read8(port - s->base) : 0xFF;
    Access a{false, 8, port, 0};
    count(s, a);
    if (tracing_) trace(s, a, v, start);
    finish(a);
    return v;
}

inline std::uint16_t Bus::read16(std::uint32_t port) {
    Slot* s = slot_for(port);
    Nanos start = clock_.now();
    std::uint16_t v = s ? s->device->read16(port - s->base) : 0xFFFF;
    Access a{false, 16, port, 0};
    count(s, a);
    if (tracing_) trace(s, a, v, start);
    finish(a);
    return v;
}

inline void Bus::write8(std::uint32_t port, std::uint8_t value) {
    Slot* s = slot_for(port);
    Access a{true, 8, port, 0};
    if (tracing_) trace(s, a, value, clock_.now());
    if (s) s->device->write8(port - s->base, value);
    count(s, a);
    finish(a);
}

inline void Bus::write16(std::uint32_t port, std::uint16_t value) {
    Slot* s = slot_for(port);
    Access a{true, 16, port, 0};
    if (tracing_) trace(s, a, value, clock_.now());
    if (s) s->device->write16(port - s->base, value);
    count(s, a);
    finish(a);
}

inline void Bus::read8s(std::uint32_t port, std::uint8_t* dst, std::uint32_t n) {
    Slot* s = slot_for(port);
    Nanos start = clock_.now();
    if (s)
        s->device->read8_string(port - s->base, dst, n);
    else
        std::memset(dst, 0xFF, n);
    Access a{false, 8, port, n};
    count(s, a);
    if (tracing_) trace(s, a, n ? dst[0] : 0, start);
    finish(a);
}

inline void Bus::read16s(std::uint32_t port, std::uint16_t* dst, std::uint32_t n) {
    Slot* s = slot_for(port);
    Nanos start = clock_.now();
    if (s)
        s->device->read16_string(port - s->base, dst, n);
    else
        std::memset(dst, 0xFF, n * sizeof *dst);
    Access a{false, 16, port, n};
    count(s, a);
    if (tracing_) trace(s, a, n ? first_word(dst) : 0, start);
    finish(a);
}

inline void Bus::write8s(std::uint32_t port, const std::uint8_t* src, std::uint32_t n) {
    Slot* s = slot_for(port);
    Access a{true, 8, port, n};
    if (tracing_) trace(s, a, n ? src[0] : 0, clock_.now());
    if (s) s->device->write8_string(port - s->base, src, n);
    count(s, a);
    finish(a);
}

inline void Bus::write16s(std::uint32_t port, const std::uint16_t* src, std::uint32_t n) {
    Slot* s = slot_for(port);
    Access a{true, 16, port, n};
    if (tracing_) trace(s, a, n ? first_word(src) : 0, clock_.now());
    if (s) s->device->write16_string(port - s->base, src, n);
    count(s, a);
    finish(a);
}

}  // namespace sim

#endif  // SIM_BUS_H
