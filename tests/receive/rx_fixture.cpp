#include "tests/receive/rx_fixture.h"

#include <gtest/gtest.h>

#include "card/dp8390reg.h"
#include "receive/receive.h"

namespace rx_test {

void EventProtocol::on_receive(sim::Adapter& adapter, const std::uint8_t* header,
                               unsigned header_size, const std::uint8_t* lookahead,
                               unsigned lookahead_size, unsigned packet_size,
                               NDIS_HANDLE receive_context) {
    events += 'R';
    if (during) during(adapter, packet_size);
    sim::RecordingProtocol::on_receive(adapter, header, header_size, lookahead, lookahead_size,
                                       packet_size, receive_context);
}

void EventProtocol::on_receive_complete(sim::Adapter& adapter) {
    events += 'C';
    if (at_complete) at_complete();
    sim::RecordingProtocol::on_receive_complete(adapter);
}

static hw::BoardConfig ConfigOf(hw::BoardKind kind) {
    hw::BoardConfig config;
    config.kind = kind;
    return config;
}

RxFixture::RxFixture(hw::BoardKind kind) : fx(ConfigOf(kind)), kind_(kind) {
    EXPECT_EQ(fx.BringUp(), NDIS_STATUS_SUCCESS);
    wa().bind(proto);
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST |
                   NDIS_PACKET_TYPE_ALL_MULTICAST;
    EXPECT_EQ(wa().set(OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter, nullptr, nullptr,
                       &proto),
              NDIS_STATUS_SUCCESS);
    host().run_until_idle();
}

void RxFixture::Mask() { Ne2000DisableInterrupt(&rec()); }

// The wrapper holds the service routine off while the enable handler runs:
// an edge raised by the IMR write is taken once the flag is set.
static BOOLEAN EnableSynchronized(PVOID context) {
    Ne2000EnableInterrupt(context);
    return FALSE;
}

void RxFixture::Unmask() {
    NdisMSynchronizeWithInterrupt(&rec().InterruptObject, (PVOID)EnableSynchronized, &rec());
    host().run_until_idle();
}

Bytes RxFixture::MakeFrame(std::size_t len, std::uint32_t seed) {
    Bytes f(len);
    const auto& station = card().config().station;
    for (int i = 0; i < 6; i++) f[i] = station[i];
    const std::uint8_t source[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    for (int i = 0; i < 6; i++) f[6 + i] = source[i];
    f[12] = 0x08;
    f[13] = 0x00;
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (std::size_t i = 14; i < len; i++) {
        x = x * 1103515245u + 12345u;
        f[i] = static_cast<std::uint8_t>(x >> 16);
    }
    if (len >= 18) {  // sequence number right after the header
        f[14] = static_cast<std::uint8_t>(seed >> 24);
        f[15] = static_cast<std::uint8_t>(seed >> 16);
        f[16] = static_cast<std::uint8_t>(seed >> 8);
        f[17] = static_cast<std::uint8_t>(seed);
    }
    return f;
}

void RxFixture::Inject(const Bytes& frame) {
    host().segment().inject(frame.data(), frame.size());
    host().run_until_idle();
}

void RxFixture::InjectAll(const std::vector<Bytes>& frames) {
    for (const Bytes& f : frames) host().segment().inject(f.data(), f.size());
    host().run_until_idle();
}

int RxFixture::NextPageFor(int page, int count) {
    const AdapterRecord& r = rec();
    int next = page + (count + 4 + 255) / 256;
    if (next >= r.RxStopPage) next -= r.RxStopPage - r.RxFirstPage;
    return next;
}

int RxFixture::Place(const Bytes& frame, const Placed& fields, int page) {
    AdapterRecord& r = rec();
    bool advance = page < 0;
    if (page < 0) page = card().regs().curr;
    int count = static_cast<int>(frame.size()) + 4;
    int next = NextPageFor(page, count);
    Bytes stored;
    stored.push_back(static_cast<std::uint8_t>(fields.status >= 0 ? fields.status : RSR_PRX));
    stored.push_back(static_cast<std::uint8_t>(fields.next >= 0 ? fields.next : next));
    int c = fields.count >= 0 ? fields.count : count;
    stored.push_back(static_cast<std::uint8_t>(c & 0xFF));
    stored.push_back(static_cast<std::uint8_t>(c >> 8));
    stored.insert(stored.end(), frame.begin(), frame.end());
    for (int i = 0; i < 4; i++) stored.push_back(0xC0 + i);  // CRC stand-in
    std::uint32_t address = static_cast<std::uint32_t>(page) * 256;
    for (std::uint8_t b : stored) {
        card().poke(static_cast<std::uint16_t>(address), b);
        address++;
        if (address == r.RamEndAddress) address = r.RxRingAddress;
    }
    if (advance) card().regs().curr = static_cast<std::uint8_t>(next);
    return page;
}

void RxFixture::RaiseIsr(std::uint8_t bits) { card().core().raise_isr(bits); }

void RxFixture::ExpectClean() {
    const hw::Misuse& m = card().misuse();
    EXPECT_EQ(m.total(), 0u) << "data_port_idle " << m.data_port_idle << " txp_stopped "
                             << m.txp_stopped << " txp_busy " << m.txp_busy << " odd_word "
                             << m.odd_word << " page1_in_isr " << m.page1_in_isr;
    for (const std::string& p : host().problems()) ADD_FAILURE() << "host problem: " << p;
}

}  // namespace rx_test
