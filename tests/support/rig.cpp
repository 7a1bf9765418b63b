#include "tests/support/rig.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "card/dp8390reg.h"
#include "receive/receive.h"

namespace rig {

MacAddress Station() { return {0x02, 0x4E, 0x45, 0x00, 0x00, 0x01}; }
MacAddress Peer() { return {0x02, 0x50, 0x45, 0x45, 0x52, 0xFE}; }

MacAddress Address(Dest d) {
    const MacAddress addresses[] = {Station(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01},
                                    {0x33, 0x33, 0x00, 0x00, 0x00, 0x01},  // hashes to MAR7
                                    {0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA}, {0x02, 0x4E, 0x45, 0x00, 0x00, 0x77}};
    return addresses[d];
}

Bytes Frame(const MacAddress& to, std::size_t len, std::uint32_t seq, std::uint8_t tag) {
    Bytes f(std::max<std::size_t>(len, 14));
    std::memcpy(f.data(), to.data(), 6);
    const std::uint8_t src[8] = {0x02, tag, std::uint8_t(seq >> 24), std::uint8_t(seq >> 16), std::uint8_t(seq >> 8),
                                 std::uint8_t(seq), 0x88, 0xB5};
    std::memcpy(f.data() + 6, src, 8);
    for (std::size_t i = 14; i < f.size(); i++) f[i] = std::uint8_t(seq * 11 + i * 3 + (i >> 7) + tag);
    return f;
}

Bytes Padded(Bytes f) {
    if (f.size() < 60) f.resize(60, 0x20);
    return f;
}

namespace {
std::uint32_t NumberOf(const std::uint8_t* f) { return std::uint32_t(f[8]) << 24 | f[9] << 16 | f[10] << 8 | f[11]; }
bool InRing(const AdapterRecord& r, UCHAR page) { return r.RxFirstPage <= page && page < r.RxStopPage; }

bool CardAccepts(const hw::Ne2000Board& card, const std::uint8_t* dest) {
    const hw::Dp8390State& s = card.regs();
    unsigned h = hw::Dp8390::hash_bit(dest);
    if (std::all_of(dest, dest + 6, [](std::uint8_t b) { return b == 0xFF; })) return s.rcr & RCR_AB;
    if (dest[0] & 1) return (s.rcr & RCR_AM) && (s.mar[h >> 3] & (1u << (h & 7)));
    return (s.rcr & RCR_PRO) || std::equal(dest, dest + 6, s.par.begin());
}
}  // namespace

// ---------------------------------------------------------------------------
// Checks

bool RecordSane(const AdapterRecord& r) {
    for (ULONG s : r.TxSlotState)
        if (s != TX_SLOT_EMPTY && s != TX_SLOT_FULL) return false;
    // The active frame's slots may be empty for a moment: the early
    // completion in transfer-data frees them before TxActiveIndex moves on.
    return r.TxSlotCount == TX_SLOT_COUNT && r.TxFillIndex < TX_SLOT_COUNT && r.TxSendIndex < TX_SLOT_COUNT &&
           (r.TxActiveIndex == TX_INDEX_IDLE || r.TxActiveIndex < TX_SLOT_COUNT) &&
           (r.TxQueueHead == nullptr) == (r.TxQueueTail == nullptr) && InRing(r, r.RxNextPage) &&
           InRing(r, r.RxCurrentPage) && r.LookaheadSize <= MAX_LOOKAHEAD && r.ImrValue == IMR_VALUE &&
           r.InterruptsArmed <= 1 && r.OverflowPending <= 1 && r.TxInterruptPending <= 1 && r.TxResendPending <= 1;
}

std::string CheckRecord(const AdapterRecord& r, bool quiescent) {
    std::ostringstream out;
    if (!RecordSane(r)) {
        out << "slots " << r.TxFillIndex << "/" << r.TxSendIndex << "/" << r.TxActiveIndex << ", ring pages "
            << unsigned(r.RxNextPage) << "/" << unsigned(r.RxCurrentPage) << ", lookahead " << r.LookaheadSize
            << ", flags " << unsigned(r.InterruptsArmed) << unsigned(r.OverflowPending)
            << unsigned(r.TxInterruptPending) << unsigned(r.TxResendPending) << " out of bounds; ";
    } else if (quiescent && r.TxActiveIndex != TX_INDEX_IDLE) {
        ULONG a = r.TxActiveIndex, n = (r.TxSlotLength[a] + 255) / 256;
        bool full = n && a + n <= TX_SLOT_COUNT;
        for (ULONG i = a; full && i < a + n; i++) full = r.TxSlotState[i] == TX_SLOT_FULL;
        if (!full || a != r.TxSendIndex) out << "active frame at slot " << a << " not in full slots at the send point; ";
    }
    if (quiescent && (r.OverflowPending || r.RxIndicated || !r.InterruptsArmed || (r.IsrBits & 0x3F)))
        out << "at rest with overflow " << unsigned(r.OverflowPending) << ", receive-complete owed "
            << unsigned(r.RxIndicated) << ", armed " << unsigned(r.InterruptsArmed) << ", ISR bits "
            << unsigned(r.IsrBits) << "; ";
    return out.str();
}

std::string CheckRecordAgainstCard(const AdapterRecord& r, const hw::Ne2000Board& card) {
    const hw::Dp8390State& s = card.regs();
    std::string out;
    if (s.pstart != r.RxFirstPage || s.pstop != r.RxStopPage) out += "PSTART/PSTOP differ from the record; ";
    if (s.bnry != UCHAR((r.RxNextPage == r.RxFirstPage ? r.RxStopPage : r.RxNextPage) - 1))
        out += "BNRY not one page behind RxNextPage; ";
    if (s.imr != (r.InterruptsArmed ? r.ImrValue : 0)) out += "IMR does not say what InterruptsArmed says; ";
    if (s.cr_page != 0) out += "register page " + std::to_string(s.cr_page) + " left selected; ";
    return out;
}

std::string CheckHost(sim::Host& host, const hw::Ne2000Board* card) {
    std::ostringstream out;
    for (std::size_t i = 0; i < host.problems().size() && i < 3; i++) out << "problem: " << host.problems()[i] << "; ";
    if (host.double_completions()) out << host.double_completions() << " double completions; ";
    if (const hw::Misuse* m = card ? &card->misuse() : nullptr; m && m->total())
        out << "card misuse: idle data port " << m->data_port_idle << ", TXP stopped " << m->txp_stopped
            << ", TXP busy " << m->txp_busy << ", odd word " << m->odd_word << ", page 1 in ISR " << m->page1_in_isr
            << "; ";
    return out.str();
}

// ---------------------------------------------------------------------------
// The protocol

void Protocol::on_receive(sim::Adapter& a, const std::uint8_t* header, unsigned header_size,
                          const std::uint8_t* lookahead, unsigned lookahead_size, unsigned packet_size,
                          NDIS_HANDLE context) {
    events += 'R';
    if (during) during(a, packet_size);
    RecordingProtocol::on_receive(a, header, header_size, lookahead, lookahead_size, packet_size, context);
    rig_.OnReceived(frames().back());
}

void Protocol::on_receive_complete(sim::Adapter& a) {
    events += 'C';
    if (at_complete) at_complete();
    RecordingProtocol::on_receive_complete(a);
}

void Protocol::on_send_complete(sim::Adapter& a, NDIS_PACKET* packet, NDIS_STATUS status) {
    if (completed) completed(packet, status);
    RecordingProtocol::on_send_complete(a, packet, status);
    rig_.OnComplete(packet, status);
}

// ---------------------------------------------------------------------------
// The rig

// Sees each frame right after the card took it or refused it.
class Rig::Observer : public hw::Station {
public:
    explicit Observer(Rig& r) : r_(r) {}
    void deliver(const std::uint8_t*, std::size_t) override { r_.AfterDelivery(); }

private:
    Rig& r_;
};

hw::BoardConfig ConfigOf(hw::BoardKind kind) {
    hw::BoardConfig c;
    c.kind = kind;
    c.station = Station();
    if (kind == hw::BoardKind::Mca) c.pos_data1 = 0x4A;  // 0x320, interrupt 5
    return c;
}

Rig::Rig(hw::BoardKind kind) : Rig(ConfigOf(kind)) {}

Rig::Rig(hw::BoardConfig config, const std::function<NTSTATUS(sim::Host&)>& load)
    : card(host.add_card(config)), observer_(new Observer(*this)) {
    load ? load(host) : host.load_driver(DriverEntry);
    host.segment().add_tap([this](Nanos, const std::uint8_t* f, std::size_t n) {
        wire.emplace_back(f, f + hw::Segment::strip_fcs(n));
        OnWire(f, hw::Segment::strip_fcs(n));
    });
    host.segment().attach(*observer_);  // after the card: delivered to last
}

Rig::~Rig() {
    host.bus().set_access_hook(nullptr);
    if (adapter && adapter->running()) adapter->halt();
    host.segment().detach(*observer_);
}

bool Rig::Init(ULONG filter) {
    Collect();  // what the previous adapter indicated
    bool up = host.initialize(host.config_for(card)) == NDIS_STATUS_SUCCESS;
    adapter = up ? &host.adapter() : nullptr;
    rec = up ? adapter->record<AdapterRecord>() : nullptr;
    halted_ = false;
    indications_seen_ = 0;
    if (up) adapter->bind(proto);
    return up && SetFilter(filter) == NDIS_STATUS_SUCCESS;
}

Bytes Rig::Inject(Dest dest, std::size_t len) {
    rx_[next_rx_] = Rx{std::uint16_t(len), dest, false, 0, 0};
    Bytes f = Frame(Address(dest), len, next_rx_++);
    host.segment().inject(f.data(), f.size());
    return f;
}

void Rig::InjectAt(Nanos at, Dest dest, std::size_t len) {
    host.bus().clock().schedule(at, [this, dest, len] {
        if (polite_peer && host.segment().busy()) InjectAt(host.bus().now() + 10 * kUs, dest, len);
        else Inject(dest, len);
    });
}

void Rig::InjectStream(Nanos start, Nanos gap, unsigned n, std::vector<std::size_t> sizes, std::vector<Dest> dests) {
    for (unsigned i = 0; i < n; i++) InjectAt(start + i * gap, dests[i % dests.size()], sizes[i % sizes.size()]);
}

bool Rig::Up() const { return adapter && adapter->running(); }

Bytes Rig::Send(std::size_t len, const std::vector<std::size_t>& pieces) {
    if (!Up()) return Frame(Peer(), len, 0, kFromStation);
    tx_[next_tx_] = Tx{std::uint16_t(len), 0, 0, NDIS_STATUS_PENDING, 0, false, card.pulled()};
    Bytes f = Frame(Peer(), len, next_tx_, kFromStation);
    auto p = std::make_unique<sim::Packet>(f, pieces);
    NDIS_PACKET* np = p->get();
    packets_[np] = {std::move(p), next_tx_++};
    adapter->send(np, 0, &proto);
    return f;
}

int Rig::NextPage(int page, std::size_t count) const {
    int next = page + int(count + 4 + 255) / 256;
    return next >= rec->RxStopPage ? next - (rec->RxStopPage - rec->RxFirstPage) : next;
}

Bytes Rig::Place(std::size_t len, RingHeader h, int page) {
    bool at_curr = page < 0;
    if (at_curr) page = card.regs().curr;
    rx_[next_rx_] = Rx{std::uint16_t(len), kToStation, true, 0, 0};
    Bytes f = Frame(Station(), len, next_rx_++);
    int next = NextPage(page, len + 4), count = h.count < 0 ? int(len) + 4 : h.count;
    Bytes stored = {std::uint8_t(h.status < 0 ? RSR_PRX : h.status), std::uint8_t(h.next < 0 ? next : h.next),
                    std::uint8_t(count), std::uint8_t(count >> 8)};
    stored.insert(stored.end(), f.begin(), f.end());
    stored.insert(stored.end(), {0xC0, 0xC1, 0xC2, 0xC3});  // FCS stand-in
    std::uint32_t at = std::uint32_t(page) * 256;
    for (std::uint8_t b : stored) {
        card.poke(std::uint16_t(at), b);
        if (++at == rec->RamEndAddress) at = rec->RxRingAddress;
    }
    if (at_curr) card.regs().curr = std::uint8_t(next);
    return f;
}

NDIS_STATUS Rig::SetFilter(ULONG filter) {
    return Up() ? adapter->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4) : NDIS_STATUS_FAILURE;
}

