// Emulated cards and the Ethernet segment the host owns.
#include <stdexcept>

#include "hw/board.h"
#include "hw/segment.h"
#include "sim/host.h"

namespace sim {

hw::Segment& Host::segment() {
    if (!segment_) segment_ = std::make_unique<hw::Segment>(clock());
    return *segment_;
}

hw::Ne2000Board& Host::add_card(const hw::BoardConfig& config, bool attach) {
    auto board = std::make_unique<hw::Ne2000Board>(clock(), config);
    hw::Ne2000Board& b = *board;
    if (!bus_.map_ports(b.io_base(), hw::Ne2000Board::kPorts, &b, hw::Ne2000Board::kDataPort,
                        hw::Ne2000Board::kResetPort - hw::Ne2000Board::kDataPort))
        throw std::runtime_error("sim::Host::add_card: the card's ports overlap a mapped range");
    if (b.kind() == hw::BoardKind::PcCard && !b.attribute_memory().empty() &&
        !map_physical(b.attribute_address(), b.attribute_memory().size(),
                      b.attribute_memory().data())) {
        bus_.unmap_ports(&b);
        throw std::runtime_error("sim::Host::add_card: attribute window overlaps a mapped window");
    }
    bus_.connect_irq(b, b.irq());
    if (attach) b.attach(segment());
    cards_.push_back(std::move(board));
    return b;
}

// A shared line that fires with no card cause: offered between steps of the
// run loops while a card's fault knob has pulses left.
void Host::offer_foreign_irqs() {
    for (auto& card : cards_) card->fire_foreign_irq();
}

AdapterConfig Host::config_for(const hw::Ne2000Board& card) const {
    AdapterConfig c;
    switch (card.kind()) {
    case hw::BoardKind::PcCard:
        c.set("CardType", 1);
        c.set("BusType", NdisInterfacePcMcia);
        c.set("PCCARDAttributeMemoryAddress", card.config().attribute_address);
        c.set("PCCARDAttributeMemorySize", card.config().attribute_size);
        break;
    case hw::BoardKind::Mca: {
        c.set("CardType", 0);
        c.set("BusType", NdisInterfaceMca);
        NDIS_MCA_POS_DATA pos{};
        pos.AdapterId = card.mca_adapter_id();
        pos.PosData1 = card.pos_data1();
        c.pos = pos;
        break;
    }
    default:
        c.set("CardType", 0);
        c.set("BusType", NdisInterfaceIsa);
        break;
    }
    c.set("IoBaseAddress_1", card.io_base());
    c.set("InterruptNumber", card.irq());
    return c;
}

}  // namespace sim
