// One adapter as the wrapper keeps it: the calls it makes into the driver
// for it, the protocols bound above it, what the driver indicates up to
// them, and the adapter's records.
#ifndef SIM_ADAPTER_H
#define SIM_ADAPTER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ndis.h"
#include "sim/config.h"
#include "sim/dispatch.h"
#include "sim/protocol.h"
#include "sim/records.h"

namespace sim {
class Adapter;
class Host;
}  // namespace sim

// The wrapper's Ethernet filter database of one adapter (what its
// NDIS_MINIPORT_BLOCK's EthDB points at).
struct _ETH_FILTER {
    sim::Adapter* adapter;
};

namespace sim {

// Made by Host::initialize, owned by the host for its whole life (also
// after a failed initialize or a halt, so its records stay).
class Adapter {
public:
    Adapter(Host& host, const AdapterConfig& config);
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    Host& host() { return host_; }
    const AdapterConfig& config() const { return config_; }
    NDIS_HANDLE handle() { return &block_; }  // the miniport adapter handle
    NDIS_STATUS initialize_status() const { return init_status_; }
    UINT selected_medium() const { return selected_medium_; }
    bool running() const { return running_; }  // initialized and not halted
    bool halted() const { return halted_; }

    // NdisMSetAttributes arguments.
    struct Attributes {
        bool set = false;
        NDIS_HANDLE context = nullptr;
        BOOLEAN bus_master = FALSE;
        NDIS_INTERFACE_TYPE type = NdisInterfaceInternal;
        unsigned calls = 0;
    };
    const Attributes& attributes() const { return attributes_; }
    NDIS_HANDLE context() const { return attributes_.context; }
    template <class T>
    T* record() const { return static_cast<T*>(attributes_.context); }

    // Handler calls, one at a time. A send asked for while a handler of this
    // adapter runs (a protocol sending from a completion or an indication)
    // is queued and made when the running handler returns; it then returns
    // NDIS_STATUS_PENDING. Other calls while a handler runs are refused
    // (NDIS_STATUS_FAILURE) and listed as a problem.
    NDIS_STATUS send(NDIS_PACKET* packet, UINT flags = 0, Protocol* from = nullptr);
    NDIS_STATUS query(NDIS_OID oid, void* buffer, ULONG length, ULONG* written = nullptr,
                      ULONG* needed = nullptr);
    NDIS_STATUS set(NDIS_OID oid, void* buffer, ULONG length, ULONG* read = nullptr,
                    ULONG* needed = nullptr, Protocol* for_protocol = nullptr);
    NDIS_STATUS reset(BOOLEAN* addressing_reset = nullptr);
    void halt();
    // Only inside an indication (a protocol's on_receive).
    NDIS_STATUS transfer_data(NDIS_PACKET* packet, UINT byte_offset, UINT bytes_to_transfer,
                              UINT* bytes_transferred);
    bool in_handler() const { return calls_.depth > 0; }

    // Convenience: query a ULONG OID; nullopt when the query fails.
    std::optional<ULONG> query_ulong(NDIS_OID oid);

    // Protocols.
    void bind(Protocol& protocol);
    void unbind(Protocol& protocol);

    // Interrupt.
    struct InterruptInfo {
        bool connected = false;
        UINT vector = 0;
        UINT level = 0;
        BOOLEAN request_isr = FALSE;
        BOOLEAN shared = FALSE;
        NDIS_INTERRUPT_MODE mode = NdisInterruptLevelSensitive;
        PNDIS_MINIPORT_INTERRUPT object = nullptr;
        unsigned registrations = 0;
        unsigned deregistrations = 0;
        Nanos disconnected_at = 0;  // virtual time of the latest deregistration
    };
    const InterruptInfo& interrupt() const { return interrupt_; }
    // Calls the service routine as if another device on a shared line fired
    // (held off while a synchronized routine runs, like a real edge).
    void fire_shared();
    // While held, a deferred handler the service routine asked for waits
    // (and the run loops do not count it as work); releasing runs it at once.
    // Lets a test gather several conditions for one deferred pass.
    void hold_deferred(bool on);
    bool deferred_pending() const { return calls_.deferred_requested; }
    // A call the wrapper makes of its own accord (a reset, a halt) that
    // comes while the driver is busy: `call` runs at the next point where no
    // handler of this adapter, no service routine and no synchronized routine
    // runs (at once when that is now), before a deferred handler that waits.
    // Lets a test reset or halt the adapter after any port access.
    void call_when_free(std::function<void()> call);
    // The enable and disable handlers, called as the wrapper calls them:
    // one handler call, synchronized with the service routine (an edge
    // their IMR write raises is delivered right after).
    void enable_interrupt();
    void disable_interrupt();

    struct Counters {
        std::uint64_t isr_calls = 0;
        std::uint64_t isr_recognized = 0;      // ISR said the interrupt was its own
        std::uint64_t deferred_runs = 0;       // HandleInterruptHandler calls
        std::uint64_t enable_calls = 0;        // EnableInterruptHandler calls
        std::uint64_t sync_calls = 0;          // NdisMSynchronizeWithInterrupt
        std::uint64_t held_off = 0;            // edges delivered late: a sync routine ran
        std::uint64_t deferred_dropped = 0;    // asked for, then the interrupt was disconnected
        std::uint64_t indications = 0;         // NdisMEthIndicateReceive calls
        std::uint64_t indicate_completes = 0;  // NdisMEthIndicateReceiveComplete calls
        std::uint64_t filter_dropped = 0;      // per binding: frames the filter kept back
        std::uint64_t sends = 0;
        std::uint64_t queued_sends = 0;        // sends made later, after a running handler
    };
    const Counters& counters() const { return counters_; }
    Counters& counters() { return counters_; }  // dispatch counts into them too

