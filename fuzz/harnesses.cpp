// The four fuzz harnesses: receive ring contents, information requests,
// configuration, and send buffer chains. Each builds a fresh host from one
// input, runs it and checks the outcome against what the card and the
// platform saw.
#include "fuzz/harnesses.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "card/dp8390reg.h"
#include "request/request.h"
#include "tests/support/rig.h"

namespace fuzz {

namespace {

using namespace rig;

constexpr Nanos kIdleLimit = 2'000'000'000ull;  // 2 s of virtual time

// Reads little-endian values from a fuzz input, advancing; zeros past the end.
struct Input {
    const std::uint8_t* data;
    std::size_t size, pos = 0;
    bool empty() const { return pos >= size; }
    std::uint8_t u8() { return pos < size ? data[pos++] : 0; }
    std::uint16_t u16() { std::uint16_t lo = u8(); return std::uint16_t(lo | u8() << 8); }
    std::uint32_t u32() { std::uint32_t lo = u16(); return lo | std::uint32_t(u16()) << 16; }
    Bytes bytes(std::size_t n) {
        Bytes out;
        while (n-- && !empty()) out.push_back(u8());
        return out;
    }
};

// Takes each indication, checks header and lookahead against the ring and
// asks for ranges of the frame with transfer-data, checking those too.
class CheckingProtocol : public sim::Protocol {
public:
    CheckingProtocol(const hw::Ne2000Board& card, std::vector<std::uint32_t> asks) : card_(card), asks_(asks) {}
    std::string fault;

