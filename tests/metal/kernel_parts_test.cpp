// The kernel's parts that take input or hand out memory, on the host: the
// command line (every kind of word, and the mistakes it must name), the
// configuration the driver reads through the wrapper, and the memory pool.
// The rest of the kernel is judged on the emulators (tests/metal/*.sh).
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "metal/config.h"
#include "metal/options.h"
#include "metal/pool.h"
#include "metal/state.h"

namespace metal {
AdapterState state;
int problems = 0;
void wrapper_problem(const char*, ...) { problems++; }
void print(const char*, ...) {}
void vprint(const char*, va_list) {}
}  // namespace metal

namespace {

using metal::Options;

std::string Ip(const std::uint8_t a[4]) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

// A keyword as the driver reads it, through an open configuration handle.
bool Read(const char* keyword, ULONG* value) {
    metal::state.initializing = true;
    NDIS_STATUS s = NDIS_STATUS_FAILURE;
    NDIS_HANDLE h = nullptr;
    int context;
    NdisOpenConfiguration(&s, &h, &context);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    std::u16string wide(keyword, keyword + std::strlen(keyword));
    NDIS_STRING name{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2),
                     const_cast<PWSTR>(wide.data())};
    PNDIS_CONFIGURATION_PARAMETER p = nullptr;
    NdisReadConfiguration(&s, &p, h, &name, NdisParameterHexInteger);
    if (s == NDIS_STATUS_SUCCESS) *value = p->ParameterData.IntegerData;
    NdisCloseConfiguration(h);
    metal::state.initializing = false;
    return s == NDIS_STATUS_SUCCESS;
}

struct LineCase {
    const char* name;
    const char* line;
    const char* ip;  // "a.b.c.d/len" expected, or null
    const char* target;
    std::uint32_t count, serve;
    unsigned trace;
    std::uint32_t watch = 0;
};
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

const LineCase kAccepted[] = {
    {"Defaults", "", "10.0.2.15/24", "10.0.2.2", 200, 0, 0},
    {"QemuPassesTheKernelPath", "build/metal/ne2k-metal.elf count=5", "10.0.2.15/24", "10.0.2.2", 5, 0, 0},
    {"GrubPassesAnAbsolutePath", "/boot/ne2k-metal.elf ping=10.0.2.3", "10.0.2.15/24", "10.0.2.3", 200, 0, 0},
    {"TargetOffTheSubnet", "ip=10.0.2.15/24 ping=198.18.0.1 gw=10.0.2.2", "10.0.2.15/24", "198.18.0.1", 200, 0, 0},
    {"ServeMode", "ip=198.18.0.2/16 serve=1400 seconds=80", "198.18.0.2/16", "10.0.2.2", 200, 1400, 0},
    {"WatchTheHaltedCard", "serve=5 watch=3000", "10.0.2.15/24", "10.0.2.2", 200, 5, 0, 3000},
    {"TracePhases", "trace=init,halt", "10.0.2.15/24", "10.0.2.2", 200, 0, metal::kTraceInit | metal::kTraceHalt},
    {"TraceAll", "trace=all  count=0x10", "10.0.2.15/24", "10.0.2.2", 16, 0, metal::kTraceAll},
};

class CommandLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLine, IsRead) {
    const LineCase& c = GetParam();
    Options o;
    ASSERT_TRUE(metal::options_parse(c.line, &o));
    EXPECT_EQ(Ip(o.ip) + "/" + std::to_string(o.prefix), c.ip);
    EXPECT_EQ(Ip(o.target), c.target);
    EXPECT_EQ(o.count, c.count);
    EXPECT_EQ(o.serve, c.serve);
    EXPECT_EQ(o.trace, c.trace);
    EXPECT_EQ(o.watch, c.watch);
}

