// The demo: two adapters on one segment exchanging a checked workload.
#ifndef TOOLS_DEMO_H
#define TOOLS_DEMO_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "hw/board.h"
#include "tools/rig.h"

namespace ne2k_tool {

struct DemoOptions {
    std::uint64_t frames = 10000;  // each way
    unsigned min_size = 60, max_size = 1514;
    std::vector<hw::BoardKind> kinds{hw::BoardKind::PcCard, hw::BoardKind::Isa8};
    std::uint64_t seed = 1;
    bool reset = true;  // reset adapter A in the middle of its traffic
    std::string image;  // the driver image file to run instead of the linked driver
    std::string timeline;  // a timeline of the traffic's first timeline_frames frames goes here
    std::uint64_t timeline_frames = 20;
    const volatile std::sig_atomic_t* stop = nullptr;  // set: stop sending, settle, report
    // Called once both adapters are up, before any traffic (tests set fault
    // knobs of the boards here).
    std::function<void(Rig&)> prepare;
};

// What happened in one direction (from adapter `from` to the other).
struct DirectionResult {
    std::uint64_t sent = 0;            // handed to the send handler
    std::uint64_t completed_ok = 0;    // completed with success
    std::uint64_t aborted = 0;         // completed as aborted by the reset
    std::uint64_t discarded_at_reset = 0;  // completed when copied to the card, unsent at the reset
    std::uint64_t failed = 0;          // completed with any other status
    std::uint64_t never_completed = 0;
    std::uint64_t expected = 0;        // sent ok and meant to pass the far side's filter
    std::uint64_t delivered = 0;       // arrived whole and equal, first time
    std::uint64_t delivered_bytes = 0;
    std::uint64_t kept_back = 0;       // not meant for the far side, and not indicated
    std::uint64_t lost = 0;            // completed ok, meant for the far side, never arrived
    std::uint64_t duplicated = 0;
    std::uint64_t corrupted = 0;       // arrived with bytes unlike those sent
    std::uint64_t unwanted = 0;        // indicated although the far side's filter excludes it
};

struct DemoResult {
    DirectionResult way[2];            // way[0]: A -> B, way[1]: B -> A
    AdapterCounters counters[2];
    std::uint64_t port_accesses[2] = {0, 0};  // the traffic's: not initialization, reset or halt
    std::uint64_t foreign = 0;         // indicated frames that are not the demo's
    std::uint64_t resets = 0;
    std::uint64_t wire_bytes = 0;      // frames carried by the segment, FCS included
    std::uint64_t wire_frames = 0;
    std::uint64_t virtual_ns = 0;
    double real_seconds = 0;
    std::vector<std::string> problems;  // platform misuse, leaks, refused requests
    std::string image_note;             // where the driver image was loaded, when one ran
    std::string timeline_error;         // writing the timeline failed: why
    bool interrupted = false;
    bool ok() const;
};

DemoResult run_demo(const DemoOptions& options, std::ostream* progress = nullptr);
// Modeled bus time per frame sent or received by adapter s, in microseconds.
double bus_us_per_frame(const DemoResult& r, int s, sim::Nanos port_cost);
void print_demo_report(const DemoOptions& options, const DemoResult& r, sim::Nanos port_cost, std::ostream& out);

}  // namespace ne2k_tool

#endif  // TOOLS_DEMO_H
