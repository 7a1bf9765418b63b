// The host: clock stepping, port routing with cost and trace, interrupt
// delivery, handler calls and the bookkeeping queries.
#include "sim/host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <charconv>
#include <cctype>
#include <type_traits>

#include "sim/internal.h"

namespace sim {

Host* g_current_host = nullptr;

namespace {

std::string hex(std::uint64_t v, int digits = 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
    return buf;
}
}  // namespace

// ---------------------------------------------------------------------------
// Host: life

Host::Host() : in_(new Internals) {
    if (g_current_host) {
        std::fprintf(stderr, "sim::Host: a host already exists\n");
        std::abort();
    }
    g_current_host = this;
}

Host::~Host() {
    // Devices the host does not own may already be gone: they are not
    // touched here. A device that outlives the host keeps a listener that
    // must not fire any more (connect it to the next host anew).
    for (auto& [address, index] : in_->live_allocations) {
        (void)index;
        std::free(address);
    }
    in_->live_allocations.clear();
    if (g_current_host == this) g_current_host = nullptr;
    in_->cards.clear();  // before the segment they are attached to
    in_->segment.reset();
}

Host* Host::current() { return g_current_host; }

void Host::problem(const std::string& text) { problems_.push_back(text); }

void HostAccess::no_host() {
    std::fprintf(stderr, "platform operation called with no sim::Host\n");
    std::abort();
}

Adapter* HostAccess::adapter(Host& h, NDIS_HANDLE handle, const char* operation) {
    for (auto& a : h.adapters_)
        if (a->handle() == handle) return a.get();
    h.problem(std::string(operation) + ": unknown miniport adapter handle");
    return nullptr;
}

Adapter* HostAccess::adapter_by_filter(Host& h, PETH_FILTER filter, const char* operation) {
    for (auto& a : h.adapters_)
        if (&a->filter_ == filter) return a.get();
    h.problem(std::string(operation) + ": unknown filter database");
    return nullptr;
}

// A halted adapter keeps the address of its interrupt storage, which lay in
// a record that is freed now and may hold a newer adapter's record: the
// adapter whose interrupt is connected is the one meant, else the newest.
Adapter* HostAccess::adapter_by_interrupt(Host& h, PNDIS_MINIPORT_INTERRUPT interrupt) {
    if (!interrupt) return nullptr;
    Adapter* newest = nullptr;
    for (auto& a : h.adapters_) {
        if (a->interrupt_.object != interrupt) continue;
        if (a->interrupt_.connected) return a.get();
        newest = a.get();
    }
    return newest;
}

// ---------------------------------------------------------------------------
// Time

namespace {
// Moves the clock to `t`, stopping at every hardware event on the way so
// that interrupts are delivered at the time they arise (when `deliver`).
void advance_to(Host& h, Nanos t, bool deliver = true) {
    hw::Clock& c = h.clock();
    while (c.next_deadline() <= t) {
        c.run_until(c.next_deadline());
        if (deliver) HostAccess::deliver(h);
    }
    c.run_until(t);
    if (deliver) HostAccess::deliver(h);
}
}  // namespace

void Host::stall(Nanos dt) {
    stalled_ns_ += dt;
    advance_to(*this, clock_.now() + dt);
}

void Host::run_until(Nanos t) {
    for (auto& p : in_->pollers) p();
    HostAccess::deliver(*this);
    while (clock_.next_deadline() <= t) {
        advance_to(*this, clock_.next_deadline());
        for (auto& p : in_->pollers) p();
        HostAccess::deliver(*this);
    }
    advance_to(*this, t);
}

void Host::run_for(Nanos dt) { run_until(clock_.now() + dt); }

bool Host::run_until_idle(Nanos limit) {
    Nanos end = clock_.now() + limit;
    for (;;) {
        for (auto& p : in_->pollers) p();
        HostAccess::deliver(*this);
        bool work = false;
        for (auto& a : adapters_)
            if ((a->edge_pending_ && a->interrupt_.connected) ||
                (a->deferred_requested_ && !a->deferred_held_) ||
                !a->queued_sends_.empty())
                work = true;
        Nanos next = clock_.next_deadline();
        if (next == hw::kNever && !work) return true;
        if (next == hw::kNever || next > end) {
            // Pending work that cannot run now (held off): nothing moves it.
            if (next == hw::kNever) return false;
            advance_to(*this, end);
            return false;
        }
        advance_to(*this, next);
    }
}

// ---------------------------------------------------------------------------
// Ports

bool Host::map_ports(std::uint32_t base, std::uint32_t count, hw::PortDevice* device,
                     std::uint32_t data_first, std::uint32_t data_count) {
    if (!device || count == 0 || base >= Internals::kPortSpace ||
        count > Internals::kPortSpace - base)
        return false;
    for (std::uint32_t p = base; p < base + count; p++)
        if (in_->port_table[p]) return false;
    DeviceSlot* slot = in_->slot_of(device);
    if (slot && slot->mapped) return false;  // one range per device
    if (!slot) {
        in_->slots.push_back(DeviceSlot{});
        slot = &in_->slots.back();
        slot->device = device;
    }
    slot->base = base;
    slot->count = count;
    slot->data_first = data_first;
    slot->data_count = data_count;
    slot->mapped = true;
    auto index = static_cast<std::uint16_t>(slot - in_->slots.data() + 1);
    for (std::uint32_t p = base; p < base + count; p++) in_->port_table[p] = index;
    return true;
}

void Host::unmap_ports(hw::PortDevice* device) {
    DeviceSlot* slot = in_->slot_of(device);
    if (!slot || !slot->mapped) return;
    for (std::uint32_t p = slot->base; p < slot->base + slot->count; p++) in_->port_table[p] = 0;
    slot->mapped = false;
}

void Host::connect_irq(hw::PortDevice& device, UINT vector) {
    DeviceSlot* slot = in_->slot_of(&device);
    if (!slot) {
        in_->slots.push_back(DeviceSlot{});
        slot = &in_->slots.back();
        slot->device = &device;
    }
    slot->vector = static_cast<int>(vector);
    slot->level = device.irq_level();
    hw::PortDevice* dev = &device;
    device.set_irq_listener([this, dev](bool level) {
        DeviceSlot* s = in_->slot_of(dev);
        if (!s) return;
        bool rising = level && !s->level;
        s->level = level;
        if (!rising || s->vector < 0) return;
        for (auto& a : adapters_) {
            if (a->interrupt_.connected && static_cast<int>(a->interrupt_.vector) == s->vector) {
                a->edge_pending_ = true;
                in_->pending_work = true;
            }
        }
    });
}

void Host::disconnect_irq(hw::PortDevice& device) {
    DeviceSlot* slot = in_->slot_of(&device);
    if (!slot) return;
    slot->vector = -1;
    device.set_irq_listener(nullptr);
}

PortStats Host::port_stats(const hw::PortDevice* device) const {
    const DeviceSlot* s = in_->slot_of(device);
    return s ? s->stats : PortStats{};
}

void Host::trace_to_vector(bool on) {
    trace_vector_ = on;
    tracing_ = trace_vector_ || static_cast<bool>(trace_sink_);
}

void Host::set_trace_sink(std::function<void(const TraceEntry&)> sink) {
    trace_sink_ = std::move(sink);
    tracing_ = trace_vector_ || static_cast<bool>(trace_sink_);
}

std::vector<std::string> Host::trace_text() const {
    std::vector<std::string> out;
    out.reserve(trace_.size());
    for (auto& e : trace_) out.push_back(e.text);
    return out;
}

void Host::set_access_hook(std::function<void(std::uint64_t)> hook) { access_hook_ = std::move(hook); }

namespace {

struct AccessRecord {
    bool write;
    unsigned width;
    std::uint32_t port;
    std::uint32_t count;  // elements; 0 means a single access
};

}  // namespace

// Everything around one access: the trace (text made by the device before a
// write, after a read, when the value is known), the counters, the bus cost,
// the hook and then any interrupt that became due. The common case (no
// trace, no hook, no hardware event inside the access's bus time, nothing
// waiting for delivery) stays inline and does no call beyond the device's.
struct PortOps {
    // One entry, made in the host's kept entry (its text reuses its room),
    // handed to the sink and copied into the vector when that is on.
    static void trace(Host& h, DeviceSlot* s, const AccessRecord& r, std::uint32_t value,
                      Nanos start) {
        TraceEntry& e = h.in_->trace_entry;
        e.index = h.access_index_;
        e.time = start;
        e.write = r.write;
        e.width = r.width;
        e.port = r.port;
        e.value = value;
        e.count = r.count ? r.count : 1;
        e.text.assign(r.write ? "W 0x" : "R 0x");
        char digits[8];
        int n = 0;
        for (std::uint32_t p = r.port; p || n < 3; p >>= 4) digits[n++] = "0123456789ABCDEF"[p & 0xF];
        while (n) e.text += digits[--n];
        e.text += ' ';
        if (s) {
            s->device->describe_to(e.text, r.port - s->base, r.write, r.width, value);
        } else {
            e.text += "(unmapped) ";
            e.text += r.write ? "= " : "-> ";
            e.text += hex(value, r.width == 16 ? 4 : 2);
        }
        if (r.count) {
            char times[12];
            auto end = std::to_chars(times, times + sizeof times, r.count).ptr;
            e.text += " x";
            e.text.append(times, end);
        }
        if (h.trace_sink_) h.trace_sink_(e);
        if (h.trace_vector_) h.trace_.push_back(e);
    }