INSTANTIATE_TEST_SUITE_P(Metal, CommandLine, ::testing::ValuesIn(kAccepted),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MetalCommandLine, RefusesEveryMistakeItCannotUse) {
    for (const char* line : {"ip=10.0.2", "ip=10.0.2.256", "ip=10.0.2.15/31", "ip=10.0.2.15/", "ping=10.0.2.2.1", "gw=10.0.2",
                             "count=0", "count=abc", "window=0", "window=9", "count=", "serve=0", "seconds=0", "watch=60001", "watch=", "trace=", "trace=init,bogus",
                             "mac=02:00:00:00:00", "mac=02:00:00:00:00:0g", "io=0x", "io=3OO", "irq=99999999999",
                             "bogus", "reset=1", "CardTyp=1"}) {
        Options o;
        EXPECT_FALSE(metal::options_parse(line, &o)) << line;
    }
}

// The driver's keywords, by the short names or their own in any case,
// reach NdisReadConfiguration; one never given is absent.
TEST(MetalCommandLine, GivesTheDriverItsKeywords) {
    Options o;
    ASSERT_TRUE(metal::options_parse("io=0x320 irq=10 cardtype=1 maximummulticastlist=4 BUSTYPE=0x3", &o));
    struct {
        const char* keyword;
        ULONG value;
    } expected[] = {{"IoBaseAddress_1", 0x320}, {"InterruptNumber", 10}, {"CardType", 1},
                    {"MaximumMulticastList", 4}, {"bustype", 3}};
    for (const auto& e : expected) {
        ULONG v = 0;
        EXPECT_TRUE(Read(e.keyword, &v)) << e.keyword;
        EXPECT_EQ(v, e.value) << e.keyword;
    }
    ULONG v = 0;
    EXPECT_FALSE(Read("PCCARDAttributeMemorySize", &v));
    EXPECT_FALSE(Read("IoBaseAddress", &v)) << "a prefix of a keyword is another keyword";
    EXPECT_EQ(metal::config_get("ioBASEaddress_1", 0), 0x320u);
}

TEST(MetalCommandLine, StationAddressOverride) {
    Options o;
    ASSERT_TRUE(metal::options_parse("mac=02:0A:0b:0c:0d:0e", &o));
    metal::state.initializing = true;
    NDIS_STATUS s;
    NDIS_HANDLE h;
    int context;
    NdisOpenConfiguration(&s, &h, &context);
    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&s, &address, &length, h);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(length, 6u);
    const std::uint8_t want[6] = {0x02, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E};
    EXPECT_EQ(std::memcmp(address, want, 6), 0);
    NdisCloseConfiguration(h);
    metal::state.initializing = false;
}

TEST(MetalConfiguration, MisuseIsAProblem) {
    int before = metal::problems;
    NDIS_STATUS s;
    NDIS_HANDLE h = nullptr;
    int context;
    NdisOpenConfiguration(&s, &h, &context);  // outside initialize
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);
    NdisCloseConfiguration(&context);  // no open handle
    EXPECT_EQ(metal::problems, before + 2);
}

TEST(MetalPool, HandsOutFilledAlignedBlocksAndTakesThemBackOnlyAsGiven) {
    void* a = metal::pool_allocate(100, 0);
    void* b = metal::pool_allocate(3000, 0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(static_cast<std::uint8_t*>(b)[2999], 0xCC) << "fresh memory is not zero";
    EXPECT_FALSE(metal::pool_free(a, 99, 0)) << "another length";
    EXPECT_FALSE(metal::pool_free(a, 100, 1)) << "other flags";
    EXPECT_FALSE(metal::pool_free(static_cast<char*>(a) + 16, 100, 0)) << "not a block's start";
    EXPECT_EQ(metal::pool_live_blocks(), 2u);
    EXPECT_TRUE(metal::pool_free(a, 100, 0));
    EXPECT_FALSE(metal::pool_free(a, 100, 0)) << "freed twice";
    EXPECT_EQ(metal::pool_allocate(64, 0), a) << "a freed block's room is used again";
    EXPECT_EQ(metal::pool_allocate(metal::kPoolBytes, 0), nullptr) << "more than the pool holds";
    EXPECT_TRUE(metal::pool_free(a, 64, 0));
    EXPECT_TRUE(metal::pool_free(b, 3000, 0));
    EXPECT_EQ(metal::pool_live_blocks(), 0u);
    EXPECT_NE(metal::pool_allocate(metal::kPoolBytes, 0), nullptr) << "all of it, once all is free";
}

}  // namespace
