// The host platform: the miniport wrapper, port I/O routing and the virtual
// clock the driver runs on here, with the bookkeeping tests read back.
//
// One sim::Host exists at a time; constructing one makes it the current
// host, to which every C platform operation of platform/ndis.h goes;
// destroying it clears that. A typical test:
//
//   sim::Host host;
//   hw::Ne2000Board& card = host.add_card(board_config);   // ports, irq, segment
//   ASSERT_EQ(host.load_driver(DriverEntry), 0u);
//   sim::AdapterConfig cfg = host.config_for(card);         // keywords from the card
//   ASSERT_EQ(host.initialize(cfg), NDIS_STATUS_SUCCESS);
//   sim::Adapter& a = host.adapter();
//   sim::RecordingProtocol proto;
//   a.bind(proto);
//   ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
//   a.set(OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter);
//   host.segment().inject(frame, len);
//   host.run_until_idle();
//   EXPECT_EQ(proto.frames().size(), 1u);
//   proto.send(a, bytes, {14, 0, 46});                       // pieces of the packet
//   host.run_until_idle();
//   a.halt();
//   EXPECT_TRUE(host.problems().empty());
//   EXPECT_TRUE(host.leaked_allocations().empty());
#ifndef SIM_HOST_H
#define SIM_HOST_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hw/clock.h"
#include "hw/ethernet.h"
#include "hw/port_device.h"
#include "platform/ndis.h"
#include "sim/protocol.h"
#include "sim/records.h"

namespace hw {
class Ne2000Board;
struct BoardConfig;
class Segment;
}  // namespace hw

namespace sim {
class Adapter;
}

// The host wrapper's Ethernet filter database of one adapter.
struct _ETH_FILTER {
    sim::Adapter* adapter;
};

namespace sim {

using DriverEntryFn = DRIVER_INITIALIZE;

class Host;
class Adapter;

// ---------------------------------------------------------------------------
// Adapter configuration, as the wrapper offers it to the initialize handler.
struct AdapterConfig {
    // Keywords, matched without regard to case. A numeric value is returned
    // as it stands with the type the driver asks for; a text value is parsed
    // in base 16 for NdisParameterHexInteger and base 10 for Integer (as the
    // registry's strings are). Absent keyword: NdisReadConfiguration fails.
    std::map<std::string, ULONG> keywords;
    std::map<std::string, std::string> text_keywords;
    AdapterConfig& set(const std::string& name, ULONG value) { keywords[name] = value; return *this; }
    AdapterConfig& set_text(const std::string& name, const std::string& v) { text_keywords[name] = v; return *this; }

    // Station-address override bytes (any length); absent: the read fails.
    std::optional<std::vector<std::uint8_t>> network_address;
    // MCA POS data; absent: NdisReadMcaPosInformation fails.
    std::optional<NDIS_MCA_POS_DATA> pos;

    std::vector<NDIS_MEDIUM> media{NdisMedium802_3};
    // When set, NdisSystemProcessorCount reports this from this adapter's
    // initialize on (the count belongs to the machine: Host::set_processor_count).
    std::optional<int> processor_count;

    // Failure injection, each applying to this adapter's calls.
    struct Faults {
        bool allocate_memory = false;     // NdisAllocateMemory during initialize
        bool open_configuration = false;
        bool register_ports = false;
        bool register_interrupt = false;
        bool map_io_space = false;
    } fail;
    NDIS_STATUS fail_status = NDIS_STATUS_RESOURCES;  // what an injected failure returns
};

// ---------------------------------------------------------------------------
// One adapter: created by Host::initialize, owned by the host for its whole
// life (also after a failed initialize or a halt, so its records stay).
class Adapter {
public:
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
    bool in_handler() const { return depth_ > 0; }

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
    bool deferred_pending() const { return deferred_requested_; }
    // The enable and disable handlers, called as the wrapper calls them:
    // one handler call, synchronized with the service routine (an edge
    // their IMR write raises is delivered right after).
    void enable_interrupt();
    void disable_interrupt();

    struct Counters {
        std::uint64_t isr_calls = 0;
        std::uint64_t isr_recognized = 0;       // ISR said the interrupt was its own
        std::uint64_t deferred_runs = 0;        // HandleInterruptHandler calls
        std::uint64_t enable_calls = 0;         // EnableInterruptHandler calls
        std::uint64_t sync_calls = 0;           // NdisMSynchronizeWithInterrupt
        std::uint64_t held_off = 0;             // edges delivered late: a sync routine ran
        std::uint64_t deferred_dropped = 0;     // asked for, then the interrupt was disconnected
        std::uint64_t indications = 0;          // NdisMEthIndicateReceive calls
        std::uint64_t indicate_completes = 0;   // NdisMEthIndicateReceiveComplete calls
        std::uint64_t filter_dropped = 0;       // per binding: frames the filter kept back
        std::uint64_t sends = 0;
        std::uint64_t queued_sends = 0;         // sends made later, after a running handler
    };
    const Counters& counters() const { return counters_; }

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

private:
    friend class Host;
    friend struct HostAccess;
    friend struct InterruptOps;
    friend class BindingSnapshot;
    Adapter(Host& host, const AdapterConfig& config);
    bool check_callable(const char* what);

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
        Protocol* from;
    };
    // Runs a handler with the adapter marked busy; runs what waited for it
    // (queued sends, the deferred handler) when the outermost one returns.
    template <class F>
    auto call(F&& f) -> decltype(f());
    void after_handler();
    NDIS_STATUS do_send(NDIS_PACKET* packet, UINT flags, Protocol* from);
    void record_filter_set(NDIS_OID oid, const void* buffer, ULONG length, Protocol* p);