    void on_receive(sim::Adapter& a, const std::uint8_t* header, unsigned header_size, const std::uint8_t* lookahead,
                    unsigned lookahead_size, unsigned packet_size, NDIS_HANDLE context) override {
        const AdapterRecord& r = *static_cast<const AdapterRecord*>(context);
        auto ring = [&](std::uint32_t at, const std::uint8_t* bytes, std::size_t n) {
            for (std::size_t i = 0; i < n; i++, at++)
                if (bytes[i] != card_.peek(std::uint16_t(at < r.RamEndAddress ? at : at - r.RamEndAddress + r.RxRingAddress)))
                    return false;
            return true;
        };
        if (header_size != 14 || lookahead_size > r.LookaheadSize || lookahead_size > packet_size ||
            packet_size + 14 < 60 || packet_size + 14 > 1514)
            note("indicated header " + std::to_string(header_size) + ", lookahead " + std::to_string(lookahead_size) +
                 ", packet " + std::to_string(packet_size));
        if (!ring(r.RxDataAddress, header, 14) || !ring(r.RxDataAddress + 14, lookahead, lookahead_size))
            note("header or lookahead differs from the ring");
        // Transfer-data requests: offset, count and destination pieces.
        std::uint32_t ask = asks_[next_++ % asks_.size()];
        UINT offset = (ask & 0x8000) ? ask & 0x7FF : 0, count = (ask & 0x4000) ? (ask >> 16) & 0x7FF : packet_size;
        std::size_t dest_len = (ask & 0x2000) ? count / 2 + (ask >> 27) : count, piece = 1 + ((ask >> 8) & 0x1F) * 7;
        std::vector<std::size_t> pieces;
        for (std::size_t left = dest_len, take; left; left -= take) {
            pieces.push_back(take = std::min(left, piece));
            if (ask & 0x1000) pieces.push_back(0);
        }
        sim::Packet dest = sim::Packet::zeroed(dest_len, pieces);
        UINT moved = 0xDEAD;
        NDIS_STATUS s = a.transfer_data(dest, offset, count, &moved);
        if (offset > packet_size) {
            if (s != NDIS_STATUS_FAILURE || moved != 0) note("transfer past the frame's end accepted");
        } else if (s != NDIS_STATUS_SUCCESS || moved != std::min<std::size_t>({count, packet_size - offset, dest_len})) {
            note("transfer-data failed or moved " + std::to_string(moved));
        } else if (!ring(r.RxDataAddress + 14 + offset, dest.contents().data(), moved)) {
            note("transferred bytes differ from the ring");
        }
    }

private:
    void note(const std::string& s) { fault = fault.empty() ? s : fault; }
    const hw::Ne2000Board& card_;
    std::vector<std::uint32_t> asks_;
    std::size_t next_ = 0;
};

// The record at rest, the record against the card, the host's bookkeeping.
std::string Sane(Rig& r) {
    std::string out = r.adapter->running() ? CheckRecord(*r.rec, true) + CheckRecordAgainstCard(*r.rec, r.card) : "";
    return out + CheckHost(r.host, &r.card);
}

// After a run: a numbered frame each way still goes through.
std::string StillUsable(Rig& r) {
    Rig::Figures before = r.figures();
    r.Send(100);
    r.Inject(kToStation, 200);
    r.Run(kIdleLimit);
    Rig::Figures after = r.figures();
    std::string out = after.tx_on_wire == before.tx_on_wire + 1 ? "" : "a frame sent afterwards never reached the wire; ";
    return out + (after.rx_indicated == before.rx_indicated + 1 ? "" : "a frame received afterwards was not indicated; ");
}

}  // namespace

// Receive ring: the ring's pages as the card presents them, with CURR, the
// next unread page, the lookahead size and ISR bits chosen by the input;
// the protocol asks for ranges with transfer-data.
std::string RingInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    std::uint8_t mode = in.u8();
    Rig rig((mode & 3) == 1 ? hw::BoardKind::Isa8 : hw::BoardKind::PcCard);
    if (!rig.Init()) return "rig did not come up; " + CheckHost(rig.host, &rig.card);
    rig.adapter->unbind(rig.proto);
    AdapterRecord& r = *rig.rec;
    ULONG lookahead = in.u8() % (MAX_LOOKAHEAD + 1);
    if (mode & 0x04) rig.adapter->set(OID_GEN_CURRENT_LOOKAHEAD, &lookahead, 4);
    std::vector<std::uint32_t> asks;
    for (int i = 0; i < 4; i++) asks.push_back(in.u32());
    CheckingProtocol proto(rig.card, asks);
    rig.adapter->bind(proto);
    unsigned pages = r.RxStopPage - r.RxFirstPage;
    UCHAR next = UCHAR(r.RxFirstPage + in.u8() % pages), curr = UCHAR(r.RxFirstPage + in.u8() % pages);
    std::uint8_t isr = in.u8();
    // The ring from the next unread page on, wrapping at its end.
    std::uint32_t ring = r.RamEndAddress - r.RxRingAddress, from = (next - r.RxFirstPage) * 256u;
    for (std::uint32_t i = 0; i < ring && !in.empty(); i++) rig.card.poke(std::uint16_t(r.RxRingAddress + (from + i) % ring), in.u8());
    // The record and the controller agree (BNRY one page behind the next
    // unread frame); the controller writes at CURR.
    r.RxNextPage = r.RxCurrentPage = next;
    rig.card.regs().bnry = std::uint8_t((next == r.RxFirstPage ? r.RxStopPage : next) - 1);
    rig.card.regs().curr = curr;
    rig.card.core().raise_isr(std::uint8_t(ISR_PRX | (isr & (ISR_RXE | ISR_OVW | ISR_CNT))));
    if (!rig.Run(kIdleLimit)) return "did not come to rest; " + Sane(rig);
    std::string out = proto.fault.empty() ? "" : "protocol: " + proto.fault + "; ";
    rig.adapter->unbind(proto);
    out += Sane(rig);
    if (out.empty()) out += StillUsable(rig);
    rig.adapter->halt();
    return out + (rig.host.leaked_allocations().empty() ? "" : "record leaked; ") + CheckHost(rig.host, &rig.card);
}

