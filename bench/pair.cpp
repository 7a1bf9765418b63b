#include "bench/pair.h"

#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"

namespace bench {

namespace {
constexpr std::size_t kMaxData = 1500;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "bench: %s\n", what);
    std::abort();
}
}  // namespace

WholeFrameReceiver::WholeFrameReceiver() : dest_(sim::Packet::zeroed(kMaxData)) {}

void WholeFrameReceiver::on_receive(sim::Adapter& adapter, const std::uint8_t*, unsigned header_size,
                                    const std::uint8_t*, unsigned, unsigned packet_size,
                                    NDIS_HANDLE) {
    UINT n = 0;
    unsigned want = packet_size < kMaxData ? packet_size : kMaxData;
    NDIS_STATUS s = adapter.transfer_data(dest_, 0, want, &n);
    if (s != NDIS_STATUS_SUCCESS || n != want) failures++;
    frames++;
    bytes += header_size + n;
}

Pair::Pair(hw::BoardKind kind, sim::Nanos port_cost, sim::DriverImage* image) {
    host_.bus().set_port_cost(port_cost);
    if ((image ? image->load(host_) : host_.load_driver(DriverEntry)) != 0) die("the driver did not load");
    hw::BoardConfig ca, cb;
    ca.kind = cb.kind = kind;
    ca.station = {0x02, 0x00, 0x00, 0x00, 0x0A, 0x01};
    cb.station = {0x02, 0x00, 0x00, 0x00, 0x0B, 0x02};
    ca.io_base = 0x300;
    ca.irq = 3;
    cb.io_base = 0x340;
    cb.irq = 5;
    if (kind == hw::BoardKind::Mca) {
        ca.pos_data1 = 0x08;  // 0x300, interrupt 3
        cb.pos_data1 = 0x2C;  // 0x340, interrupt 4
    }
    card_a_ = &host_.add_card(ca);
    card_b_ = &host_.add_card(cb);
    if (host_.initialize(host_.config_for(*card_a_)) != NDIS_STATUS_SUCCESS) die("adapter A did not initialize");
    a_ = &host_.adapter();
    if (host_.initialize(host_.config_for(*card_b_)) != NDIS_STATUS_SUCCESS) die("adapter B did not initialize");
    b_ = &host_.adapter();
    host_.keep_send_completions(false);  // records that grow with every frame
    a_->keep_indications(false);
    b_->keep_indications(false);
    a_->bind(tx_);
    b_->bind(rx_);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED;
    if (a_->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter) != NDIS_STATUS_SUCCESS ||
        b_->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter) != NDIS_STATUS_SUCCESS)
        die("the packet filter was refused");
    host_.run_until_idle();
}

Pair::~Pair() {
    if (a_ && a_->running()) a_->halt();
    if (b_ && b_->running()) b_->halt();
}

void Pair::prepare(std::size_t len) {
    if (len < 14 || len > 1514) die("frame length out of range");
    std::vector<std::uint8_t> f(len);
    const sim::MacAddress to = b_->station_address(), from = a_->station_address();
    for (int i = 0; i < 6; i++) {
        f[i] = to[i];
        f[6 + i] = from[i];
    }
    f[12] = 0x88;
    f[13] = 0xB5;  // local experimental ethertype
    for (std::size_t i = 14; i < len; i++) f[i] = static_cast<std::uint8_t>(i * 13);
    packet_ = std::make_unique<sim::Packet>(f);
    len_ = len;
}

void Pair::send_one() {
    a_->send(*packet_, 0, &tx_);
    host_.run_until_idle();
    sent_++;
    expected_bytes_ += len_ < 60 ? 60 : len_;
}

bool Pair::healthy() const {
    return rx_.frames == sent_ && rx_.bytes == expected_bytes_ && rx_.failures == 0 &&
           tx_.completions == sent_ && tx_.failures == 0 && host_.problems().empty() &&
           card_a_->misuse().total() == 0 && card_b_->misuse().total() == 0;
}

CardCost Pair::cost(const hw::Ne2000Board* card) const {
    sim::PortStats s = host_.bus().port_stats(card);
    CardCost c;
    c.accesses = s.accesses;
    c.data_bytes = s.data_bytes;
    c.data_accesses = s.data_accesses;
    return c;
}

}  // namespace bench
