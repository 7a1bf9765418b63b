// replay: every frame's verdict for each packet filter, read back from
// --verdicts and --json; losses on a slow card; long, large, interrupted and
// piped runs; damaged and foreign captures; timing.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "hw/dp8390.h"
#include "tests/tools/tool_helpers.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

const Bytes kOther{0x02, 0x00, 0x00, 0x00, 0x00, 0x77};
const Bytes kListed{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const Bytes kUnlisted{0x01, 0x00, 0x5E, 0x12, 0x34, 0x56};

// A group address that is not kListed but lands on its hash bit: the card
// takes it, the wrapper's exact filter must drop it.
Bytes hash_twin() {
    unsigned want = hw::Dp8390::hash_bit(kListed.data());
    for (unsigned i = 2;; i++) {
        Bytes m{0x01, 0x00, 0x5E, 0x00, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
        if (hw::Dp8390::hash_bit(m.data()) == want) return m;
    }
}

// The capture every filter case replays, in this order: to the station, to
// another station, broadcast (1514 bytes), listed multicast, its hash
// twin, unlisted multicast, a short broadcast (padded), too long, cut.
std::vector<PcapRecord> mixed_capture() {
    const Bytes dsts[] = {kStation, kOther, kBroadcast, kListed, hash_twin(), kUnlisted, kBroadcast, kStation, kStation};
    const std::size_t sizes[] = {100, 200, 1514, 60, 70, 80, 42, 1600, 96};
    std::vector<PcapRecord> c;
    for (std::size_t i = 0; i < 9; i++) c.push_back({frame(dsts[i], kPeer, sizes[i], std::uint8_t(i)), 0, 1000000 + 2000 * i});
    c[8].wire_len = 500;  // captured with a snap length of 96
    return c;
}

// The verdict of each frame as --verdicts writes it, a letter each.
std::string verdict_letters(const std::string& csv) {
    std::string out;
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frame,captured_length,original_length,destination,verdict,lost");
    while (std::getline(in, line)) {
        std::string v = line.substr(0, line.rfind(','));
        v = v.substr(v.rfind(',') + 1);
        out += v == "indicated" ? 'I' : v == "card filter" ? 'C' : v == "exact filter" ? 'E' : v == "unusable" ? 'U'
               : v == "bpf" ? 'B' : '?';
    }
    return out;
}

struct FilterCase {
    const char* filter;
    const char* verdicts;  // I indicated, C card filter, E exact filter, U unusable, B not offered (--bpf)
};
void PrintTo(const FilterCase& c, std::ostream* os) { *os << "--filter " << c.filter; }

class ReplayFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(ReplayFilter, EveryFrameGetsItsVerdict) {
    const FilterCase& fc = GetParam();
    ScratchDir dir;
    auto records = mixed_capture();
    write_pcap(dir.file("in.pcap"), records);
    RunResult r = run_tool("replay " + dir.file("in.pcap") + " -w " + dir.file("out.pcap") + " --verdicts " +
                               dir.file("v.csv") + " --json --multicast 01:00:5e:00:00:01 --filter " + fc.filter,
                           dir);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(verdict_letters(read_file(dir.file("v.csv"))), fc.verdicts);
    std::vector<Bytes> want;
    for (std::size_t i = 0; i < records.size(); i++)
        if (fc.verdicts[i] == 'I') want.push_back(padded(records[i].bytes));
    EXPECT_EQ(read_pcap(dir.file("out.pcap")), want);
    JsonMap j = parse_json(r.out);
    EXPECT_EQ(num(j, "frames_in_capture"), 9u);
    EXPECT_EQ(num(j, "not_usable.cut") + num(j, "not_usable.too_long"), 2u);
    const auto offered = static_cast<std::uint64_t>(7 - std::count(fc.verdicts, fc.verdicts + 9, 'B'));
    EXPECT_EQ(num(j, "offered"), offered);
    EXPECT_EQ(num(j, "verdicts.indicated"), want.size());
    EXPECT_EQ(num(j, "verdicts.indicated") + num(j, "verdicts.card_filter") + num(j, "verdicts.exact_filter"), offered);
    EXPECT_EQ(num(j, "lost"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, ReplayFilter,
    ::testing::Values(FilterCase{"directed", "ICCCCCCUU"}, FilterCase{"broadcast", "ECICCCIUU"},
                      FilterCase{"DIRECTED,Broadcast", "ICICCCIUU"}, FilterCase{"multicast", "ECCIECCUU"},
                      FilterCase{"allmulticast", "ECCIIICUU"}, FilterCase{"promiscuous", "IIIIIIIUU"},
                      FilterCase{"promiscuous --bpf 'ether multicast and not ether broadcast'", "BBBIIIBUU"}),
    [](const ::testing::TestParamInfo<FilterCase>& info) {
        std::string name;
        for (char ch : std::string(info.param.filter)) name += std::isalnum(ch) ? char(std::tolower(ch)) : '_';
        return name;
    });

// Back-to-back full frames overrun the 8-bit card: the frames lost are
// counted by why, the rows add up, and only --fail-on-loss fails the run.
TEST(Replay, LossesOnASlowCardAreAccountedForByReason) {
    ScratchDir dir;
    std::vector<PcapRecord> c;
    for (int i = 0; i < 60; i++) c.push_back({frame(kStation, kPeer, 1514, std::uint8_t(i)), 0, 5});
    write_pcap(dir.file("burst.pcap"), c);
    const std::string args = "replay " + dir.file("burst.pcap") + " --kind isa8 --filter promiscuous --json -w " +
                             dir.file("out.pcap") + " --verdicts " + dir.file("v.csv");
    RunResult r = run_tool(args, dir);
    EXPECT_EQ(r.code, 0) << r.err;
    JsonMap j = parse_json(r.out);
    std::uint64_t sum = 0, lost_by = 0;
    for (const char* v : {"indicated", "card_filter", "exact_filter", "ring_full", "receiver_stopped", "runt", "error",
                          "dropped_by_driver", "transfer_failed"}) {
        sum += num(j, std::string("verdicts.") + v);
        lost_by += num(j, std::string("lost_by.") + v);
    }
    EXPECT_EQ(sum, 60u);
    EXPECT_EQ(num(j, "verdicts.card_filter"), 0u);
    EXPECT_GT(num(j, "verdicts.ring_full") + num(j, "verdicts.receiver_stopped"), 0u);
    EXPECT_EQ(num(j, "lost"), 60u - num(j, "verdicts.indicated"));
    EXPECT_EQ(lost_by, num(j, "lost"));
    std::istringstream csv(read_file(dir.file("v.csv")));
    std::uint64_t rows = 0, lost_rows = 0;
    for (std::string line; std::getline(csv, line); rows++) lost_rows += line.back() == '1';
    EXPECT_EQ(rows, 61u);
    EXPECT_EQ(lost_rows, num(j, "lost"));
    EXPECT_EQ(read_pcap(dir.file("out.pcap")).size(), num(j, "verdicts.indicated"));
    EXPECT_EQ(run_tool(args + " --fail-on-loss", dir).code, 1);
}

// Frames that queue for the wire for longer than any time limit are all
// drained: 10,000 full frames at one timestamp take over 12 s of wire time.
TEST(Replay, DrainsHoweverLongItTakes) {
    ScratchDir dir;
    std::vector<PcapRecord> c(10000, {frame(kBroadcast, kPeer, 1514), 0, 7});
    write_pcap(dir.file("in.pcap"), c);
    RunResult r = run_tool("replay " + dir.file("in.pcap") + " --json", dir);
    ASSERT_EQ(r.code, 0) << r.err;
    JsonMap j = parse_json(r.out);
    EXPECT_GT(num(j, "virtual_time_ns"), 12000000000u);
    EXPECT_EQ(num(j, "verdicts.indicated") + num(j, "lost"), 10000u);
}

// 200,000 full frames at one timestamp, piped in: the tool's peak memory
// stays under 50 MB.
TEST(Replay, MemoryStaysBoundedOnALongCapture) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' own memory hides the tool's";
#endif
    ScratchDir dir;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[0], 0);
        dup2(open("/dev/null", O_WRONLY), 1);
        close(fds[1]);
        execl(NE2K_TOOL_PATH, "ne2k", "replay", "-", "-w", "/dev/null", "--json", (char*)nullptr);
        _exit(127);
    }
    close(fds[0]);
    write_pcap(fdopen(fds[1], "wb"), std::vector<PcapRecord>(200000, {frame(kStation, kPeer, 1514), 0, 1}));
    int status = 0;
    rusage use{};
    ASSERT_EQ(wait4(pid, &status, 0, &use), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(use.ru_maxrss, 50 * 1024) << "peak resident set in KiB";
}

// Ctrl-C while the capture still comes in: exit 130, a valid output with
// the frames so far, and the summary of those.
TEST(Replay, InterruptedKeepsWhatItHas) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0600), 0);
    Background tool(std::string(NE2K_TOOL_PATH) + " replay " + dir.file("in.fifo") + " --json -w " +
                        dir.file("out.pcap"),
                    dir.file("summary.json"));
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* d = pcap_dump_open(dead, dir.file("in.fifo").c_str());  // waits for the tool
    for (int i = 0; i < 50; i++) {
        Bytes f = frame(kBroadcast, kPeer, 100, std::uint8_t(i));
        pcap_pkthdr h{};
        h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
        pcap_dump(reinterpret_cast<u_char*>(d), &h, f.data());
    }
    pcap_dump_flush(d);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    tool.interrupt();
    EXPECT_EQ(tool.wait(20), 130);
    pcap_dump_close(d);
    pcap_close(dead);
    JsonMap j = parse_json(read_file(dir.file("summary.json")));
    EXPECT_EQ(j["interrupted"], "true");
    EXPECT_EQ(num(j, "frames_in_capture"), 50u);
    EXPECT_EQ(read_pcap(dir.file("out.pcap")).size(), num(j, "verdicts.indicated"));
    EXPECT_EQ(num(j, "verdicts.indicated"), 50u);
}