    // Filter state, from successful sets of OID_GEN_CURRENT_PACKET_FILTER and
    // OID_802_3_MULTICAST_LIST (per binding), and the station address, from
    // OID_802_3_CURRENT_ADDRESS queried right after a successful initialize.
    ULONG packet_filter(const Protocol* p = nullptr) const;
    std::vector<MacAddress> multicast_list(const Protocol* p = nullptr) const;
    const MacAddress& station_address() const { return station_; }

    // Indications as they came (header and lookahead copied). Keeping them
    // can be turned off for long runs.
    const std::vector<Indication>& indications() const { return indications_; }
    void keep_indications(bool on) { keep_indications_ = on; }

    // NdisReadConfiguration calls made during initialize, in order.
    const std::vector<ConfigRead>& config_reads() const { return config_reads_; }
    bool keyword_read(const std::string& keyword) const;

    // --- what the host and the wrapper's C operations do to the adapter -----
    // Calls the initialize handler with this context (Host::initialize),
    // then checks what the wrapper checks after it.
    NDIS_STATUS initialize(NDIS_HANDLE configuration_context);
    bool initializing() const { return initializing_; }  // its initialize handler runs
    void set_attributes(NDIS_HANDLE context, BOOLEAN bus_master, NDIS_INTERFACE_TYPE type);
    void connect_interrupt(PNDIS_MINIPORT_INTERRUPT object, UINT vector, UINT level,
                           BOOLEAN request_isr, BOOLEAN shared, NDIS_INTERRUPT_MODE mode);
    void disconnect_interrupt();
    void note_config_read(ConfigRead read) { config_reads_.push_back(std::move(read)); }
    ETH_FILTER* filter() { return &filter_; }
    // NdisMSendComplete.
    void send_complete(NDIS_PACKET* packet, NDIS_STATUS status);
    // A frame the driver indicated (EthFilterDprIndicateReceive): offered
    // to each binding whose filter passes it; and the indications' end.
    void indicate(NDIS_HANDLE receive_context, const std::uint8_t* destination,
                  const std::uint8_t* header, UINT header_size, const std::uint8_t* lookahead,
                  UINT lookahead_size, UINT packet_size);
    void indicate_complete();

    // --- for dispatch ----------------------------------------------------------
    CallState& calls() { return calls_; }
    const CallState& calls() const { return calls_; }
    // Makes the oldest send queued behind a running handler; false when none
    // waits (or the adapter stopped running).
    bool send_queued();
    bool sends_queued() const { return !queued_sends_.empty(); }
    // Runs the oldest call given to call_when_free; false when none waits.
    bool call_queued();
    bool calls_queued() const { return !queued_calls_.empty(); }
    // Packets handed to the send handler and not completed (in order of
    // address), then the sends still queued.
    std::vector<NDIS_PACKET*> never_completed() const;

private:
    struct Binding {
        Protocol* protocol;
        ULONG filter = 0;
        std::vector<MacAddress> multicast;
    };
    struct QueuedSend {
        NDIS_PACKET* packet;
        UINT flags;
        Protocol* from;
    };
    struct Outstanding {
        NDIS_PACKET* packet;
        Protocol* from;  // told of its completion; null for none
    };
    class BindingSnapshot;

    bool check_callable(const char* what);
    // Runs a handler as one call into the driver, then what waited for it;
    // with an entry, told to the observer as that handler.
    template <class F>
    void call(F&& f);
    template <class F>
    void call(Entry entry, F&& f);
    NDIS_STATUS do_send(NDIS_PACKET* packet, UINT flags, Protocol* from);
    // The entry of a packet with the driver, or null.
    Outstanding* outstanding(NDIS_PACKET* packet);
    void forget(Outstanding* entry) {
        outstanding_.erase(outstanding_.begin() + (entry - outstanding_.data()));
    }
    void record_filter_set(NDIS_OID oid, const void* buffer, ULONG length, Protocol* p);

    Host& host_;
    AdapterConfig config_;
    NDIS_MINIPORT_BLOCK block_{};  // what the miniport adapter handle points at
    ETH_FILTER filter_{};          // this adapter's filter database
    NDIS_STATUS init_status_ = NDIS_STATUS_FAILURE;
    UINT selected_medium_ = 0;
    bool initializing_ = false;
    bool running_ = false;
    bool halted_ = false;
    Attributes attributes_;
    InterruptInfo interrupt_;
    Counters counters_;
    CallState calls_;
    std::vector<Binding> bindings_;
    std::vector<QueuedSend> queued_sends_;
    std::vector<std::function<void()>> queued_calls_;
    // Packets with the driver, in the order sent (a short list: a vector
    // whose room is kept, so a send allocates nothing once it has grown).
    std::vector<Outstanding> outstanding_;
    NDIS_HANDLE receive_context_ = nullptr;  // while indicating
    bool indicating_ = false;
    MacAddress station_{};
    std::vector<Indication> indications_;
    bool keep_indications_ = true;
    // The bindings as they stood when an indication began (a protocol may
    // unbind during it); kept between indications for their room.
    std::vector<Binding> indicate_bindings_;
    bool indicate_bindings_busy_ = false;
    std::vector<ConfigRead> config_reads_;
};

}  // namespace sim

#endif  // SIM_ADAPTER_H
