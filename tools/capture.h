// Captures through libpcap, a record at a time, and what the capture
// commands share: which frames can go on the wire, and when each is due.
#ifndef TOOLS_CAPTURE_H
#define TOOLS_CAPTURE_H

#include <cstdint>
#include <iosfwd>
#include <string>

#include "hw/clock.h"

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace ne2k_tool {

struct CaptureRecord {
    const std::uint8_t* bytes = nullptr;  // valid until the next read
    std::uint32_t caplen = 0;             // bytes captured
    std::uint32_t wire_len = 0;           // length on the wire (more than caplen when cut by snaplen)
    std::uint64_t time_ns = 0;            // capture timestamp
};

// Reads an Ethernet capture (pcap or pcapng; "-" is standard input) record
// by record. A missing or unreadable file, or a link type other than
// Ethernet, is a RunError with a hint.
class CaptureReader {
public:
    explicit CaptureReader(const std::string& path);
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // The next whole record; false at the end of the file or where it
    // breaks off (then damage() says what happened and what to do).
    bool next(CaptureRecord& record);
    const std::string& damage() const { return damage_; }
    // next() came to the end of the capture, whole.
    bool ended() const { return ended_; }
    // How much of the file is read, from 0 to 1; below 0 when its size is
    // not known (a pipe).
    double fraction_read() const;

private:
    pcap_t* pcap_ = nullptr;
    std::uint64_t records_ = 0;
    std::uint64_t size_ = 0;  // of a regular file; 0 when not known
    std::string damage_;
    bool ended_ = false;
};

// Writes an Ethernet capture with nanosecond timestamps ("-" is standard
// output), a record at a time. After a write error nothing more is written
// and error() says what happened.
class CaptureWriter {
public:
    explicit CaptureWriter(const std::string& path);  // RunError if it cannot be created
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    void write(std::uint64_t time_ns, const std::uint8_t* bytes, std::size_t len);
    void close();  // flushes and closes; error() tells whether all of it was written
    const std::string& error() const { return error_; }
    std::uint64_t written() const { return written_; }

private:
    void check();

    std::string path_;
    pcap_t* dead_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
    std::uint64_t written_ = 0;
    std::string error_;
};

// A compiled BPF expression for Ethernet frames.
class BpfFilter {
public:
    explicit BpfFilter(const std::string& expression);  // UsageError with libpcap's message
    ~BpfFilter();
    BpfFilter(const BpfFilter&) = delete;
    BpfFilter& operator=(const BpfFilter&) = delete;
    bool matches(const CaptureRecord& record) const;

private:
    pcap_t* dead_ = nullptr;
    void* program_ = nullptr;  // struct bpf_program
};

// Frames of a capture that cannot go on the wire as they are.
struct Unusable {
    std::uint64_t cut = 0;        // captured shorter than on the wire (snap length)
    std::uint64_t too_short = 0;  // shorter than an Ethernet header
    std::uint64_t too_long = 0;   // longer than 1514 bytes without FCS
    std::uint64_t total() const { return cut + too_short + too_long; }
};
// "frame 7 (1515 bytes)", or for a frame cut by the snap length
// "frame 9 (96 of 500 bytes captured)".
std::string frame_note(std::uint64_t number, const CaptureRecord& record);
// Why a record cannot go on the wire ("" when it can), counted in `u`.
std::string unusable_reason(const CaptureRecord& record, Unusable& u);
std::string unusable_text(const Unusable& u);

// The pace of frames: at the capture's timing (sped up), back to back, or
// at a fixed rate.
struct Pace {
    enum class Mode { Capture, Top, Rate } mode = Mode::Capture;
    double speed = 1;        // Capture: the capture's gaps divided by this
    std::uint64_t pps = 0;   // Rate: frames per second
};

// When each frame is due on the virtual clock, from `start`. A timestamp
// earlier than the previous frame's (a capture out of order, or one that
// went past 2038 and back) means at once, and is counted.
class Schedule {
public:
    Schedule(const Pace& pace, hw::Nanos start) : pace_(pace), start_(start) {}
    hw::Nanos due(std::uint64_t time_ns);
    std::uint64_t earlier() const { return earlier_; }

private:
    Pace pace_;
    hw::Nanos start_;
    bool first_seen_ = false;
    std::uint64_t first_ = 0, previous_ = 0, count_ = 0, earlier_ = 0;
};

class Args;
// --speed, --topspeed, --pps (at most one of them).
Pace parse_pace(const Args& args);

}  // namespace ne2k_tool

#endif  // TOOLS_CAPTURE_H
