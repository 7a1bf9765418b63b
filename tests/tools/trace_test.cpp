// trace: each scenario prints the register-named port trace, the same way
// every time.
#include <gtest/gtest.h>

#include "tests/tools/tool_helpers.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

TEST(Trace, ScenariosShowTheirRegisters) {
    struct Case {
        const char* args;
        std::vector<const char*> shows;
    } cases[] = {
        {"trace", {"# initialize", "R 0x31F reset", "W 0x30E DCR", "CR = 0x21 (STP, abort DMA, page 0)"}},
        {"trace filter", {"CR = 0x62 (STA, abort DMA, page 1)", "MAR", "RCR = 0x0C (AB, AM)"}},
        {"trace send", {"TPSR", "TBCR0", "(STA, TXP", "R 0x307 ISR -> ", "PTX"}},
        {"trace receive", {"PRX", "BNRY", "CURR", "data ->", "1 frame indicated"}},
        {"trace overflow", {"# ne2k trace overflow", "isa8 card", "OVW"}},
        {"trace reset --kind pccard", {"pccard card", "# reset, while a frame is on the wire", "(PTX, RDC, RST)", "PAR0 = 0x02"}},
        {"trace halt --kind mca", {"mca card", "# halt", "STP"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ScratchDir dir;
        RunResult r = run_tool(c.args, dir);
        EXPECT_EQ(r.code, 0) << r.err;
        for (const char* s : c.shows) EXPECT_NE(r.out.find(s), std::string::npos) << s << "\n" << r.out.substr(0, 3000);
        EXPECT_EQ(r.out.find("problem"), std::string::npos);
    }
}

TEST(Trace, SameScenarioSameTrace) {
    ScratchDir dir;
    std::string a = run_tool("trace receive --kind isa8", dir).out;
    std::string b = run_tool("trace receive --kind isa8", dir).out;
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, b);
}

TEST(Trace, HelpListsTheScenarios) {
    ScratchDir dir;
    RunResult r = run_tool("trace --help", dir);
    EXPECT_EQ(r.code, 0);
    for (const char* s : {"init", "filter", "send", "receive", "overflow", "reset", "halt"})
        EXPECT_NE(r.out.find(std::string("  ") + s + " "), std::string::npos) << s;
}

}  // namespace
}  // namespace ne2k_tool
