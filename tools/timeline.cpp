#include "tools/timeline.h"

#include <cstdio>

#include "hw/board.h"
#include "hw/segment.h"
#include "tools/args.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {

constexpr int kProcess = 1;

const char* category(sim::Entry entry) {
    switch (entry) {
    case sim::Entry::Isr: return "isr";
    case sim::Entry::HandleInterrupt: return "deferred";
    default: return "handler";
    }
}

}  // namespace

Timeline::Timeline(Rig& rig, const std::string& path, const std::string& title, bool own_trace,
                   const std::vector<std::string>& names)
    : rig_(rig), own_trace_(own_trace), file_(path, "the timeline"), self_(std::make_shared<Timeline*>(this)) {
    json_ = std::make_unique<Json>(file_.stream());
    json_->str("displayTimeUnit", "ns").array("traceEvents");
    json_->object().str("name", "process_name").str("ph", "M").num("pid", kProcess);
    json_->object("args").str("name", title).close().close();
    for (std::size_t i = 0; i < rig_.size(); i++) {
        hw::Ne2000Board& b = rig_.board(i);
        char name[96];
        std::snprintf(name, sizeof name, "%s (%s at 0x%X, IRQ %u)", i < names.size() ? names[i].c_str() : "adapter",
                      hw::kind_name(b.kind()), b.io_base(), b.irq());
        thread_name(static_cast<int>(i + 1), name);
    }
    thread_name(static_cast<int>(rig_.size() + 1), "wire (10 Mbit/s segment)");
    std::weak_ptr<Timeline*> self = self_;
    rig_.segment().add_tap([self](sim::Nanos t, const std::uint8_t* f, std::size_t len) {
        if (auto p = self.lock())
            if (*p) (*p)->wire(t, f, len);
    });
    rig_.host().set_observer(this);
}

Timeline::~Timeline() {
    finish();
    *self_ = nullptr;
}

void Timeline::thread_name(int track, const std::string& name) {
    json_->object().str("name", "thread_name").str("ph", "M").num("pid", kProcess).num("tid", static_cast<unsigned>(track));
    json_->object("args").str("name", name).close().close();
    json_->object().str("name", "thread_sort_index").str("ph", "M").num("pid", kProcess);
    json_->num("tid", static_cast<unsigned>(track)).object("args").num("sort_index", static_cast<unsigned>(track));
    json_->close().close();
}

void Timeline::record(bool on) {
    if (finished_ || on == recording_) return;
    recording_ = on;
    if (own_trace_) {
        if (on) rig_.host().bus().set_trace_sink([this](const sim::TraceEntry& e) { port_access(e); });
        else rig_.host().bus().set_trace_sink(nullptr);
    }
}

void Timeline::finish() {
    if (finished_) return;
    record(false);
    rig_.host().set_observer(nullptr);
    hw::Nanos now = rig_.host().now();
    while (!open_.empty()) {
        Open o = open_.back();
        open_.pop_back();
        if (o.recorded) span(sim::entry_name(o.entry), category(o.entry), o.begin, now, o.track);
    }
    finished_ = true;
    json_->close().close();
    file_.close();
}

Json& Timeline::event(const std::string& name, const char* cat, const char* phase, hw::Nanos time, int track) {
    json_->object().str("name", name).str("cat", cat).str("ph", phase).decimal("ts", time, 3);
    json_->num("pid", kProcess).num("tid", static_cast<unsigned>(track));
    return *json_;
}

void Timeline::span(const std::string& name, const char* cat, hw::Nanos begin, hw::Nanos end, int track) {
    event(name, cat, "X", begin, track).decimal("dur", end - begin, 3).close();
    file_.check();
}

int Timeline::track_of(const sim::Adapter& adapter) {
    for (std::size_t i = 0; i < rig_.size() && i < rig_.host().adapter_count(); i++)
        if (&rig_.adapter(i) == &adapter) return static_cast<int>(i + 1);
    return 1;
}

int Timeline::track_of_port(std::uint32_t port) {
    for (std::size_t i = 0; i < rig_.size(); i++) {
        std::uint32_t base = rig_.board(i).io_base();
        if (port >= base && port < base + hw::Ne2000Board::kPorts) return static_cast<int>(i + 1);
    }
    return current_track();
}

void Timeline::call_begin(const sim::Adapter& adapter, sim::Entry entry, hw::Nanos time) {
    open_.push_back(Open{track_of(adapter), entry, time, recording_});
}

void Timeline::call_end(const sim::Adapter&, sim::Entry entry, hw::Nanos time) {
    if (open_.empty()) return;
    Open o = open_.back();
    open_.pop_back();
    if (o.recorded) span(sim::entry_name(entry), category(entry), o.begin, time, o.track);
}

void Timeline::isr_result(const sim::Adapter& adapter, bool recognized, bool queue, hw::Nanos time) {
    if (!recording_) return;
    const char* name = !recognized ? "ISR: not recognized"
                       : queue     ? "ISR: recognized, deferred handler queued"
                                   : "ISR: recognized";
    event(name, "isr", "i", time, track_of(adapter)).str("s", "t");
    json_->object("args").flag("recognized", recognized).flag("queue_deferred", queue).close().close();
}

void Timeline::stall(hw::Nanos time, hw::Nanos length) {
    if (!recording_) return;
    char name[64];
    std::snprintf(name, sizeof name, "KeStallExecutionProcessor(%llu)",
                  static_cast<unsigned long long>(length / hw::kMicrosecond));
    span(name, "stall", time, time + length, current_track());
}

void Timeline::irq_line(const hw::PortDevice&, UINT vector, bool level, hw::Nanos time) {
    if (!recording_) return;
    event("IRQ " + std::to_string(vector) + " line", "irq", "C", time, current_track());
    json_->object("args").num("level", level ? 1 : 0).close().close();
}

void Timeline::port_access(const sim::TraceEntry& e) {
    if (!recording_) return;
    event(e.text, "port", "i", e.time, track_of_port(e.port)).str("s", "t");
    json_->object("args").num("count", e.count).close().close();
    file_.check();
}

void Timeline::wire(hw::Nanos end, const std::uint8_t* f, std::size_t len) {
    if (recording_ && len >= hw::kHeaderBytes) {
        char name[80];
        std::snprintf(name, sizeof name, "%zu bytes %s > %s", len, mac_text(f + 6).c_str(), mac_text(f).c_str());
        event(name, "wire", "X", end - hw::wire_time(len), static_cast<int>(rig_.size() + 1));
        json_->decimal("dur", hw::wire_time(len), 3).object("args").num("bytes", len);
        char type[8];
        std::snprintf(type, sizeof type, "0x%02x%02x", f[12], f[13]);
        json_->str("destination", mac_text(f)).str("source", mac_text(f + 6)).str("type", type).close().close();
        file_.check();
    }
    if (frame_limit_ && ++frames_ >= frame_limit_) record(false);
}

}  // namespace ne2k_tool
