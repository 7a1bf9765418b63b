// The wrapper's calls into the driver for one adapter: initialize, send,
// query, set, reset, halt, transfer-data, the interrupt handlers; and what
// the wrapper's C operations record on the adapter.
#include "sim/adapter.h"

#include <cstring>

#include "sim/host.h"

namespace sim {

Adapter::Adapter(Host& host, const AdapterConfig& config) : host_(host), config_(config) {
    filter_.adapter = this;
    block_.EthDB = &filter_;
}

template <class F>
void Adapter::call(F&& f) {
    Dispatcher& dispatcher = host_.dispatch();
    {
        Dispatcher::Call in(dispatcher, calls_, Dispatcher::CallKind::Handler);
        f();
    }
    if (calls_.depth == 0) dispatcher.after_call(*this);
}

template <class F>
void Adapter::call(Entry entry, F&& f) {
    call([&] {
        Dispatcher::Span span(host_.dispatch(), *this, entry);
        f();
    });
}

bool Adapter::check_callable(const char* what) {
    if (!running_) {
        host_.problem(std::string(what) + ": adapter is not running");
        return false;
    }
    if (calls_.depth > 0) {
        host_.problem(std::string(what) + ": called while a handler of the adapter runs");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Initialize and halt

NDIS_STATUS Adapter::initialize(NDIS_HANDLE configuration_context) {
    W_INITIALIZE_HANDLER handler = host_.characteristics().InitializeHandler;
    std::vector<NDIS_MEDIUM> media = config_.media;
    UINT selected = 0xFFFFFFFFu;
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    initializing_ = true;
    call(Entry::Initialize, [&] {
        status = handler(&open_error, &selected, media.empty() ? nullptr : media.data(),
                         static_cast<UINT>(media.size()), handle(), configuration_context);
    });
    initializing_ = false;
    init_status_ = status;
    selected_medium_ = selected;

    if (host_.configurations().left_open(*this))
        host_.problem("initialize: configuration handle left open");
    if (status == NDIS_STATUS_SUCCESS) {
        if (selected >= media.size() || media[selected] != NdisMedium802_3)
            host_.problem("initialize: selected medium index " + std::to_string(selected) +
                          " is not an 802.3 entry");
        if (!attributes_.set) host_.problem("initialize: succeeded without NdisMSetAttributes");
        running_ = true;
        UCHAR address[6] = {};
        ULONG written = 0, needed = 0;
        if (query(OID_802_3_CURRENT_ADDRESS, address, sizeof address, &written, &needed) ==
                NDIS_STATUS_SUCCESS &&
            written >= 6)
            std::memcpy(station_.data(), address, 6);
    } else {
        if (interrupt_.connected) host_.problem("initialize failed with the interrupt connected");
        for (auto& r : host_.port_ranges())
            if (r.adapter == this && !r.released)
                host_.problem("initialize failed with ports registered");
        calls_.edge_pending = false;
        calls_.deferred_requested = false;
    }
    return status;
}

void Adapter::halt() {
    if (!check_callable("halt")) return;
    running_ = false;  // nothing queued is made once the halt begins
    W_HALT_HANDLER handler = host_.characteristics().HaltHandler;
    call(Entry::Halt, [&] { handler(attributes_.context); });
    halted_ = true;
    queued_sends_.clear();
    queued_calls_.clear();
    if (interrupt_.connected) host_.problem("halt: interrupt still connected");
    for (auto& r : host_.port_ranges())
        if (r.adapter == this && !r.released) host_.problem("halt: port range still registered");
}

// ---------------------------------------------------------------------------
// Sends

NDIS_STATUS Adapter::send(NDIS_PACKET* packet, UINT flags, Protocol* from) {
    if (!running_) {
        host_.problem("send: adapter is not running");
        return NDIS_STATUS_FAILURE;
    }
    if (outstanding(packet)) host_.problem("send: packet is already with the driver");
    if (calls_.depth > 0) {
        queued_sends_.push_back(QueuedSend{packet, flags, from});
        counters_.queued_sends++;
        return NDIS_STATUS_PENDING;
    }
    return do_send(packet, flags, from);
}

bool Adapter::send_queued() {
    if (queued_sends_.empty() || !running_) return false;
    QueuedSend q = queued_sends_.front();
    queued_sends_.erase(queued_sends_.begin());
    do_send(q.packet, q.flags, q.from);
    return true;
}

NDIS_STATUS Adapter::do_send(NDIS_PACKET* packet, UINT flags, Protocol* from) {
    W_SEND_HANDLER handler = host_.characteristics().SendHandler;
    if (Outstanding* known = outstanding(packet))
        known->from = from;
    else
        outstanding_.push_back(Outstanding{packet, from});
    counters_.sends++;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    call(Entry::Send, [&] { status = handler(attributes_.context, packet, flags); });
    if (status != NDIS_STATUS_PENDING) {
        // The handler finished the send itself; the wrapper completes it.
        if (Outstanding* entry = outstanding(packet)) {
            forget(entry);
        } else {
            host_.problem("send: handler returned a final status for a packet it also completed");
            host_.count_double_completion();
        }
        host_.add_send_completion(SendCompletion{this, packet, status, true, host_.now()});
        if (from) from->on_send_complete(*this, packet, status);
    }
    return status;
}

// ---------------------------------------------------------------------------
// Requests and reset

NDIS_STATUS Adapter::query(NDIS_OID oid, void* buffer, ULONG length, ULONG* written, ULONG* needed) {
    if (!check_callable("query")) return NDIS_STATUS_FAILURE;
    W_QUERY_INFORMATION_HANDLER handler = host_.characteristics().QueryInformationHandler;
    ULONG w = 0, n = 0;
    NDIS_STATUS s = NDIS_STATUS_FAILURE;
    call(Entry::Query, [&] { s = handler(attributes_.context, oid, buffer, length, &w, &n); });
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
    W_SET_INFORMATION_HANDLER handler = host_.characteristics().SetInformationHandler;
    ULONG r = 0, n = 0;
    NDIS_STATUS s = NDIS_STATUS_FAILURE;
    call(Entry::Set, [&] { s = handler(attributes_.context, oid, buffer, length, &r, &n); });
    if (s == NDIS_STATUS_PENDING) host_.problem("set: handler returned pending");
    if (s == NDIS_STATUS_SUCCESS) record_filter_set(oid, buffer, length, for_protocol);
    if (read) *read = r;
    if (needed) *needed = n;
    return s;
}

NDIS_STATUS Adapter::reset(BOOLEAN* addressing_reset) {
    if (!check_callable("reset")) return NDIS_STATUS_FAILURE;
    W_RESET_HANDLER handler = host_.characteristics().ResetHandler;
    BOOLEAN addressing = FALSE;
    NDIS_STATUS s = NDIS_STATUS_FAILURE;
    call(Entry::Reset, [&] { s = handler(&addressing, attributes_.context); });
    if (s == NDIS_STATUS_PENDING) host_.problem("reset: handler returned pending");
    if (addressing_reset) *addressing_reset = addressing;
    return s;
}

// Inside an indication: one more call into the driver, but not a handler
// call of its own (what waits runs when the indicating handler returns).
NDIS_STATUS Adapter::transfer_data(NDIS_PACKET* packet, UINT byte_offset, UINT bytes_to_transfer,
                                   UINT* bytes_transferred) {
    if (!indicating_) {
        host_.problem("transfer_data outside a receive indication");
        if (bytes_transferred) *bytes_transferred = 0;
        return NDIS_STATUS_FAILURE;
    }
    W_TRANSFER_DATA_HANDLER handler = host_.characteristics().TransferDataHandler;
    UINT n = 0;
    NDIS_STATUS s;
    {
        Dispatcher::Call in(host_.dispatch(), calls_, Dispatcher::CallKind::Handler);
        Dispatcher::Span span(host_.dispatch(), *this, Entry::TransferData);
        s = handler(packet, &n, attributes_.context, receive_context_, byte_offset, bytes_to_transfer);
    }
    if (s == NDIS_STATUS_PENDING) host_.problem("transfer_data: handler returned pending");
    if (bytes_transferred) *bytes_transferred = n;
    return s;
}

// ---------------------------------------------------------------------------
// Interrupt

void Adapter::enable_interrupt() {
    if (!check_callable("enable_interrupt")) return;
    call([&] { host_.dispatch().enable(*this); });
    host_.dispatch().deliver();
}

void Adapter::disable_interrupt() {
    if (!check_callable("disable_interrupt")) return;
    call([&] { host_.dispatch().disable(*this); });
    host_.dispatch().deliver();
}

void Adapter::fire_shared() {
    if (!interrupt_.connected) return;
    calls_.edge_pending = true;
    host_.dispatch().deliver_pending();
}

void Adapter::call_when_free(std::function<void()> call) {
    queued_calls_.push_back(std::move(call));
    host_.dispatch().wake();
    if (!host_.dispatch().in_wrapper_call()) host_.dispatch().deliver();
}

bool Adapter::call_queued() {
    if (queued_calls_.empty()) return false;
    std::function<void()> call = std::move(queued_calls_.front());
    queued_calls_.erase(queued_calls_.begin());
    call();
    return true;
}

void Adapter::hold_deferred(bool on) {
    calls_.deferred_held = on;
    if (!on) host_.dispatch().deliver_pending();
}

void Adapter::connect_interrupt(PNDIS_MINIPORT_INTERRUPT object, UINT vector, UINT level,
                                BOOLEAN request_isr, BOOLEAN shared, NDIS_INTERRUPT_MODE mode) {
    interrupt_.connected = true;
    interrupt_.vector = vector;
    interrupt_.level = level;
    interrupt_.request_isr = request_isr;
    interrupt_.shared = shared;
    interrupt_.mode = mode;
    interrupt_.object = object;
    interrupt_.registrations++;
    calls_.edge_pending = false;  // only edges from now on count
}

void Adapter::disconnect_interrupt() {
    interrupt_.connected = false;
    interrupt_.deregistrations++;
    interrupt_.disconnected_at = host_.now();
    calls_.edge_pending = false;
    if (calls_.deferred_requested) {
        calls_.deferred_requested = false;
        counters_.deferred_dropped++;
    }
}

// ---------------------------------------------------------------------------
// Records

void Adapter::set_attributes(NDIS_HANDLE context, BOOLEAN bus_master, NDIS_INTERFACE_TYPE type) {
    attributes_.set = true;
    attributes_.context = context;
    attributes_.bus_master = bus_master;
    attributes_.type = type;
    attributes_.calls++;
}

bool Adapter::keyword_read(const std::string& keyword) const {
    for (auto& r : config_reads_)
        if (same_keyword(r.keyword, keyword)) return true;
    return false;
}

}  // namespace sim
