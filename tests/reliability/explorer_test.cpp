// The explorer's sweeps (tests/reliability/explorer.h): every scenario on
// every board, with the service routine called after each port access (and
// sampled pairs), with the card pulled out after each port access, and with
// the wrapper's reset or halt after each port access of traffic, of
// overflow recoveries and of filter and multicast changes.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/reliability/explorer.h"

namespace {

using namespace explore;

class Explorer : public ::testing::TestWithParam<Case> {};

TEST_P(Explorer, EveryAccess) {
    const Case& c = GetParam();
    if (!SweptHere(c.kind)) GTEST_SKIP() << "swept on pccard and isa8 only in a sanitizer build";
    Result r = Sweep(c);
    ASSERT_EQ(r.plain, "") << "the scenario fails without any " << ActName(c.act);
    RecordProperty("runs", std::to_string(r.runs));
    std::printf("[ explored ] %s %s: %llu runs\n", ActName(c.act), CaseName(c).c_str(),
                static_cast<unsigned long long>(r.runs));
    EXPECT_EQ(r.failures, 0u) << "reproduce with these access indexes:\n" << r.first;
}

std::string Name(const ::testing::TestParamInfo<Case>& info) { return CaseName(info.param); }

const std::vector<std::string> kAll = {"initialization", "traffic_with_wraps", "overflow_with_transmit",
                                       "overflow_stop_cuts_transmit", "filter_changes", "reset_during_traffic",
                                       "halt"};
const std::vector<std::string> kMoments = {"traffic_with_wraps", "overflow_with_transmit", "filter_changes"};

INSTANTIATE_TEST_SUITE_P(Interrupt, Explorer, ::testing::ValuesIn(Cases(kAll, {Act::Interrupt})), Name);
INSTANTIATE_TEST_SUITE_P(Pull, Explorer,
                         ::testing::ValuesIn(Cases({"initialization", "traffic_with_wraps", "overflow_with_transmit",
                                                    "filter_changes", "reset_during_traffic", "halt"},
                                                   {Act::Pull})),
                         Name);
INSTANTIATE_TEST_SUITE_P(Reset, Explorer, ::testing::ValuesIn(Cases(kMoments, {Act::Reset})), Name);
INSTANTIATE_TEST_SUITE_P(Halt, Explorer, ::testing::ValuesIn(Cases(kMoments, {Act::Halt})), Name);

}  // namespace