NDIS_STATUS Rig::SetMulticast(const std::vector<MacAddress>& list) {
    if (!Up()) return NDIS_STATUS_FAILURE;
    Bytes bytes;
    for (auto& m : list) bytes.insert(bytes.end(), m.begin(), m.end());
    return adapter->set(OID_802_3_MULTICAST_LIST, bytes.data(), ULONG(bytes.size()));
}

NDIS_STATUS Rig::Reset() {
    if (!Up()) return NDIS_STATUS_FAILURE;
    stops_.push_back(host.bus().now());
    fig_.resets++;
    NDIS_STATUS s = adapter->reset();
    stops_.push_back(host.bus().now());
    return s;
}

void Rig::Halt() {
    if (!Up()) return;
    stops_.push_back(host.bus().now());
    adapter->halt();
    halted_ = true;
    stops_.push_back(host.bus().now());
}

void Rig::Mask() { Ne2000DisableInterrupt(rec); }

static BOOLEAN NDIS_API EnableSynchronized(PVOID context) {
    Ne2000EnableInterrupt(context);
    return FALSE;
}

void Rig::Unmask() {
    NdisMSynchronizeWithInterrupt(&rec->InterruptObject, (PVOID)EnableSynchronized, rec);
    Run();
}

void Rig::Trace() {
    host.bus().clear_trace();
    host.bus().trace_to_vector(true);
    stall_base_ = host.bus().stalled_ns();
}

