// A host with the driver loaded and one or more emulated boards on the
// host's segment, each initialized as an adapter through the wrapper.
#ifndef TOOLS_RIG_H
#define TOOLS_RIG_H

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "hw/board.h"
#include "sim/host.h"
#include "sim/image.h"

namespace ne2k_tool {

struct RigCard {
    hw::BoardKind kind = hw::BoardKind::Isa16;
    sim::MacAddress station{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
};

// Board i answers at I/O base 0x300 + 0x20*i on interrupt 3, 5, 4, 9 (an
// MCA board gets the POS byte that selects the same), so up to four boards
// of any kinds sit side by side.
constexpr std::size_t kMaxRigCards = 4;
hw::BoardConfig board_config(const RigCard& card, std::size_t index);

class Rig {
public:
    // Adds the boards and loads the driver: the linked one, or the driver
    // image file `image` through the loader (32-bit build only); throws
    // RunError when it does not load. Adapters are initialized by
    // initialize()/initialize_all().
    explicit Rig(const std::vector<RigCard>& cards, sim::Nanos port_cost = hw::kMicrosecond,
                 const std::string& image = {});
    ~Rig();

    sim::Host& host() { return *host_; }
    hw::Segment& segment() { return host_->segment(); }
    std::size_t size() const { return boards_.size(); }
    hw::Ne2000Board& board(std::size_t i) { return *boards_[i]; }
    sim::Adapter& adapter(std::size_t i) { return host_->adapter(i); }
    const RigCard& card(std::size_t i) const { return cards_[i]; }
    // The loaded driver image, when the rig runs one.
    const sim::DriverImage* image() const { return image_.get(); }

    // Initializes adapter i (in order: adapter i is the host's i-th); throws
    // RunError when it fails.
    void initialize(std::size_t i);
    void initialize_all();

    // Runs until nothing is pending (events, interrupts, deferred
    // handlers), however long that takes in virtual time; RunError when work
    // waits that nothing can move.
    void drain();

    // Halts every running adapter and lists what the host saw go wrong
    // (platform misuse, packets never completed, leaked memory).
    std::vector<std::string> halt_all();

private:
    std::unique_ptr<sim::DriverImage> image_;  // outlives the host's calls into it
    std::unique_ptr<sim::Host> host_;
    std::vector<RigCard> cards_;
    std::vector<hw::Ne2000Board*> boards_;
};

// "directed,broadcast,multicast,allmulticast,promiscuous" (either case) to
// packet filter bits.
unsigned long parse_filter(const std::string& text, const std::string& option);
std::string filter_text(unsigned long filter);

// Sets the adapter's packet filter (and the multicast list first, when not
// empty) for `protocol`; throws RunError naming the refusal.
void set_filter(sim::Adapter& adapter, sim::Protocol& protocol, unsigned long filter,
                const std::vector<sim::MacAddress>& multicast);

std::string status_text(unsigned long status);

// The counters the query handler reports for an adapter.
struct AdapterCounters {
    unsigned long xmit_ok = 0, rcv_ok = 0, xmit_error = 0, rcv_error = 0, rcv_no_buffer = 0;
    unsigned long alignment = 0, one_collision = 0, more_collisions = 0;
};
AdapterCounters query_counters(sim::Adapter& adapter);

// Virtual time as "1.234567 s".
std::string seconds_text(sim::Nanos t);

// One row of a summary: the label left-aligned in `width` columns, the count
// in 8, and `more` in parentheses when given.
void summary_row(std::ostream& out, int width, const char* what, std::uint64_t n, const std::string& more = {});

}  // namespace ne2k_tool

#endif  // TOOLS_RIG_H
