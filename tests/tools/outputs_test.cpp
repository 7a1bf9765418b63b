// What replay and send write, and what they say about it: an output never
// overwrites the input or another output; a run that cannot start still
// gives its --json object; a run cut short by a write error says how far it
// read; the lengths of a cut frame; where a short frame's fill comes from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/tools/tool_helpers.h"
#include "tools/tool.h"

namespace ne2k_tool {
namespace {

using namespace ne2k_tool_test;

// 600 broadcast frames: more than any output's buffer holds, the
// verdicts' included.
constexpr std::uint64_t kLongFrames = 600;
std::vector<PcapRecord> long_capture() {
    std::vector<PcapRecord> c;
    for (unsigned i = 0; i < kLongFrames; i++) c.push_back({frame(kBroadcast, kPeer, 300, std::uint8_t(i)), 0, 1000u * i});
    return c;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Every spelling of the input as an output, and two outputs that are one
// file, are refused (exit 2) before anything is opened for writing: the
// input keeps its bytes and no output appears.
TEST(Outputs, AnOutputThatIsTheInputOrAnotherOutputIsRefused) {
    ScratchDir dir;
    const std::string in = dir.file("in.pcap");
    write_pcap(in, long_capture());
    const std::string original = read_file(in);
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(in.c_str(), dir.file("soft.pcap").c_str()), 0);
    ASSERT_EQ(::link(in.c_str(), dir.file("hard.pcap").c_str()), 0);
    const std::string out = dir.file("o.pcap"), csv = dir.file("v.csv");
    struct Case {
        std::string args;
        std::string says;
    } cases[] = {
        {"replay " + in + " -w " + in, "-w " + in + " is the input"},
        {"replay " + in + " -w " + dir.file("sub/../in.pcap"), "is the input"},
        {"replay " + in + " -w " + dir.file("soft.pcap"), "is the input"},
        {"replay " + in + " -w " + dir.file("hard.pcap"), "is the input"},
        {"replay " + dir.file("soft.pcap") + " --verdicts " + in, "--verdicts " + in + " is the input"},
        {"replay " + in + " -w " + out + " --verdicts " + out, "is the same file as -w"},
        {"replay " + in + " -w " + out + " --verdicts " + dir.file("sub/../o.pcap"), "is the same file as -w"},
        {"replay - -w " + in + " < " + in, "is the input (standard input)"},
        {"replay " + in + " -w - >> " + in, "standard output is the input"},
        {"replay " + in + " --json >> " + in, "standard output is the input"},
        {"send " + in + " -w " + dir.file("hard.pcap"), "is the input"},
        {"send - -w " + in + " < " + dir.file("soft.pcap"), "is the input (standard input)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run_tool(c.args, dir);
        EXPECT_EQ(r.code, 2) << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(read_file(in) == original) << "the input was changed";
        EXPECT_FALSE(exists(out)) << "an output was opened";
        EXPECT_FALSE(exists(csv));
        std::remove(out.c_str());
    }
    // Devices such as /dev/null are no one's file: both outputs may be it.
    RunResult r = run_tool("replay " + in + " -w /dev/null --verdicts /dev/null", dir);
    EXPECT_EQ(r.code, 0) << r.err;
}

// A run that fails before it starts still prints its --json object, with
// the error and the exit status, and the message on standard error.
TEST(Outputs, JsonObjectWhenTheCaptureCannotBeOpened) {
    ScratchDir dir;
    write_pcap(dir.file("sll.pcap"), {{Bytes(40, 0x45), 0, 0}}, DLT_LINUX_SLL);
    std::string noise;
    for (int i = 0; i < 4096; i++) noise += static_cast<char>((i * 7919) >> 3);
    std::ofstream(dir.file("noise.bin"), std::ios::binary) << noise;
    struct Case {
        std::string args;
        const char* says;
    } cases[] = {
        {"replay " + dir.file("missing.pcap"), "No such file or directory"},
        {"replay " + dir.file("noise.bin"), "not a readable capture"},
        {"replay " + dir.file("sll.pcap"), "is not Ethernet (EN10MB)"},
        {"send " + dir.file("missing.pcap") + " -w " + dir.file("w.pcap"), "No such file or directory"},
        {"send " + dir.file("noise.bin") + " -w " + dir.file("w.pcap"), "not a readable capture"},
        {"send " + dir.file("sll.pcap") + " -w " + dir.file("w.pcap"), "is not Ethernet (EN10MB)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run_tool(c.args + " --json", dir);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        JsonMap j = parse_json(r.out);
        EXPECT_EQ(j["command"], c.args.substr(0, c.args.find(' '))) << r.out;
        EXPECT_EQ(num(j, "exit_status"), 1u) << r.out;
        EXPECT_NE(j["errors.0"].find(c.says), std::string::npos) << r.out;
        EXPECT_EQ(j["read_whole_capture"], "false") << r.out;
    }
}

// An output that fails part way: the summary says how far the capture was
// read and that the output is incomplete, and names the system's reason
// for each output, the verdicts as the capture.
TEST(Outputs, AWriteFailureSaysHowFarItReadAndWhy) {
    ScratchDir dir;
    const std::string in = dir.file("in.pcap");
    write_pcap(in, long_capture());
    struct Case {
        std::string args;
        std::vector<const char*> says;  // in standard output and standard error
    } cases[] = {
        {"replay " + in + " -w /dev/full",
         {"frames read", "reading stopped: /dev/full could not be written", "written to /dev/full: incomplete",
          "/dev/full: writing the capture failed (No space left on device)"}},
        {"replay " + in + " --verdicts /dev/full",
         {"frames read", "reading stopped: /dev/full could not be written",
          "/dev/full: writing the verdicts failed (No space left on device)"}},
        {"send " + in + " -w /dev/full",
         {"frames read", "reading stopped: /dev/full could not be written", "written to /dev/full: incomplete",
          "/dev/full: writing the capture failed (No space left on device)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = run_tool(c.args, dir);
        EXPECT_EQ(r.code, 1);
        for (const char* s : c.says) EXPECT_NE((r.out + r.err).find(s), std::string::npos) << s << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.find("frames in capture"), std::string::npos) << r.out;
        JsonMap j = parse_json(run_tool(c.args + " --json", dir).out);
        EXPECT_EQ(j["read_whole_capture"], "false");
        EXPECT_LT(num(j, "frames_in_capture"), kLongFrames);
    }
    JsonMap j = parse_json(run_tool("replay " + in + " -w /dev/null --json", dir).out);
    EXPECT_EQ(j["read_whole_capture"], "true");
    EXPECT_EQ(num(j, "frames_in_capture"), kLongFrames);
}

// Small things a reader of the summaries and files relies on.
TEST(Outputs, NamesAndLengthsAsTheySay) {
    ScratchDir dir;
    std::vector<PcapRecord> c{{frame(kBroadcast, kPeer, 42), 0, 0}, {frame(kBroadcast, kPeer, 96), 500, 10}};
    write_pcap(dir.file("in.pcap"), c);
    // Standard output is named as such, not "-".
    RunResult r = run_tool("replay " + dir.file("in.pcap") + " -w - > " + dir.file("o.pcap"), dir);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("(written to standard output)"), std::string::npos) << r.err;
    r = run_shell("cat " + dir.file("in.pcap") + " | " + NE2K_TOOL_PATH + " send - -w - > " + dir.file("w.pcap"), dir);
    EXPECT_NE(r.err.find("ne2k send: standard input through the isa16 adapter -> standard output"), std::string::npos)
        << r.err;
    // A cut frame: both of its lengths, named, in the message and the CSV.
    r = run_tool("replay " + dir.file("in.pcap") + " --verdicts " + dir.file("v.csv"), dir);
    EXPECT_NE(r.out.find("frame 2 (96 of 500 bytes captured) not usable: cut short"), std::string::npos) << r.out;
    std::istringstream csv(read_file(dir.file("v.csv")));
    std::string header, first, second;
    std::getline(csv, header);
    std::getline(csv, first);
    std::getline(csv, second);
    EXPECT_EQ(header, "frame,captured_length,original_length,destination,verdict,lost");
    EXPECT_EQ(first, "1,42,42,ff:ff:ff:ff:ff:ff,indicated,0");
    EXPECT_EQ(second, "2,96,500,ff:ff:ff:ff:ff:ff,unusable,0");
    // What fills a short frame on the wire is said as it is.
    r = run_tool("send --help", dir);
    EXPECT_NE(r.out.find("filled up to 60 with 0x20 bytes"), std::string::npos) << r.out;
}

// On a terminal, replay and send show how far they are (frames, bytes, the
// fraction of the file) and wipe the line before the summary; elsewhere
// nothing of it.
TEST(Outputs, ProgressOnATerminalOnly) {
    ScratchDir dir;
    const std::string in = dir.file("in.pcap");
    write_pcap(in, long_capture());
    for (const char* command : {"replay", "send"})
        for (bool tty : {true, false}) {
            SCOPED_TRACE(std::string(command) + (tty ? " on a terminal" : " into a file"));
            std::ostringstream out, err;
            Console io{out, err, tty, nullptr};
            EXPECT_EQ(run({command, in, "-w", dir.file("o.pcap"), "--topspeed"}, io), kExitOk) << err.str();
            const std::string t = out.str();
            EXPECT_EQ(t.find('\r') != std::string::npos, tty) << t;
            if (!tty) continue;
            EXPECT_NE(t.find("%  "), std::string::npos) << t;
            EXPECT_NE(t.find(" frames  "), std::string::npos) << t;
            EXPECT_NE(t.find(" MB"), std::string::npos) << t;
            EXPECT_LT(t.rfind('\r'), t.find("frames in capture")) << "the line is wiped before the summary";
        }
}

}  // namespace
}  // namespace ne2k_tool