std::vector<sim::TraceEntry> Rig::Accesses() {
    std::vector<sim::TraceEntry> out;
    for (const sim::TraceEntry& e : host.bus().trace())
        if (e.port - card.io_base() < 0x20) out.push_back(e);
    return out;
}

unsigned Rig::Count(bool write, unsigned offset, int value) {
    unsigned n = 0;
    for (const sim::TraceEntry& e : Accesses())
        n += e.write == write && e.port - card.io_base() == offset && (value < 0 || e.value == unsigned(value));
    return n;
}

// ---------------------------------------------------------------------------
// The accounting

void Rig::OnWire(const std::uint8_t* f, std::size_t len) {
    pending_ = 0;
    if (len < 14 || f[6] != 0x02) return;
    std::uint32_t seq = NumberOf(f);
    if (f[7] == kFromStation) {
        auto it = tx_.find(seq);
        if (it == tx_.end()) return Fault("a frame on the wire that was never sent");
        Bytes want = Padded(Frame(Peer(), it->second.len, seq, kFromStation));
        it->second.on_wire++;
        it->second.bad |= len != want.size() || !std::equal(want.begin(), want.end(), f);
        fig_.tx_on_wire++;
    } else if (f[7] == kFromPeer && rx_.count(seq)) {
        pending_ = seq;
        curr_before_ = card.regs().curr;
        running_before_ = card.running();
        addressed_ = CardAccepts(card, f) && len >= 60;
    }
}

