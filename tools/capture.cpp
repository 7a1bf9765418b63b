#include "tools/capture.h"

#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "hw/ethernet.h"
#include "tools/args.h"
#include "tools/tool.h"

namespace ne2k_tool {

CaptureReader::CaptureReader(const std::string& path) {
    struct stat st;
    if (path != "-" && ::stat(path.c_str(), &st) != 0)
        throw RunError(path + ": " + std::strerror(errno) + " (give the path of a pcap capture file, or - for standard input)");
    if (path != "-" && S_ISDIR(st.st_mode))
        throw RunError(path + ": is a directory (give the path of a pcap capture file)");
    bool regular = path == "-" ? ::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) : S_ISREG(st.st_mode);
    if (regular) size_ = static_cast<std::uint64_t>(st.st_size);
    // An empty file is the usual leftover of a capture that never started;
    // libpcap's words for it ("truncated dump file") suggest a damaged one.
    if (regular && st.st_size == 0)
        throw RunError(path + ": the file is empty (0 bytes), so it holds no capture; "
                              "write captures in pcap or pcapng form, e.g. with tcpdump -w");
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_ = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (!pcap_)
        throw RunError(path + ": not a readable capture (libpcap: " + errbuf +
                       "); write captures in pcap or pcapng form, e.g. with tcpdump -w");
    int link = pcap_datalink(pcap_);
    if (link != DLT_EN10MB) {
        const char* name = pcap_datalink_val_to_name(link);
        std::string msg = path + ": link type " + (name ? name : "?") + " (" + std::to_string(link) +
                          ") is not Ethernet (EN10MB); capture on an Ethernet interface "
                          "(tcpdump -i eth0 -w FILE, not -i any) or convert the capture";
        pcap_close(pcap_);
        throw RunError(msg);
    }
}

CaptureReader::~CaptureReader() { pcap_close(pcap_); }

bool CaptureReader::next(CaptureRecord& r) {
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(pcap_, &h, &data);
    if (rc == 1) {
        records_++;
        r.bytes = data;
        r.caplen = h->caplen;
        r.wire_len = h->len;
        // A pcap file holds unsigned 32-bit seconds; libpcap hands those past
        // 2038 over as negative.
        std::uint64_t sec = h->ts.tv_sec < 0 ? static_cast<std::uint32_t>(h->ts.tv_sec)
                                             : static_cast<std::uint64_t>(h->ts.tv_sec);
        r.time_ns = sec * 1000000000ull + static_cast<std::uint64_t>(h->ts.tv_usec);  // ns at this precision
        return true;
    }
    if (rc == PCAP_ERROR) {
        const std::string n = std::to_string(records_);
        damage_ = "the capture is damaged after frame " + n + " (libpcap: " + pcap_geterr(pcap_) + "); the " + n +
                  " whole frame(s) before it were used and the rest of the file was not. "
                  "The file was probably cut off while it was written: capture it again, "
                  "or keep the whole frames with 'tcpdump -r IN -w OUT'";
    } else {
        ended_ = true;  // PCAP_ERROR_BREAK: end of file
    }
    return false;
}

double CaptureReader::fraction_read() const {
    if (!size_) return -1;
    off_t at = ::ftello(pcap_file(pcap_));
    return at < 0 ? -1 : double(at) / double(size_);
}

CaptureWriter::CaptureWriter(const std::string& path) : path_(path == "-" ? "standard output" : path) {
    dead_ = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
    if (!dead_) throw RunError("libpcap could not make a capture handle");
    if (path == "-") {
        // A stream of its own on standard output, so that closing the
        // capture leaves standard output open.
        int fd = ::dup(STDOUT_FILENO);
        FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
        if (f) dumper_ = pcap_dump_fopen(dead_, f);
    } else {
        dumper_ = pcap_dump_open(dead_, path.c_str());
    }
    if (!dumper_) {
        std::string msg = path_ + ": cannot be written (libpcap: " + pcap_geterr(dead_) +
                          "); check that the folder exists and is writable";
        pcap_close(dead_);
        throw RunError(msg);
    }
}

CaptureWriter::~CaptureWriter() {
    close();
    pcap_close(dead_);
}

