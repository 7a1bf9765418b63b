// NE2000-class boards: the 32-port window around the DP8390 core, the PROM
// image, where buffer RAM lies, PC Card attribute memory and MCA POS data.
//
//   0x00-0x0F  controller registers (page by CR)
//   0x10-0x17  data port (remote DMA)
//   0x18-0x1F  reset port: a read or a write resets the controller
#ifndef HW_BOARD_H
#define HW_BOARD_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hw/clock.h"
#include "hw/dp8390.h"
#include "hw/port_device.h"
#include "hw/segment.h"

namespace hw {

enum class BoardKind { Isa16, Isa8, PcCard, Mca };
constexpr BoardKind kBoardKinds[] = {BoardKind::Isa16, BoardKind::Isa8, BoardKind::PcCard, BoardKind::Mca};
// "isa16", "isa8", "pccard", "mca": the name a user gives and reads.
const char* kind_name(BoardKind kind);

struct BoardConfig {
    BoardKind kind = BoardKind::Isa16;
    std::array<std::uint8_t, 6> station{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::uint32_t io_base = 0x300;                      // ISA and PC Card; MCA takes it from pos_data1
    unsigned irq = 3;                                   // ISA and PC Card; MCA takes it from pos_data1
    std::optional<std::vector<std::uint8_t>> prom;      // 32-byte PROM image override
    std::optional<std::uint32_t> ram_start, ram_size;   // buffer RAM override
    std::uint32_t attribute_address = 0xD4000;          // PC Card attribute memory window
    std::uint32_t attribute_size = 4096;
    std::uint16_t mca_adapter_id = 0x67B0;              // or 0x7154
    std::uint8_t pos_data1 = 0;
};

// The PROM image a board of this kind carries for this station address.
std::vector<std::uint8_t> default_prom(BoardKind kind, const std::array<std::uint8_t, 6>& station);
// I/O base and interrupt an MCA board answers at for its POS byte.
std::uint32_t mca_io_base(std::uint16_t adapter_id, std::uint8_t pos_data1);
unsigned mca_irq(std::uint8_t pos_data1);

class Ne2000Board : public PortDevice, private CoreHost {
public:
    static constexpr std::uint32_t kDataPort = 0x10;
    static constexpr std::uint32_t kResetPort = 0x18;
    static constexpr std::uint32_t kPorts = 0x20;

    Ne2000Board(Clock& clock, const BoardConfig& config);
    ~Ne2000Board() override;

    std::uint32_t io_base() const { return io_base_; }  // where it answers (MCA: from pos_data1)
    unsigned irq() const { return irq_; }                // line it raises (MCA: from pos_data1)
    BoardKind kind() const { return config_.kind; }
    const BoardConfig& config() const { return config_; }

    // PC Card attribute memory (empty for other kinds): bytes of the window,
    // station address at offsets 0xFF0, 0xFF2, ... 0xFFA.
    std::vector<std::uint8_t>& attribute_memory() { return attribute_; }
    std::uint32_t attribute_address() const { return config_.attribute_address; }

    // MCA POS data for the host's POS read.
    std::uint16_t mca_adapter_id() const { return config_.mca_adapter_id; }
    std::uint8_t pos_data1() const { return config_.pos_data1; }

    void attach(Segment& segment) { core_.attach(segment); }

    Faults& faults() { return core_.faults(); }

    // The card pulled out of its slot (a PC Card ejected while the driver
    // runs), at once or when Faults::pull_after runs out: from then on every
    // port reads all ones and every write goes nowhere, the card is off the
    // segment (a transmission under way is cut off), its line is low and
    // stays low, and the attribute memory reads all ones. For good.
    void pull_out();
    bool pulled() const { return pulled_; }
    // Whether a port access now reaches the controller (not pulled out, no
    // Faults::no_answer).
    bool answering() const { return !pulled_ && !core_.faults().no_answer; }
    const Misuse& misuse() const { return core_.misuse(); }

    // PortDevice
    std::uint8_t read8(std::uint32_t offset) override;
    void write8(std::uint32_t offset, std::uint8_t value) override;
    std::uint16_t read16(std::uint32_t offset) override;
    void write16(std::uint32_t offset, std::uint16_t value) override;
    void read8_string(std::uint32_t offset, std::uint8_t* dst, std::uint32_t count) override;
    void read16_string(std::uint32_t offset, std::uint16_t* dst, std::uint32_t count) override;
    void write8_string(std::uint32_t offset, const std::uint8_t* src, std::uint32_t count) override;
    void write16_string(std::uint32_t offset, const std::uint16_t* src, std::uint32_t count) override;
    bool irq_level() const override { return (core_.line() && !pulled_) || foreign_pulse_; }
    void set_isr_context(bool active) override { core_.set_isr_context(active); }
    void describe_to(std::string& out, std::uint32_t offset, bool write, unsigned width,
                     std::uint32_t value) const override;

    // A shared line that fires with no card cause: if Faults::foreign_irq
    // has pulses left, raises and drops the line once (while the card's own
    // line is low) and returns true. The host decides when to poll this.
    bool fire_foreign_irq();

    // Back door for tests: no side effects.
    Dp8390& core() { return core_; }
    const Dp8390State& regs() const { return core_.state(); }
    Dp8390State& regs() { return core_.state(); }
    CardMemory& memory() { return memory_; }
    std::uint8_t peek(std::uint16_t address) const { return memory_.read(address); }
    void poke(std::uint16_t address, std::uint8_t value) { memory_.data()[address] = value; }
    void peek_block(std::uint16_t address, std::uint8_t* dst, std::size_t len) const;
    void poke_block(std::uint16_t address, const std::uint8_t* src, std::size_t len);
    bool running() const { return core_.running(); }
    bool receive_disabled() const { return core_.state().rx_disabled; }
    bool transmitting() const { return core_.state().transmitting; }

private:
    void line_changed(bool level) override {
        if (!pulled_) notify_irq(level || foreign_pulse_);
    }
    bool is_data(std::uint32_t offset) const { return offset >= kDataPort && offset < kResetPort; }
    // Counts an access once it is over (the card may be pulled out after it).
    struct Answered {
        Ne2000Board& board;
        ~Answered() { board.count_access(); }
    };
    void count_access();
    std::uint8_t register_read(std::uint32_t offset);
    void register_write(std::uint32_t offset, std::uint8_t value);

    BoardConfig config_;
    std::uint32_t io_base_;
    unsigned irq_;
    CardMemory memory_;
    Dp8390 core_;
    std::vector<std::uint8_t> attribute_;
    bool foreign_pulse_ = false;
    bool pulled_ = false;
};

}  // namespace hw

#endif  // HW_BOARD_H
