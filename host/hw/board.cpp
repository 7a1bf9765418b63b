#include "hw/board.h"

#include <algorithm>
#include <cstring>

#include "hw/decode.h"

namespace hw {

const char* kind_name(BoardKind kind) {
    switch (kind) {
    case BoardKind::Isa16: return "isa16";
    case BoardKind::Isa8: return "isa8";
    case BoardKind::PcCard: return "pccard";
    case BoardKind::Mca: return "mca";
    }
    return "?";
}

using namespace dp8390;

std::vector<std::uint8_t> default_prom(BoardKind kind, const std::array<std::uint8_t, 6>& station) {
    std::vector<std::uint8_t> p(32, 0x00);
    if (kind == BoardKind::Isa8) {
        // A 16-byte PROM on an 8-bit path, seen twice.
        for (int copy = 0; copy < 2; copy++) {
            for (int i = 0; i < 6; i++) p[copy * 16 + i] = station[i];
            p[copy * 16 + 0x0E] = p[copy * 16 + 0x0F] = 0x42;
        }
        return p;
    }
    // A 16-bit path: every PROM byte appears in both halves of a word.
    for (int i = 0; i < 6; i++) p[2 * i] = p[2 * i + 1] = station[i];
    for (int i = 0x1C; i < 0x20; i++) p[i] = 0x57;
    return p;
}

std::uint32_t mca_io_base(std::uint16_t adapter_id, std::uint8_t pos_data1) {
    static const std::uint32_t kBase67B0[8] = {0x300, 0x1000, 0x2020, 0x8020, 0x300, 0x320, 0x340, 0x360};
    static const std::uint32_t kBase7154[8] = {0x300, 0x1000, 0x2020, 0x8020, 0xA0A0, 0xB0B0, 0xC0C0, 0xC3D0};
    unsigned field = (pos_data1 >> 1) & 7;
    return adapter_id == 0x7154 ? kBase7154[field] : kBase67B0[field];
}

unsigned mca_irq(std::uint8_t pos_data1) {
    static const unsigned kIrq[4] = {3, 4, 5, 9};
    return kIrq[(pos_data1 >> 5) & 3];
}

Ne2000Board::Ne2000Board(Clock& clock, const BoardConfig& config)
    : config_(config), io_base_(config.io_base), irq_(config.irq), core_(clock, memory_, *this) {
    if (config.kind == BoardKind::Mca && (config.mca_adapter_id == 0x67B0 || config.mca_adapter_id == 0x7154)) {
        io_base_ = mca_io_base(config.mca_adapter_id, config.pos_data1);
        irq_ = mca_irq(config.pos_data1);
    }
    memory_.set_prom(config.prom ? *config.prom : default_prom(config.kind, config.station));
    bool narrow = config.kind == BoardKind::Isa8;
    memory_.set_ram(config.ram_start.value_or(narrow ? 0x2000 : 0x4000),
                    config.ram_size.value_or(narrow ? 0x2000 : 0x4000));
    if (config.kind == BoardKind::PcCard) {
        attribute_.assign(config.attribute_size, 0xFF);
        for (std::uint32_t i = 0; i < 6; i++)
            if (0xFF0 + 2 * i < attribute_.size()) attribute_[0xFF0 + 2 * i] = config.station[i];
    }
}

Ne2000Board::~Ne2000Board() = default;

void Ne2000Board::pull_out() {
    if (pulled_) return;
    bool was_high = irq_level();
    pulled_ = true;
    core_.detach();
    std::fill(attribute_.begin(), attribute_.end(), 0xFF);
    if (was_high && !irq_level()) notify_irq(false);
}

void Ne2000Board::count_access() {
    int& left = core_.faults().pull_after;
    if (left > 0 && --left == 0) pull_out();
}

// A register, the data port or the reset port, at a byte.
std::uint8_t Ne2000Board::register_read(std::uint32_t offset) {
    if (offset < kDataPort) return core_.read_reg(offset);
    if (is_data(offset)) return static_cast<std::uint8_t>(core_.read_data(false));
    core_.reset();
    return 0xFF;
}

void Ne2000Board::register_write(std::uint32_t offset, std::uint8_t value) {
    if (offset < kDataPort)
        core_.write_reg(offset, value);
    else if (is_data(offset))
        core_.write_data(value, false);
    else
        core_.reset();
}

std::uint8_t Ne2000Board::read8(std::uint32_t offset) {
    Answered answered{*this};
    return answering() ? register_read(offset & (kPorts - 1)) : 0xFF;
}

void Ne2000Board::write8(std::uint32_t offset, std::uint8_t value) {
    Answered answered{*this};
    if (answering()) register_write(offset & (kPorts - 1), value);
}

std::uint16_t Ne2000Board::read16(std::uint32_t offset) {
    Answered answered{*this};
    offset &= kPorts - 1;
    if (!answering()) return 0xFFFF;
    if (is_data(offset)) return core_.read_data(true);
    // A word access elsewhere is two byte accesses at offset and offset+1.
    std::uint8_t lo = register_read(offset);
    return static_cast<std::uint16_t>(lo | register_read((offset + 1) & (kPorts - 1)) << 8);
}

void Ne2000Board::write16(std::uint32_t offset, std::uint16_t value) {
    Answered answered{*this};
    offset &= kPorts - 1;
    if (!answering()) return;
    if (is_data(offset)) {
        core_.write_data(value, true);
        return;
    }
    register_write(offset, static_cast<std::uint8_t>(value));
    register_write((offset + 1) & (kPorts - 1), static_cast<std::uint8_t>(value >> 8));
}

// A string access on the data port is one access, as the bus counts it;
// elsewhere (no driver makes one) each element is an access of its own.
void Ne2000Board::read8_string(std::uint32_t offset, std::uint8_t* dst, std::uint32_t count) {
    if (!is_data(offset & (kPorts - 1))) return PortDevice::read8_string(offset, dst, count);
    Answered answered{*this};
    if (answering())
        core_.read_data(dst, count);
    else
        std::fill(dst, dst + count, 0xFF);
}

void Ne2000Board::read16_string(std::uint32_t offset, std::uint16_t* dst, std::uint32_t count) {
    if (!is_data(offset & (kPorts - 1))) return PortDevice::read16_string(offset, dst, count);
    Answered answered{*this};
    if (answering())
        core_.read_data(dst, count);
    else
        std::memset(dst, 0xFF, count * sizeof *dst);  // the buffer may be unaligned
}

void Ne2000Board::write8_string(std::uint32_t offset, const std::uint8_t* src, std::uint32_t count) {
    if (!is_data(offset & (kPorts - 1))) return PortDevice::write8_string(offset, src, count);
    Answered answered{*this};
    if (answering()) core_.write_data(src, count);
}

void Ne2000Board::write16_string(std::uint32_t offset, const std::uint16_t* src, std::uint32_t count) {
    if (!is_data(offset & (kPorts - 1))) return PortDevice::write16_string(offset, src, count);
    Answered answered{*this};
    if (answering()) core_.write_data(src, count);
}

bool Ne2000Board::fire_foreign_irq() {
    int& pulses = core_.faults().foreign_irq;
    if (pulses == 0 || irq_level()) return false;
    Faults::take(pulses);
    foreign_pulse_ = true;
    notify_irq(true);
    foreign_pulse_ = false;
    notify_irq(false);
    return true;
}

void Ne2000Board::peek_block(std::uint16_t address, std::uint8_t* dst, std::size_t len) const {
    for (std::size_t i = 0; i < len; i++) dst[i] = memory_.read(static_cast<std::uint16_t>(address + i));
}

void Ne2000Board::poke_block(std::uint16_t address, const std::uint8_t* src, std::size_t len) {
    for (std::size_t i = 0; i < len; i++) memory_.data()[static_cast<std::uint16_t>(address + i)] = src[i];
}

void Ne2000Board::describe_to(std::string& out, std::uint32_t offset, bool write, unsigned width,
                              std::uint32_t value) const {
    decode_access(out, core_.state().cr_page, offset, write, width, value);
}

}  // namespace hw