void CaptureWriter::check() {
    if (error_.empty() && std::ferror(pcap_dump_file(dumper_)))
        error_ = path_ + ": writing the capture failed (" + std::strerror(errno) + ")";
}

void CaptureWriter::write(std::uint64_t time_ns, const std::uint8_t* bytes, std::size_t len) {
    if (!dumper_ || !error_.empty()) return;
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(time_ns / 1000000000ull);
    h.ts.tv_usec = static_cast<suseconds_t>(time_ns % 1000000000ull);  // nanoseconds at this precision
    h.caplen = h.len = static_cast<bpf_u_int32>(len);
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &h, bytes);
    check();
    if (error_.empty()) written_++;
}

void CaptureWriter::close() {
    if (!dumper_) return;
    if (pcap_dump_flush(dumper_) != 0) check();
    check();
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
}

BpfFilter::BpfFilter(const std::string& expression) {
    dead_ = pcap_open_dead(DLT_EN10MB, 65535);
    auto* prog = new bpf_program{};
    if (pcap_compile(dead_, prog, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        std::string msg = "--bpf: '" + expression + "' is not a filter expression (libpcap: " +
                          pcap_geterr(dead_) + "); see man pcap-filter, e.g. --bpf 'udp port 53'";
        delete prog;
        pcap_close(dead_);
        throw UsageError(msg);
    }
    program_ = prog;
}

BpfFilter::~BpfFilter() {
    pcap_freecode(static_cast<bpf_program*>(program_));
    delete static_cast<bpf_program*>(program_);
    pcap_close(dead_);
}

bool BpfFilter::matches(const CaptureRecord& r) const {
    pcap_pkthdr h{};
    h.caplen = r.caplen;
    h.len = r.wire_len;
    return pcap_offline_filter(static_cast<bpf_program*>(program_), &h, r.bytes) != 0;
}

std::string frame_note(std::uint64_t number, const CaptureRecord& r) {
    std::string n = "frame " + std::to_string(number) + " (";
    if (r.caplen < r.wire_len)
        return n + std::to_string(r.caplen) + " of " + std::to_string(r.wire_len) + " bytes captured)";
    return n + std::to_string(r.caplen) + " bytes)";
}

std::string unusable_reason(const CaptureRecord& r, Unusable& u) {
    if (r.caplen < r.wire_len) {
        u.cut++;
        return "cut short by the capture's snap length";
    }
    if (r.caplen < hw::kHeaderBytes) {
        u.too_short++;
        return "shorter than an Ethernet header";
    }
    if (r.caplen > hw::kMaxFrame) {
        u.too_long++;
        return "longer than 1514 bytes";
    }
    return {};
}

std::string unusable_text(const Unusable& u) {
    std::string s;
    auto add = [&](std::uint64_t n, const char* what) {
        if (n) s += (s.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    };
    add(u.cut, "cut short by the capture's snap length");
    add(u.too_short, "shorter than an Ethernet header");
    add(u.too_long, "longer than 1514 bytes");
    return s;
}

hw::Nanos Schedule::due(std::uint64_t t) {
    std::uint64_t n = count_++;
    if (!first_seen_) {
        first_seen_ = true;
        first_ = previous_ = t;
    }
    if (t < previous_) {
        earlier_++;
        t = previous_;
    }
    previous_ = t;
    switch (pace_.mode) {
    case Pace::Mode::Top: return start_;
    case Pace::Mode::Rate: return start_ + static_cast<hw::Nanos>(n * (1e9 / double(pace_.pps)));
    case Pace::Mode::Capture: break;
    }
    std::uint64_t gap = t - first_;
    return start_ + (pace_.speed == 1 ? gap : static_cast<hw::Nanos>(double(gap) / pace_.speed));
}

Pace parse_pace(const Args& a) {
    int given = a.has("--speed") + a.has("--topspeed") + a.has("--pps");
    if (given > 1) throw UsageError("give one of --speed, --topspeed and --pps");
    Pace p;
    if (a.has("--topspeed")) p.mode = Pace::Mode::Top;
    if (a.has("--pps")) {
        p.mode = Pace::Mode::Rate;
        p.pps = a.number("--pps", 0, 1, 10000000);
    }
    p.speed = a.real("--speed", 1, 0.001, 1000000);
    return p;
}

}  // namespace ne2k_tool
