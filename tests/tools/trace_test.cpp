// trace: each scenario prints the register-named port trace, the same way
// every time, and its --json form holds the same accesses.
#include <gtest/gtest.h>

#include "tests/tools/tool_helpers.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

// True when one line of `text` holds every part of `pattern` separated by '&'.
bool has_line(const std::string& text, const std::string& pattern) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        bool all = true;
        std::istringstream parts(pattern);
        for (std::string p; std::getline(parts, p, '&');) all = all && line.find(p) != std::string::npos;
        if (all) return true;
    }
    return false;
}

TEST(Trace, ScenariosShowTheirRegisters) {
    struct Case {
        const char* args;
        std::vector<const char*> lines;
    } cases[] = {
        {"trace", {"# initialize", "R 0x31F reset", "W 0x30E DCR", "W 0x300 CR = 0x21 (STP, abort DMA, page 0)"}},
        {"trace filter", {"W 0x300 CR = 0x62 (STA, abort DMA, page 1)", "W 0x309 MAR1", "W 0x30C RCR = 0x0C (AB, AM)"}},
        {"trace send", {"W 0x304 TPSR", "W 0x305 TBCR0 = 0x3C", "W 0x300 CR = &(STA, TXP", "R 0x307 ISR -> &PTX"}},
        {"trace receive", {"R 0x307 ISR -> &PRX", "W 0x303 BNRY", "R 0x307 CURR", "R 0x310 data -> ", "1 frame indicated"}},
        {"trace overflow", {"isa8 card", "R 0x307 ISR -> &OVW", " of 24 frames indicated"}},
        {"trace reset --kind pccard",
         {"pccard card", "# reset, while a frame is on the wire", "ISR -> &(PTX, RDC, RST)", "W 0x301 PAR0 = 0x02"}},
        {"trace halt --kind mca", {"mca card", "# halt", "W 0x300 CR = &STP"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ScratchDir dir;
        RunResult r = run_tool(c.args, dir);
        EXPECT_EQ(r.code, 0) << r.err;
        for (const char* l : c.lines) EXPECT_TRUE(has_line(r.out, l)) << l << "\n" << r.out.substr(0, 3000);
        EXPECT_EQ(r.out.find("problem"), std::string::npos);
    }
}

TEST(Trace, SameScenarioSameTraceInTextAndJson) {
    ScratchDir dir;
    std::string a = run_tool("trace receive --kind isa8", dir).out;
    EXPECT_EQ(a, run_tool("trace receive --kind isa8", dir).out);
    JsonMap j = parse_json(run_tool("trace receive --kind isa8 --json", dir).out);
    EXPECT_EQ(j["scenario"], "receive");
    EXPECT_EQ(num(j, "frames_indicated"), 1u);
    std::uint64_t n = num(j, "port_accesses"), found = 0;
    for (std::uint64_t i = 0; i < n; i++)
        found += a.find(j["sections.0.accesses." + std::to_string(i) + ".access"]) != std::string::npos;
    EXPECT_GT(n, 30u);
    EXPECT_EQ(found, n);
    EXPECT_NE(a.find("# " + std::to_string(n) + " port accesses"), std::string::npos);
}

}  // namespace
}  // namespace ne2k_tool