    static inline void count(Host& h, DeviceSlot* s, const AccessRecord& r) {
        std::uint64_t n = r.count ? r.count : 1;
        h.total_stats_.accesses += n;
        (r.write ? h.total_stats_.writes : h.total_stats_.reads) += n;
        if (!s) {
            h.unmapped_accesses_ += n;
            return;
        }
        s->stats.accesses += n;
        (r.write ? s->stats.writes : s->stats.reads) += n;
        std::uint32_t off = r.port - s->base;
        if (off - s->data_first < s->data_count) {
            std::uint64_t bytes = n * (r.width / 8);
            s->stats.data_bytes += bytes;
            s->stats.data_accesses += n;
            h.total_stats_.data_bytes += bytes;
            h.total_stats_.data_accesses += n;
        }
    }

    static inline void finish(Host& h, const AccessRecord& r) {
        std::uint64_t n = r.count ? r.count : 1;
        std::uint64_t index = h.access_index_++;
        bool deliver = h.in_->wrapper_depth > 0;
        if (h.port_cost_) {
            Nanos t = h.clock_.now() + n * h.port_cost_;
            if (h.clock_.next_deadline() <= t) {
                advance_to(h, t, deliver);  // events fall due during the access
            } else {
                h.clock_.run_until(t);
                if (deliver) HostAccess::deliver(h);  // as advance_to ends
            }
        }
        if (h.access_hook_) h.access_hook_(index);
        if (deliver) HostAccess::deliver(h);
    }

