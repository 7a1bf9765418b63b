// The host platform: the miniport wrapper, port I/O routing and the virtual
// clock the driver runs on here, with the bookkeeping tests read back.
// sim/README.md says which file holds what.
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

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hw/clock.h"
#include "hw/port_device.h"
#include "platform/ndis.h"
#include "sim/adapter.h"
#include "sim/bus.h"
#include "sim/config.h"
#include "sim/dispatch.h"
#include "sim/protocol.h"
#include "sim/records.h"

namespace hw {
class Ne2000Board;
struct BoardConfig;
class Segment;
}  // namespace hw

namespace sim {

using DriverEntryFn = DRIVER_INITIALIZE;

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The current host, the one the platform operations go to; aborts when
    // there is none.
    static Host& current() {
        if (!current_) no_host();
        return *current_;
    }

    // --- time ---------------------------------------------------------------
    hw::Clock& clock() { return bus_.clock(); }
    Nanos now() const { return bus_.now(); }
    // Advance the clock through pending hardware events, delivering
    // interrupts and deferred handlers as they come (sim/dispatch.h).
    void run_for(Nanos dt);
    void run_until(Nanos t);
    // Runs until no hardware event, interrupt or deferred handler is
    // pending, or `limit` of virtual time has passed; true when idle.
    bool run_until_idle(Nanos limit = 10'000'000'000ull);

    // --- what the wrapper does around the driver, told to one observer
    // (sim/observer.h), or to none
    void set_observer(Observer* observer) { dispatcher_.set_observer(observer); }

    // --- ports, interrupt lines, trace, port cost and stalls: the bus (sim/bus.h)
    Bus& bus() { return bus_; }
    const Bus& bus() const { return bus_; }

    // --- physical memory ----------------------------------------------------
    // Makes `len` bytes at `phys` reachable through NdisMMapIoSpace.
    bool map_physical(std::uint64_t phys, std::size_t len, std::uint8_t* bytes);
    const std::vector<Mapping>& mappings() const { return mappings_; }
    std::vector<Mapping> live_mappings() const;

    // --- cards (emulated hardware; sim/cards.cpp) ---------------------------
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
    int processor_count() const { return processor_count_; }

    // Calls the initialize handler for a new adapter with this configuration.
    NDIS_STATUS initialize(const AdapterConfig& config);
    Adapter& adapter();                 // the newest
    Adapter& adapter(std::size_t i) { return *adapters_.at(i); }  // in order of creation
    std::size_t adapter_count() const { return adapters_.size(); }

    // --- bookkeeping ----------------------------------------------------------
    // Every misuse of the platform seen, as text (free with the wrong size,
    // completion of a packet not outstanding, unmatched deregistration,
    // handler re-entered ...). Tests expect it empty.
    const std::vector<std::string>& problems() const { return problems_; }
    void clear_problems() { problems_.clear(); }
    void problem(const std::string& text) { problems_.push_back(text); }

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

    unsigned open_configurations() const { return configurations_.open_count(); }
    unsigned configuration_opens() const { return configurations_.opens(); }

    // --- for the wrapper's C operations and the adapters ----------------------
    Dispatcher& dispatch() { return dispatcher_; }
    Configurations& configurations() { return configurations_; }
    // NdisInitializeWrapper: counted; the handle to give the driver.
    NDIS_HANDLE initialize_wrapper();
    // NdisMRegisterMiniport, once the record is checked: `chars` holds the
    // `length` bytes the driver named. False when refusing.
    bool register_miniport(const NDIS_MINIPORT_CHARACTERISTICS& chars, UINT length);
    // The adapter a handle, filter database or interrupt object belongs to;
    // null (and, for the first two, a problem naming `operation`) when none.
    Adapter* find_adapter(NDIS_HANDLE handle, const char* operation);
    Adapter* find_adapter(PETH_FILTER filter, const char* operation);
    Adapter* find_adapter(PNDIS_MINIPORT_INTERRUPT interrupt);
    // The adapter whose initialize handler runs (the innermost), or null.
    Adapter* initializing();

    // Memory handed to the driver: live from add_allocation() to
    // remove_allocation() (the host frees what is still live when it goes).
    void add_allocation(const Allocation& allocation);
    const Allocation* live_allocation(void* address) const;
    void remove_allocation(void* address);  // counts a free
    void add_port_range(const PortRange& range) { port_ranges_.push_back(range); }
    PortRange* live_port_range(const Adapter* adapter, UINT base);
    // The bytes of a window given to map_physical that hold [phys, phys+length), or null.
    std::uint8_t* physical(std::uint64_t phys, UINT length);
    void add_mapping(const Mapping& mapping) { mappings_.push_back(mapping); }
    Mapping* live_mapping(const Adapter* adapter, const void* virtual_address);
    void add_error_log(ErrorLogEntry entry) { error_log_.push_back(std::move(entry)); }
    // Kept only while keep_send_completions is on.
    void add_send_completion(const SendCompletion& completion) {
        if (keep_completions_) completions_.push_back(completion);
    }
    void count_double_completion() { double_completions_++; }

private:
    [[noreturn]] static void no_host();
    void offer_foreign_irqs();  // cards.cpp

    static Host* current_;

    Dispatcher dispatcher_{*this};
    Bus bus_{dispatcher_};
    Configurations configurations_;

    bool refuse_registration_ = false;
    bool registered_ = false;
    NDIS_MINIPORT_CHARACTERISTICS chars_{};
    UINT chars_length_ = 0;
    int wrapper_token_ = 0;
    unsigned wrapper_inits_ = 0;
    int processor_count_ = 1;

    std::vector<std::unique_ptr<Adapter>> adapters_;

    std::vector<std::string> problems_;
    std::vector<Allocation> allocation_log_;
    std::map<void*, std::size_t> live_allocations_;  // address -> index in allocation_log_
    std::uint64_t frees_ = 0;
    std::vector<PortRange> port_ranges_;
    struct Window {
        std::uint64_t physical;
        std::size_t length;
        std::uint8_t* bytes;
    };
    std::vector<Window> windows_;
    std::vector<Mapping> mappings_;
    std::vector<ErrorLogEntry> error_log_;
    std::vector<SendCompletion> completions_;
    bool keep_completions_ = true;
    std::uint64_t double_completions_ = 0;

    // Emulated hardware the host owns. The segment outlives the cards.
    std::unique_ptr<hw::Segment> segment_;
    std::vector<std::unique_ptr<hw::Ne2000Board>> cards_;
};

}  // namespace sim

#endif  // SIM_HOST_H