// Information requests: queries and sets with any OID, buffer and length,
// traffic in between; the filter state on the controller must follow what
// was accepted.
std::string OidInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    Rig rig(hw::BoardKind::PcCard);
    if (!rig.Init(0)) return "rig did not come up; " + CheckHost(rig.host, &rig.card);
    AdapterRecord& r = *rig.rec;
    std::string out;
    std::uint32_t seq = 0;
    bool hashed = false;  // MarValues are computed from the list from the first set on
    for (int step = 0; step < 48 && !in.empty() && out.empty(); step++) {
        std::uint8_t op = in.u8(), pick = in.u8();
        NDIS_OID oid = pick < 2 * SUPPORTED_OID_COUNT ? Ne2000SupportedOids[pick % SUPPORTED_OID_COUNT] : in.u32();
        ULONG len = in.u16() % 320, done = 0, needed = 0;
        if (op & 0x80) len &= 0x3F;
        Bytes buf = in.bytes(len), before = buf;
        buf.resize(len);  // what the input left short reads as zeros
        before.resize(len);
        if (op & 1) {
            ULONG old_filter = r.PacketFilter, old_look = r.LookaheadSize;
            NDIS_STATUS s = rig.adapter->set(oid, buf.data(), len, &done, &needed);
            hashed |= s == NDIS_STATUS_SUCCESS && (oid == OID_GEN_CURRENT_PACKET_FILTER || oid == OID_802_3_MULTICAST_LIST);
            if (s == NDIS_STATUS_SUCCESS && done > len) out += "set read past the buffer; ";
            if (s != NDIS_STATUS_SUCCESS && (r.PacketFilter != old_filter || r.LookaheadSize != old_look))
                out += "a refused set changed the record; ";
            if (s != NDIS_STATUS_SUCCESS && s != NDIS_STATUS_INVALID_LENGTH && s != NDIS_STATUS_INVALID_OID &&
                s != NDIS_STATUS_NOT_SUPPORTED)
                out += "set status " + std::to_string(s) + "; ";
        } else {
            NDIS_STATUS s = rig.adapter->query(oid, buf.data(), len, &done, &needed);
            if (s == NDIS_STATUS_SUCCESS && done > len) out += "query wrote past the buffer; ";
            if (s != NDIS_STATUS_SUCCESS && buf != before) out += "a failed query wrote the buffer; ";
            if (s == NDIS_STATUS_INVALID_LENGTH && needed <= len) out += "bytes-needed not above the length; ";
        }
        if (op & 0x40) {
            // Traffic between requests: to the station, a multicast and a
            // broadcast, and a frame sent.
            for (const MacAddress& d : {rig.adapter->station_address(), MacAddress{0x01, 0x00, 0x5E, 0, 0, std::uint8_t(op & 7)},
                                        Address(kBroadcast)}) {
                Bytes f = Frame(d, 60 + (seq * 37) % 1400, seq, 0x50);
                seq++;
                rig.host.segment().inject(f.data(), f.size());
            }
            rig.proto.send(*rig.adapter, Frame({0x02, 0, 0, 0, 0, 9}, 61, seq++, 0x50));
            rig.Run(kIdleLimit);
        }
        // The record and the controller agree on the filter.
        bool all = r.PacketFilter & (NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS);
        UCHAR mar[8] = {};
        for (int e = 0; e < 8; e++) {
            unsigned h = hw::Dp8390::hash_bit(r.MulticastList[e]);
            mar[h >> 3] |= UCHAR(1u << (h & 7));
        }
        if (r.RcrValue != rig.card.regs().rcr) out += "RCR differs from RcrValue; ";
        bool mar_ok = true;
        for (int i = 0; i < 8; i++) mar_ok &= rig.card.regs().mar[i] == (all ? 0xFF : r.MarValues[i]);
        if (!mar_ok) out += "MAR differs from the filter state; ";
        if (hashed && !all && std::memcmp(mar, r.MarValues, 8) != 0) out += "MarValues do not hash the list; ";
        out += Sane(rig);
    }
    if (!out.empty()) return out;
    rig.SetFilter(NDIS_PACKET_TYPE_DIRECTED);  // back to a plain filter: the adapter still works
    out += StillUsable(rig);
    rig.adapter->halt();
    return out + CheckHost(rig.host, &rig.card);
}

