// Helpers for the ne2k tool's tests: running the binary (in the foreground
// or the background), a scratch folder, its --json summaries, captures
// written and read with libpcap, frames.
#ifndef TESTS_TOOLS_TOOL_HELPERS_H
#define TESTS_TOOLS_TOOL_HELPERS_H

#include <pcap/pcap.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/watchdog.h"

namespace ne2k_tool_test {

using Bytes = std::vector<std::uint8_t>;

// The tool's station, a peer on the segment, and broadcast.
inline const Bytes kStation{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline const Bytes kPeer{0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
inline const Bytes kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A folder under /tmp, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/ne2k-tool-test-XXXXXX";
        char* p = mkdtemp(tmpl);
        path_ = p ? p : "/tmp";
    }
    ~ScratchDir() {
        std::error_code ec;
        if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct RunResult {
    int code = -1;
    std::string out, err;
};

// A shell command line started in a process group of its own, which the
// test watchdog ends with the test program; its process id.
inline pid_t spawn_shell(const std::string& line) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", line.c_str(), (char*)nullptr);
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);  // before the child gets to it, too
        watchdog::Guard(pid);
    }
    return pid;
}

// Runs a shell command line (pipes and redirections of its own allowed);
// stdout and stderr kept apart.
inline RunResult run_shell(const std::string& command, const ScratchDir& dir) {
    std::string o = dir.file("stdout.txt"), e = dir.file("stderr.txt");
    pid_t pid = spawn_shell("(" + command + ") >" + o + " 2>" + e + " </dev/null");
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    watchdog::Release(pid);
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(o);
    r.err = read_file(e);
    return r;
}

// Runs the ne2k binary with these arguments (already quoted for the shell).
inline RunResult run_tool(const std::string& args, const ScratchDir& dir) {
    return run_shell(std::string(NE2K_TOOL_PATH) + " " + args, dir);
}

// A --json summary flattened: "verdicts.ring_full" -> "3", "ways.0.lost"
// -> "0", strings without their quotes. Empty when the text is not one
// JSON value.
using JsonMap = std::map<std::string, std::string>;
inline bool json_value(const std::string& s, std::size_t& i, const std::string& path, JsonMap& out) {
    auto skip = [&] { while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) i++; };
    auto string = [&](std::string& v) {
        for (i++; i < s.size() && s[i] != '"'; i++) v += s[i] == '\\' ? s[++i] : s[i];
        return i++ < s.size();
    };
    skip();
    if (i >= s.size()) return false;
    if (s[i] == '{' || s[i] == '[') {
        char close = s[i] == '{' ? '}' : ']';
        out[path] = std::string(1, s[i++]);
        for (int n = 0;; n++) {
            skip();
            if (i < s.size() && s[i] == close) return ++i, true;
            if (n && s[i++] != ',') return false;
            std::string key = std::to_string(n);
            skip();
            if (close == '}' && (s[i] != '"' || !string(key = "") || (skip(), s[i++] != ':'))) return false;
            if (!json_value(s, i, path.empty() ? key : path + "." + key, out)) return false;
        }
    }
    std::string v;
    if (s[i] == '"') return string(v) && (out[path] = v, true);
    while (i < s.size() && !std::strchr(",]} \n", s[i])) v += s[i++];
    return !v.empty() && (out[path] = v, true);
}
inline JsonMap parse_json(const std::string& text) {
    JsonMap out;
    std::size_t i = 0;
    if (!json_value(text, i, "", out)) return {};
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) i++;
    return i == text.size() ? out : JsonMap{};
}
// A number of the summary (0 when absent).
inline std::uint64_t num(const JsonMap& j, const std::string& key) {
    auto it = j.find(key);
    return it == j.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

// The tool running in the background (its own process group), its output
// to a file; killed at the end if still there.
class Background {
public:
    Background(const std::string& command, const std::string& out)
        : pid_(spawn_shell("exec " + command + " >" + out)) {}
    ~Background() {
        if (pid_ > 0 && !done_) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        watchdog::Release(pid_);
    }
    // Exit code, waiting at most `seconds` (0: a look); -1 on timeout or a signal.
    int wait(int seconds) {
        for (int i = 0;; i++) {
            int status = 0;
            if (done_ || waitpid(pid_, &status, WNOHANG) == pid_) {
                if (!done_) code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                done_ = true;
                return code_;
            }
            if (i >= seconds * 20) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    void interrupt() { kill(-pid_, SIGINT); }

private:
    pid_t pid_ = -1;
    bool done_ = false;
    int code_ = -1;
};

inline bool have_program(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct PcapRecord {
    Bytes bytes;
    std::uint32_t wire_len = 0;  // 0: same as bytes.size()
    std::uint64_t time_us = 0;
};

// Writes a capture with libpcap to a file or a stream; link type Ethernet
// unless told otherwise.
inline void write_pcap(FILE* f, const std::vector<PcapRecord>& records, int linktype = DLT_EN10MB) {
    pcap_t* dead = pcap_open_dead(linktype, 65535);
    pcap_dumper_t* d = pcap_dump_fopen(dead, f);
    for (const PcapRecord& r : records) {
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(r.time_us / 1000000);
        h.ts.tv_usec = static_cast<suseconds_t>(r.time_us % 1000000);
        h.caplen = static_cast<bpf_u_int32>(r.bytes.size());
        h.len = r.wire_len ? r.wire_len : h.caplen;
        pcap_dump(reinterpret_cast<u_char*>(d), &h, r.bytes.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
}
inline void write_pcap(const std::string& path, const std::vector<PcapRecord>& records, int linktype = DLT_EN10MB) {
    write_pcap(std::fopen(path.c_str(), "wb"), records, linktype);
}

// Every frame of a capture, read with libpcap.
inline std::vector<Bytes> read_pcap(const std::string& path) {
    std::vector<Bytes> out;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    if (!p) return out;
    pcap_pkthdr* h;
    const u_char* data;
    while (pcap_next_ex(p, &h, &data) == 1) out.emplace_back(data, data + h->caplen);
    pcap_close(p);
    return out;
}

// An Ethernet frame of `len` bytes with a recognisable body.
inline Bytes frame(const Bytes& dst, const Bytes& src, std::size_t len, std::uint8_t tag = 0) {
    Bytes f(len, 0);
    for (std::size_t i = 0; i < 6 && i < len; i++) f[i] = dst[i];
    for (std::size_t i = 0; i < 6 && 6 + i < len; i++) f[6 + i] = src[i];
    if (len >= 14) {
        f[12] = 0x88;
        f[13] = 0xB5;
    }
    for (std::size_t i = 14; i < len; i++) f[i] = static_cast<std::uint8_t>(tag * 31 + i);
    return f;
}

inline std::string mac(const std::uint8_t* m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

// A frame filled up to 60 bytes, as on the wire.
inline Bytes padded(Bytes f, std::uint8_t fill = 0x00) {
    if (f.size() < 60) f.resize(60, fill);
    return f;
}

}  // namespace ne2k_tool_test

#endif  // TESTS_TOOLS_TOOL_HELPERS_H
