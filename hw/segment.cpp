#include "hw/segment.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Table CRC from state `c` (not complemented on the way in or out).
std::uint32_t crc_tables(std::uint32_t c, const std::uint8_t* data, std::size_t len) {
    const CrcTable& tab = crc_table();
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
    return c;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define HW_FCS_CLMUL 1
// Carry-less multiplication folding (the reflected CRC-32 constants x^n mod
// P for the fold distances, then a Barrett reduction): four 128-bit lanes
// folded 64 bytes a step, then one lane 16 bytes a step. `len` is a multiple
// of 16 and at least 64; returns the state after those bytes.
#define HW_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))
HW_CLMUL_TARGET inline __m128i load16(const std::uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}
// x times the two halves of k (low with low, high with high), plus next.
HW_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

HW_CLMUL_TARGET std::uint32_t crc_clmul(std::uint32_t c, const std::uint8_t* p, std::size_t len) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x2 = load16(p + 16), x3 = load16(p + 32), x4 = load16(p + 48);
    p += 64;
    len -= 64;
    while (len >= 64) {
        x1 = fold(x1, k1k2, load16(p));
        x2 = fold(x2, k1k2, load16(p + 16));
        x3 = fold(x3, k1k2, load16(p + 32));
        x4 = fold(x4, k1k2, load16(p + 48));
        p += 64;
        len -= 64;
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    while (len >= 16) {
        x1 = fold(x1, k3k4, load16(p));
        p += 16;
        len -= 16;
    }
    // 128 bits to 64, then to 32 by Barrett reduction.
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00));
    __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10), low32);
    x = _mm_xor_si128(x, _mm_clmulepi64_si128(t, poly, 0x00));
    return static_cast<std::uint32_t>(_mm_extract_epi32(x, 1));
}

bool have_clmul() {
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return yes;
}
#endif

}  // namespace

std::uint32_t ethernet_fcs(const std::uint8_t* data, std::size_t len) {
    std::uint32_t c = 0xFFFFFFFFu;
#ifdef HW_FCS_CLMUL
    if (len >= 64 && have_clmul()) {
        std::size_t bulk = len & ~std::size_t{15};
        c = crc_clmul(c, data, bulk);
        data += bulk;
        len -= bulk;
    }
#endif
    return ~crc_tables(c, data, len);
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
