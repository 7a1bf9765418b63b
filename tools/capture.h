// Reading and writing captures through libpcap.
#ifndef TOOLS_CAPTURE_H
#define TOOLS_CAPTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/host.h"

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace ne2k_tool {

struct CaptureFrame {
    std::vector<std::uint8_t> bytes;  // as captured
    std::uint32_t wire_len = 0;       // length on the wire (more than bytes.size() when cut by snaplen)
    std::uint64_t time_ns = 0;        // capture timestamp
};

struct Capture {
    std::vector<CaptureFrame> frames;  // every whole record, in order
    // Set when reading stopped before the end of the file: what libpcap
    // said, and what that means for the user.
    std::string damage;
};

// Reads every record of an Ethernet capture. A missing or unreadable file,
// or a link type other than Ethernet, is a RunError with a hint. A record
// cut short by the end of the file ends the reading: what came before is
// kept and `damage` says what happened.
Capture read_capture(const std::string& path);

// Writes an Ethernet capture with nanosecond timestamps.
class CaptureWriter {
public:
    explicit CaptureWriter(const std::string& path);  // RunError if it cannot be created
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    void write(std::uint64_t time_ns, const std::uint8_t* bytes, std::size_t len);
    void close();  // flushes; RunError if the write failed
    std::uint64_t written() const { return written_; }

private:
    std::string path_;
    pcap_t* dead_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
    std::uint64_t written_ = 0;
};

// A compiled BPF expression for Ethernet frames.
class BpfFilter {
public:
    explicit BpfFilter(const std::string& expression);  // UsageError with libpcap's message
    ~BpfFilter();
    BpfFilter(const BpfFilter&) = delete;
    BpfFilter& operator=(const BpfFilter&) = delete;
    bool matches(const std::uint8_t* bytes, std::size_t caplen, std::size_t wire_len) const;

private:
    pcap_t* dead_ = nullptr;
    void* program_ = nullptr;  // struct bpf_program
};

}  // namespace ne2k_tool

#endif  // TOOLS_CAPTURE_H
