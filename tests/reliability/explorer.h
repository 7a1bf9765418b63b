// The explorer: end-to-end scenarios on the shared rig, rerun once for every
// port access k with something done right after access k. What is done:
//   - Interrupt: the service routine called as a shared-line interrupt
//     (held off inside NdisMSynchronizeWithInterrupt; the deferred handler,
//     when asked for, runs at the next point where no handler runs); also on
//     sampled pairs (k1, k2);
//   - Pull: the card pulled out (from access k + 1 on it reads all ones and
//     takes no write), then what a pulled card meets next: a send, other
//     devices' interrupts on its line, a reset, a send, the halt. From the
//     adapter's start on, or for the initialization scenario from the first
//     access on (initialization sampled at about 2,000 points: an ISA or MCA
//     card's RAM test alone is some 50,000 accesses);
//   - Reset, Halt: the wrapper resets or halts the adapter at the first point
//     after access k where it may (no handler of the adapter running).
// Every run is held to the rig's accounting, the record's invariants must
// hold between any two port accesses, and the run must end within a budget
// of virtual time and of port accesses.
//
// Environment: NE2K_EXPLORE_STRIDE (step between the k explored; default 1,
// in a sanitizer build a stride that keeps a sweep near 200 runs),
// NE2K_EXPLORE_PAIRS (default 2000, 100 under the sanitizers),
// NE2K_EXPLORE_SEED (default 20261206).
#ifndef TESTS_RELIABILITY_EXPLORER_H
#define TESTS_RELIABILITY_EXPLORER_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/rig.h"

namespace explore {

using namespace rig;

std::uint64_t Env(const char* name, std::uint64_t fallback);
// The step between the k explored over `span` accesses: NE2K_EXPLORE_STRIDE,
// or 1, or under the sanitizers what keeps a sweep near 200 runs.
std::uint64_t Stride(std::uint64_t span);
// Whether the sweeps run on this board in this build: under the sanitizers
// (a run there costs some 20 times more, and a 16-bit ISA or MCA card's RAM
// test alone is 95,000 port accesses) only on the PC Card and the 8-bit ISA
// card, the two data paths.
bool SweptHere(hw::BoardKind kind);

struct Scenario {
    const char* name;
    bool (*run)(Rig&);  // false: it could not be set up or did not come to rest
    bool stop_cuts_tx = false;
    bool overflows = false;  // the ring must overflow in the plain run
    bool from_start = false; // pulled also during initialization
};

// The scenarios, by name: initialization, traffic_with_wraps,
// overflow_with_transmit, overflow_stop_cuts_transmit, filter_changes,
// reset_during_traffic, halt.
const std::vector<Scenario>& Scenarios();
const Scenario& Named(const std::string& name);

enum class Act { Interrupt, Pull, Reset, Halt };
const char* ActName(Act act);

// One sweep: a scenario on a board, with an act after every access k.
struct Case {
    std::string scenario;
    hw::BoardKind kind;
    Act act;
};
std::string CaseName(const Case& c);  // "overflow_with_transmit_isa8"
inline void PrintTo(const Case& c, std::ostream* os) { *os << CaseName(c); }

// Every combination of the scenarios named, the four boards and the acts.
std::vector<Case> Cases(const std::vector<std::string>& scenarios, const std::vector<Act>& acts);

struct Result {
    std::uint64_t runs = 0, failures = 0;
    std::string plain;  // what went wrong without any act
    std::string first;  // the first failing runs, with the k that reproduce them
};
// The plain run, then a run for every k explored (and sampled pairs for
// Interrupt).
Result Sweep(const Case& c);

}  // namespace explore

#endif  // TESTS_RELIABILITY_EXPLORER_H
