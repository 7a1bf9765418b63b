// The four fuzz harnesses: receive ring contents, information requests,
// configuration, and send buffer chains. Each builds a fresh host from one
// input, runs it and checks the outcome against what the card and the
// platform saw.
#include "fuzz/harnesses.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "card/dp8390reg.h"
#include "tests/support/rig.h"

namespace fuzz {

namespace {

using namespace rig;

// Reads little-endian values from a fuzz input, advancing; zeros past the end.
struct Input {
    const std::uint8_t* data;
    std::size_t size, pos = 0;
    Input(const std::uint8_t* d, std::size_t n) : data(d), size(n) {}
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

constexpr hw::Nanos kIdleLimit = 2'000'000'000ull;  // 2 s of virtual time

// Card byte at ring address a, the ring wrapping at its end.
std::uint8_t RingByte(const hw::Ne2000Board& card, const AdapterRecord& r, std::uint32_t a) {
    std::uint32_t size = r.RamEndAddress - r.RxRingAddress;
    if (a >= r.RamEndAddress) a = r.RxRingAddress + (a - r.RxRingAddress) % size;
    return card.peek(static_cast<std::uint16_t>(a));
}

// Takes each indication, checks the lookahead against the ring and asks for
// ranges of the frame with transfer-data, checking those too.
class CheckingProtocol : public sim::Protocol {
public:
    CheckingProtocol(const hw::Ne2000Board& card, std::vector<std::uint32_t> asks)
        : card_(card), asks_(std::move(asks)) {}
    std::string fault;
    unsigned frames = 0;