// A capture rewritten by tcpdump comes in on standard input; the output
// goes to standard output (the summary to standard error) and tcpdump reads it.
TEST(Replay, PipedThroughTcpdump) {
    if (!have_program("tcpdump")) GTEST_SKIP() << "tcpdump is not installed (bash scripts/deps.sh installs it)";
    ScratchDir dir;
    auto records = mixed_capture();
    write_pcap(dir.file("in.pcap"), records);
    RunResult r = run_shell("tcpdump -r " + dir.file("in.pcap") + " -w - | " + NE2K_TOOL_PATH +
                                " replay - -w - --json > " + dir.file("out.pcap"),
                            dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(num(parse_json(r.err.substr(r.err.find('{'))), "frames_in_capture"), 9u) << r.err;
    std::vector<Bytes> want{padded(records[0].bytes), records[2].bytes, padded(records[6].bytes)};
    EXPECT_EQ(read_pcap(dir.file("out.pcap")), want);
    RunResult back = run_shell("tcpdump -r " + dir.file("out.pcap") + " -e -n", dir);
    EXPECT_NE(back.out.find("02:00:00:00:00:42 > ff:ff:ff:ff:ff:ff"), std::string::npos) << back.out << back.err;
}

TEST(Replay, TruncatedCaptureKeepsTheWholeFramesAndSaysSo) {
    ScratchDir dir;
    std::vector<PcapRecord> c;
    for (int i = 0; i < 5; i++) c.push_back({frame(kBroadcast, kPeer, 100, std::uint8_t(i)), 0, 10u * i});
    write_pcap(dir.file("in.pcap"), c);
    std::filesystem::resize_file(dir.file("in.pcap"), std::filesystem::file_size(dir.file("in.pcap")) - 30);
    RunResult r = run_tool("replay " + dir.file("in.pcap") + " -w " + dir.file("out.pcap"), dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("damaged after frame 4"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("capture it again"), std::string::npos) << r.err;
    EXPECT_EQ(read_pcap(dir.file("out.pcap")).size(), 4u);
}

TEST(Replay, UnusableInputsAreRunErrorsWithAHint) {
    ScratchDir dir;
    write_pcap(dir.file("sll.pcap"), {{Bytes(40, 0x45), 0, 0}}, DLT_LINUX_SLL);
    std::ofstream(dir.file("notes.txt")) << "this is not a capture\n";
    std::ofstream(dir.file("empty.pcap"));
    write_pcap(dir.file("ok.pcap"), {{frame(kBroadcast, kPeer, 60), 0, 0}});
    struct Case {
        std::string args;
        const char* says;
    } cases[] = {
        {"replay " + dir.file("missing.pcap"), "No such file or directory (give the path of a pcap capture file"},
        {"replay " + dir.file("sll.pcap"), "is not Ethernet (EN10MB)"},
        {"replay " + dir.file("notes.txt"), "not a readable capture"},
        {"replay " + dir.file("empty.pcap"), "the file is empty (0 bytes)"},
        {"replay - < " + dir.file("empty.pcap"), "-: the file is empty (0 bytes)"},
        {"send " + dir.file("sll.pcap") + " -w " + dir.file("w.pcap"), "is not Ethernet (EN10MB)"},
        {"replay " + dir.file("ok.pcap") + " -w /nonexistent-folder/out.pcap", "cannot be written"},
        {"trace init > /dev/full", "writing standard output failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run_tool(c.args, dir);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

// How long a capture takes on the virtual clock, by pace, for replay and
// send: three frames a second apart, or timestamps that go past 2038 (read
// back as negative seconds by libpcap) and then back in time.
TEST(Timing, PaceAndTimestamps) {
    ScratchDir dir;
    const std::uint64_t t2038 = 0x7FFFFFFFull * 1000000;
    std::vector<PcapRecord> second_apart, past_2038{{frame(kStation, kPeer, 60), 0, t2038},
                                                   {frame(kStation, kPeer, 60), 0, t2038 + 1500000},
                                                   {frame(kStation, kPeer, 60), 0, t2038 - 10000000}};
    for (int i = 0; i < 3; i++) second_apart.push_back({frame(kStation, kPeer, 60), 0, 1000000ull * (5 + i)});
    write_pcap(dir.file("second.pcap"), second_apart);
    write_pcap(dir.file("2038.pcap"), past_2038);
    struct Case {
        const char* capture;
        const char* options;
        double seconds;  // virtual time, to within 10 ms
        std::uint64_t earlier;
    } cases[] = {
        {"second.pcap", "", 2.0, 0},           {"second.pcap", "--speed 2", 1.0, 0},
        {"second.pcap", "--speed 0.5", 4.0, 0}, {"second.pcap", "--topspeed", 0.0, 0},
        {"second.pcap", "--pps 10", 0.2, 0},   {"2038.pcap", "", 1.5, 1},
    };
    for (const Case& c : cases)
        for (const char* cmd : {"replay", "send"}) {
            SCOPED_TRACE(std::string(cmd) + " " + c.capture + " " + c.options);
            RunResult r = run_tool(std::string(cmd) + " " + dir.file(c.capture) + " --json -w " + dir.file("o.pcap") +
                                       " " + c.options,
                                   dir);
            ASSERT_EQ(r.code, 0) << r.err;
            JsonMap j = parse_json(r.out);
            EXPECT_NEAR(double(num(j, "virtual_time_ns")) / 1e9, c.seconds, 0.01);
            EXPECT_EQ(num(j, "earlier_timestamps"), c.earlier);
            EXPECT_EQ(read_pcap(dir.file("o.pcap")).size(), 3u);
        }
}

}  // namespace
}  // namespace ne2k_tool
