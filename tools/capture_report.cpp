// What replay and send share on the command line and in their summaries:
// the capture and the card, how far the capture was read and why it
// stopped, the outputs that are incomplete, the exit status.
#include <algorithm>
#include <ostream>

#include "tools/args.h"
#include "tools/files.h"
#include "tools/json.h"
#include "tools/pcap_commands.h"
#include "tools/rig.h"
#include "tools/timeline.h"
#include "tools/tool.h"

namespace ne2k_tool {

void parse_capture_options(const Args& a, const std::string& operand_hint, CaptureOptions& o) {
    if (a.positional().size() != 1)
        throw UsageError(a.positional().empty() ? operand_hint
                                                : "one capture at a time (got '" + a.positional()[1] + "' too)");
    o.input = a.positional()[0];
    if (auto k = a.value("--kind")) o.card.kind = parse_kind(*k, "--kind");
    if (auto s = a.value("--station")) o.card.station = parse_station(*s, "--station");
    o.pace = parse_pace(a);
    if (auto t = a.value("--timeline")) {
        if (*t == "-") throw UsageError("--timeline needs a file name");
        o.timeline = *t;
    }
    o.timeline_frames = a.number("--timeline-frames", kTimelineFrames, 1, 1000000);
}

std::unique_ptr<Timeline> start_timeline(Rig& rig, const CaptureOptions& o, const std::string& command) {
    if (!o.timeline) return nullptr;
    auto t = std::make_unique<Timeline>(rig, *o.timeline, "ne2k " + command + " " + input_name(o.input), true);
    t->stop_after_frames(o.timeline_frames);
    t->record(true);
    return t;
}

void finish_timeline(Timeline* timeline, const CaptureOptions& o, CaptureResult& r) {
    if (!timeline) return;
    timeline->finish();
    r.output_failed(timeline->error(), *o.timeline);
}

std::ostream& summary_stream(Console& io, bool capture_on_stdout) { return capture_on_stdout ? io.err : io.out; }

std::ostream* progress_stream(Console& io, bool capture_on_stdout, bool json) {
    if (json) return nullptr;
    return capture_on_stdout ? (io.err_tty ? &io.err : nullptr) : (io.tty ? &io.out : nullptr);
}

int capture_status(const CaptureResult& r, bool failed) {
    if (r.interrupted) return kExitInterrupted;
    return failed || !r.damage.empty() || !r.errors.empty() || !r.problems.empty() ? kExitFailure : kExitOk;
}

void print_frames_read(std::ostream& out, int width, const CaptureResult& r) {
    if (r.read_whole) {
        summary_row(out, width, "frames in capture", r.in_capture);
        return;
    }
    std::string why = !r.stopped_by.empty() ? "reading stopped: " + r.stopped_by + " could not be written"
                      : r.interrupted        ? "reading stopped: interrupted"
                      : !r.damage.empty()    ? "the capture breaks off after them"
                                             : "reading stopped";
    summary_row(out, width, "frames read", r.in_capture, why);
}

void print_capture_end(std::ostream& out, int width, const CaptureResult& r) {
    out << "  " << std::string("virtual time") << std::string(static_cast<std::size_t>(width) - 12, ' ')
        << seconds_text(r.virtual_ns) << "\n";
    for (auto& p : r.problems) out << "  problem: " << p << "\n";
    if (r.interrupted) out << "  interrupted: the rows above are the frames read so far\n";
}

std::string written_to(const std::string& path, const CaptureResult& r) {
    std::string name = output_name(path);
    bool failed = std::find(r.incomplete.begin(), r.incomplete.end(), name) != r.incomplete.end();
    return "written to " + name + (failed ? ": incomplete, writing it failed" : "");
}

void json_capture(Json& j, const CaptureResult& r, int status) {
    j.num("frames_in_capture", r.in_capture).flag("read_whole_capture", r.read_whole);
    j.num("earlier_timestamps", r.earlier).num("virtual_time_ns", r.virtual_ns).flag("interrupted", r.interrupted);
    if (r.damage.empty()) j.null("damage");
    else j.str("damage", r.damage);
    j.strs("errors", r.errors).strs("problems", r.problems).num("exit_status", static_cast<std::uint64_t>(status));
}

void print_capture_errors(std::ostream& err, const char* command, const CaptureOptions& o, const CaptureResult& r) {
    if (!r.damage.empty()) err << "ne2k " << command << ": " << input_name(o.input) << ": " << r.damage << "\n";
    for (auto& e : r.errors) err << "ne2k " << command << ": " << e << "\n";
}

}  // namespace ne2k_tool