    static inline std::uint8_t read8(Host& h, std::uint32_t port) {
        DeviceSlot* s = h.in_->slot_for(port);
        Nanos start = h.clock_.now();
        std::uint8_t v = s ? s->device->read8(port - s->base) : 0xFF;
        AccessRecord r{false, 8, port, 0};
        count(h, s, r);
        if (h.tracing_) trace(h, s, r, v, start);
        finish(h, r);
        return v;
    }

    static inline std::uint16_t read16(Host& h, std::uint32_t port) {
        DeviceSlot* s = h.in_->slot_for(port);
        Nanos start = h.clock_.now();
        std::uint16_t v = s ? s->device->read16(port - s->base) : 0xFFFF;
        AccessRecord r{false, 16, port, 0};
        count(h, s, r);
        if (h.tracing_) trace(h, s, r, v, start);
        finish(h, r);
        return v;
    }

    static inline void write8(Host& h, std::uint32_t port, std::uint8_t value) {
        DeviceSlot* s = h.in_->slot_for(port);
        AccessRecord r{true, 8, port, 0};
        if (h.tracing_) trace(h, s, r, value, h.clock_.now());
        if (s) s->device->write8(port - s->base, value);
        count(h, s, r);
        finish(h, r);
    }

    static inline void write16(Host& h, std::uint32_t port, std::uint16_t value) {
        DeviceSlot* s = h.in_->slot_for(port);
        AccessRecord r{true, 16, port, 0};
        if (h.tracing_) trace(h, s, r, value, h.clock_.now());
        if (s) s->device->write16(port - s->base, value);
        count(h, s, r);
        finish(h, r);
    }

    // The string forms hand the whole block to the device in one call.
    static inline void read8s(Host& h, std::uint32_t port, std::uint8_t* dst, std::uint32_t n) {
        DeviceSlot* s = h.in_->slot_for(port);
        Nanos start = h.clock_.now();
        if (s)
            s->device->read8_string(port - s->base, dst, n);
        else
            std::memset(dst, 0xFF, n);
        AccessRecord r{false, 8, port, n};
        count(h, s, r);
        if (h.tracing_) trace(h, s, r, n ? dst[0] : 0, start);
        finish(h, r);
    }

    static inline void read16s(Host& h, std::uint32_t port, std::uint16_t* dst, std::uint32_t n) {
        DeviceSlot* s = h.in_->slot_for(port);
        Nanos start = h.clock_.now();
        if (s)
            s->device->read16_string(port - s->base, dst, n);
        else
            std::memset(dst, 0xFF, n * sizeof *dst);
        AccessRecord r{false, 16, port, n};
        count(h, s, r);
        if (h.tracing_) trace(h, s, r, n ? first_word(dst) : 0, start);
        finish(h, r);
    }

    static inline void write8s(Host& h, std::uint32_t port, const std::uint8_t* src,
                               std::uint32_t n) {
        DeviceSlot* s = h.in_->slot_for(port);
        AccessRecord r{true, 8, port, n};
        if (h.tracing_) trace(h, s, r, n ? src[0] : 0, h.clock_.now());
        if (s) s->device->write8_string(port - s->base, src, n);
        count(h, s, r);
        finish(h, r);
    }