void Rig::AfterDelivery() {
    if (!pending_ || halted_) return;  // nobody owes a frame stored after a halt
    Rx& r = rx_[pending_];
    pending_ = 0;
    r.time = host.bus().now();
    r.stored = card.regs().curr != curr_before_;
    if (addressed_ && running_before_ && !r.stored) fig_.rx_missed++;
}

void Rig::OnIndication(const std::uint8_t* header, const std::uint8_t* lookahead, unsigned lookahead_size,
                       unsigned packet_size) {
    std::uint32_t seq = NumberOf(header);
    auto it = header[6] == 0x02 && header[7] == kFromPeer ? rx_.find(seq) : rx_.end();
    if (it == rx_.end()) return Fault("an indication of a frame nobody sent");
    Rx& r = it->second;
    if (seq <= last_indicated_ && !r.indicated) Fault("frame " + std::to_string(seq) + " indicated out of order");
    last_indicated_ = std::max(last_indicated_, seq);
    r.indicated++;
    fig_.rx_indicated++;
    Bytes want = Frame(Address(r.dest), r.len, seq);
    if (packet_size + 14 != r.len || !std::equal(header, header + 14, want.begin()) || lookahead_size > packet_size ||
        !std::equal(lookahead, lookahead + lookahead_size, want.begin() + 14))
        Fault("indication of frame " + std::to_string(seq) + " differs from what was sent");
}

