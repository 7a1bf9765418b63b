// The host: its life, the run loops, driver loading and adapters, and the
// bookkeeping the wrapper's C operations keep and tests read back.
#include "sim/host.h"

#include <cstdio>
#include <cstdlib>

#include "hw/board.h"
#include "hw/segment.h"

namespace sim {

Host* Host::current_ = nullptr;

Host::Host() {
    if (current_) {
        std::fprintf(stderr, "sim::Host: a host already exists\n");
        std::abort();
    }
    current_ = this;
}

Host::~Host() {
    // Devices the host does not own may already be gone: they are not
    // touched here. A device that outlives the host keeps a listener that
    // must not fire any more (connect it to the next host anew).
    for (auto& [address, index] : live_allocations_) {
        (void)index;
        std::free(address);
    }
    live_allocations_.clear();
    if (current_ == this) current_ = nullptr;
    cards_.clear();  // before the segment they are attached to
    segment_.reset();
}

void Host::no_host() {
    std::fprintf(stderr, "platform operation called with no sim::Host\n");
    std::abort();
}

// ---------------------------------------------------------------------------
// Run loops

void Host::run_until(Nanos t) {
    hw::Clock& clock = bus_.clock();
    offer_foreign_irqs();
    dispatcher_.deliver();
    while (clock.next_deadline() <= t) {
        bus_.advance_to(clock.next_deadline());
        offer_foreign_irqs();
        dispatcher_.deliver();
    }
    bus_.advance_to(t);
}

void Host::run_for(Nanos dt) { run_until(now() + dt); }

bool Host::run_until_idle(Nanos limit) {
    Nanos end = now() + limit;
    for (;;) {
        offer_foreign_irqs();
        dispatcher_.deliver();
        bool work = dispatcher_.work_waiting();
        Nanos next = bus_.clock().next_deadline();
        if (next == hw::kNever && !work) return true;
        if (next == hw::kNever || next > end) {
            // Pending work that cannot run now (held off): nothing moves it.
            if (next == hw::kNever) return false;
            bus_.advance_to(end);
            return false;
        }
        bus_.advance_to(next);
    }
}

// ---------------------------------------------------------------------------
// The driver and its adapters

NTSTATUS Host::load_driver(DriverEntryFn entry) {
    registered_ = false;
    chars_ = NDIS_MINIPORT_CHARACTERISTICS{};
    chars_length_ = 0;
    static int driver_object, registry_path;
    return entry(&driver_object, &registry_path);
}

NDIS_HANDLE Host::initialize_wrapper() {
    wrapper_inits_++;
    return wrapper_handle();
}

bool Host::register_miniport(const NDIS_MINIPORT_CHARACTERISTICS& chars, UINT length) {
    chars_length_ = length;
    if (refuse_registration_) return false;
    chars_ = chars;
    registered_ = true;
    return true;
}

NDIS_STATUS Host::initialize(const AdapterConfig& config) {
    adapters_.push_back(std::make_unique<Adapter>(*this, config));
    Adapter& a = *adapters_.back();
    NDIS_HANDLE context = configurations_.context_for(a);
    if (!registered_ || !chars_.InitializeHandler) {
        problem("initialize: no driver registered");
        return a.initialize_status();
    }
    if (config.processor_count) processor_count_ = *config.processor_count;
    return a.initialize(context);
}

Adapter& Host::adapter() {
    if (adapters_.empty()) {
        std::fprintf(stderr, "sim::Host::adapter(): no adapter\n");
        std::abort();
    }
    return *adapters_.back();
}

Adapter* Host::find_adapter(NDIS_HANDLE handle, const char* operation) {
    for (auto& a : adapters_)
        if (a->handle() == handle) return a.get();
    problem(std::string(operation) + ": unknown miniport adapter handle");
    return nullptr;
}

Adapter* Host::find_adapter(PETH_FILTER filter, const char* operation) {
    for (auto& a : adapters_)
        if (a->filter() == filter) return a.get();
    problem(std::string(operation) + ": unknown filter database");
    return nullptr;
}

// A halted adapter keeps the address of its interrupt storage, which lay in
// a record that is freed now and may hold a newer adapter's record: the
// adapter whose interrupt is connected is the one meant, else the newest.
Adapter* Host::find_adapter(PNDIS_MINIPORT_INTERRUPT interrupt) {
    if (!interrupt) return nullptr;
    Adapter* newest = nullptr;
    for (auto& a : adapters_) {
        if (a->interrupt().object != interrupt) continue;
        if (a->interrupt().connected) return a.get();
        newest = a.get();
    }
    return newest;
}

Adapter* Host::initializing() {
    for (auto a = adapters_.rbegin(); a != adapters_.rend(); ++a)
        if ((*a)->initializing()) return a->get();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Bookkeeping

void Host::add_allocation(const Allocation& allocation) {
    live_allocations_[allocation.address] = allocation_log_.size();
    allocation_log_.push_back(allocation);
}

const Allocation* Host::live_allocation(void* address) const {
    auto it = live_allocations_.find(address);
    return it == live_allocations_.end() ? nullptr : &allocation_log_[it->second];
}

void Host::remove_allocation(void* address) {
    if (live_allocations_.erase(address)) frees_++;
}

std::vector<Allocation> Host::leaked_allocations() const {
    std::vector<Allocation> out;
    for (auto& [address, index] : live_allocations_) {
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

PortRange* Host::live_port_range(const Adapter* adapter, UINT base) {
    for (auto& r : port_ranges_)
        if (!r.released && r.adapter == adapter && r.base == base) return &r;
    return nullptr;
}

std::vector<PortRange> Host::live_port_ranges() const {
    std::vector<PortRange> out;
    for (auto& r : port_ranges_)
        if (!r.released) out.push_back(r);
    return out;
}

bool Host::map_physical(std::uint64_t phys, std::size_t len, std::uint8_t* bytes) {
    for (auto& w : windows_)
        if (phys < w.physical + w.length && w.physical < phys + len) return false;
    windows_.push_back(Window{phys, len, bytes});
    return true;
}

std::uint8_t* Host::physical(std::uint64_t phys, UINT length) {
    for (auto& w : windows_)
        if (phys >= w.physical && phys + length <= w.physical + w.length)
            return w.bytes + static_cast<std::size_t>(phys - w.physical);
    return nullptr;
}

Mapping* Host::live_mapping(const Adapter* adapter, const void* virtual_address) {
    for (auto& m : mappings_)
        if (!m.unmapped && m.adapter == adapter && m.virtual_address == virtual_address) return &m;
    return nullptr;
}

std::vector<Mapping> Host::live_mappings() const {
    std::vector<Mapping> out;
    for (auto& m : mappings_)
        if (!m.unmapped) out.push_back(m);
    return out;
}

std::vector<NDIS_PACKET*> Host::never_completed() const {
    std::vector<NDIS_PACKET*> out;
    for (auto& a : adapters_) {
        std::vector<NDIS_PACKET*> left = a->never_completed();
        out.insert(out.end(), left.begin(), left.end());
    }
    return out;
}

}  // namespace sim
