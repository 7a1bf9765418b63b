// A shared 10 Mbit/s Ethernet segment on the virtual clock.
//
// Stations attach to it. A station's transmission waits while the medium is
// busy, then occupies it for its wire time (8 bytes preamble, the frame as
// sent, 12 bytes inter-frame gap, at 0.8 us a byte) and at the end reaches
// every other station and every tap. Requests are served first come, first
// served. Frames travel as they are on the wire, normally with their 4-byte
// FCS at the end.
#ifndef HW_SEGMENT_H
#define HW_SEGMENT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "hw/clock.h"
#include "hw/ethernet.h"

namespace hw {

constexpr Nanos kByteTime = 800;          // 10 Mbit/s, in ns per byte
constexpr std::size_t kPreambleBytes = 8; // preamble and start delimiter
constexpr std::size_t kGapBytes = 12;     // inter-frame gap

// Wire time of a frame of `wire_len` bytes (FCS included when sent).
constexpr Nanos wire_time(std::size_t wire_len) {
    return static_cast<Nanos>(kPreambleBytes + wire_len + kGapBytes) * kByteTime;
}

// Ethernet CRC-32 over `len` bytes (reflected polynomial 0xEDB88320, preset
// all ones, final complement): the FCS as it is sent, least significant
// byte first.
std::uint32_t ethernet_fcs(const std::uint8_t* data, std::size_t len);

// Something that sits on the segment.
class Station {
public:
    virtual ~Station() = default;
    // A frame from another station, as on the wire (normally FCS included).
    virtual void deliver(const std::uint8_t* frame, std::size_t len) = 0;
    // The station's own transmission has left the wire (or was cut off by
    // Segment::cancel, in which case this is not called).
    virtual void transmit_done() {}
    // The segment is being destroyed; the station is no longer attached.
    virtual void segment_gone() {}
};

class Segment {
public:
    using Tap = std::function<void(Nanos time, const std::uint8_t* frame, std::size_t len)>;

    explicit Segment(Clock& clock);
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    Clock& clock() { return clock_; }

    void attach(Station& station);
    void detach(Station& station);

    // Taps see every frame that crosses the wire, with the virtual time at
    // which it has fully arrived, as on the wire (FCS included). Use
    // strip_fcs() for the length without it.
    void add_tap(Tap tap);
    static std::size_t strip_fcs(std::size_t wire_len) {
        return wire_len >= kFcsBytes ? wire_len - kFcsBytes : 0;
    }

    // Puts a frame from outside (pcap replay, a TAP bridge) on the medium,
    // now or as soon as it is free. `frame` is without FCS; the segment
    // appends a correct one unless append_fcs is false (then the bytes go as
    // they are). Every station receives it.
    void inject(const std::uint8_t* frame, std::size_t len, bool append_fcs = true);

    // A station asks to send `len` bytes (exactly the wire bytes, FCS
    // included when there is one). The bytes must stay valid until
    // transmit_done() or cancel(). One request per station at a time.
    void transmit(Station& from, const std::uint8_t* wire, std::size_t len);
    // Withdraws the station's request: a queued one is dropped, one on the
    // wire is cut off at once (nobody receives it) and the medium is freed.
    void cancel(Station& from);

    bool busy() const { return on_wire_.active; }
    // Frames that have crossed the wire so far.
    std::uint64_t frames_carried() const { return frames_carried_; }

private:
    struct Request {
        Station* from = nullptr;  // null for injected frames
        const std::uint8_t* data = nullptr;
        std::size_t len = 0;
        std::size_t injected = 0;  // index+1 of the owning injection buffer
    };
    struct OnWire {
        bool active = false;
        Request req;
        Clock::EventId event = 0;
    };

    void start_next();
    void finish();

    Clock& clock_;
    std::vector<Station*> stations_;
    std::vector<Tap> taps_;
    std::vector<Request> queue_;  // first come, first served; its room is kept
    OnWire on_wire_;
    // Injected frames own their bytes; buffers are reused once carried.
    std::vector<std::vector<std::uint8_t>> inject_bufs_;
    std::vector<std::size_t> inject_free_;
    std::uint64_t frames_carried_ = 0;
};

}  // namespace hw

#endif  // HW_SEGMENT_H
