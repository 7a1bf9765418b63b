// A host with one emulated card and an AdapterRecord for it, for tests that
// call driver routines directly.
//
// Two ways to get the record:
//  - CardFixture(kind): the record is built by hand as initialization leaves
//    it just before CardSetup (configuration, IoPortBase, ByteWide, RamStart
//    and RamSize of the board, the derived pages, PermanentAddress and
//    StationAddress, ImrValue, LookaheadSize, TxActiveIndex idle). No driver
//    is loaded and the interrupt is not connected; MiniportHandle is null.
//    The controller is as the board powers up; call Setup() to program and
//    start it as registration does (CardSetup, then TCR = 0x00).
//  - BringUp(): loads the driver and initializes the adapter through the
//    wrapper; adapter() is then the wrapper's record (interrupt connected,
//    MiniportHandle valid, controller on the wire).
//
// Port trace helpers give accesses relative to IoPortBase.
#ifndef TESTS_SUPPORT_CARD_FIXTURE_H
#define TESTS_SUPPORT_CARD_FIXTURE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/adapter.h"
#include "hw/board.h"
#include "sim/host.h"

namespace ne2k_test {

// One port access: offset from IoPortBase, direction, width, value (the
// first element for string forms) and element count.
struct RegAccess {
    bool write = false;
    unsigned offset = 0;
    unsigned value = 0;
    unsigned width = 8;
    unsigned count = 1;

    bool operator==(const RegAccess& o) const {
        return write == o.write && offset == o.offset && value == o.value && width == o.width &&
               count == o.count;
    }
    bool operator!=(const RegAccess& o) const { return !(*this == o); }
};

// Builders for expected traces: 8-bit register write / read, data-port
// forms (16-bit and string variants).
RegAccess W(unsigned offset, unsigned value);
RegAccess R(unsigned offset, unsigned value);
RegAccess W16(unsigned offset, unsigned value, unsigned count = 1);
RegAccess R16(unsigned offset, unsigned value, unsigned count = 1);
RegAccess Ws(unsigned offset, unsigned value, unsigned count);  // 8-bit string write
RegAccess Rs(unsigned offset, unsigned value, unsigned count);  // 8-bit string read

// The trace with every read value set to 0, to compare against expected
// traces whose reads are written with value 0.
std::vector<RegAccess> WithoutReadValues(std::vector<RegAccess> trace);

std::string ToString(const RegAccess& a);
std::string ToString(const std::vector<RegAccess>& trace);

class CardFixture {
public:
    explicit CardFixture(hw::BoardKind kind = hw::BoardKind::Isa16);
    explicit CardFixture(const hw::BoardConfig& config);
    ~CardFixture();
    CardFixture(const CardFixture&) = delete;
    CardFixture& operator=(const CardFixture&) = delete;

    sim::Host& host() { return *host_; }
    hw::Ne2000Board& card() { return *card_; }
    AdapterRecord& adapter() { return *record_; }
    hw::BoardKind kind() const { return kind_; }

    // Hand-built record only: CardSetup, then TCR = 0x00 (on the wire).
    // Returns CardSetup's result.
    bool Setup();

    // Loads the driver and initializes the adapter through the wrapper;
    // afterwards adapter() is the wrapper's record. Returns the status.
    NDIS_STATUS BringUp();
    sim::Adapter& wrapper_adapter() { return host_->adapter(); }
    bool brought_up() const { return brought_up_; }

    // Port trace since StartTrace(), relative to IoPortBase; accesses to
    // other ports are left out.
    void StartTrace();
    void StopTrace();
    std::vector<RegAccess> Trace() const;
    // Only the 8-bit accesses to controller registers (offsets 0x00-0x0F).
    std::vector<RegAccess> RegisterTrace() const;
    // How many traced accesses match.
    unsigned Count(bool write, unsigned offset) const;
    unsigned CountWrites(unsigned offset, unsigned value) const;
    // The latest traced access (tracing must be on); for access hooks.
    RegAccess LastAccess() const;

    // Called after every port access (the last trace entry is that access
    // when tracing). Replaces any earlier hook; null removes it.
    void OnAccess(std::function<void()> hook);

    // Microseconds stalled since construction (or the last ResetStalls()).
    std::uint64_t StalledMicroseconds() const;
    void ResetStalls();

private:
    void InitRecord();

    hw::BoardKind kind_;
    std::unique_ptr<sim::Host> host_;
    hw::Ne2000Board* card_ = nullptr;
    std::unique_ptr<AdapterRecord> own_record_;
    AdapterRecord* record_ = nullptr;
    bool brought_up_ = false;
    std::uint64_t stall_base_ns_ = 0;
    std::function<void()> hook_;
};

}  // namespace ne2k_test

#endif  // TESTS_SUPPORT_CARD_FIXTURE_H
