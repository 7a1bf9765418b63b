// A timeline of a run, written as it happens in the trace-event JSON format
// that Perfetto (ui.perfetto.dev) and chrome://tracing open, on the virtual
// clock (microseconds, to the nanosecond):
//   - a track per adapter: its handler calls, the service routine and the
//     deferred handler as spans (nested as they ran), stalls as spans, the
//     service routine's answer and every port access as instants, the
//     latter named as `ne2k trace` names them;
//   - a track for the wire: each frame as a span of its wire time;
//   - a counter per interrupt line: its level.
#ifndef TOOLS_TIMELINE_H
#define TOOLS_TIMELINE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/host.h"
#include "tools/files.h"
#include "tools/json.h"
#include "tools/rig.h"

namespace ne2k_tool {

class Timeline : public sim::Observer {
public:
    // Writes to `path` (a RunError when it cannot be made) for the boards of
    // `rig`, whose tracks are named by `names` (or by board) and the
    // process by `title`. It observes the host and taps the wire; with
    // `own_trace` it also takes the port trace while recording, else the
    // owner hands it each access (port_access()).
    Timeline(Rig& rig, const std::string& path, const std::string& title, bool own_trace,
             const std::vector<std::string>& names = {});
    ~Timeline() override;
    Timeline(const Timeline&) = delete;
    Timeline& operator=(const Timeline&) = delete;

    // What begins while recording is written; a span begun then is closed
    // when it ends, recording or not.
    void record(bool on);
    // Recording ends by itself once this many frames have crossed the wire
    // (0: never).
    void stop_after_frames(std::uint64_t frames) { frame_limit_ = frames; }
    void port_access(const sim::TraceEntry& entry);
    // Ends the file (spans still open are closed now); error() says
    // whether all of it was written.
    void finish();
    const std::string& error() const { return file_.error(); }
    const std::string& path() const { return file_.path(); }

    void call_begin(const sim::Adapter& adapter, sim::Entry entry, hw::Nanos time) override;
    void call_end(const sim::Adapter& adapter, sim::Entry entry, hw::Nanos time) override;
    void isr_result(const sim::Adapter& adapter, bool recognized, bool queue, hw::Nanos time) override;
    void stall(hw::Nanos time, hw::Nanos length) override;
    void irq_line(const hw::PortDevice& device, UINT vector, bool level, hw::Nanos time) override;

private:
    struct Open {
        int track;
        sim::Entry entry;
        hw::Nanos begin;
        bool recorded;
    };

    void wire(hw::Nanos end, const std::uint8_t* frame, std::size_t len);
    int track_of(const sim::Adapter& adapter);
    int track_of_port(std::uint32_t port);
    int current_track() const { return open_.empty() ? 1 : open_.back().track; }
    // An event's common fields: name, category, phase, time, track.
    Json& event(const std::string& name, const char* category, const char* phase, hw::Nanos time, int track);
    void span(const std::string& name, const char* category, hw::Nanos begin, hw::Nanos end, int track);
    void thread_name(int track, const std::string& name);

    Rig& rig_;
    bool own_trace_;
    TextFile file_;
    std::unique_ptr<Json> json_;
    std::shared_ptr<Timeline*> self_;  // what the wire tap reaches; cleared when this goes
    std::vector<Open> open_;           // calls under way, innermost last
    bool recording_ = false;
    bool finished_ = false;
    std::uint64_t frames_ = 0, frame_limit_ = 0;
};

// A timeline's options on a command: --timeline FILE.json and, where the
// run is long, --timeline-frames N.
constexpr std::uint64_t kTimelineFrames = 20;

}  // namespace ne2k_tool

#endif  // TOOLS_TIMELINE_H