// Configuration keywords and POS data against one card, with the platform's
// failures injected: nothing leaks, the event-log entries have their form,
// and an adapter that comes up sends and halts clean.
std::string ConfigInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    std::uint8_t a = in.u8(), b = in.u8();
    sim::Host host;
    if (host.load_driver(DriverEntry) != 0) return "driver did not load";
    hw::BoardConfig bc;
    const hw::BoardKind kinds[] = {hw::BoardKind::PcCard, hw::BoardKind::Isa16, hw::BoardKind::Isa8, hw::BoardKind::Mca};
    bc.kind = kinds[a & 3];
    bc.station = Station();
    bc.io_base = 0x300 + 0x20 * ((a >> 2) & 3);
    bc.irq = 3 + ((a >> 4) & 7);
    bc.mca_adapter_id = (b & 1) ? 0x7154 : 0x67B0;
    bc.pos_data1 = in.u8();
    if (bc.kind == hw::BoardKind::Mca && hw::mca_io_base(bc.mca_adapter_id, bc.pos_data1) >= 0xFFE0) bc.pos_data1 = 0;
    hw::Ne2000Board& card = host.add_card(bc);
    sim::AdapterConfig cfg, like = host.config_for(card);
    for (const char* k : {"CardType", "BusType", "IoBaseAddress_1", "InterruptNumber", "PCCARDAttributeMemoryAddress",
                          "PCCARDAttributeMemorySize", "MaximumMulticastList"}) {
        std::uint8_t how = in.u8();
        if ((how & 3) == 0) continue;  // absent
        if ((how & 3) == 1 && like.keywords.count(k)) {
            cfg.set(k, like.keywords[k]);  // as the card wants it
        } else if ((how & 3) == 2) {
            cfg.set(k, in.u32());
        } else {
            Bytes t = in.bytes(how >> 5);
            cfg.set_text(k, std::string(t.begin(), t.end()));
        }
    }
    std::uint8_t extra = in.u8();
    if (extra & 1) cfg.network_address = in.bytes(in.u8() % 9);
    if (extra & 2) {
        std::uint8_t id = in.u8();
        USHORT adapter_id = (id & 3) == 0 ? 0x67B0 : (id & 3) == 1 ? 0x7154 : in.u16();
        cfg.pos = NDIS_MCA_POS_DATA{adapter_id, in.u8(), 0, 0, 0};
    }
    if (extra & 4) cfg.media = {NdisMedium802_5, NdisMediumFddi};
    if (extra & 8) cfg.media.insert(cfg.media.begin(), NdisMediumWan);
    if (std::uint8_t fail = in.u8(); (fail & 0xE0) == 0xE0)
        cfg.fail = {bool(fail & 1), bool(fail & 2), bool(fail & 4), bool(fail & 8), bool(fail & 16)};
    if (extra & 0x10) cfg.processor_count = 2;

    std::string out;
    NDIS_STATUS s = host.initialize(cfg);
    // A second adapter on the same configuration: refused on two
    // processors, refused for the ports already taken otherwise.
    if ((extra & 0x20) && host.initialize(cfg) == NDIS_STATUS_SUCCESS && s == NDIS_STATUS_SUCCESS)
        out += "two adapters on one card; ";
    sim::Adapter& first = host.adapter(0);
    if (s == NDIS_STATUS_SUCCESS) {
        sim::RecordingProtocol p;
        first.bind(p);
        Bytes f = Frame({0x02, 0, 0, 0, 0, 9}, 64, 1, 0x50);
        bool sent = false;
        host.segment().add_tap([&](Nanos, const std::uint8_t* w, std::size_t n) {
            sent |= hw::Segment::strip_fcs(n) == f.size() && std::equal(f.begin(), f.end(), w);
        });
        p.send(first, f);
        if (!host.run_until_idle(kIdleLimit)) out += "did not come to rest; ";
        // A configuration may describe another card than the one there: a
        // PC Card is not probed, so one configured at another I/O base comes
        // up on ports where nothing answers, and a nonzero CardType takes
        // 16 KB of RAM at 0x4000 on trust. Sending must work whenever the
        // driver talks to this card and uses its RAM.
        const AdapterRecord& r = *first.record<AdapterRecord>();
        if (r.IoBaseAddress == card.io_base() && r.RamStart >= card.memory().ram_start() &&
            r.RamStart + r.RamSize <= card.memory().ram_end() && !sent)
            out += "the adapter came up but sends nothing; ";
        out += CheckRecord(r, true);
        first.unbind(p);
        first.halt();
    } else if (first.interrupt().connected) {
        out += "failed with the interrupt connected; ";
    }
    for (std::size_t i = 1; i < host.adapter_count(); i++)
        if (host.adapter(i).running()) host.adapter(i).halt();
    if (!host.leaked_allocations().empty() || !host.live_port_ranges().empty() || host.open_configurations())
        out += "memory, ports or a configuration left; ";
    for (auto& e : host.error_log())
        if (e.code == NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION ? e.data.size() != 1
            : e.code == NDIS_ERROR_CODE_ADAPTER_NOT_FOUND || e.code == NDIS_ERROR_CODE_INTERRUPT_CONNECT ? !e.data.empty()
                                                                                                          : true)
            out += "an event-log entry of another form; ";
    // The card's misuse counters mean something only when the driver's port
    // range is the card's: at another base every register it names is another.
    bool on_card = false;
    for (auto& range : host.port_ranges()) on_card |= range.base == card.io_base();
    return out + CheckHost(host, on_card ? &card : nullptr);
}

