#include "tools/rig.h"

#include <cstdio>
#include <ostream>

#include "driver/driver.h"
#include "platform/ndis.h"
#include "tools/args.h"
#include "tools/tool.h"

namespace ne2k_tool {

namespace {
const unsigned kIrqs[kMaxRigCards] = {3, 5, 4, 9};
// POS byte bits: 0 enable, 1..3 I/O base choice, 5..6 interrupt choice.
// I/O choices 4..7 are 0x300, 0x320, 0x340, 0x360; interrupt choices 0..3
// are 3, 4, 5, 9.
const std::uint8_t kPosIrqField[kMaxRigCards] = {0, 2, 1, 3};
}  // namespace

hw::BoardConfig board_config(const RigCard& card, std::size_t index) {
    hw::BoardConfig c;
    c.kind = card.kind;
    c.station = card.station;
    c.io_base = 0x300 + 0x20 * static_cast<std::uint32_t>(index);
    c.irq = kIrqs[index];
    c.attribute_address = 0xD4000 + 0x1000 * static_cast<std::uint32_t>(index);
    if (card.kind == hw::BoardKind::Mca)
        c.pos_data1 = static_cast<std::uint8_t>(0x01 | ((4 + index) << 1) | (kPosIrqField[index] << 5));
    return c;
}

Rig::Rig(const std::vector<RigCard>& cards, sim::Nanos port_cost, const std::string& image)
    : host_(std::make_unique<sim::Host>()), cards_(cards) {
    if (cards.empty() || cards.size() > kMaxRigCards)
        throw RunError("between 1 and 4 boards can be emulated at once");
    host_->bus().set_port_cost(port_cost);
    for (std::size_t i = 0; i < cards.size(); i++) boards_.push_back(&host_->add_card(board_config(cards[i], i)));
    if (!image.empty()) {
        if (sizeof(void*) != 4)
            throw RunError("the driver image is 32-bit x86 code: run it with the 32-bit build of ne2k, "
                           "e.g. build32/run32 build32/tools/ne2k demo --image " + image);
        std::string error;
        image_ = sim::DriverImage::open(image, &error);
        if (!image_) throw RunError("the driver image was refused: " + error);
    }
    NTSTATUS s = image_ ? image_->load(*host_) : host_->load_driver(DriverEntry);
    if (s != 0) throw RunError("the driver did not load (DriverEntry returned " + status_text(s) + ")");
}

Rig::~Rig() = default;

void Rig::initialize(std::size_t i) {
    sim::AdapterConfig cfg = host_->config_for(*boards_[i]);
    NDIS_STATUS s = host_->initialize(cfg);
    if (s != NDIS_STATUS_SUCCESS)
        throw RunError(std::string("the ") + kind_name(cards_[i].kind) + " adapter did not initialize (" +
                       status_text(s) + ")");
}

void Rig::initialize_all() {
    for (std::size_t i = 0; i < boards_.size(); i++) initialize(i);
}

void Rig::drain() {
    // In steps of a million seconds, so that a capture's gap of years is a
    // few steps.
    constexpr sim::Nanos kStep = 1000000ull * 1000000000ull;
    while (!host_->run_until_idle(kStep)) {
        if (host_->clock().next_deadline() == hw::kNever)
            throw RunError("the host cannot go idle: work is held off and no event is pending");
    }
}

std::vector<std::string> Rig::halt_all() {
    for (std::size_t i = 0; i < host_->adapter_count(); i++)
        if (host_->adapter(i).running()) host_->adapter(i).halt();
    std::vector<std::string> out = host_->problems();
    auto open = host_->never_completed();
    if (!open.empty()) out.push_back(std::to_string(open.size()) + " packet(s) never completed");
    auto leaked = host_->leaked_allocations();
    if (!leaked.empty()) out.push_back(std::to_string(leaked.size()) + " allocation(s) not freed at halt");
    auto ports = host_->live_port_ranges();
    if (!ports.empty()) out.push_back(std::to_string(ports.size()) + " port range(s) still registered");
    if (host_->double_completions()) out.push_back(std::to_string(host_->double_completions()) + " double completion(s)");
    return out;
}

namespace {
struct FilterName {
    const char* name;
    unsigned long bit;
};
const FilterName kFilters[] = {
    {"directed", NDIS_PACKET_TYPE_DIRECTED},
    {"broadcast", NDIS_PACKET_TYPE_BROADCAST},
    {"multicast", NDIS_PACKET_TYPE_MULTICAST},
    {"allmulticast", NDIS_PACKET_TYPE_ALL_MULTICAST},
    {"promiscuous", NDIS_PACKET_TYPE_PROMISCUOUS},
};
}  // namespace

unsigned long parse_filter(const std::string& text, const std::string& option) {
    unsigned long f = 0;
    for (const std::string& part : split(text, ',')) {
        bool found = false;
        for (const FilterName& n : kFilters)
            if (lower(part) == n.name) {
                f |= n.bit;
                found = true;
            }
        if (!found)
            throw UsageError(option + ": unknown packet type '" + part +
                             "' (use directed, broadcast, multicast, allmulticast, promiscuous, comma-separated)");
    }
    return f;
}

std::string filter_text(unsigned long filter) {
    std::string s;
    for (const FilterName& n : kFilters)
        if (filter & n.bit) s += (s.empty() ? "" : ",") + std::string(n.name);
    return s.empty() ? "none" : s;
}

void set_filter(sim::Adapter& adapter, sim::Protocol& protocol, unsigned long filter,
                const std::vector<sim::MacAddress>& multicast) {
    if (!multicast.empty()) {
        std::vector<std::uint8_t> list;
        for (auto& m : multicast) list.insert(list.end(), m.begin(), m.end());
        NDIS_STATUS s = adapter.set(OID_802_3_MULTICAST_LIST, list.data(), static_cast<ULONG>(list.size()),
                                    nullptr, nullptr, &protocol);
        if (s != NDIS_STATUS_SUCCESS)
            throw RunError("the driver refused the multicast list of " + std::to_string(multicast.size()) +
                           " address(es) (" + status_text(s) + "); the card holds at most 8");
    }
    ULONG f = static_cast<ULONG>(filter);
    NDIS_STATUS s = adapter.set(OID_GEN_CURRENT_PACKET_FILTER, &f, sizeof f, nullptr, nullptr, &protocol);
    if (s != NDIS_STATUS_SUCCESS)
        throw RunError("the driver refused packet filter " + filter_text(filter) + " (" + status_text(s) + ")");
}

std::string status_text(unsigned long status) {
    switch (status) {
    case NDIS_STATUS_SUCCESS: return "success";
    case NDIS_STATUS_PENDING: return "pending";
    case NDIS_STATUS_FAILURE: return "failure";
    case NDIS_STATUS_RESOURCES: return "out of resources";
    case NDIS_STATUS_NOT_SUPPORTED: return "not supported";
    case NDIS_STATUS_ADAPTER_NOT_FOUND: return "adapter not found";
    case NDIS_STATUS_REQUEST_ABORTED: return "request aborted";
    case NDIS_STATUS_INVALID_LENGTH: return "invalid length";
    case NDIS_STATUS_INVALID_OID: return "invalid OID";
    case NDIS_STATUS_UNSUPPORTED_MEDIA: return "unsupported media";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "status 0x%08lx", status);
    return buf;
}

AdapterCounters query_counters(sim::Adapter& a) {
    AdapterCounters c;
    auto q = [&](NDIS_OID oid) { return static_cast<unsigned long>(a.query_ulong(oid).value_or(0)); };
    c.xmit_ok = q(OID_GEN_XMIT_OK);
    c.rcv_ok = q(OID_GEN_RCV_OK);
    c.xmit_error = q(OID_GEN_XMIT_ERROR);
    c.rcv_error = q(OID_GEN_RCV_ERROR);
    c.rcv_no_buffer = q(OID_GEN_RCV_NO_BUFFER);
    c.alignment = q(OID_802_3_RCV_ERROR_ALIGNMENT);
    c.one_collision = q(OID_802_3_XMIT_ONE_COLLISION);
    c.more_collisions = q(OID_802_3_XMIT_MORE_COLLISIONS);
    return c;
}

std::string seconds_text(sim::Nanos t) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llu.%06llu s", static_cast<unsigned long long>(t / 1000000000ull),
                  static_cast<unsigned long long>((t % 1000000000ull) / 1000ull));
    return buf;
}

void summary_row(std::ostream& out, int width, const char* what, std::uint64_t n, const std::string& more) {
    char line[96];
    std::snprintf(line, sizeof line, "  %-*s%8llu", width, what, static_cast<unsigned long long>(n));
    out << line << (more.empty() ? "" : " (" + more + ")") << "\n";
}

}  // namespace ne2k_tool
