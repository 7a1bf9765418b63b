#include "tools/capture.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "tools/tool.h"

namespace ne2k_tool {

Capture read_capture(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw RunError(path + ": " + std::strerror(errno) + " (give the path of a pcap capture file)");
    if (S_ISDIR(st.st_mode)) throw RunError(path + ": is a directory (give the path of a pcap capture file)");

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (!p)
        throw RunError(path + ": not a readable capture (libpcap: " + errbuf +
                       "); write captures in pcap or pcapng form, e.g. with tcpdump -w");
    int link = pcap_datalink(p);
    if (link != DLT_EN10MB) {
        const char* name = pcap_datalink_val_to_name(link);
        std::string msg = path + ": link type " + (name ? name : "?") + " (" + std::to_string(link) +
                          ") is not Ethernet (EN10MB); capture on an Ethernet interface "
                          "(tcpdump -i eth0 -w FILE, not -i any) or convert the capture";
        pcap_close(p);
        throw RunError(msg);
    }

    Capture c;
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        int r = pcap_next_ex(p, &h, &data);
        if (r == 1) {
            CaptureFrame f;
            f.bytes.assign(data, data + h->caplen);
            f.wire_len = h->len;
            f.time_ns = static_cast<std::uint64_t>(h->ts.tv_sec) * 1000000000ull +
                        static_cast<std::uint64_t>(h->ts.tv_usec);  // nanoseconds at this precision
            c.frames.push_back(std::move(f));
            continue;
        }
        if (r == PCAP_ERROR) {
            c.damage = std::string("the capture is damaged after frame ") + std::to_string(c.frames.size()) +
                       " (libpcap: " + pcap_geterr(p) + "); the " + std::to_string(c.frames.size()) +
                       " whole frame(s) before it were used and the rest of the file was not. "
                       "The file was probably cut off while it was written: capture it again, "
                       "or keep the whole frames with 'tcpdump -r IN -w OUT'";
        }
        break;  // PCAP_ERROR_BREAK: end of file
    }
    pcap_close(p);
    return c;
}

CaptureWriter::CaptureWriter(const std::string& path) : path_(path) {
    dead_ = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
    if (!dead_) throw RunError("libpcap could not make a capture handle");
    dumper_ = pcap_dump_open(dead_, path.c_str());
    if (!dumper_) {
        std::string msg = path + ": cannot be written (libpcap: " + pcap_geterr(dead_) +
                          "); check that the folder exists and is writable";
        pcap_close(dead_);
        dead_ = nullptr;
        throw RunError(msg);
    }
}

CaptureWriter::~CaptureWriter() {
    if (dumper_) pcap_dump_close(dumper_);
    if (dead_) pcap_close(dead_);
}

void CaptureWriter::write(std::uint64_t time_ns, const std::uint8_t* bytes, std::size_t len) {
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(time_ns / 1000000000ull);
    h.ts.tv_usec = static_cast<suseconds_t>(time_ns % 1000000000ull);  // nanoseconds at this precision
    h.caplen = h.len = static_cast<bpf_u_int32>(len);
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &h, bytes);
    written_++;
}

void CaptureWriter::close() {
    if (!dumper_) return;
    bool bad = pcap_dump_flush(dumper_) != 0;
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (bad) throw RunError(path_ + ": writing the capture failed (disk full?)");
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
    if (program_) {
        pcap_freecode(static_cast<bpf_program*>(program_));
        delete static_cast<bpf_program*>(program_);
    }
    if (dead_) pcap_close(dead_);
}

bool BpfFilter::matches(const std::uint8_t* bytes, std::size_t caplen, std::size_t wire_len) const {
    pcap_pkthdr h{};
    h.caplen = static_cast<bpf_u_int32>(caplen);
    h.len = static_cast<bpf_u_int32>(wire_len);
    return pcap_offline_filter(static_cast<bpf_program*>(program_), &h, bytes) != 0;
}

}  // namespace ne2k_tool