    void on_receive(sim::Adapter& a, const std::uint8_t* header, unsigned header_size,
                    const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                    NDIS_HANDLE context) override {
        frames++;
        const AdapterRecord& r = *static_cast<const AdapterRecord*>(context);
        if (header_size != 14) note("header size " + std::to_string(header_size));
        if (lookahead_size > r.LookaheadSize || lookahead_size > packet_size)
            note("lookahead " + std::to_string(lookahead_size) + " for packet " +
                 std::to_string(packet_size));
        if (packet_size + 14 < 60 || packet_size + 14 > 1514)
            note("indicated packet size " + std::to_string(packet_size));
        for (unsigned i = 0; i < 14; i++)
            if (header[i] != RingByte(card_, r, r.RxDataAddress + i)) {
                note("header byte differs from the ring");
                break;
            }
        for (unsigned i = 0; i < lookahead_size; i++)
            if (lookahead[i] != RingByte(card_, r, r.RxDataAddress + 14 + i)) {
                note("lookahead byte differs from the ring");
                break;
            }
        // Transfer-data requests: offset, count and destination pieces.
        std::uint32_t ask = asks_.empty() ? 0 : asks_[next_++ % asks_.size()];
        UINT offset = (ask & 0x8000) ? ask & 0x7FF : 0;
        UINT count = (ask & 0x4000) ? (ask >> 16) & 0x7FF : packet_size;
        std::size_t dest_len = (ask & 0x2000) ? count / 2 + (ask >> 27) : count;
        std::vector<std::size_t> pieces;
        std::size_t left = dest_len, piece = 1 + ((ask >> 8) & 0x1F) * 7;
        while (left) {
            std::size_t take = std::min(left, piece);
            pieces.push_back(take);
            if (ask & 0x1000) pieces.push_back(0);
            left -= take;
        }
        sim::Packet dest = sim::Packet::zeroed(dest_len, pieces);
        UINT moved = 0xDEAD;
        NDIS_STATUS s = a.transfer_data(dest, offset, count, &moved);
        if (offset > packet_size) {
            if (s != NDIS_STATUS_FAILURE || moved != 0) note("transfer past the frame's end accepted");
            return;
        }
        if (s != NDIS_STATUS_SUCCESS) {
            note("transfer-data failed");
            return;
        }
        std::size_t expect = std::min<std::size_t>({count, packet_size - offset, dest_len});
        if (moved != expect)
            note("transfer moved " + std::to_string(moved) + ", expected " + std::to_string(expect));
        std::vector<std::uint8_t> got = dest.contents();
        for (std::size_t i = 0; i < moved && i < got.size(); i++)
            if (got[i] != RingByte(card_, r, r.RxDataAddress + 14 + offset + i)) {
                note("transferred byte " + std::to_string(i) + " differs from the ring");
                break;
            }
    }

private:
    void note(const std::string& s) {
        if (fault.empty()) fault = s;
    }
    const hw::Ne2000Board& card_;
    std::vector<std::uint32_t> asks_;
    std::size_t next_ = 0;
};

std::string Finish(Rig& r, const std::string& what) {
    std::string out = what;
    if (r.adapter && r.adapter->running()) out += CheckRecord(*r.rec, true) + CheckRecordAgainstCard(*r.rec, r.card);
    return out + CheckHost(r.host, &r.card);
}

// A frame from the peer, not numbered.
Bytes PeerFrame(std::size_t len, std::uint32_t seq, const MacAddress& to) {
    return Frame(to, len, seq, 0x50);
}

// After a run: a numbered frame each way still goes through.
std::string StillUsable(Rig& r) {
    Rig::Figures before = r.figures();
    r.Send(100);
    r.Inject(kToStation, 200);
    r.Run(kIdleLimit);
    Rig::Figures after = r.figures();
    std::string out;
    if (after.tx_on_wire != before.tx_on_wire + 1) out += "a frame sent afterwards never reached the wire; ";
    if (after.rx_indicated != before.rx_indicated + 1) out += "a frame received afterwards was not indicated; ";
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Receive ring: the ring's pages as the card presents them, with CURR, the
// next unread page, the lookahead size, a stray read and ISR bits chosen by
// the input; the protocol asks for ranges with transfer-data.
std::string RingInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    std::uint8_t mode = in.u8();
    hw::BoardKind kind = (mode & 3) == 1 ? hw::BoardKind::Isa8 : hw::BoardKind::PcCard;
    Rig rig(kind);
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
    UCHAR next = static_cast<UCHAR>(r.RxFirstPage + in.u8() % pages);
    UCHAR curr = static_cast<UCHAR>(r.RxFirstPage + in.u8() % pages);
    std::uint8_t isr = in.u8();
    // The ring from the next unread page on, wrapping at its end.
    std::uint32_t addr = r.RxRingAddress + (next - r.RxFirstPage) * 256u;
    std::uint32_t ring = r.RamEndAddress - r.RxRingAddress;
    for (std::uint32_t i = 0; i < ring && !in.empty(); i++)
        rig.card.poke(static_cast<std::uint16_t>(r.RxRingAddress + (addr - r.RxRingAddress + i) % ring), in.u8());

    // Ring position: the record and the controller agree (BNRY one page
    // behind the next unread frame); the controller writes at CURR.
    r.RxNextPage = next;
    r.RxCurrentPage = next;
    hw::Dp8390State& st = rig.card.regs();
    st.bnry = static_cast<std::uint8_t>((next == r.RxFirstPage ? r.RxStopPage : next) - 1);
    st.curr = curr;
    rig.card.core().raise_isr(static_cast<std::uint8_t>(ISR_PRX | (isr & (ISR_RXE | ISR_OVW | ISR_CNT))));
    if (!rig.host.run_until_idle(kIdleLimit)) return Finish(rig, "did not come to rest; ");
    std::string out = proto.fault.empty() ? "" : "protocol: " + proto.fault + "; ";
    rig.adapter->unbind(proto);
    out += CheckRecord(r, true) + CheckRecordAgainstCard(r, rig.card);
    if (out.empty()) out += StillUsable(rig);
    rig.adapter->halt();
    if (!rig.host.leaked_allocations().empty()) out += "record leaked; ";
    return out + CheckHost(rig.host, &rig.card);
}

// ---------------------------------------------------------------------------
// Information requests: a sequence of queries and sets with any OID, buffer
// and length, traffic in between; the filter state read back from the
// controller must follow what was accepted.
std::string OidInput(const std::uint8_t* data, std::size_t size) {
    static const NDIS_OID kOids[] = {
        OID_GEN_SUPPORTED_LIST, OID_GEN_HARDWARE_STATUS, OID_GEN_MEDIA_SUPPORTED,
        OID_GEN_MEDIA_IN_USE, OID_GEN_MAXIMUM_LOOKAHEAD, OID_GEN_MAXIMUM_FRAME_SIZE,
        OID_GEN_MAXIMUM_TOTAL_SIZE, OID_GEN_MAC_OPTIONS, OID_GEN_PROTOCOL_OPTIONS,
        OID_GEN_LINK_SPEED, OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE,
        OID_GEN_TRANSMIT_BLOCK_SIZE, OID_GEN_RECEIVE_BLOCK_SIZE, OID_GEN_VENDOR_DESCRIPTION,
        OID_GEN_VENDOR_ID, OID_GEN_DRIVER_VERSION, OID_GEN_CURRENT_PACKET_FILTER,
        OID_GEN_CURRENT_LOOKAHEAD, OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR,
        OID_GEN_RCV_ERROR, OID_GEN_RCV_NO_BUFFER, OID_802_3_PERMANENT_ADDRESS,
        OID_802_3_CURRENT_ADDRESS, OID_802_3_MULTICAST_LIST, OID_802_3_MAXIMUM_LIST_SIZE,
        OID_802_3_RCV_ERROR_ALIGNMENT, OID_802_3_XMIT_ONE_COLLISION,
        OID_802_3_XMIT_MORE_COLLISIONS};
    constexpr std::size_t kOidCount = sizeof kOids / sizeof kOids[0];

    Input in(data, size);
    Rig rig(hw::BoardKind::PcCard);
    if (!rig.Init(0)) return "rig did not come up; " + CheckHost(rig.host, &rig.card);
    AdapterRecord& r = *rig.rec;
    std::string out;
    std::uint32_t seq = 0;
    bool hashed = false;  // MarValues are computed from the list from the first set on

    for (int step = 0; step < 48 && !in.empty() && out.empty(); step++) {
        std::uint8_t op = in.u8();
        std::uint8_t pick = in.u8();
        NDIS_OID oid = pick < 2 * kOidCount ? kOids[pick % kOidCount] : in.u32();
        ULONG len = in.u16() % 320;
        if (op & 0x80) len &= 0x3F;
        std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[len ? len : 1]);
        for (ULONG i = 0; i < len; i++) buf[i] = in.u8();
        ULONG done = 0, needed = 0;
        if (op & 1) {
            ULONG old_filter = r.PacketFilter, old_look = r.LookaheadSize;
            NDIS_STATUS s = rig.adapter->set(oid, buf.get(), len, &done, &needed);
            if (s == NDIS_STATUS_SUCCESS && done > len) out += "set read past the buffer; ";
            if (s == NDIS_STATUS_SUCCESS &&
                (oid == OID_GEN_CURRENT_PACKET_FILTER || oid == OID_802_3_MULTICAST_LIST))
                hashed = true;
            if (s != NDIS_STATUS_SUCCESS && (r.PacketFilter != old_filter || r.LookaheadSize != old_look))
                out += "a refused set changed the record; ";
            if (s != NDIS_STATUS_SUCCESS && s != NDIS_STATUS_INVALID_LENGTH &&
                s != NDIS_STATUS_INVALID_OID && s != NDIS_STATUS_NOT_SUPPORTED)
                out += "set status " + std::to_string(s) + "; ";
        } else {
            std::vector<std::uint8_t> before(buf.get(), buf.get() + len);
            NDIS_STATUS s = rig.adapter->query(oid, buf.get(), len, &done, &needed);
            if (s == NDIS_STATUS_SUCCESS && done > len) out += "query wrote past the buffer; ";
            if (s != NDIS_STATUS_SUCCESS && !std::equal(before.begin(), before.end(), buf.get()))
                out += "a failed query wrote the buffer; ";
            if (s == NDIS_STATUS_INVALID_LENGTH && needed <= len) out += "bytes-needed not above the length; ";
        }
        if (op & 0x40) {
            // Traffic between requests: a frame to the station, a broadcast
            // and a multicast, and one sent.
            const sim::MacAddress st = rig.adapter->station_address();
            const sim::MacAddress mc = {0x01, 0x00, 0x5E, 0x00, 0x00, static_cast<std::uint8_t>(op & 7)};
            const sim::MacAddress bc = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            for (const auto* d : {&st, &mc, &bc}) {
                std::vector<std::uint8_t> f = PeerFrame(60 + (seq * 37) % 1400, seq, *d);
                seq++;
                rig.host.segment().inject(f.data(), f.size());
            }
            rig.proto.send(*rig.adapter, PeerFrame(61, seq++, {0x02, 0, 0, 0, 0, 9}));
            rig.host.run_until_idle(kIdleLimit);
        }
        // The record and the controller agree on the filter.
        const hw::Dp8390State& s = rig.card.regs();
        if (r.RcrValue != s.rcr) out += "RCR differs from RcrValue; ";
        bool all = r.PacketFilter & (NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS);
        for (int i = 0; i < 8; i++) {
            std::uint8_t want = all ? 0xFF : r.MarValues[i];
            if (s.mar[i] != want) {
                out += "MAR" + std::to_string(i) + " differs from the filter state; ";
                break;
            }
        }
        UCHAR mar[8] = {};
        for (int e = 0; e < 8; e++) {
            unsigned h = hw::Dp8390::hash_bit(r.MulticastList[e]);
            mar[h >> 3] |= static_cast<UCHAR>(1u << (h & 7));
        }
        if (hashed && !all && std::memcmp(mar, r.MarValues, 8) != 0) out += "MarValues do not hash the list; ";
        out += CheckRecord(r, true);
        out += CheckRecordAgainstCard(r, rig.card);
        out += CheckHost(rig.host, &rig.card);
    }
    if (!out.empty()) return out;
    // Back to a plain filter: the adapter still works.
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED;
    rig.adapter->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    out += StillUsable(rig);
    rig.adapter->halt();
    return out + CheckHost(rig.host, &rig.card);
}

// ---------------------------------------------------------------------------
// Configuration keywords and POS data against one card, with the platform's
// failures injected; whatever happens, nothing leaks, and an adapter that
// comes up works and halts clean.
std::string ConfigInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    std::uint8_t a = in.u8(), b = in.u8();
    sim::Host host;
    if (host.load_driver(DriverEntry) != 0) return "driver did not load";
    hw::BoardConfig bc;
    static const hw::BoardKind kinds[] = {hw::BoardKind::PcCard, hw::BoardKind::Isa16,
                                          hw::BoardKind::Isa8, hw::BoardKind::Mca};
    bc.kind = kinds[a & 3];
    bc.station = Station();
    static const std::uint32_t bases[] = {0x300, 0x320, 0x340, 0x360};
    bc.io_base = bases[(a >> 2) & 3];
    bc.irq = 3 + ((a >> 4) & 7);
    bc.mca_adapter_id = (b & 1) ? 0x7154 : 0x67B0;
    bc.pos_data1 = in.u8();
    if (bc.kind == hw::BoardKind::Mca && hw::mca_io_base(bc.mca_adapter_id, bc.pos_data1) >= 0xFFE0)
        bc.pos_data1 = 0;
    hw::Ne2000Board& card = host.add_card(bc);