    static inline void write16s(Host& h, std::uint32_t port, const std::uint16_t* src,
                                std::uint32_t n) {
        DeviceSlot* s = h.in_->slot_for(port);
        AccessRecord r{true, 16, port, n};
        if (h.tracing_) trace(h, s, r, n ? first_word(src) : 0, h.clock_.now());
        if (s) s->device->write16_string(port - s->base, src, n);
        count(h, s, r);
        finish(h, r);
    }

    // The driver passes buffers at any byte address to the word string forms.
    static std::uint16_t first_word(const std::uint16_t* p) {
        std::uint16_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }
};

}  // namespace sim

// The HAL's port operations, here beside the routing so each is one call
// from the driver into the device.
extern "C" {

UCHAR NDIS_API READ_PORT_UCHAR(ULONG Port) { return sim::PortOps::read8(sim::HostAccess::host(), Port); }
USHORT NDIS_API READ_PORT_USHORT(ULONG Port) { return sim::PortOps::read16(sim::HostAccess::host(), Port); }
VOID NDIS_API WRITE_PORT_UCHAR(ULONG Port, UCHAR Value) {
    sim::PortOps::write8(sim::HostAccess::host(), Port, Value);
}
VOID NDIS_API WRITE_PORT_USHORT(ULONG Port, USHORT Value) {
    sim::PortOps::write16(sim::HostAccess::host(), Port, Value);
}
VOID NDIS_API READ_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count) {
    sim::PortOps::read8s(sim::HostAccess::host(), Port, Buffer, Count);
}
VOID NDIS_API READ_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count) {
    sim::PortOps::read16s(sim::HostAccess::host(), Port, Buffer, Count);
}
VOID NDIS_API WRITE_PORT_BUFFER_UCHAR(ULONG Port, PUCHAR Buffer, ULONG Count) {
    sim::PortOps::write8s(sim::HostAccess::host(), Port, Buffer, Count);
}
VOID NDIS_API WRITE_PORT_BUFFER_USHORT(ULONG Port, PUSHORT Buffer, ULONG Count) {
    sim::PortOps::write16s(sim::HostAccess::host(), Port, Buffer, Count);
}

}  // extern "C"

namespace sim {

// ---------------------------------------------------------------------------
// Interrupts

namespace {
void set_isr_context(Host::Internals& in, bool active) {
    for (auto& s : in.slots)
        if (s.device) s.device->set_isr_context(active);
}
}  // namespace

struct InterruptOps {
    static void run_isr(Host& h, Adapter& a) {
        W_ISR_HANDLER isr = h.chars_.ISRHandler;
        if (!isr) {
            h.problem("interrupt with no ISR handler registered");
            return;
        }
        BOOLEAN recognized = FALSE, queue = FALSE;
        a.isr_depth_++;
        h.in_->isr_active++;
        h.in_->wrapper_depth++;
        set_isr_context(*h.in_, true);
        a.counters_.isr_calls++;
        isr(&recognized, &queue, a.attributes_.context);
        set_isr_context(*h.in_, false);
        h.in_->wrapper_depth--;
        h.in_->isr_active--;
        a.isr_depth_--;
        if (recognized) a.counters_.isr_recognized++;
        if (queue && a.interrupt_.connected) {
            a.deferred_requested_ = true;
            h.in_->pending_work = true;
        }
    }

    // The deferred handler and then the enable handler, as one handler call.
    static void run_deferred(Host& h, Adapter& a) {
        a.deferred_requested_ = false;
        a.depth_++;
        h.in_->wrapper_depth++;
        a.counters_.deferred_runs++;
        if (h.chars_.HandleInterruptHandler) h.chars_.HandleInterruptHandler(a.attributes_.context);
        if (a.interrupt_.connected) enable(h, a);
        h.in_->wrapper_depth--;
        a.depth_--;
    }

    // The enable handler runs synchronized with the ISR, as the wrapper
    // re-arms a card: an edge its IMR write raises is delivered after it.
    static void enable(Host& h, Adapter& a) {
        if (!h.chars_.EnableInterruptHandler) return;
        a.counters_.enable_calls++;
        a.sync_depth_++;
        h.in_->sync_active++;
        h.chars_.EnableInterruptHandler(a.attributes_.context);
        h.in_->sync_active--;
        a.sync_depth_--;
    }

