#include "hw/segment.h"

#include <algorithm>
#include <cstring>

namespace hw {

namespace {
// Eight tables: eight bytes a step (frames are checked twice per hop).
struct CrcTable {
    std::uint32_t t[8][256];
    CrcTable() {
        for (std::uint32_t i = 0; i < 256; i++) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[0][i] = c;
        }
        for (std::uint32_t i = 0; i < 256; i++)
            for (int k = 1; k < 8; k++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};
const CrcTable& crc_table() {
    static const CrcTable table;
    return table;
}
}  // namespace

std::uint32_t ethernet_fcs(const std::uint8_t* data, std::size_t len) {
    const CrcTable& tab = crc_table();
    std::uint32_t c = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint32_t lo = c ^ (data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                                static_cast<std::uint32_t>(data[i + 3]) << 24);
        std::uint32_t hi = data[i + 4] | data[i + 5] << 8 | data[i + 6] << 16 |
                           static_cast<std::uint32_t>(data[i + 7]) << 24;
        c = tab.t[7][lo & 0xFF] ^ tab.t[6][(lo >> 8) & 0xFF] ^ tab.t[5][(lo >> 16) & 0xFF] ^
            tab.t[4][lo >> 24] ^ tab.t[3][hi & 0xFF] ^ tab.t[2][(hi >> 8) & 0xFF] ^
            tab.t[1][(hi >> 16) & 0xFF] ^ tab.t[0][hi >> 24];
    }
    for (; i < len; i++) c = tab.t[0][(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
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