    sim::AdapterConfig cfg;
    static const char* kKeys[] = {"CardType", "BusType", "IoBaseAddress_1", "InterruptNumber",
                                  "PCCARDAttributeMemoryAddress", "PCCARDAttributeMemorySize",
                                  "MaximumMulticastList"};
    sim::AdapterConfig like = host.config_for(card);
    for (const char* k : kKeys) {
        std::uint8_t how = in.u8();
        if ((how & 3) == 0) continue;  // absent
        if ((how & 3) == 1 && like.keywords.count(k)) {
            cfg.set(k, like.keywords[k]);  // as the card wants it
        } else if ((how & 3) == 2) {
            cfg.set(k, in.u32());
        } else {
            std::vector<std::uint8_t> t = in.bytes(how >> 5);
            cfg.set_text(k, std::string(t.begin(), t.end()));
        }
    }
    std::uint8_t extra = in.u8();
    if (extra & 1) cfg.network_address = in.bytes(in.u8() % 9);
    if (extra & 2) {
        NDIS_MCA_POS_DATA pos{};
        std::uint8_t id = in.u8();
        pos.AdapterId = (id & 3) == 0 ? 0x67B0 : (id & 3) == 1 ? 0x7154 : in.u16();
        pos.PosData1 = in.u8();
        cfg.pos = pos;
    }
    if (extra & 4) cfg.media = {NdisMedium802_5, NdisMediumFddi};
    if (extra & 8) cfg.media.insert(cfg.media.begin(), NdisMediumWan);
    std::uint8_t fail = in.u8();
    if ((fail & 0xE0) == 0xE0) {
        cfg.fail.allocate_memory = fail & 1;
        cfg.fail.open_configuration = fail & 2;
        cfg.fail.register_ports = fail & 4;
        cfg.fail.register_interrupt = fail & 8;
        cfg.fail.map_io_space = fail & 16;
    }
    if (extra & 0x10) cfg.processor_count = 2;

