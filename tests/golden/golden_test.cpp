// Register sequences that are fixed, compared with the golden traces of
// tests/golden/ (written by `ne2k trace SCENARIO --kind KIND`; regenerate
// with scripts/golden.sh and read the difference before committing it).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Golden {
    const char* scenario;
    const char* kind;
    const char* pins;
};

const Golden kGoldens[] = {
    {"init", "pccard", "reset pulse, the PC Card bring-up without RAM test, setup order, TCR last"},
    {"filter", "isa16", "the hash load masked on page 1, MAR0 first, then RCR"},
    {"send", "isa16", "write preparation, remote write by words, TPSR, count high byte first, TXP"},
    {"send", "isa8", "the same on the byte path"},
    {"receive", "isa16", "claim and mask, CURR twice on page 1, header window, lookahead, transfer, BNRY"},
    {"receive", "isa8", "the same on the byte path"},
    {"overflow", "isa8", "tallies, stop, loopback drain, TCR back to normal after the drain"},
    {"reset", "isa16", "stop with its RST polls, setup of a 16-bit card, re-armed"},
    {"reset", "isa8", "setup of an 8-bit card: byte transfers, its ring pages"},
    {"halt", "isa16", "stop, then restarted in internal loopback"},
};

std::string Read(FILE* f) {
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    return out;
}

TEST(GoldenTrace, EveryScenarioMakesItsRecordedAccesses) {
    for (const Golden& g : kGoldens) {
        std::string name = std::string(g.scenario) + "-" + g.kind;
        SCOPED_TRACE(name + ": " + g.pins);
        std::ifstream file(std::string(NE2K_GOLDEN_DIR) + "/" + name + ".trace");
        ASSERT_TRUE(file) << "no golden file; scripts/golden.sh build " << g.scenario << " " << g.kind;
        std::stringstream want;
        want << file.rdbuf();
        std::string command = std::string(NE2K_TOOL_PATH) + " trace " + g.scenario + " --kind " + g.kind;
        FILE* p = popen(command.c_str(), "r");
        ASSERT_TRUE(p);
        std::string got = Read(p);
        EXPECT_EQ(pclose(p), 0);
        std::istringstream a(want.str()), b(got);
        std::string wl, gl;
        for (int line = 1; std::getline(a, wl); line++) {
            if (!std::getline(b, gl)) gl = "(end of trace)";
            ASSERT_EQ(gl, wl) << "first difference at line " << line;
        }
        EXPECT_FALSE(std::getline(b, gl)) << "the trace goes on: " << gl;
    }
}

}  // namespace
