// The bus: clock advance, port routing, interrupt lines, the trace, and the
// HAL's port operations, here beside the routing so that each is one inline
// path from the driver's call into the device.
#include "sim/bus.h"

#include <charconv>
#include <cstdio>

#include "sim/host.h"

namespace sim {

// ---------------------------------------------------------------------------
// Time

void Bus::advance_to(Nanos t, bool deliver) {
    while (clock_.next_deadline() <= t) {
        clock_.run_until(clock_.next_deadline());
        if (deliver) dispatcher_.deliver();
    }
    clock_.run_until(t);
    if (deliver) dispatcher_.deliver();
}

void Bus::stall(Nanos dt) {
    stalled_ns_ += dt;
    if (Observer* o = dispatcher_.observer()) o->stall(clock_.now(), dt);
    advance_to(clock_.now() + dt);
}

// ---------------------------------------------------------------------------
// Ports

Bus::Slot* Bus::slot_of(const hw::PortDevice* device) {
    for (auto& s : slots_)
        if (s.device == device) return &s;
    return nullptr;
}

Bus::Slot& Bus::slot_made_for(hw::PortDevice* device) {
    if (Slot* s = slot_of(device)) return *s;
    slots_.push_back(Slot{});
    slots_.back().device = device;
    return slots_.back();
}

bool Bus::map_ports(std::uint32_t base, std::uint32_t count, hw::PortDevice* device,
                    std::uint32_t data_first, std::uint32_t data_count) {
    if (!device || count == 0 || base >= kPortSpace || count > kPortSpace - base) return false;
    for (std::uint32_t p = base; p < base + count; p++)
        if (port_table_[p]) return false;
    Slot* known = slot_of(device);
    if (known && known->mapped) return false;  // one range per device
    Slot& slot = slot_made_for(device);
    slot.base = base;
    slot.count = count;
    slot.data_first = data_first;
    slot.data_count = data_count;
    slot.mapped = true;
    auto index = static_cast<std::uint16_t>(&slot - slots_.data() + 1);
    for (std::uint32_t p = base; p < base + count; p++) port_table_[p] = index;
    return true;
}

void Bus::unmap_ports(hw::PortDevice* device) {
    Slot* slot = slot_of(device);
    if (!slot || !slot->mapped) return;
    for (std::uint32_t p = slot->base; p < slot->base + slot->count; p++) port_table_[p] = 0;
    slot->mapped = false;
}

PortStats Bus::port_stats(const hw::PortDevice* device) const {
    for (auto& s : slots_)
        if (s.device == device) return s.stats;
    return PortStats{};
}

// ---------------------------------------------------------------------------
// Interrupt lines

void Bus::connect_irq(hw::PortDevice& device, UINT vector) {
    Slot& slot = slot_made_for(&device);
    slot.vector = static_cast<int>(vector);
    slot.level = device.irq_level();
    hw::PortDevice* dev = &device;
    device.set_irq_listener([this, dev](bool level) {
        Slot* s = slot_of(dev);  // looked up anew: the slots may have moved
        if (!s || level == s->level) return;
        s->level = level;
        if (dispatcher_.observer()) return observe_line(*dev, s->vector, level);
        if (level && s->vector >= 0) dispatcher_.raise(static_cast<UINT>(s->vector));
    });
}

void Bus::observe_line(const hw::PortDevice& device, int vector, bool level) {
    dispatcher_.observer()->irq_line(device, static_cast<UINT>(vector), level, now());
    if (level && vector >= 0) dispatcher_.raise(static_cast<UINT>(vector));
}

void Bus::disconnect_irq(hw::PortDevice& device) {
    Slot* slot = slot_of(&device);
    if (!slot) return;
    slot->vector = -1;
    device.set_irq_listener(nullptr);
}

void Bus::set_isr_context(bool active) {
    for (auto& s : slots_)
        if (s.device) s.device->set_isr_context(active);
}

// ---------------------------------------------------------------------------
// Trace

void Bus::trace_to_vector(bool on) {
    trace_vector_ = on;
    tracing_ = trace_vector_ || static_cast<bool>(trace_sink_);
}

void Bus::set_trace_sink(std::function<void(const TraceEntry&)> sink) {
    trace_sink_ = std::move(sink);
    tracing_ = trace_vector_ || static_cast<bool>(trace_sink_);
}

std::vector<std::string> Bus::trace_text() const {
    std::vector<std::string> out;
    out.reserve(trace_.size());
    for (auto& e : trace_) out.push_back(e.text);
    return out;
}

// One entry, made in the kept entry (its text reuses its room), handed to
// the sink and copied into the vector when that is on.
void Bus::trace(Slot* s, const Access& a, std::uint32_t value, Nanos start) {
    TraceEntry& e = trace_entry_;
    e.index = access_index_;
    e.time = start;
    e.write = a.write;
    e.width = a.width;
    e.port = a.port;
    e.value = value;
    e.count = a.count ? a.count : 1;
    e.text.assign(a.write ? "W 0x" : "R 0x");
    char digits[8];
    int n = 0;
    for (std::uint32_t p = a.port; p || n < 3; p >>= 4) digits[n++] = "0123456789ABCDEF"[p & 0xF];
    while (n) e.text += digits[--n];
    e.text += ' ';
    if (s) {
        s->device->describe_to(e.text, a.port - s->base, a.write, a.width, value);
    } else {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%0*X", a.width == 16 ? 4 : 2, value);
        e.text += "(unmapped) ";
        e.text += a.write ? "= " : "-> ";
        e.text += hex;
    }
    if (a.count) {
        char times[12];
        auto end = std::to_chars(times, times + sizeof times, a.count).ptr;
        e.text += " x";
        e.text.append(times, end);
    }
    if (trace_sink_) trace_sink_(e);
    if (trace_vector_) trace_.push_back(e);
}

}  // namespace sim

// ---------------------------------------------------------------------------
// The HAL's port operations and the stall.

extern "C" {

UCHAR NDIS_API READ_PORT_UCHAR(ULONG Port) { return sim::Host::current().bus().read8(Port); }
USHORT NDIS_API READ_PORT_USHORT(ULONG Port) { return sim::Host::current().bus().read16(Port); }
VOID NDIS_API WRITE_PORT_UCHAR(ULONG Port, UCHAR Value) {
    sim::Host::current().bus().write8(Port, Value);
}
VOID NDIS_API WRITE_PORT_USHORT(ULONG Port, USHORT Value) {
    sim::Host::current().bus().write16(Port, Value);
}
VOID NDIS_API READ_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count) {
    sim::Host::current().bus().read8s(Port, Buffer, Count);
}
VOID NDIS_API READ_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count) {
    sim::Host::current().bus().read16s(Port, Buffer, Count);
}
VOID NDIS_API WRITE_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count) {
    sim::Host::current().bus().write8s(Port, Buffer, Count);
}
VOID NDIS_API WRITE_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count) {
    sim::Host::current().bus().write16s(Port, Buffer, Count);
}

VOID NDIS_API KeStallExecutionProcessor(ULONG MicroSeconds) {
    sim::Host::current().bus().stall(static_cast<hw::Nanos>(MicroSeconds) * hw::kMicrosecond);
}

}  // extern "C"