// Send: packets of any buffer chain (zero-length pieces, odd pieces, too
// long, empty) on the 8- and 16-bit paths; the wire carries exactly the
// packets completed with success, in order, padded to 60 bytes.
std::string SendInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    std::uint8_t mode = in.u8();
    const hw::BoardKind kinds[] = {hw::BoardKind::PcCard, hw::BoardKind::PcCard, hw::BoardKind::Isa16, hw::BoardKind::Isa8};
    Rig rig(kinds[mode & 3]);
    if (!rig.Init()) return "rig did not come up; " + CheckHost(rig.host, &rig.card);
    std::string out;
    for (std::uint32_t k = 0; k < 32 && !in.empty(); k++) {
        std::uint8_t shape = in.u8();
        std::vector<std::size_t> pieces;
        for (unsigned i = 0; i < (shape & 7u); i++) {
            std::uint8_t l = in.u8();
            pieces.push_back((l & 0x80) ? (l & 0x7F) * 13u + (in.u8() & 0x0F) : (l & 0x0F));
        }
        Bytes bytes(std::accumulate(pieces.begin(), pieces.end(), std::size_t{0}));
        for (std::size_t i = 0; i < bytes.size(); i++) bytes[i] = std::uint8_t(k * 31 + i * 7 + (i >> 8));
        rig.proto.send(*rig.adapter, bytes, pieces);  // no pieces: one buffer, maybe empty
        if (shape & 0x08) rig.host.run_for((shape >> 4) * 50 * kUs);
        if ((shape & 0xF0) == 0xF0) rig.Run(kIdleLimit);
    }
    if (!rig.Run(kIdleLimit)) out += "did not come to rest; ";
    std::vector<Bytes> expect;
    for (auto& s : rig.proto.sent()) {
        bool sendable = !s.bytes.empty() && s.bytes.size() <= 1514;
        if (s.completions != 1 || (s.completion && *s.completion != (sendable ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE)))
            out += "a packet of " + std::to_string(s.bytes.size()) + " bytes completed " + std::to_string(s.completions) + " times or with another status; ";
        if (sendable) expect.push_back(Padded(s.bytes));
    }
    if (rig.wire != expect) out += "the wire carries other frames than those completed with success; ";
    if (!rig.host.never_completed().empty()) out += "packets never completed; ";
    out += Sane(rig);
    rig.adapter->halt();
    return out + CheckHost(rig.host, &rig.card);
}

}  // namespace fuzz
