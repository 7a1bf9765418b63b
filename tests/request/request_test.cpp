// Query and set information: every answer byte for byte and the buffer
// rule, the filters and multicast hash as the card holds them, and end to
// end what a protocol receives under each filter (the card's hash in front
// of the wrapper's exact filter) and lookahead. Expected values are written
// out as numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "hw/dp8390.h"
#include "request/request.h"
#include "tests/support/rig.h"

namespace {

using rig::Bytes;
using Mar = std::array<std::uint8_t, 8>;

Bytes Dword(ULONG v) { return Bytes{std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }

// Every answered OID on a record with a distinct value in each field an
// answer comes from: the exact bytes, nothing written past them, the written
// count added to and the needed count untouched; exactly the answer's length
// is enough, one byte less gives the needed count and writes nothing. No
// port is touched.
TEST(QueryInformation, EveryAnswerExactlyAndTheLengthRule) {
    const ULONG supported[31] = {
        0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111, 0x00010113,
        0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B, 0x0001010D, 0x0001010C,
        0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102, 0x00020103, 0x00020104, 0x00020105,
        0x01010101, 0x01010102, 0x01010103, 0x01010104, 0x01020101, 0x01020102, 0x01020103};
    Bytes list, description = {'N', 'o', 'v', 'e', 'l', 'l', ' ', '2', '0', '0', '0', ' ',
                                'A', 'd', 'a', 'p', 't', 'e', 'r', '.', 0};
    for (ULONG oid : supported) {
        Bytes d = Dword(oid);
        list.insert(list.end(), d.begin(), d.end());
    }
    const Bytes permanent = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, station = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    const std::pair<ULONG, Bytes> answers[] = {
        {0x00010101, list}, {0x00010102, Dword(0)}, {0x00010103, Dword(0)}, {0x00010104, Dword(0)},
        {0x00010105, Dword(238)}, {0x00010106, Dword(1500)}, {0x00010111, Dword(1514)}, {0x00010113, Dword(0x0F)},
        {0x00010107, Dword(100000)}, {0x00010108, Dword(3072)}, {0x00010109, Dword(5120)},
        {0x0001010A, Dword(256)}, {0x0001010B, Dword(256)}, {0x0001010D, description},
        {0x0001010C, {0x12, 0x34, 0x56, 0x00}}, {0x00010110, {0x00, 0x03}}, {0x0001010F, Dword(100)},
        {0x00020101, Dword(0x01010101)}, {0x00020102, Dword(0x02020202)}, {0x00020103, Dword(0x03030303)},
        {0x00020104, Dword(0x04040404)}, {0x00020105, Dword(0x05050505)}, {0x01010101, permanent},
        {0x01010102, station}, {0x01010104, Dword(5)}, {0x01020101, Dword(0x06060606)},
        {0x01020102, Dword(0x07070707)}, {0x01020103, Dword(0x08080808)}};
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    AdapterRecord& a = *r.rec;
    std::memcpy(a.PermanentAddress, permanent.data(), 6);
    std::memcpy(a.StationAddress, station.data(), 6);
    a.LookaheadSize = 100;
    ULONG* counts[] = {&a.XmitOkCount, &a.RcvOkCount, &a.XmitErrorCount, &a.CrcErrorCount, &a.MissedPacketCount,
                       &a.AlignmentErrorCount, &a.OneCollisionCount, &a.MoreCollisionsCount};
    for (int i = 0; i < 8; i++) *counts[i] = 0x01010101u * (i + 1);
    a.MaxMulticastList = 5;
    r.Trace();
    for (const auto& [oid, bytes] : answers) {
        SCOPED_TRACE(testing::Message() << std::hex << oid);
        Bytes buffer(200, 0xCC), exact(bytes.size(), 0xCC), short_buffer(bytes.size() - 1, 0xCC);
        ULONG written = 5, needed = 77;
        ASSERT_EQ(Ne2000QueryInformation(&a, oid, buffer.data(), 200, &written, &needed), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + bytes.size()), bytes);
        EXPECT_EQ(Bytes(buffer.begin() + bytes.size(), buffer.end()), Bytes(200 - bytes.size(), 0xCC));
        EXPECT_EQ(written, 5 + bytes.size());
        EXPECT_EQ(needed, 77u);
        EXPECT_EQ(Ne2000QueryInformation(&a, oid, exact.data(), ULONG(exact.size()), &written, &needed),
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(exact, bytes);
        written = 5;
        EXPECT_EQ(Ne2000QueryInformation(&a, oid, short_buffer.data(), ULONG(short_buffer.size()), &written, &needed),
                  NDIS_STATUS_INVALID_LENGTH);
        EXPECT_EQ(needed, bytes.size());
        EXPECT_EQ(written, 5u);
        EXPECT_EQ(short_buffer, Bytes(bytes.size() - 1, 0xCC));
    }
    // Listed but not answered, and not listed: neither count touched.
    for (ULONG oid : {0x0001010Eu, 0x00010112u, 0x01010103u, 0x00000000u, 0x00010114u, 0x00020106u, 0x01010105u,
                      0x01020104u, 0xFFFFFFFFu}) {
        Bytes buffer(256, 0xCC);
        ULONG written = 5, needed = 77;
        EXPECT_EQ(Ne2000QueryInformation(&a, oid, buffer.data(), 256, &written, &needed), NDIS_STATUS_INVALID_OID)
            << std::hex << oid;
        EXPECT_EQ(written + needed, 82u);
        EXPECT_EQ(buffer, Bytes(256, 0xCC));
    }
    EXPECT_TRUE(r.Accesses().empty());
}

const Mar kAllOnes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// 01:00:5E:00:00:01 in entry 0 and seven entries never written (the zero
// address: MAR1 bit 6).
const Mar kGroupHash = {0x00, 0x40, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00};

Mar HashOf(const Bytes& list) {
    Mar m{};
    for (std::size_t i = 0; i < 48; i += 6) {
        unsigned bit = i < list.size() ? hw::Dp8390::hash_bit(&list[i]) : hw::Dp8390::hash_bit(Bytes(6, 0).data());
        m[bit >> 3] |= std::uint8_t(1u << (bit & 7));
    }
    return m;
}

// Filters after a one-group list: RCR and MAR0..MAR7 as the card holds them
// (every hash bit for all-multicast and promiscuous, the list's otherwise),
// other RCR bits kept, the card armed on page 0 after each; rejected
// filters change nothing and touch no port.
TEST(SetInformation, FiltersProgramRcrAndTheHash) {
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    ASSERT_EQ(r.SetMulticast({rig::Address(rig::kMulticastListed)}), NDIS_STATUS_SUCCESS);
    r.rec->RcrValue |= 0x03;  // save errored and runt frames
    struct Step { ULONG filter; UCHAR rcr; Mar mar; } steps[] = {
        {0x0B, 0x0F, kGroupHash}, {0x20, 0x1F, kAllOnes}, {0x01, 0x03, kGroupHash}, {0x04, 0x0B, kAllOnes},
        {0x02, 0x0B, kGroupHash}, {0x08, 0x07, kGroupHash}, {0x80, 0x03, kGroupHash}, {0x0F00, 0x03, kGroupHash},
        {0x00010001, 0x03, kGroupHash}, {0x2E, 0x1F, kAllOnes}, {0x00, 0x03, kGroupHash}};
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << std::hex << s.filter);
        r.rec->InterruptsArmed = 0;  // re-armed even when masked on entry
        CardWriteRegister(r.rec, NIC_IMR, 0);
        ULONG filter = s.filter, read = 0;
        Mar kept;
        EXPECT_EQ(r.adapter->set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, &read), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(read, 4u);
        EXPECT_EQ(r.card.regs().rcr, s.rcr);
        EXPECT_EQ(r.card.regs().mar, s.mar);
        std::memcpy(kept.data(), r.rec->MarValues, 8);
        EXPECT_EQ(kept, kGroupHash);
        EXPECT_EQ(r.Check(), "");
    }
    struct Bad { ULONG filter, length; NDIS_STATUS status; ULONG read; } bad[] = {
        {0x0011, 4, NDIS_STATUS_NOT_SUPPORTED, 4}, {0x0040, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
        {0x1000, 4, NDIS_STATUS_NOT_SUPPORTED, 4}, {0x2000, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
        {0x4000, 4, NDIS_STATUS_NOT_SUPPORTED, 4}, {0x8001, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
        {0x0001, 3, NDIS_STATUS_INVALID_LENGTH, 0}, {0x0001, 5, NDIS_STATUS_INVALID_LENGTH, 0},
        {0x0001, 0, NDIS_STATUS_INVALID_LENGTH, 0}};
    for (const Bad& c : bad) {
        SCOPED_TRACE(testing::Message() << std::hex << c.filter << " len " << c.length);
        UCHAR buffer[8] = {};
        std::memcpy(buffer, &c.filter, 4);
        ULONG read = 99, needed = 99;
        r.Trace();
        EXPECT_EQ(Ne2000SetInformation(r.rec, OID_GEN_CURRENT_PACKET_FILTER, buffer, c.length, &read, &needed), c.status);
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(needed, 0u);
        EXPECT_TRUE(r.Accesses().empty());
        EXPECT_EQ(r.rec->PacketFilter, 0x00u);
        EXPECT_EQ(r.card.regs().rcr, 0x03);
    }
}

// Lists: written from entry 0 on, later entries kept, every entry hashed;
// a length not a multiple of 6, or of more than eight entries, refused
// with nothing stored; under all-multicast or promiscuous a list is only
// stored until a filter without them is set.
TEST(SetInformation, MulticastListsAndTheirHash) {
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    auto set = [&](Bytes list) {
        ULONG read = 99, needed = 99;
        NDIS_STATUS s = Ne2000SetInformation(r.rec, OID_802_3_MULTICAST_LIST, list.data(), ULONG(list.size()), &read, &needed);
        return std::make_tuple(s, read, needed);
    };
    Bytes eight;
    for (int i = 0; i < 8; i++) eight.insert(eight.end(), {0x01, 0x00, 0x5E, 0x00, 0x01, std::uint8_t(i * 17)});
    EXPECT_EQ(set(eight), std::make_tuple(NDIS_STATUS_SUCCESS, 48u, 0u));
    EXPECT_EQ(r.card.regs().mar, HashOf(eight));
    Bytes twelve = {0x33, 0x33, 0, 0, 0, 1, 0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA}, list = twelve;
    list.insert(list.end(), eight.begin() + 12, eight.end());
    EXPECT_EQ(set(twelve), std::make_tuple(NDIS_STATUS_SUCCESS, 12u, 0u));
    EXPECT_EQ(Bytes(&r.rec->MulticastList[0][0], &r.rec->MulticastList[0][0] + 48), list);
    EXPECT_EQ(r.card.regs().mar, HashOf(list));
    for (std::size_t length : {7, 54, 96, 600}) {
        EXPECT_EQ(set(Bytes(length, 0x01)), std::make_tuple(NDIS_STATUS_INVALID_LENGTH, 0u, length > 48 ? 48u : 0u));
        EXPECT_EQ(Bytes(&r.rec->MulticastList[0][0], &r.rec->MulticastList[0][0] + 48), list);
    }
    EXPECT_EQ(set({}), std::make_tuple(NDIS_STATUS_SUCCESS, 0u, 0u));
    EXPECT_EQ(r.card.regs().mar, HashOf(list));
    ASSERT_EQ(r.SetFilter(0x21), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(set(Bytes{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}), std::make_tuple(NDIS_STATUS_SUCCESS, 6u, 0u));
    EXPECT_EQ(r.card.regs().mar, kAllOnes);
    ASSERT_EQ(r.SetFilter(0x03), NDIS_STATUS_SUCCESS);
    list[0] = 0x01, list[1] = 0x00, list[2] = 0x5E, list[3] = 0x00, list[4] = 0x00, list[5] = 0x01;
    EXPECT_EQ(r.card.regs().mar, HashOf(list));
    EXPECT_EQ(r.Check(), "");
}

TEST(SetInformation, LookaheadAndUnknownOids) {
    struct Case { ULONG value, length; NDIS_STATUS status; ULONG read, needed, lookahead; };
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    for (const Case& c : {Case{238, 4, NDIS_STATUS_SUCCESS, 4, 0, 238}, Case{239, 4, NDIS_STATUS_INVALID_LENGTH, 99, 99, 238},
                          Case{0, 4, NDIS_STATUS_SUCCESS, 4, 0, 0}, Case{0xFFFFFFFF, 4, NDIS_STATUS_INVALID_LENGTH, 99, 99, 0},
                          Case{100, 4, NDIS_STATUS_SUCCESS, 4, 0, 100}, Case{50, 2, NDIS_STATUS_INVALID_LENGTH, 0, 0, 100},
                          Case{50, 8, NDIS_STATUS_INVALID_LENGTH, 0, 0, 100}}) {
        SCOPED_TRACE(testing::Message() << c.value << " len " << c.length);
        UCHAR buffer[9] = {};
        std::memcpy(buffer + 1, &c.value, 4);  // unaligned on purpose
        ULONG read = 99, needed = 99;
        EXPECT_EQ(Ne2000SetInformation(r.rec, OID_GEN_CURRENT_LOOKAHEAD, buffer + 1, c.length, &read, &needed), c.status);
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(needed, c.needed);
        EXPECT_EQ(r.rec->LookaheadSize, c.lookahead);
    }
    for (ULONG oid : {0x00010101u, 0x00010112u, 0x01010102u, 0x0u}) {
        ULONG value = 1, read = 99, needed = 99;
        EXPECT_EQ(Ne2000SetInformation(r.rec, oid, &value, 4, &read, &needed), NDIS_STATUS_INVALID_OID);
        EXPECT_EQ(read + needed, 0u);
    }
}

// The hash bit (the top six bits of the CRC) against the card's own
// address filter, for many addresses.
TEST(MulticastHash, CrcAndHashBit) {
    std::uint32_t seed = 12345;
    for (int i = 0; i < 2000; i++) {
        UCHAR address[6], index, mask;
        for (UCHAR& byte : address) byte = UCHAR((seed = seed * 1103515245u + 12345u) >> 16);
        CardGetMulticastBit(address, &index, &mask);
        unsigned bit = hw::Dp8390::hash_bit(address);
        ASSERT_EQ(index, bit >> 3);
        ASSERT_EQ(mask, 1u << (bit & 7));
    }
}

// A new lookahead size shows in the next indication: exactly min(frame,
// lookahead + 14) bytes read from the card (by words) past the 6-byte
// header window.
TEST(FilterE2e, LookaheadShowsInTheNextIndication) {
    rig::Rig r(hw::BoardKind::Isa16);
    ASSERT_TRUE(r.Init());
    r.proto.transfer = false;
    struct Step { ULONG lookahead; std::size_t frame, indicated; };
    for (const Step& s : {Step{238, 400, 238}, Step{40, 400, 40}, Step{0, 400, 0}, Step{100, 90, 76},
                          Step{238, 1514, 238}, Step{1, 60, 1}, Step{238, 60, 46}}) {
        SCOPED_TRACE(s.lookahead);
        ULONG value = s.lookahead;
        ASSERT_EQ(r.adapter->set(OID_GEN_CURRENT_LOOKAHEAD, &value, 4), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(r.adapter->query_ulong(OID_GEN_CURRENT_LOOKAHEAD), s.lookahead);
        std::uint64_t before = r.host.bus().port_stats(&r.card).data_bytes;
        r.Inject(rig::kToStation, s.frame);
        r.Run();
        const sim::Indication& ind = r.adapter->indications().back();
        EXPECT_EQ(ind.lookahead.size(), s.indicated);
        EXPECT_EQ(ind.packet_size, s.frame - 14);
        EXPECT_EQ(r.host.bus().port_stats(&r.card).data_bytes - before, 6 + (14 + s.indicated + 1) / 2 * 2);
    }
    EXPECT_EQ(r.Check(), "");
}

}  // namespace
