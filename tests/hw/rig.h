// A board on a segment, driven by port accesses only (no driver), with the
// register sequences every card test needs.
#ifndef TESTS_HW_RIG_H
#define TESTS_HW_RIG_H

#include <memory>
#include <vector>

#include "hw/board.h"
#include "hw/segment.h"

namespace hwtest {

using Bytes = std::vector<std::uint8_t>;
namespace r = hw::dp8390;

const std::array<std::uint8_t, 6> kStationA{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const std::array<std::uint8_t, 6> kStationB{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const std::array<std::uint8_t, 6> kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A frame of `len` bytes (without FCS) to `dest`, bytes counting up.
inline Bytes Frame(const std::array<std::uint8_t, 6>& dest, std::size_t len, std::uint8_t seed = 0) {
    Bytes f(len);
    for (std::size_t i = 0; i < len; i++) f[i] = i < 6 ? dest[i] : std::uint8_t(seed + i * 7);
    return f;
}

struct Card {
    hw::Ne2000Board board;
    std::vector<bool> edges;  // every line change

    Card(hw::Clock& clock, hw::BoardConfig config) : board(clock, config) {
        board.set_irq_listener([this](bool level) { edges.push_back(level); });
    }
    void w(std::uint8_t reg, std::uint8_t v) { board.write8(reg, v); }
    void w(std::initializer_list<std::pair<int, int>> writes) {
        for (auto [reg, v] : writes) w(std::uint8_t(reg), std::uint8_t(v));
    }
    std::uint8_t rd(std::uint8_t reg) { return board.read8(reg); }
    std::uint8_t isr() { return rd(r::P0R_ISR); }
    std::uint16_t crda() { std::uint8_t lo = rd(r::P0R_CRDA0); return std::uint16_t(lo | rd(r::P0R_CRDA1) << 8); }
    std::uint8_t curr() {
        w(r::CR, 0x62);
        std::uint8_t v = rd(r::P1_CURR);
        w(r::CR, 0x22);
        return v;
    }
    // Word or byte transfers, the ring at [start, stop) empty (BNRY start,
    // CURR start + 1), the station address, started, ISR clear.
    void up(bool words = true, std::uint8_t rcr = r::RCR_AB, std::uint8_t start = 0x4C, std::uint8_t stop = 0x80) {
        w({{r::CR, 0x21}, {r::P0W_DCR, words ? 0x49 : 0x48}, {r::P0W_RCR, rcr}, {r::P0W_TCR, 0}, {r::P0W_PSTART, start},
           {r::P0W_PSTOP, stop}, {r::P0W_BNRY, start}, {r::CR, 0x61}, {r::P1_CURR, start + 1}});
        for (int i = 0; i < 6; i++) w(std::uint8_t(r::P1_PAR0 + i), board.config().station[i]);
        w(r::CR, 0x22);
        w(r::P0W_ISR, 0xFF);
    }
    void dma(std::uint16_t addr, std::uint16_t count, std::uint8_t cmd) {
        w({{r::P0W_RSAR0, addr}, {r::P0W_RSAR1, addr >> 8}, {r::P0W_RBCR0, count}, {r::P0W_RBCR1, count >> 8}, {r::CR, cmd}});
    }
    // Through the data port with the string forms (even lengths by words).
    void copy_down(std::uint16_t addr, const Bytes& data, bool words) {
        dma(addr, std::uint16_t(data.size()), 0x12);
        if (words) board.write16_string(0x10, reinterpret_cast<const std::uint16_t*>(data.data()), std::uint32_t(data.size() / 2));
        else board.write8_string(0x10, data.data(), std::uint32_t(data.size()));
    }
    Bytes copy_up(std::uint16_t addr, std::size_t len, bool words) {
        Bytes out(len);
        dma(addr, std::uint16_t(len), 0x0A);
        if (words) board.read16_string(0x10, reinterpret_cast<std::uint16_t*>(out.data()), std::uint32_t(len / 2));
        else board.read8_string(0x10, out.data(), std::uint32_t(len));
        return out;
    }
    // Writes a frame at `page` and starts sending it.
    void send(std::uint8_t page, Bytes frame) {
        std::size_t n = frame.size();
        frame.resize((n + 1) & ~std::size_t{1});
        copy_down(std::uint16_t(page << 8), frame, board.regs().dcr & r::DCR_WTS);
        w({{r::P0W_TPSR, page}, {r::P0W_TBCR0, int(n)}, {r::P0W_TBCR1, int(n >> 8)}, {r::CR, 0x26}});
    }
};

struct Rig {
    hw::Clock clock;
    hw::Segment segment{clock};
    std::vector<std::unique_ptr<Card>> cards;
    std::vector<std::pair<hw::Nanos, Bytes>> wire;

    Rig() {
        segment.add_tap([this](hw::Nanos t, const std::uint8_t* f, std::size_t n) { wire.push_back({t, Bytes(f, f + n)}); });
    }
    // A card on the segment, brought up unless told otherwise.
    Card& add(hw::BoardConfig config = {}, bool up = true) {
        cards.push_back(std::make_unique<Card>(clock, config));
        cards.back()->board.attach(segment);
        if (up) cards.back()->up();
        return *cards.back();
    }
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