void Rig::OnReceived(const sim::RecordingProtocol::Frame& f) {
    const std::uint8_t* l = f.lookahead.data();
    if (count_live) OnIndication(l, l + 14, unsigned(f.lookahead.size() - 14), f.packet_size);
    auto it = l[6] == 0x02 && l[7] == kFromPeer ? rx_.find(NumberOf(l)) : rx_.end();
    // A card that stopped answering may leave a transfer failed; never one
    // with other bytes.
    bool failed = f.transfer_status != NDIS_STATUS_SUCCESS;
    if (proto.transfer && it != rx_.end() &&
        (failed ? card.answering() : f.bytes != Frame(Address(it->second.dest), it->second.len, it->first)))
        Fault("transfer-data of frame " + std::to_string(it->first) + (failed ? " failed" : " gave other bytes"));
}

void Rig::OnComplete(NDIS_PACKET* packet, NDIS_STATUS status) {
    auto it = packets_.find(packet);
    if (it == packets_.end()) return;  // sent by the test through the protocol itself
    Tx& t = tx_[it->second.second];
    t.completions++;
    t.status = status;
    t.completed = host.bus().now();
    packets_.erase(it);
}

void Rig::Collect() {
    if (count_live || !adapter) return;
    for (const auto& list = adapter->indications(); indications_seen_ < list.size(); indications_seen_++) {
        const sim::Indication& ind = list[indications_seen_];
        OnIndication(ind.header.data(), ind.lookahead.data(), unsigned(ind.lookahead.size()), ind.packet_size);
    }
}

Rig::Figures Rig::figures() {
    Collect();
    return fig_;
}

void Rig::Forget() {
    rx_.clear();
    for (auto it = tx_.begin(); it != tx_.end();) it = it->second.completions ? tx_.erase(it) : std::next(it);
    stops_.clear();
    log_seen_ = host.error_log().size();
    faults_.clear();
    fault_count_ = 0;
    proto.clear_frames();
}

std::string Rig::Check() {
    Collect();
    auto stop_after = [&](Nanos t) { return std::any_of(stops_.begin(), stops_.end(), [t](Nanos s) { return s >= t; }); };
    // Once the card is pulled out nothing reaches it or comes from it: what
    // was under way may be lost, what is sent afterwards must fail.
    const bool gone = card.pulled();
    std::string out = faults_;
    unsigned shown = 0;
    auto fault = [&](const std::string& s) { out += shown++ < 4 ? s + "; " : ""; };
    for (auto& [seq, r] : rx_) {
        std::string id = "frame " + std::to_string(seq);
        if (r.indicated > 1) fault(id + " indicated " + std::to_string(r.indicated) + " times");
        if (r.indicated && !r.stored) fault(id + " indicated but never stored by the card");
        if (r.stored && !r.indicated && !allow_rx_loss && !gone && !stop_after(r.time))
            fault(id + " stored by the card and never indicated");
    }
    for (auto& [seq, t] : tx_) {
        std::string id = "sent frame " + std::to_string(seq);
        if (t.completions != 1) fault(id + " completed " + std::to_string(t.completions) + " times");
        if (t.bad) fault(id + " reached the wire changed");
        bool ok = t.status == NDIS_STATUS_SUCCESS;
        if (ok && t.on_wire > 1) fault(id + " on the wire " + std::to_string(t.on_wire) + " times");
        if (ok && !t.on_wire && !allow_tx_loss && !gone && !stop_after(t.completed))
            fault(id + " completed and never on the wire");
        if (ok && t.after_pull) fault(id + " sent after the card was pulled out and completed with success");
        if (!ok && t.on_wire) fault(id + " failed but reached the wire");
    }
    if (!host.never_completed().empty()) fault(std::to_string(host.never_completed().size()) + " packets never completed");
    for (std::size_t i = log_seen_; i < host.error_log().size(); i++) {
        const sim::ErrorLogEntry& e = host.error_log()[i];
        if (std::find(allowed_log.begin(), allowed_log.end(), e.code) != allowed_log.end()) continue;
        std::ostringstream s;
        s << "event log 0x" << std::hex << e.code << std::dec;
        for (auto d : e.data) s << " " << d;
        fault(s.str());
        break;
    }
    if (halted_ && (!host.leaked_allocations().empty() || !host.live_port_ranges().empty()))
        fault("record or ports not given back by the halt");
    if (!halted_ && !gone && rec && adapter->running()) {
        std::string r = CheckRecord(*rec, true) + CheckRecordAgainstCard(*rec, card);
        if (!r.empty()) fault("record: " + r);
    }
    std::string h = CheckHost(host, &card);
    if (!h.empty()) fault(h);
    return out;
}

}  // namespace rig
