#include "hw/segment.h"

#if defined(NE2K_FCS_ZLIB)
#include <zlib.h>
#else
#include <libdeflate.h>
#endif

#include <algorithm>

namespace hw {

std::uint32_t ethernet_fcs(const std::uint8_t* data, std::size_t len) {
    // libdeflate's CRC-32 is the Ethernet one: reflected, preset all ones,
    // final complement, and its value is the FCS sent least significant byte
    // first. It folds with carry-less multiplication where the processor can.
#if defined(NE2K_FCS_ZLIB)
    return static_cast<std::uint32_t>(crc32_z(0, data, len));
#else
    return libdeflate_crc32(0, data, len);
#endif
}

Segment::Segment(Clock& clock) : clock_(clock) {}

Segment::~Segment() {
    if (on_wire_.active) clock_.cancel(on_wire_.event);
    std::vector<Station*> stations;
    stations.swap(stations_);
    for (Station* s : stations) s->segment_gone();
}

void Segment::attach(Station& station) {
    if (std::find(stations_.begin(), stations_.end(), &station) == stations_.end())
        stations_.push_back(&station);
}

void Segment::detach(Station& station) {
    cancel(station);
    stations_.erase(std::remove(stations_.begin(), stations_.end(), &station), stations_.end());
}

void Segment::add_tap(Tap tap) { taps_.push_back(std::move(tap)); }

void Segment::inject(const std::uint8_t* frame, std::size_t len, bool append_fcs) {
    std::size_t index;
    if (!inject_free_.empty()) {
        index = inject_free_.back();
        inject_free_.pop_back();
    } else {
        index = inject_bufs_.size();
        inject_bufs_.emplace_back();
    }
    std::vector<std::uint8_t>& buf = inject_bufs_[index];
    buf.assign(frame, frame + len);
    if (append_fcs) {
        std::uint32_t fcs = ethernet_fcs(frame, len);
        for (int i = 0; i < 4; i++) buf.push_back(static_cast<std::uint8_t>(fcs >> (8 * i)));
    }
    Request r;
    r.data = buf.data();
    r.len = buf.size();
    r.injected = index + 1;
    queue_.push_back(r);
    if (!on_wire_.active) start_next();
}

void Segment::transmit(Station& from, const std::uint8_t* wire, std::size_t len) {
    Request r;
    r.from = &from;
    r.data = wire;
    r.len = len;
    queue_.push_back(r);
    if (!on_wire_.active) start_next();
}

void Segment::cancel(Station& from) {
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](const Request& r) { return r.from == &from; }),
                 queue_.end());
    if (on_wire_.active && on_wire_.req.from == &from) {
        clock_.cancel(on_wire_.event);
        on_wire_.active = false;
        start_next();
    }
}

void Segment::start_next() {
    if (on_wire_.active || queue_.empty()) return;
    on_wire_.req = queue_.front();
    queue_.erase(queue_.begin());
    on_wire_.active = true;
    on_wire_.event = clock_.schedule(clock_.now() + wire_time(on_wire_.req.len), [this] { finish(); });
}

void Segment::finish() {
    Request r = on_wire_.req;
    on_wire_.active = false;
    frames_carried_++;
    for (const Tap& tap : taps_) tap(clock_.now(), r.data, r.len);
    // Index loop: a station may attach or detach others while it receives.
    for (std::size_t i = 0; i < stations_.size(); i++) {
        if (stations_[i] != r.from) stations_[i]->deliver(r.data, r.len);
    }
    if (r.injected) inject_free_.push_back(r.injected - 1);
    if (r.from) r.from->transmit_done();
    start_next();
}

}  // namespace hw
