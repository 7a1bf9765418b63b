// Faults the explorer, the fault matrix, the soak and the fuzzers found,
// each kept as a named case, and every input a fuzzer ever kept (seed corpora
// and findings) run through its harness in the normal suite.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>

#include "card/dp8390reg.h"
#include "tests/reliability/world.h"

#ifndef NE2K_SOURCE_DIR
#define NE2K_SOURCE_DIR "."
#endif

namespace ne2k {
namespace {

using hw::kMicrosecond;

// A ring overflow is served while the adapter's own frame still waits for a
// busy medium. The recovery's stop lets that transmission finish, but only
// after the 2 ms stall, so the recovery takes it for cut off and marks it
// for a resend. The frame then goes out during the tail's transmitter-idle
// wait. It must not be sent a second time: it is completed by the transmit
// service like any other, and reaches the wire exactly once.
TEST(ReliabilityRegression, OverflowRecoveryDoesNotResendAFrameThatWentOutLate) {
    World w;
    ASSERT_TRUE(w.Init());
    for (int i = 0; i < 4; i++) w.Inject(kOtherStation, 1514);  // about 5 ms of busy medium
    w.Send(1514);
    ASSERT_TRUE(w.card().transmitting());
    w.card().core().raise_isr(ISR_OVERFLOW);
    ASSERT_TRUE(w.RunIdle());
    EXPECT_EQ(w.Check(), "");
    EXPECT_EQ(w.figures().tx_on_wire, 1u);
    EXPECT_EQ(w.rec()->XmitOkCount, 1u);
    EXPECT_EQ(w.rec()->TxActiveIndex, TX_INDEX_IDLE);
    // Still usable: a frame each way.
    w.Send(300);
    w.Inject(kToStation, 400);
    ASSERT_TRUE(w.RunIdle());
    EXPECT_EQ(w.Check(), "");
    EXPECT_EQ(w.figures().tx_on_wire, 2u);
    EXPECT_EQ(w.figures().rx_indicated, 1u);
}

// ---------------------------------------------------------------------------
// Fuzz inputs: the seed corpora and every finding kept in fuzz/corpus/<name>/.

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct Harness {
    const char* name;
    std::string (*run)(const std::uint8_t*, std::size_t);
};

class FuzzCorpus : public ::testing::TestWithParam<Harness> {};

TEST_P(FuzzCorpus, EveryKeptInputPasses) {
    std::vector<std::string> files = Files(std::string(NE2K_SOURCE_DIR) + "/fuzz/corpus/" + GetParam().name);
    ASSERT_FALSE(files.empty()) << "no corpus for " << GetParam().name;
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(GetParam().run(bytes.data(), bytes.size()), "") << f;
    }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpus,
                         ::testing::Values(Harness{"ring", RingInput}, Harness{"oid", OidInput},
                                           Harness{"config", ConfigInput}, Harness{"send", SendInput}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ne2k
