// --timeline: the file parses as trace-event JSON; on a known scenario its
// spans nest on each track and add up (a span lasts as long as the port
// accesses and the spans inside it), the accesses are those of the text
// trace, and the frame on the wire takes its wire time; on demo, replay
// and send it covers the first N frames.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/tools/tool_helpers.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

struct Event {
    std::string name, cat, ph;
    std::uint64_t ts = 0, dur = 0;  // ns
    unsigned tid = 0;
    std::uint64_t count = 0;  // port accesses: elements
    std::uint64_t end() const { return ts + dur; }
    // `e` lies within this span: an instant from its start until before its end.
    bool holds(const Event& e) const {
        return tid == e.tid && ts <= e.ts && (e.dur ? e.end() <= end() : e.ts < end()) && &e != this;
    }
};

// "113361.250" microseconds in nanoseconds, exactly.
std::uint64_t micros_ns(const std::string& text) {
    auto dot = text.find('.');
    std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
    frac.resize(3, '0');
    return std::stoull(text.substr(0, dot)) * 1000 + std::stoull(frac);
}

std::vector<Event> events(const std::string& path) {
    JsonMap j = parse_json(read_file(path));
    EXPECT_FALSE(j.empty()) << path << " is not one JSON value";
    std::vector<Event> out;
    for (std::size_t i = 0; j.count("traceEvents." + std::to_string(i)); i++) {
        const std::string k = "traceEvents." + std::to_string(i) + ".";
        Event e{j[k + "name"], j[k + "cat"], j[k + "ph"]};
        if (e.ph == "M") continue;
        e.ts = micros_ns(j[k + "ts"]);
        if (j.count(k + "dur")) e.dur = micros_ns(j[k + "dur"]);
        e.tid = static_cast<unsigned>(num(j, k + "tid"));
        e.count = num(j, k + "args.count");
        out.push_back(e);
    }
    return out;
}

std::vector<const Event*> of(const std::vector<Event>& ev, const std::string& ph, const std::string& cat = "") {
    std::vector<const Event*> out;
    for (const Event& e : ev)
        if (e.ph == ph && (cat.empty() || e.cat == cat)) out.push_back(&e);
    return out;
}

// Spans on one track are disjoint or one holds the other.
void expect_nested(const std::vector<Event>& ev) {
    auto spans = of(ev, "X");
    for (const Event* a : spans)
        for (const Event* b : spans)
            if (a != b && a->tid == b->tid && a->ts < b->end() && b->ts < a->end()) {
                EXPECT_TRUE(a->holds(*b) || b->holds(*a)) << a->name << " and " << b->name << " overlap at " << a->ts;
            }
}

TEST(Timeline, TraceScenariosNestAndAddUp) {
    struct Case {
        const char* scenario;
        std::vector<const char*> spans;  // the calls, in the order they begin
        std::size_t wire_bytes;          // the frame on the wire, FCS included
    } cases[] = {
        {"send", {"SendHandler", "ISRHandler", "HandleInterruptHandler", "EnableInterruptHandler"}, 64},
        {"receive",
         {"ISRHandler", "HandleInterruptHandler", "TransferDataHandler", "EnableInterruptHandler"}, 68},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        ScratchDir dir;
        const std::string file = dir.file("t.json");
        RunResult r = run_tool(std::string("trace ") + c.scenario + " --json --timeline " + file, dir);
        ASSERT_EQ(r.code, 0) << r.err;
        std::vector<Event> ev = events(file);
        expect_nested(ev);

        // The port accesses are the text trace's, each inside a call.
        auto ports = of(ev, "i", "port");
        JsonMap trace = parse_json(r.out);
        EXPECT_EQ(ports.size(), num(trace, "port_accesses"));
        for (std::size_t i = 0; i < ports.size(); i++)
            EXPECT_EQ(ports[i]->name, trace["sections.0.accesses." + std::to_string(i) + ".access"]);
        auto calls = of(ev, "X");
        calls.erase(std::remove_if(calls.begin(), calls.end(), [](const Event* e) { return e->cat == "wire"; }),
                    calls.end());
        for (const Event* p : ports)
            EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const Event* s) { return s->holds(*p); }))
                << p->name << " is in no call";

        // The calls, in order; each lasts as long as its own port accesses
        // (1 us an element) and the calls inside it.
        std::vector<const Event*> by_start = calls;
        std::stable_sort(by_start.begin(), by_start.end(), [](const Event* a, const Event* b) { return a->ts < b->ts; });
        std::vector<std::string> names;
        for (const Event* s : by_start) names.push_back(s->name);
        EXPECT_EQ(names, std::vector<std::string>(c.spans.begin(), c.spans.end()));
        for (const Event* s : calls) {
            std::uint64_t inside = 0;
            for (const Event* k : calls)
                if (s->holds(*k) && std::none_of(calls.begin(), calls.end(), [&](const Event* m) {
                        return m != k && s->holds(*m) && m->holds(*k);
                    }))
                    inside += k->dur;
            for (const Event* p : ports)
                if (s->holds(*p) && std::none_of(calls.begin(), calls.end(), [&](const Event* k) { return s->holds(*k) && k->holds(*p); }))
                    inside += p->count * 1000;  // 1 us an element
            EXPECT_EQ(s->dur, inside) << s->name;
        }

        // The frame's wire time; the line up at the service routine, then down.
        auto wire = of(ev, "X", "wire");
        ASSERT_EQ(wire.size(), 1u);
        EXPECT_EQ(wire[0]->dur, (8 + c.wire_bytes + 12) * 800u);
        auto line = of(ev, "C", "irq");
        ASSERT_EQ(line.size(), 2u);
        const Event* isr = by_start[c.spans[0] == std::string("SendHandler") ? 1 : 0];
        EXPECT_EQ(line[0]->ts, isr->ts);
        EXPECT_LE(line[1]->ts, isr->end());
        auto answers = of(ev, "i", "isr");
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0]->name, "ISR: recognized, deferred handler queued");
    }
}

// On the long runs the timeline covers the first N frames on the wire.
TEST(Timeline, DemoReplayAndSendCoverTheirFirstFrames) {
    ScratchDir dir;
    std::vector<PcapRecord> c;
    for (int i = 0; i < 40; i++) c.push_back({frame(i % 2 ? kStation : kBroadcast, kPeer, 60 + 30 * i), 0, 100u * i});
    write_pcap(dir.file("in.pcap"), c);
    const std::string runs[] = {
        "demo --frames 100 --timeline-frames 7",
        "replay " + dir.file("in.pcap") + " --timeline-frames 7",
        "send " + dir.file("in.pcap") + " -w " + dir.file("w.pcap") + " --timeline-frames 7",
    };
    for (const std::string& run : runs) {
        SCOPED_TRACE(run);
        RunResult r = run_tool(run + " --timeline " + dir.file("t.json"), dir);
        ASSERT_EQ(r.code, 0) << r.err;
        std::vector<Event> ev = events(dir.file("t.json"));
        EXPECT_EQ(of(ev, "X", "wire").size(), 7u);
        EXPECT_GT(of(ev, "i", "port").size(), 7u * 30);
        EXPECT_GT(of(ev, "X", "isr").size(), 0u);
        expect_nested(ev);
    }
    RunResult r = run_tool("trace send --timeline /dev/full", dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/dev/full: writing the timeline failed (No space left on device)"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace ne2k_tool
