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
