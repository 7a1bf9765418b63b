// replay and send: the driver between a capture and the emulated wire, a
// frame at a time, in memory that does not grow with the capture.
#ifndef TOOLS_PCAP_COMMANDS_H
#define TOOLS_PCAP_COMMANDS_H

#include <array>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hw/board.h"
#include "sim/host.h"
#include "tools/capture.h"
#include "tools/rig.h"
#include "tools/tool.h"
#include "tools/verdict.h"

namespace ne2k_tool {

using StopFlag = const volatile std::sig_atomic_t*;

// What replay and send have in common: where the frames come from, how
// they are paced, what they report while they run.
struct CaptureOptions {
    std::string input;  // "-": standard input
    RigCard card;
    Pace pace;
    StopFlag stop = nullptr;
    std::ostream* notes = nullptr;     // a line per unusable frame (the first few)
    std::ostream* progress = nullptr;  // a progress line while it runs (a terminal)
    std::optional<std::string> timeline;  // a timeline of the first timeline_frames frames
    std::uint64_t timeline_frames = 20;
};

// How far a capture was read, and what stopped it.
struct CaptureResult {
    bool started = false;       // the capture was opened and the adapter is up
    bool read_whole = false;    // read to its end
    std::uint64_t in_capture = 0;  // frames read
    Unusable unusable;
    std::uint64_t earlier = 0;  // timestamps earlier than the previous frame's
    std::uint64_t virtual_ns = 0;
    bool interrupted = false;
    std::string damage;           // the capture broke off: what libpcap said
    std::string stopped_by;       // the output whose write error stopped the reading
    std::vector<std::string> incomplete;  // outputs whose writing failed (as named in the summary)
    std::vector<std::string> errors;    // outputs that could not be written, a run that could not start
    std::vector<std::string> problems;  // platform misuse, accounting that does not add up

    // An output's writing failed (`error` non-empty): its message, and its
    // name among the incomplete ones.
    void output_failed(const std::string& error, const std::string& name) {
        if (error.empty()) return;
        errors.push_back(error);
        incomplete.push_back(name);
    }
};

// A run of replay or send, step by step (setup, run, finish); a RunError
// on the way becomes the result's error, with what was counted until then.
template <class Run, class Result, class Options>
Result run_capture(const Options& o) {
    Result r;
    try {
        Run run(o, r);
        run.setup();
        run.run();
        run.finish();
    } catch (const RunError& e) {
        r.errors.push_back(e.what());
    }
    return r;
}

struct ReplayOptions : CaptureOptions {
    std::optional<std::string> output;
    std::optional<std::string> verdicts;  // the CSV file
    unsigned long filter = 0;  // packet filter bits; 0: directed and broadcast
    std::vector<sim::MacAddress> multicast;
    std::optional<std::string> bpf;
};

struct ReplayResult : CaptureResult {
    std::uint64_t bpf_skipped = 0;
    std::uint64_t offered = 0;   // put on the wire
    std::uint64_t padded = 0;    // of them shorter than 60 bytes, padded with zeros
    std::array<std::uint64_t, kVerdicts> verdicts{};  // of the offered frames
    std::uint64_t admitted = 0;  // offered frames the packet filter admits
    std::array<std::uint64_t, kVerdicts> lost{};      // admitted, not received, by verdict
    AdapterCounters counters;    // what the query handler counted during the run
    std::uint64_t count(Verdict v) const { return verdicts[static_cast<std::size_t>(v)]; }
    std::uint64_t lost_total() const;
};

ReplayResult run_replay(const ReplayOptions& options);

struct SendOptions : CaptureOptions {
    std::string output;
};

struct SendResult : CaptureResult {
    std::uint64_t sent = 0;
    std::uint64_t completed_ok = 0;
    std::uint64_t failed = 0;
    std::uint64_t on_wire = 0;     // written to the output
    std::uint64_t mismatched = 0;  // wire frames unlike the frames sent, or missing
};

SendResult run_send(const SendOptions& options);

// At most this many notes on single frames; the rest are counted.
constexpr std::uint64_t kMaxNotes = 10;

// The packet filter replay sets: `filter`, or directed and broadcast.
unsigned long effective_filter(unsigned long filter);

// --- what the two commands share (tools/capture_report.cpp) -----------------

class Args;
class Json;
class Timeline;
struct Console;

// The capture operand, --kind, --station, the pace, --timeline and
// --timeline-frames, into `o`.
void parse_capture_options(const Args& args, const std::string& operand_hint, CaptureOptions& o);
// The timeline of the run's first frames, when asked for (recording from
// now), and its end, an error among the result's.
std::unique_ptr<Timeline> start_timeline(Rig& rig, const CaptureOptions& o, const std::string& command);
void finish_timeline(Timeline* timeline, const CaptureOptions& o, CaptureResult& r);
// Where the summary goes (standard error when standard output carries the
// capture) and the progress line with it, on a terminal.
std::ostream& summary_stream(Console& io, bool capture_on_stdout);
std::ostream* progress_stream(Console& io, bool capture_on_stdout, bool json);
// The exit status: interrupted, a failure (`failed`, an error, damage, a
// problem), or success.
int capture_status(const CaptureResult& r, bool failed);
// The first row (the frames read, and what stopped the reading when it
// stopped early) and the last ones (virtual time, problems, interruption).
void print_frames_read(std::ostream& out, int width, const CaptureResult& r);
void print_capture_end(std::ostream& out, int width, const CaptureResult& r);
// "written to got.pcap", and that it is incomplete when writing failed.
std::string written_to(const std::string& path, const CaptureResult& r);
// The --json fields of the reading and the run's end.
void json_capture(Json& j, const CaptureResult& r, int status);
// The messages for standard error: the damage and the errors.
void print_capture_errors(std::ostream& err, const char* command, const CaptureOptions& o, const CaptureResult& r);

}  // namespace ne2k_tool

#endif  // TOOLS_PCAP_COMMANDS_H