    Host& host_;
    AdapterConfig config_;
    NDIS_MINIPORT_BLOCK block_{};  // what the miniport adapter handle points at
    ETH_FILTER filter_{};          // this adapter's filter database
    NDIS_STATUS init_status_ = NDIS_STATUS_FAILURE;
    UINT selected_medium_ = 0;
    bool running_ = false;
    bool halted_ = false;
    Attributes attributes_;
    InterruptInfo interrupt_;
    Counters counters_;
    int depth_ = 0;          // handler calls of this adapter under way
    int isr_depth_ = 0;      // the ISR runs
    int sync_depth_ = 0;     // a synchronized routine runs
    bool edge_pending_ = false;
    bool deferred_requested_ = false;
    bool deferred_held_ = false;
    bool held_ = false;        // the pending edge waited for a synchronized routine
    bool after_busy_ = false;  // after_handler() is running
    std::vector<Binding> bindings_;
    std::vector<QueuedSend> queued_sends_;
    // Packets with the driver, in the order sent (a short list: a vector
    // whose room is kept, so a send allocates nothing once it has grown).
    std::vector<std::pair<NDIS_PACKET*, Outstanding>> outstanding_;
    std::vector<std::pair<NDIS_PACKET*, Outstanding>>::iterator find_outstanding(NDIS_PACKET* p);
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

// ---------------------------------------------------------------------------
// Interrupts. A rising edge of a device's line (connect_irq) reaches every
// adapter whose interrupt is connected on that vector. Its ISR is called:
//   - between two port accesses, when the access was made inside a call the
//     wrapper made into the driver (any handler, the deferred handler, a
//     synchronized routine), so it may cut into any handler;
//   - at the next run point otherwise (run_for/run_until/run_until_idle,
//     a stall, fire_shared), so test code that pokes the card or calls a
//     driver routine itself is not cut into;
//   - never while that adapter's ISR, a synchronized routine or the enable
//     or disable handler runs: then right after it.
// When the ISR asks for it, the deferred handler and then the enable handler
// run at the next point where no handler of that adapter runs: at the end of
// the current handler call, or at once. Disconnecting drops a pending one.
class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    static Host* current();