    static void disable(Host& h, Adapter& a) {
        if (!h.chars_.DisableInterruptHandler) return;
        a.sync_depth_++;
        h.in_->sync_active++;
        h.chars_.DisableInterruptHandler(a.attributes_.context);
        h.in_->sync_active--;
        a.sync_depth_--;
    }
};

void HostAccess::deliver_pending(Host& h) {
    Host::Internals& in = *h.in_;
    in.pending_work = false;
    bool again = true;
    while (again) {
        again = false;
        for (std::size_t i = 0; i < h.adapters_.size(); i++) {
            Adapter& a = *h.adapters_[i];
            if (a.edge_pending_) {
                if (!a.interrupt_.connected) {
                    a.edge_pending_ = false;
                } else if (a.isr_depth_ || a.sync_depth_ || in.sync_active) {
                    if (a.sync_depth_ || in.sync_active) a.held_ = true;
                    in.pending_work = true;  // delivered when the holder ends
                } else {
                    a.edge_pending_ = false;
                    if (a.held_) a.counters_.held_off++;
                    a.held_ = false;
                    InterruptOps::run_isr(h, a);
                    again = true;
                }
            }
            if (a.deferred_requested_ && !a.deferred_held_) {
                if (a.depth_ == 0 && in.isr_active == 0 && in.sync_active == 0 && !a.halted_) {
                    InterruptOps::run_deferred(h, a);
                    a.after_handler();
                    again = true;
                } else {
                    in.pending_work = true;
                }
            }
        }
    }
}

void Adapter::enable_interrupt() {
    if (!check_callable("enable_interrupt")) return;
    call([&] { InterruptOps::enable(host_, *this); });
    HostAccess::deliver(host_);
}

void Adapter::disable_interrupt() {
    if (!check_callable("disable_interrupt")) return;
    call([&] { InterruptOps::disable(host_, *this); });
    HostAccess::deliver(host_);
}

void Adapter::hold_deferred(bool on) {
    deferred_held_ = on;
    if (on) return;
    host_.in_->pending_work = true;
    HostAccess::deliver(host_);
}

void Adapter::fire_shared() {
    if (!interrupt_.connected) return;
    edge_pending_ = true;
    host_.in_->pending_work = true;
    HostAccess::deliver(host_);
}

BOOLEAN HostAccess::synchronize(Host& h, Adapter& a, PVOID function, PVOID context) {
    auto fn = reinterpret_cast<W_SYNCHRONIZE_FUNCTION>(function);
    a.counters_.sync_calls++;
    a.sync_depth_++;
    h.in_->sync_active++;
    h.in_->wrapper_depth++;
    BOOLEAN r = fn(context);
    h.in_->wrapper_depth--;
    h.in_->sync_active--;
    a.sync_depth_--;
    deliver(h);
    return r;
}

// ---------------------------------------------------------------------------
// Physical memory

bool Host::map_physical(std::uint64_t phys, std::size_t len, std::uint8_t* bytes) {
    for (auto& w : in_->windows)
        if (phys < w.physical + w.length && w.physical < phys + len) return false;
    in_->windows.push_back(Window{phys, len, bytes});
    return true;
}

std::vector<Mapping> Host::live_mappings() const {
    std::vector<Mapping> out;
    for (auto& m : mappings_)
        if (!m.unmapped) out.push_back(m);
    return out;
}

// ---------------------------------------------------------------------------
// Driver and adapters

NTSTATUS Host::load_driver(DriverEntryFn entry) {
    registered_ = false;
    chars_ = NDIS_MINIPORT_CHARACTERISTICS{};
    chars_length_ = 0;
    static int driver_object, registry_path;
    return entry(&driver_object, &registry_path);
}

NDIS_STATUS Host::initialize(const AdapterConfig& config) {
    adapters_.emplace_back(new Adapter(*this, config));
    Adapter& a = *adapters_.back();
    auto ctx = std::make_unique<ConfigContext>();
    ctx->adapter = &a;
    ConfigContext* context = ctx.get();
    in_->contexts[&a] = std::move(ctx);
    if (!registered_ || !chars_.InitializeHandler) {
        problem("initialize: no driver registered");
        a.init_status_ = NDIS_STATUS_FAILURE;
        return a.init_status_;
    }
    if (config.processor_count) processor_count_ = *config.processor_count;
    std::vector<NDIS_MEDIUM> media = config.media;
    UINT selected = 0xFFFFFFFFu;
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    Adapter* outer = initializing_;
    initializing_ = &a;
    NDIS_STATUS status = a.call([&] {
        return chars_.InitializeHandler(&open_error, &selected, media.empty() ? nullptr : media.data(),
                                        static_cast<UINT>(media.size()), a.handle(), context);
    });
    initializing_ = outer;
    a.init_status_ = status;
    a.selected_medium_ = selected;

    for (auto& c : in_->configs)
        if (c->adapter == &a && c->open) problem("initialize: configuration handle left open");
    if (status == NDIS_STATUS_SUCCESS) {
        if (selected >= media.size() || media[selected] != NdisMedium802_3)
            problem("initialize: selected medium index " + std::to_string(selected) +
                    " is not an 802.3 entry");
        if (!a.attributes_.set) problem("initialize: succeeded without NdisMSetAttributes");
        a.running_ = true;
        UCHAR address[6] = {};
        ULONG written = 0, needed = 0;
        if (a.query(OID_802_3_CURRENT_ADDRESS, address, sizeof address, &written, &needed) ==
                NDIS_STATUS_SUCCESS &&
            written >= 6)
            std::memcpy(a.station_.data(), address, 6);
    } else {
        if (a.interrupt_.connected) problem("initialize failed with the interrupt connected");
        for (auto& r : port_ranges_)
            if (r.adapter == &a && !r.released) problem("initialize failed with ports registered");
        a.edge_pending_ = false;
        a.deferred_requested_ = false;
    }
    return status;
}

Adapter& Host::adapter() {
    if (adapters_.empty()) {
        std::fprintf(stderr, "sim::Host::adapter(): no adapter\n");
        std::abort();
    }
    return *adapters_.back();
}

Adapter& Host::adapter(std::size_t i) { return *adapters_.at(i); }

// ---------------------------------------------------------------------------
// Bookkeeping queries

std::vector<Allocation> Host::leaked_allocations() const {
    std::vector<Allocation> out;
    for (auto& [address, index] : in_->live_allocations) {
        (void)address;
        out.push_back(allocation_log_[index]);
    }
    return out;
}

std::uint64_t Host::allocations_after_initialize() const {
    std::uint64_t n = 0;
    for (auto& a : allocation_log_)
        if (a.after_initialize) n++;
    return n;
}

std::vector<PortRange> Host::live_port_ranges() const {
    std::vector<PortRange> out;
    for (auto& r : port_ranges_)
        if (!r.released) out.push_back(r);
    return out;
}

std::vector<NDIS_PACKET*> Host::never_completed() const {
    std::vector<NDIS_PACKET*> out;
    for (auto& a : adapters_) {
        std::size_t first = out.size();
        for (auto& [p, o] : a->outstanding_) {
            (void)o;
            out.push_back(p);
        }
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());  // by address
        for (auto& q : a->queued_sends_) out.push_back(q.packet);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Adapter

bool same_keyword(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

Adapter::Adapter(Host& host, const AdapterConfig& config) : host_(host), config_(config) {
    filter_.adapter = this;
    block_.EthDB = &filter_;
}

template <class F>
auto Adapter::call(F&& f) -> decltype(f()) {
    depth_++;
    host_.in_->wrapper_depth++;
    if constexpr (std::is_void_v<decltype(f())>) {
        f();
        host_.in_->wrapper_depth--;
        depth_--;
        if (depth_ == 0) after_handler();
    } else {
        auto r = f();
        host_.in_->wrapper_depth--;
        depth_--;
        if (depth_ == 0) after_handler();
        return r;
    }
}

// What waited for the adapter's handlers to finish: queued sends, then the
// deferred handler.
void Adapter::after_handler() {
    if (after_busy_) return;
    after_busy_ = true;
    for (;;) {
        if (depth_ != 0) break;
        if (!queued_sends_.empty() && running_) {
            QueuedSend q = queued_sends_.front();
            queued_sends_.erase(queued_sends_.begin());
            do_send(q.packet, q.flags, q.from);
            continue;
        }
        Host::Internals& in = *host_.in_;
        if (deferred_requested_ && !deferred_held_ && in.isr_active == 0 && in.sync_active == 0 && !halted_) {
            InterruptOps::run_deferred(host_, *this);
            HostAccess::deliver(host_);  // an edge held off during the enable handler
            continue;
        }
        break;
    }
    after_busy_ = false;
}

auto Adapter::find_outstanding(NDIS_PACKET* p)
    -> std::vector<std::pair<NDIS_PACKET*, Outstanding>>::iterator {
    return std::find_if(outstanding_.begin(), outstanding_.end(),
                        [p](const auto& o) { return o.first == p; });
}

bool Adapter::check_callable(const char* what) {
    if (!running_) {
        host_.problem(std::string(what) + ": adapter is not running");
        return false;
    }
    if (depth_ > 0) {
        host_.problem(std::string(what) + ": called while a handler of the adapter runs");
        return false;
    }
    return true;
}

NDIS_STATUS Adapter::send(NDIS_PACKET* packet, UINT flags, Protocol* from) {
    if (!running_) {
        host_.problem("send: adapter is not running");
        return NDIS_STATUS_FAILURE;
    }
    if (find_outstanding(packet) != outstanding_.end())
        host_.problem("send: packet is already with the driver");
    if (depth_ > 0) {
        queued_sends_.push_back(QueuedSend{packet, flags, from});
        counters_.queued_sends++;
        return NDIS_STATUS_PENDING;
    }
    return do_send(packet, flags, from);
}

NDIS_STATUS Adapter::do_send(NDIS_PACKET* packet, UINT flags, Protocol* from) {
    W_SEND_HANDLER handler = host_.chars_.SendHandler;
    auto known = find_outstanding(packet);
    if (known != outstanding_.end())
        known->second = Outstanding{from};
    else
        outstanding_.emplace_back(packet, Outstanding{from});
    counters_.sends++;
    NDIS_STATUS status = call([&] { return handler(attributes_.context, packet, flags); });
    if (status != NDIS_STATUS_PENDING) {
        // The handler finished the send itself; the wrapper completes it.
        auto it = find_outstanding(packet);
        if (it == outstanding_.end()) {
            host_.problem("send: handler returned a final status for a packet it also completed");
            host_.double_completions_++;
        } else {
            outstanding_.erase(it);
        }
        if (host_.keep_completions_)
            host_.completions_.push_back(SendCompletion{this, packet, status, true, host_.now()});
        if (from) from->on_send_complete(*this, packet, status);
    }
    return status;
}

NDIS_STATUS Adapter::query(NDIS_OID oid, void* buffer, ULONG length, ULONG* written, ULONG* needed) {
    if (!check_callable("query")) return NDIS_STATUS_FAILURE;
    ULONG w = 0, n = 0;
    NDIS_STATUS s = call([&] {
        return host_.chars_.QueryInformationHandler(attributes_.context, oid, buffer, length, &w, &n);
    });
    if (s == NDIS_STATUS_PENDING) host_.problem("query: handler returned pending");
    if (written) *written = w;
    if (needed) *needed = n;
    return s;
}

std::optional<ULONG> Adapter::query_ulong(NDIS_OID oid) {
    ULONG v = 0, w = 0;
    if (query(oid, &v, sizeof v, &w) != NDIS_STATUS_SUCCESS) return std::nullopt;
    return v;
}

NDIS_STATUS Adapter::set(NDIS_OID oid, void* buffer, ULONG length, ULONG* read, ULONG* needed,
                         Protocol* for_protocol) {
    if (!check_callable("set")) return NDIS_STATUS_FAILURE;
    ULONG r = 0, n = 0;
    NDIS_STATUS s = call([&] {
        return host_.chars_.SetInformationHandler(attributes_.context, oid, buffer, length, &r, &n);
    });
    if (s == NDIS_STATUS_PENDING) host_.problem("set: handler returned pending");
    if (s == NDIS_STATUS_SUCCESS) record_filter_set(oid, buffer, length, for_protocol);
    if (read) *read = r;
    if (needed) *needed = n;
    return s;
}

void Adapter::record_filter_set(NDIS_OID oid, const void* buffer, ULONG length, Protocol* p) {
    for (auto& b : bindings_) {
        if (p && b.protocol != p) continue;
        if (oid == OID_GEN_CURRENT_PACKET_FILTER && length >= 4) {
            std::memcpy(&b.filter, buffer, 4);
        } else if (oid == OID_802_3_MULTICAST_LIST) {
            b.multicast.clear();
            const auto* bytes = static_cast<const std::uint8_t*>(buffer);
            for (ULONG i = 0; i + 6 <= length; i += 6) {
                MacAddress m;
                std::memcpy(m.data(), bytes + i, 6);
                b.multicast.push_back(m);
            }
        }
    }
}

NDIS_STATUS Adapter::reset(BOOLEAN* addressing_reset) {
    if (!check_callable("reset")) return NDIS_STATUS_FAILURE;
    BOOLEAN addressing = FALSE;
    NDIS_STATUS s = call([&] { return host_.chars_.ResetHandler(&addressing, attributes_.context); });
    if (s == NDIS_STATUS_PENDING) host_.problem("reset: handler returned pending");
    if (addressing_reset) *addressing_reset = addressing;
    return s;
}

void Adapter::halt() {
    if (!check_callable("halt")) return;
    running_ = false;  // nothing queued is made once the halt begins
    call([&] { host_.chars_.HaltHandler(attributes_.context); });
    halted_ = true;
    queued_sends_.clear();
    if (interrupt_.connected) host_.problem("halt: interrupt still connected");
    for (auto& r : host_.port_ranges_)
        if (r.adapter == this && !r.released) host_.problem("halt: port range still registered");
}

NDIS_STATUS Adapter::transfer_data(NDIS_PACKET* packet, UINT byte_offset, UINT bytes_to_transfer,
                                   UINT* bytes_transferred) {
    UINT n = 0;
    if (!indicating_) {
        host_.problem("transfer_data outside a receive indication");
        if (bytes_transferred) *bytes_transferred = 0;
        return NDIS_STATUS_FAILURE;
    }
    depth_++;
    host_.in_->wrapper_depth++;
    NDIS_STATUS s = host_.chars_.TransferDataHandler(packet, &n, attributes_.context,
                                                     receive_context_, byte_offset,
                                                     bytes_to_transfer);
    host_.in_->wrapper_depth--;
    depth_--;
    if (s == NDIS_STATUS_PENDING) host_.problem("transfer_data: handler returned pending");
    if (bytes_transferred) *bytes_transferred = n;
    return s;
}

void Adapter::bind(Protocol& protocol) {
    for (auto& b : bindings_)
        if (b.protocol == &protocol) return;
    bindings_.push_back(Binding{&protocol, 0, {}});
}

void Adapter::unbind(Protocol& protocol) {
    bindings_.erase(std::remove_if(bindings_.begin(), bindings_.end(),
                                   [&](const Binding& b) { return b.protocol == &protocol; }),
                    bindings_.end());
    for (auto& [p, o] : outstanding_)
        if (o.from == &protocol) o.from = nullptr;
}

ULONG Adapter::packet_filter(const Protocol* p) const {
    for (auto& b : bindings_)
        if (!p || b.protocol == p) return b.filter;
    return 0;
}

std::vector<MacAddress> Adapter::multicast_list(const Protocol* p) const {
    for (auto& b : bindings_)
        if (!p || b.protocol == p) return b.multicast;
    return {};
}

bool Adapter::keyword_read(const std::string& keyword) const {
    for (auto& r : config_reads_)
        if (same_keyword(r.keyword, keyword)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Sends completed and frames indicated by the driver

// The adapter's bindings copied for one indication, into room the adapter
// keeps (a local copy when an indication is already using that room).
class BindingSnapshot {
public:
    explicit BindingSnapshot(Adapter& a) : a_(a), own_(!a.indicate_bindings_busy_) {
        if (own_) {
            a_.indicate_bindings_busy_ = true;
            a_.indicate_bindings_ = a_.bindings_;  // reuses the room of earlier copies
        } else {
            local_ = a_.bindings_;
        }
    }
    ~BindingSnapshot() {
        if (own_) a_.indicate_bindings_busy_ = false;
    }
    const std::vector<Adapter::Binding>& bindings() const {
        return own_ ? a_.indicate_bindings_ : local_;
    }

private:
    Adapter& a_;
    bool own_;
    std::vector<Adapter::Binding> local_;
};

void HostAccess::send_complete(Host& h, Adapter& a, NDIS_PACKET* packet, NDIS_STATUS status) {
    if (h.keep_completions_)
        h.completions_.push_back(SendCompletion{&a, packet, status, false, h.now()});
    if (a.halted_) h.problem("NdisMSendComplete after halt");
    auto it = a.find_outstanding(packet);
    if (it == a.outstanding_.end()) {
        h.double_completions_++;
        h.problem("NdisMSendComplete: packet " + hex(reinterpret_cast<std::uintptr_t>(packet)) +
                  " is not with the driver (completed twice, or never sent)");
        return;
    }
    Protocol* from = it->second.from;
    a.outstanding_.erase(it);
    if (from) from->on_send_complete(a, packet, status);
}

void HostAccess::indicate(Host& h, Adapter& a, NDIS_HANDLE context, const std::uint8_t* address,
                          const std::uint8_t* header,
                          UINT header_size, const std::uint8_t* lookahead, UINT lookahead_size,
                          UINT packet_size) {
    a.counters_.indications++;
    if (a.depth_ == 0) h.problem("receive indication outside a handler");
    if (a.halted_) h.problem("receive indication after halt");
    if (a.indicating_) {
        h.problem("receive indication inside an indication");
        return;
    }
    if (a.keep_indications_) {
        Indication ind;
        ind.header.assign(header, header + header_size);
        if (lookahead_size) ind.lookahead.assign(lookahead, lookahead + lookahead_size);
        ind.packet_size = packet_size;
        ind.receive_context = context;
        ind.time = h.now();
        a.indications_.push_back(std::move(ind));
    }
    if (header_size < 6) {
        h.problem("receive indication with a header under 6 bytes");
        return;
    }
    a.indicating_ = true;
    a.receive_context_ = context;
    BindingSnapshot snapshot(a);  // a protocol may unbind
    const std::vector<Adapter::Binding>& bindings = snapshot.bindings();
    for (auto& b : bindings) {
        if (!ethernet_filter_accepts(address, b.filter, a.station_, b.multicast)) {
            a.counters_.filter_dropped++;
            continue;
        }
        b.protocol->on_receive(a, header, header_size, lookahead, lookahead_size, packet_size,
                               context);
    }
    a.indicating_ = false;
    a.receive_context_ = nullptr;
}

void HostAccess::indicate_complete(Host& h, Adapter& a) {
    (void)h;
    a.counters_.indicate_completes++;
    BindingSnapshot snapshot(a);
    const std::vector<Adapter::Binding>& bindings = snapshot.bindings();
    for (auto& b : bindings) b.protocol->on_receive_complete(a);
}

}  // namespace sim
