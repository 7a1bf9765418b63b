#include "tests/support/card_fixture.h"

#include <cstdio>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "driver/driver.h"

namespace ne2k_test {

RegAccess W(unsigned offset, unsigned value) { return RegAccess{true, offset, value, 8, 1}; }
RegAccess R(unsigned offset, unsigned value) { return RegAccess{false, offset, value, 8, 1}; }
RegAccess W16(unsigned offset, unsigned value, unsigned count) {
    return RegAccess{true, offset, value, 16, count};
}
RegAccess R16(unsigned offset, unsigned value, unsigned count) {
    return RegAccess{false, offset, value, 16, count};
}
RegAccess Ws(unsigned offset, unsigned value, unsigned count) {
    return RegAccess{true, offset, value, 8, count};
}
RegAccess Rs(unsigned offset, unsigned value, unsigned count) {
    return RegAccess{false, offset, value, 8, count};
}

std::vector<RegAccess> WithoutReadValues(std::vector<RegAccess> trace) {
    for (RegAccess& a : trace)
        if (!a.write) a.value = 0;
    return trace;
}

std::string ToString(const RegAccess& a) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%u +0x%02X = 0x%02X", a.write ? "W" : "R", a.width, a.offset,
                  a.value);
    std::string s = text;
    if (a.count != 1) s += " x" + std::to_string(a.count);
    return s;
}

std::string ToString(const std::vector<RegAccess>& trace) {
    std::string s;
    for (const RegAccess& a : trace) s += ToString(a) + "\n";
    return s;
}

static hw::BoardConfig ConfigOf(hw::BoardKind kind) {
    hw::BoardConfig config;
    config.kind = kind;
    return config;
}

CardFixture::CardFixture(hw::BoardKind kind) : CardFixture(ConfigOf(kind)) {}

CardFixture::CardFixture(const hw::BoardConfig& config) : kind_(config.kind) {
    host_ = std::make_unique<sim::Host>();
    card_ = &host_->add_card(config);
    own_record_ = std::make_unique<AdapterRecord>();
    NdisZeroMemory(own_record_.get(), sizeof(AdapterRecord));
    record_ = own_record_.get();
    InitRecord();
    host_->set_access_hook([this](std::uint64_t) {
        if (hook_) hook_();
    });
    stall_base_ns_ = host_->stalled_ns();
}

CardFixture::~CardFixture() {
    host_->set_access_hook(nullptr);
    if (brought_up_ && host_->adapter().running()) host_->adapter().halt();
}

void CardFixture::InitRecord() {
    AdapterRecord& r = *record_;
    const hw::BoardConfig& config = card_->config();
    r.TxSlotCount = TX_SLOT_COUNT;
    r.IoBaseAddress = card_->io_base();
    r.InterruptNumber = (UCHAR)card_->irq();
    r.MaxMulticastList = MAX_MULTICAST_LIST;
    switch (kind_) {
        case hw::BoardKind::Isa16:
        case hw::BoardKind::Isa8:
            r.BusType = NdisInterfaceIsa;
            r.CardType = 0;
            break;
        case hw::BoardKind::PcCard:
            r.BusType = NdisInterfacePcMcia;
            r.CardType = 1;
            break;
        case hw::BoardKind::Mca:
            r.BusType = NdisInterfaceMca;
            r.CardType = 0;
            break;
    }
    r.AttributeMemoryAddress = config.attribute_address;
    r.AttributeMemorySize = config.attribute_size;
    r.TxActiveIndex = TX_INDEX_IDLE;
    r.LookaheadSize = MAX_LOOKAHEAD;
    r.ImrValue = IMR_VALUE;
    r.IoPortBase = card_->io_base();
    r.ByteWide = kind_ == hw::BoardKind::Isa8 ? 1 : 0;

    r.RamStart = card_->memory().ram_start();
    r.RamSize = card_->memory().ram_end() - card_->memory().ram_start();
    r.TxAreaAddress = r.RamStart;
    r.RxRingAddress = r.RamStart + r.TxSlotCount * CARD_PAGE_SIZE;
    r.RamEndAddress = r.RamStart + r.RamSize;
    r.TxStartPage = (UCHAR)(r.RamStart / CARD_PAGE_SIZE);
    r.RxFirstPage = (UCHAR)(r.TxStartPage + r.TxSlotCount);
    r.RxStopPage = (UCHAR)(r.TxStartPage + r.RamSize / CARD_PAGE_SIZE);

    for (int i = 0; i < ETH_ADDRESS_LENGTH; i++) {
        r.PermanentAddress[i] = config.station[i];
        r.StationAddress[i] = config.station[i];
    }
}

bool CardFixture::Setup() {
    if (!CardSetup(record_)) return false;
    CardWriteRegister(record_, NIC_TCR, TCR_NORMAL);
    return true;
}

NDIS_STATUS CardFixture::BringUp() {
    if (host_->load_driver(DriverEntry) != 0) return NDIS_STATUS_FAILURE;
    NDIS_STATUS status = host_->initialize(host_->config_for(*card_));
    if (status == NDIS_STATUS_SUCCESS) {
        record_ = host_->adapter().record<AdapterRecord>();
        brought_up_ = true;
    }
    return status;
}

void CardFixture::StartTrace() {
    host_->clear_trace();
    host_->trace_to_vector(true);
}

void CardFixture::StopTrace() { host_->trace_to_vector(false); }

std::vector<RegAccess> CardFixture::Trace() const {
    std::vector<RegAccess> out;
    std::uint32_t base = record_->IoPortBase;
    for (const sim::TraceEntry& e : host_->trace()) {
        if (e.port < base || e.port >= base + NIC_PORT_COUNT) continue;
        out.push_back(RegAccess{e.write, e.port - base, e.value, e.width, e.count});
    }
    return out;
}

std::vector<RegAccess> CardFixture::RegisterTrace() const {
    std::vector<RegAccess> out;
    for (const RegAccess& a : Trace()) {
        if (a.offset < NIC_DATA && a.width == 8 && a.count == 1) out.push_back(a);
    }
    return out;
}

unsigned CardFixture::Count(bool write, unsigned offset) const {
    unsigned n = 0;
    for (const RegAccess& a : Trace()) n += (a.write == write && a.offset == offset) ? 1 : 0;
    return n;
}

unsigned CardFixture::CountWrites(unsigned offset, unsigned value) const {
    unsigned n = 0;
    for (const RegAccess& a : Trace()) n += (a.write && a.offset == offset && a.value == value) ? 1 : 0;
    return n;
}

RegAccess CardFixture::LastAccess() const {
    if (host_->trace().empty()) return RegAccess{};
    const sim::TraceEntry& e = host_->trace().back();
    return RegAccess{e.write, e.port - record_->IoPortBase, e.value, e.width, e.count};
}

void CardFixture::OnAccess(std::function<void()> hook) { hook_ = std::move(hook); }

std::uint64_t CardFixture::StalledMicroseconds() const {
    return (host_->stalled_ns() - stall_base_ns_) / hw::kMicrosecond;
}

void CardFixture::ResetStalls() { stall_base_ns_ = host_->stalled_ns(); }

}  // namespace ne2k_test