    // --- time ---------------------------------------------------------------
    hw::Clock& clock() { return clock_; }
    Nanos now() const { return clock_.now(); }
    // Virtual time each port access costs (each element of a string access).
    void set_port_cost(Nanos cost) { port_cost_ = cost; }
    Nanos port_cost() const { return port_cost_; }
    // Advance the clock through pending hardware events, delivering
    // interrupts and deferred handlers as they come.
    void run_for(Nanos dt);
    void run_until(Nanos t);
    // Runs until no hardware event, interrupt or deferred handler is
    // pending, or `limit` of virtual time has passed; true when idle.
    bool run_until_idle(Nanos limit = 10'000'000'000ull);
    // Advance time as a stall does (also what KeStallExecutionProcessor calls).
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
    // Connects a device's interrupt line to a vector: a rising edge goes to
    // the service routines connected on that vector.
    void connect_irq(hw::PortDevice& device, UINT vector);
    void disconnect_irq(hw::PortDevice& device);

    PortStats port_stats() const { return total_stats_; }
    PortStats port_stats(const hw::PortDevice* device) const;
    std::uint64_t unmapped_accesses() const { return unmapped_accesses_; }
    std::uint64_t access_count() const { return access_index_; }

    // Trace of port accesses: off by default. A sink gets each entry as it is
    // made; keeping them in a vector is the other way. The device names the
    // register (describe()) before a write, so the page is the one written
    // to, and after a read, with the value read (a read changes no page).
    void trace_to_vector(bool on);
    void set_trace_sink(std::function<void(const TraceEntry&)> sink);
    const std::vector<TraceEntry>& trace() const { return trace_; }
    void clear_trace() { trace_.clear(); }
    // Just the text of each entry.
    std::vector<std::string> trace_text() const;

    // Called after every port access with its running index (0-based).
    void set_access_hook(std::function<void(std::uint64_t index)> hook);

    // --- physical memory ----------------------------------------------------
    // Makes `len` bytes at `phys` reachable through NdisMMapIoSpace.
    bool map_physical(std::uint64_t phys, std::size_t len, std::uint8_t* bytes);
    const std::vector<Mapping>& mappings() const { return mappings_; }
    std::vector<Mapping> live_mappings() const;

    // --- cards (emulated hardware) ------------------------------------------
    // Creates a board on this host's clock, maps its 32 ports at io_base(),
    // connects its interrupt line to vector irq(), maps a PC Card's attribute
    // memory at its attribute address, and attaches it to segment() if asked.
    hw::Ne2000Board& add_card(const hw::BoardConfig& config, bool attach = true);
    // The host-owned Ethernet segment (made on first use).
    hw::Segment& segment();
    // Keywords (CardType, BusType, IoBaseAddress_1, InterruptNumber, and the
    // PC Card attribute window) and POS data that describe `card`.
    AdapterConfig config_for(const hw::Ne2000Board& card) const;

    // --- the driver -----------------------------------------------------------
    // Calls the entry point and returns its status. With refuse set, the
    // wrapper refuses the registration (NdisMRegisterMiniport fails).
    NTSTATUS load_driver(DriverEntryFn entry);
    void refuse_registration(bool refuse) { refuse_registration_ = refuse; }
    bool registered() const { return registered_; }
    const NDIS_MINIPORT_CHARACTERISTICS& characteristics() const { return chars_; }
    UINT characteristics_length() const { return chars_length_; }
    NDIS_HANDLE wrapper_handle() { return &wrapper_token_; }
    unsigned wrapper_initializations() const { return wrapper_inits_; }

    // Processor count reported by NdisSystemProcessorCount (default 1).
    void set_processor_count(int n) { processor_count_ = n; }

    // Calls the initialize handler for a new adapter with this configuration.
    NDIS_STATUS initialize(const AdapterConfig& config);
    Adapter& adapter();                 // the newest
    Adapter& adapter(std::size_t i);    // in order of creation
    std::size_t adapter_count() const { return adapters_.size(); }

    // --- bookkeeping ----------------------------------------------------------
    // Every misuse of the platform seen, as text (free with the wrong size,
    // completion of a packet not outstanding, unmatched deregistration,
    // handler re-entered ...). Tests expect it empty.
    const std::vector<std::string>& problems() const { return problems_; }
    void clear_problems() { problems_.clear(); }
    void problem(const std::string& text);

    const std::vector<Allocation>& allocations() const { return allocation_log_; }
    std::vector<Allocation> leaked_allocations() const;  // not freed (yet)
    std::uint64_t frees() const { return frees_; }
    std::uint64_t allocations_after_initialize() const;

    const std::vector<PortRange>& port_ranges() const { return port_ranges_; }
    std::vector<PortRange> live_port_ranges() const;

    const std::vector<ErrorLogEntry>& error_log() const { return error_log_; }
    const std::vector<SendCompletion>& send_completions() const { return completions_; }
    // Keeping send completions can be turned off for long runs (on by default).
    void keep_send_completions(bool on) { keep_completions_ = on; }
    // Packets handed to a send handler and not completed.
    std::vector<NDIS_PACKET*> never_completed() const;
    std::uint64_t double_completions() const { return double_completions_; }

    unsigned open_configurations() const { return open_configs_; }
    unsigned configuration_opens() const { return config_opens_; }

    // --- used by the platform operations (sim/*.cpp) ---------------------------
    struct Internals;
    Internals& internals() { return *in_; }

private:
    friend class Adapter;
    friend struct HostAccess;
    friend struct PortOps;
    friend struct InterruptOps;

    hw::Clock clock_;
    Nanos port_cost_ = hw::kMicrosecond;
    Nanos stalled_ns_ = 0;

    std::uint64_t access_index_ = 0;
    std::uint64_t unmapped_accesses_ = 0;
    PortStats total_stats_;
    bool tracing_ = false;  // a sink or the vector is on
    bool trace_vector_ = false;
    std::function<void(const TraceEntry&)> trace_sink_;
    std::vector<TraceEntry> trace_;
    std::function<void(std::uint64_t)> access_hook_;

    std::vector<Mapping> mappings_;

    bool refuse_registration_ = false;
    bool registered_ = false;
    NDIS_MINIPORT_CHARACTERISTICS chars_{};
    UINT chars_length_ = 0;
    int wrapper_token_ = 0;
    unsigned wrapper_inits_ = 0;
    int processor_count_ = 1;

    std::vector<std::unique_ptr<Adapter>> adapters_;
    Adapter* initializing_ = nullptr;

    std::vector<std::string> problems_;
    std::vector<Allocation> allocation_log_;
    std::uint64_t frees_ = 0;
    std::vector<PortRange> port_ranges_;
    std::vector<ErrorLogEntry> error_log_;
    std::vector<SendCompletion> completions_;
    bool keep_completions_ = true;
    std::uint64_t double_completions_ = 0;
    unsigned open_configs_ = 0;
    unsigned config_opens_ = 0;

    std::unique_ptr<Internals> in_;
};

}  // namespace sim

#endif  // SIM_HOST_H