    std::string out;
    NDIS_STATUS s = host.initialize(cfg);
    // A second adapter on the same configuration: refused on two
    // processors, refused for the ports already taken otherwise.
    if (extra & 0x20) {
        NDIS_STATUS s2 = host.initialize(cfg);
        if (s == NDIS_STATUS_SUCCESS && s2 == NDIS_STATUS_SUCCESS) out += "two adapters on one card; ";
    }
    sim::Adapter& first = host.adapter(0);
    if (s == NDIS_STATUS_SUCCESS) {
        sim::RecordingProtocol p;
        first.bind(p);
        std::vector<std::uint8_t> f = PeerFrame(64, 1, {0x02, 0, 0, 0, 0, 9});
        std::vector<std::vector<std::uint8_t>> wire;
        host.segment().add_tap([&](hw::Nanos, const std::uint8_t* w, std::size_t n) {
            wire.emplace_back(w, w + hw::Segment::strip_fcs(n));
        });
        p.send(first, f);
        if (!host.run_until_idle(kIdleLimit)) out += "did not come to rest; ";
        // A configuration may describe another card than the one there: a
        // PC Card is not probed, so one configured at another I/O base comes
        // up on ports where nothing answers, and a nonzero CardType takes
        // 16 KB of RAM at 0x4000 on trust. Sending must work whenever the
        // driver talks to this card and uses its RAM.
        const AdapterRecord& r = *first.record<AdapterRecord>();
        bool this_card = r.IoBaseAddress == card.io_base() && r.RamStart >= card.memory().ram_start() &&
                         r.RamStart + r.RamSize <= card.memory().ram_end();
        if (this_card && std::find(wire.begin(), wire.end(), f) == wire.end())
            out += "the adapter came up but sends nothing; ";
        out += CheckRecord(*first.record<AdapterRecord>(), true);
        first.unbind(p);
        first.halt();
    } else {
        if (first.interrupt().connected) out += "failed with the interrupt connected; ";
    }
    for (std::size_t i = 1; i < host.adapter_count(); i++)
        if (host.adapter(i).running()) host.adapter(i).halt();
    if (!host.leaked_allocations().empty()) out += "memory leaked; ";
    if (!host.live_port_ranges().empty()) out += "ports left registered; ";
    if (host.open_configurations()) out += "configuration left open; ";
    for (auto& e : host.error_log()) {
        switch (e.code) {
        case NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION:
            if (e.data.size() != 1) out += "configuration entry with " + std::to_string(e.data.size()) + " words; ";
            break;
        case NDIS_ERROR_CODE_ADAPTER_NOT_FOUND:
        case NDIS_ERROR_CODE_INTERRUPT_CONNECT:
            if (!e.data.empty()) out += "not-found entry with data; ";
            break;
        default:
            out += "unexpected event-log code; ";
        }
    }
    // The card's misuse counters mean something only when the driver's port
    // range is the card's: at another base (one port off, say) every
    // register it names is another one.
    bool on_card = false;
    for (auto& range : host.port_ranges())
        if (range.base == card.io_base()) on_card = true;
    return out + CheckHost(host, on_card ? &card : nullptr);
}

// ---------------------------------------------------------------------------
// Send: packets of any buffer chain (zero-length pieces, odd pieces, too
// long, empty) on the 8- and 16-bit paths; the wire carries exactly the
// packets completed with success, in order, padded to 60 bytes.
std::string SendInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    std::uint8_t mode = in.u8();
    static const hw::BoardKind kinds[] = {hw::BoardKind::PcCard, hw::BoardKind::PcCard,
                                          hw::BoardKind::Isa16, hw::BoardKind::Isa8};
    Rig rig(kinds[mode & 3]);
    if (!rig.Init()) return "rig did not come up; " + CheckHost(rig.host, &rig.card);
    Protocol& p = rig.proto;
    std::string out;
    std::uint32_t seq = 0;
    for (int k = 0; k < 32 && !in.empty(); k++) {
        std::uint8_t shape = in.u8();
        unsigned count = shape & 7;
        std::vector<std::size_t> pieces;
        std::size_t total = 0;
        for (unsigned i = 0; i < count; i++) {
            std::uint8_t l = in.u8();
            std::size_t len = (l & 0x80) ? (l & 0x7F) * 13u + (in.u8() & 0x0F) : (l & 0x0F);
            pieces.push_back(len);
            total += len;
        }
        std::vector<std::uint8_t> bytes(total);
        for (std::size_t i = 0; i < total; i++) bytes[i] = static_cast<std::uint8_t>(seq * 31 + i * 7 + (i >> 8));
        seq++;
        p.send(*rig.adapter, bytes, pieces);  // no pieces: one buffer, maybe empty
        if (shape & 0x08) rig.host.run_for((shape >> 4) * 50 * kUs);
        if ((shape & 0xF0) == 0xF0) rig.host.run_until_idle(kIdleLimit);
    }
    if (!rig.host.run_until_idle(kIdleLimit)) out += "did not come to rest; ";
    std::vector<std::vector<std::uint8_t>> expect;
    for (auto& s : p.sent()) {
        if (s.completions != 1) out += "a packet completed " + std::to_string(s.completions) + " times; ";
        bool sendable = !s.bytes.empty() && s.bytes.size() <= 1514;
        NDIS_STATUS want = sendable ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
        if (s.completion && *s.completion != want)
            out += "a packet of " + std::to_string(s.bytes.size()) + " bytes completed with " +
                   std::to_string(*s.completion) + "; ";
        if (sendable) expect.push_back(Padded(s.bytes));
    }
    if (rig.wire != expect)
        out += "wire carries " + std::to_string(rig.wire.size()) + " frames, expected " +
               std::to_string(expect.size()) + " (or they differ); ";
    if (!rig.host.never_completed().empty()) out += "packets never completed; ";
    out += CheckRecord(*rig.rec, true) + CheckRecordAgainstCard(*rig.rec, rig.card);
    rig.adapter->halt();
    return out + CheckHost(rig.host, &rig.card);
}

}  // namespace fuzz
