// What tap and bridge share (tools/live.h): the loop's sleep is computed in
// nanoseconds, not rounded up to a millisecond.
#include <gtest/gtest.h>

#include "tools/live.h"

namespace ne2k_tool {
namespace {

TEST(Live, SleepsExactlyUntilTheNextThingIsDue) {
    struct Case {
        const char* name;
        std::uint64_t now, due, wait;
    } cases[] = {
        {"a reply's wire time ends in 410 us", 0, 410'000, 410'000},
        {"1 ns ahead", 1'000'000, 1'000'001, 1},
        {"just under a millisecond", 5'000, 5'000 + 999'999, 999'999},
        {"due now", 7'000, 7'000, 0},
        {"overdue", 9'000, 3'000, 0},
        {"far ahead: the longest sleep", 0, 25'000'000, kMaxWait},
        {"nothing due", 123, hw::kNever, kMaxWait},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pacing_wait(c.now, c.due), c.wait);
    }
    const timespec t = to_timespec(1'500'000'123);
    EXPECT_EQ(t.tv_sec, 1);
    EXPECT_EQ(t.tv_nsec, 500'000'123);
}

}  // namespace
}  // namespace ne2k_tool
