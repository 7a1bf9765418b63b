// A board on a segment, driven by port accesses only, with a few short
// helpers for the register sequences every card test needs.
#ifndef TESTS_HW_RIG_H
#define TESTS_HW_RIG_H

#include <cstdint>
#include <memory>
#include <vector>

#include "hw/board.h"
#include "hw/segment.h"

namespace hwtest {

using Bytes = std::vector<std::uint8_t>;
namespace r = hw::dp8390;

constexpr std::uint8_t kRingStart = 0x4C;  // ring 0x4C00-0x7FFF, slots below
constexpr std::uint8_t kRingStop = 0x80;

// A frame of `len` bytes (without FCS) from `src` to `dest`, payload counting up.
inline Bytes make_frame(const std::array<std::uint8_t, 6>& dest, std::size_t len, std::uint8_t seed = 0) {
    Bytes f(len);
    for (std::size_t i = 0; i < len; i++) f[i] = static_cast<std::uint8_t>(seed + i * 7);
    for (std::size_t i = 0; i < 6 && i < len; i++) f[i] = dest[i];
    for (std::size_t i = 6; i < 12 && i < len; i++) f[i] = static_cast<std::uint8_t>(0x10 + i);
    return f;
}

inline const std::array<std::uint8_t, 6> kStationA{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline const std::array<std::uint8_t, 6> kStationB{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
inline const std::array<std::uint8_t, 6> kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A board configured with this station address.
inline hw::BoardConfig Station(const std::array<std::uint8_t, 6>& station) {
    hw::BoardConfig config;
    config.station = station;
    return config;
}

struct Card {
    hw::Ne2000Board board;
    std::vector<bool> edges;  // every line change reported

    Card(hw::Clock& clock, hw::BoardConfig config) : board(clock, config) {
        board.set_irq_listener([this](bool level) { edges.push_back(level); });
    }

    void w(std::uint8_t reg, std::uint8_t v) { board.write8(reg, v); }
    std::uint8_t rd(std::uint8_t reg) { return board.read8(reg); }
    std::uint8_t isr() { return rd(r::P0R_ISR); }

    // Stopped, word or byte transfers, normal operation, ring at
    // [start, stop), empty (BNRY = start, CURR = start + 1), started.
    void bring_up(bool words = true, std::uint8_t rcr = r::RCR_AB,
                  std::uint8_t start = kRingStart, std::uint8_t stop = kRingStop) {
        w(r::CR, 0x21);
        w(r::P0W_DCR, static_cast<std::uint8_t>(0x48 | (words ? r::DCR_WTS : 0)));
        w(r::P0W_RBCR0, 0);
        w(r::P0W_RBCR1, 0);
        w(r::P0W_RCR, rcr);
        w(r::P0W_TCR, 0x00);
        w(r::P0W_PSTART, start);
        w(r::P0W_PSTOP, stop);
        w(r::P0W_BNRY, start);
        w(r::P0W_ISR, 0xFF);
        w(r::CR, 0x61);
        const auto& sta = board.config().station;
        for (int i = 0; i < 6; i++) w(static_cast<std::uint8_t>(r::P1_PAR0 + i), sta[i]);
        w(r::P1_CURR, static_cast<std::uint8_t>(start + 1));
        w(r::CR, 0x22);
        w(r::P0W_ISR, 0xFF);
    }

    void start_dma(std::uint16_t addr, std::uint16_t count, std::uint8_t cmd) {
        w(r::P0W_RSAR0, static_cast<std::uint8_t>(addr));
        w(r::P0W_RSAR1, static_cast<std::uint8_t>(addr >> 8));
        w(r::P0W_RBCR0, static_cast<std::uint8_t>(count));
        w(r::P0W_RBCR1, static_cast<std::uint8_t>(count >> 8));
        w(r::CR, cmd);
    }

    // Copies through the data port with the string forms; even lengths in
    // word mode.
    void copy_down(std::uint16_t addr, const Bytes& data, bool words) {
        start_dma(addr, static_cast<std::uint16_t>(data.size()), 0x12);
        if (words)
            board.write16_string(0x10, reinterpret_cast<const std::uint16_t*>(data.data()),
                                 static_cast<std::uint32_t>(data.size() / 2));
        else
            board.write8_string(0x10, data.data(), static_cast<std::uint32_t>(data.size()));
    }
    Bytes copy_up(std::uint16_t addr, std::size_t len, bool words) {
        Bytes out(len);
        start_dma(addr, static_cast<std::uint16_t>(len), 0x0A);
        if (words)
            board.read16_string(0x10, reinterpret_cast<std::uint16_t*>(out.data()),
                                static_cast<std::uint32_t>(len / 2));
        else
            board.read8_string(0x10, out.data(), static_cast<std::uint32_t>(len));
        return out;
    }

    std::uint8_t curr() {
        w(r::CR, 0x62);
        std::uint8_t v = rd(r::P1_CURR);
        w(r::CR, 0x22);
        return v;
    }

    // Writes a frame at `page` and starts sending it.
    void send(std::uint8_t page, const Bytes& frame) {
        Bytes padded = frame;
        if (padded.size() & 1) padded.push_back(0);
        copy_down(static_cast<std::uint16_t>(page << 8), padded, (board.regs().dcr & r::DCR_WTS) != 0);
        w(r::P0W_TPSR, page);
        w(r::P0W_TBCR0, static_cast<std::uint8_t>(frame.size()));
        w(r::P0W_TBCR1, static_cast<std::uint8_t>(frame.size() >> 8));
        w(r::CR, 0x26);
    }
};

struct Rig {
    hw::Clock clock;
    hw::Segment segment{clock};
    std::vector<std::unique_ptr<Card>> cards;
    struct Seen {
        hw::Nanos time;
        Bytes bytes;
    };
    std::vector<Seen> wire;

    Rig() {
        segment.add_tap([this](hw::Nanos t, const std::uint8_t* f, std::size_t n) {
            wire.push_back({t, Bytes(f, f + n)});
        });
    }
    Card& add(hw::BoardConfig config = {}) {
        cards.push_back(std::make_unique<Card>(clock, config));
        cards.back()->board.attach(segment);
        return *cards.back();
    }
    // A card added and brought up (word transfers, broadcast accepted).
    Card& up(hw::BoardConfig config = {}) {
        Card& c = add(config);
        c.bring_up();
        return c;
    }
    // Puts a frame on the wire and lets it arrive.
    void inject(const Bytes& frame, bool append_fcs = true) {
        segment.inject(frame.data(), frame.size(), append_fcs);
        settle();
    }
    void settle() {
        while (clock.run_next()) {
        }
    }
};

}  // namespace hwtest

#endif  // TESTS_HW_RIG_H
