// Set information: packet filter into RCR and the hash registers as the card
// holds them, multicast lists and their hash, lookahead, the CRC and hash
// bit, the register sequence of the hash load, and the over-long list.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "card/card.h"
#include "card/dp8390reg.h"
#include "hw/dp8390.h"
#include "request/request.h"
#include "tests/support/card_fixture.h"

using namespace ne2k_test;
using Bytes = std::vector<std::uint8_t>;
using Mar = std::array<std::uint8_t, 8>;

namespace {

const UCHAR kGroup[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};  // MAR3 bit 0x80
const Mar kAllOnes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// kGroup in entry 0 and the other seven never written (all-zero: MAR1 0x40).
const Mar kGroupHash = {0x00, 0x40, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00};

class SetTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(f.BringUp(), NDIS_STATUS_SUCCESS); }
    sim::Adapter& a() { return f.wrapper_adapter(); }
    AdapterRecord& r() { return f.adapter(); }
    Mar CardMar() { return f.card().regs().mar; }
    Mar RecordMar() {
        Mar m;
        std::memcpy(m.data(), r().MarValues, 8);
        return m;
    }
    NDIS_STATUS SetFilter(ULONG filter, ULONG* read = nullptr) {
        return a().set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, read);
    }
    NDIS_STATUS SetList(Bytes list, ULONG* read = nullptr, ULONG* needed = nullptr) {
        return a().set(OID_802_3_MULTICAST_LIST, list.data(), (ULONG)list.size(), read, needed);
    }
    // The card is armed and on page 0, as every set must leave it.
    void ExpectArmedOnPageZero() {
        EXPECT_EQ(r().InterruptsArmed, 1);
        EXPECT_EQ(f.card().regs().imr, IMR_VALUE);
        EXPECT_EQ(f.card().regs().cr_page, 0);
    }
    void TearDown() override {
        for (const std::string& p : f.host().problems()) ADD_FAILURE() << p;
        EXPECT_EQ(f.card().misuse().total(), 0u);
    }

    CardFixture f;
};

}  // namespace

// A run of filters after a one-group list: RCR and MAR0..MAR7 as the card
// holds them, and the hash values kept in the record across the filters
// that open every hash bit.
TEST_F(SetTest, FiltersProgramRcrAndHashRegisters) {
    ASSERT_EQ(SetList(Bytes(kGroup, kGroup + 6)), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(CardMar(), kGroupHash);

    struct Step {
        ULONG filter;
        UCHAR rcr;
        Mar mar;
    };
    const std::vector<Step> steps = {
        {0x0B, 0x0C, kGroupHash},        // directed, multicast, broadcast: AM AB
        {0x20, 0x1C, kAllOnes},          // promiscuous: PRO AM AB, every hash bit
        {0x01, 0x00, kGroupHash},        // directed after promiscuous: all cleared
        {0x04, 0x08, kAllOnes},          // all-multicast: AM, every hash bit
        {0x02, 0x08, kGroupHash},        // multicast: AM
        {0x08, 0x04, kGroupHash},        // broadcast: AB
        {0x80, 0x00, kGroupHash},        // all-local: nothing
        {0x0F00, 0x00, kGroupHash},      // bits 0x0100..0x0800: not examined
        {0x00010001, 0x00, kGroupHash},  // bits 16..31: not examined
        {0x2E, 0x1C, kAllOnes},
        {0x00, 0x00, kGroupHash},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << std::hex << s.filter);
        ULONG read = 0;
        EXPECT_EQ(SetFilter(s.filter, &read), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(read, 4u);
        EXPECT_EQ(r().PacketFilter, s.filter);
        EXPECT_EQ(r().RcrValue, s.rcr);
        EXPECT_EQ(f.card().regs().rcr, s.rcr);
        EXPECT_EQ(CardMar(), s.mar);
        EXPECT_EQ(RecordMar(), kGroupHash);
        ExpectArmedOnPageZero();
    }
}

// Bits of RCR other than AB, AM and PRO keep their value.
TEST_F(SetTest, FilterLeavesOtherReceiveConfigBits) {
    r().RcrValue = 0x03;  // save errored and runt frames
    ASSERT_EQ(SetFilter(0x0B), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(f.card().regs().rcr, 0x0F);
    ASSERT_EQ(SetFilter(0x01), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(f.card().regs().rcr, 0x03);
}

// Rejected filters change nothing: not the record, not the card.
TEST_F(SetTest, RejectedFiltersChangeNothing) {
    ASSERT_EQ(SetFilter(0x0B), NDIS_STATUS_SUCCESS);
    struct Case {
        ULONG filter;
        ULONG length;
        NDIS_STATUS status;
        ULONG read;
    };
    for (const Case& c : {Case{0x0011, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
                          Case{0x0040, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
                          Case{0x1000, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
                          Case{0x2000, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
                          Case{0x4000, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
                          Case{0x8001, 4, NDIS_STATUS_NOT_SUPPORTED, 4},
                          Case{0x0001, 3, NDIS_STATUS_INVALID_LENGTH, 0},
                          Case{0x0001, 5, NDIS_STATUS_INVALID_LENGTH, 0},
                          Case{0x0001, 0, NDIS_STATUS_INVALID_LENGTH, 0}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.filter << " len " << c.length);
        UCHAR buffer[8] = {};
        std::memcpy(buffer, &c.filter, 4);
        ULONG read = 99, needed = 99;
        f.StartTrace();
        EXPECT_EQ(Ne2000SetInformation(&r(), OID_GEN_CURRENT_PACKET_FILTER, buffer, c.length, &read,
                                       &needed),
                  c.status);
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(needed, 0u);
        EXPECT_TRUE(f.Trace().empty());
        EXPECT_EQ(r().PacketFilter, 0x0Bu);
        EXPECT_EQ(f.card().regs().rcr, 0x0C);
    }
}

// The hash load's register sequence: masked before page 1 is selected, the
// eight registers MAR0 first, page 0, then re-armed; the flag cleared before
// the mask is written and set after it is restored.
TEST_F(SetTest, HashLoadRunsMaskedThroughSynchronize) {
    std::vector<int> armed_at_imr_write;
    f.StartTrace();
    f.OnAccess([&] {
        RegAccess last = f.LastAccess();
        if (last.write && last.offset == NIC_IMR && f.card().regs().cr_page == 0)
            armed_at_imr_write.push_back(r().InterruptsArmed);
    });
    auto syncs = a().counters().sync_calls;
    ASSERT_EQ(SetList(Bytes(kGroup, kGroup + 6)), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(a().counters().sync_calls, syncs + 1);

    std::vector<RegAccess> want = {W(NIC_IMR, 0), W(NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE1)};
    for (unsigned i = 0; i < 8; i++) want.push_back(W(NIC_MAR0 + i, kGroupHash[i]));
    want.push_back(W(NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0));
    want.push_back(W(NIC_IMR, IMR_VALUE));
    EXPECT_EQ(ToString(f.Trace()), ToString(want));
    EXPECT_EQ(armed_at_imr_write, (std::vector<int>{0, 0}));
    ExpectArmedOnPageZero();

    // The all-ones load and the RCR write go the same way: two synchronized
    // calls for a filter.
    syncs = a().counters().sync_calls;
    f.StartTrace();
    ASSERT_EQ(SetFilter(0x20), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(a().counters().sync_calls, syncs + 2);
    want = {W(NIC_IMR, 0), W(NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE1)};
    for (unsigned i = 0; i < 8; i++) want.push_back(W(NIC_MAR0 + i, 0xFF));
    for (RegAccess w : {W(NIC_CR, CR_STA | CR_RD_ABORT | CR_PAGE0), W(NIC_IMR, IMR_VALUE),
                        W(NIC_RCR, 0x1C)})
        want.push_back(w);
    EXPECT_EQ(ToString(f.Trace()), ToString(want));

    // Re-armed even when the card was masked on entry.
    r().InterruptsArmed = 0;
    CardWriteRegister(&r(), NIC_IMR, 0);
    ASSERT_EQ(SetFilter(0x01), NDIS_STATUS_SUCCESS);
    ExpectArmedOnPageZero();
}

// Lists: written from entry 0 on, later entries kept; every entry hashed;
// a length not a multiple of 6 refused; under all-multicast or promiscuous
// the list is only stored until a filter without them is set.
TEST_F(SetTest, MulticastListsAndTheirHash) {
    EXPECT_EQ(RecordMar(), (Mar{}));
    ULONG read = 0, needed = 0;
    ASSERT_EQ(SetList(Bytes(kGroup, kGroup + 6), &read), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(read, 6u);
    EXPECT_EQ(RecordMar(), kGroupHash);
    EXPECT_EQ(CardMar(), kGroupHash);

    Bytes eight;
    for (int i = 0; i < 8; i++) {
        Bytes e = {0x01, 0x00, 0x5E, 0x00, 0x01, (std::uint8_t)(i * 17)};
        eight.insert(eight.end(), e.begin(), e.end());
    }
    ASSERT_EQ(SetList(eight, &read), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(read, 48u);
    Mar want{};
    for (int i = 0; i < 8; i++) {
        unsigned bit = hw::Dp8390::hash_bit(&eight[i * 6]);
        want[bit >> 3] |= (std::uint8_t)(1u << (bit & 7));
    }
    EXPECT_EQ(CardMar(), want);

    // 12 bytes: entries 0 and 1 replaced, 2..7 as they were.
    Bytes twelve = {0x33, 0x33, 0, 0, 0, 1, 0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA};
    ASSERT_EQ(SetList(twelve, &read), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(read, 12u);
    Bytes expect_list = twelve;
    expect_list.insert(expect_list.end(), eight.begin() + 12, eight.end());
    EXPECT_EQ(Bytes(&r().MulticastList[0][0], &r().MulticastList[0][0] + 48), expect_list);
    want = {};
    for (int i = 0; i < 8; i++) {
        unsigned bit = hw::Dp8390::hash_bit(&expect_list[i * 6]);
        want[bit >> 3] |= (std::uint8_t)(1u << (bit & 7));
    }
    EXPECT_EQ(RecordMar(), want);
    EXPECT_EQ(CardMar(), want);

    // 7 bytes: refused, nothing changes.
    Bytes seven(7, 0x01);
    read = needed = 99;
    EXPECT_EQ(Ne2000SetInformation(&r(), OID_802_3_MULTICAST_LIST, seven.data(), 7, &read, &needed),
              NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(Bytes(&r().MulticastList[0][0], &r().MulticastList[0][0] + 48), expect_list);

    // Zero bytes: accepted, the hash recomputed from the entries as they are.
    auto syncs = a().counters().sync_calls;
    ASSERT_EQ(SetList(Bytes{}, &read), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(a().counters().sync_calls, syncs + 1);
    EXPECT_EQ(CardMar(), want);

    // Promiscuous: a new list is stored only.
    ASSERT_EQ(SetFilter(0x21), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(SetList(Bytes(kGroup, kGroup + 6)), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(CardMar(), kAllOnes);
    EXPECT_EQ(RecordMar(), want);
    ASSERT_EQ(SetFilter(0x03), NDIS_STATUS_SUCCESS);
    Mar after{};
    for (int i = 0; i < 8; i++) {
        const UCHAR* e = r().MulticastList[i];
        unsigned bit = hw::Dp8390::hash_bit(e);
        after[bit >> 3] |= (std::uint8_t)(1u << (bit & 7));
    }
    EXPECT_EQ(RecordMar(), after);
    EXPECT_EQ(CardMar(), after);
}

// More than eight entries would run past MulticastList: refused with the
// room it has, nothing stored, nothing loaded.
TEST_F(SetTest, ListLongerThanEightEntriesIsRefused) {
    ASSERT_EQ(SetList(Bytes(kGroup, kGroup + 6)), NDIS_STATUS_SUCCESS);
    Bytes before(&r().MulticastList[0][0], &r().MulticastList[0][0] + 48);
    for (ULONG length : {54u, 96u, 600u}) {
        Bytes list(length, 0x01);
        ULONG read = 99, needed = 99;
        auto syncs = a().counters().sync_calls;
        f.StartTrace();
        EXPECT_EQ(Ne2000SetInformation(&r(), OID_802_3_MULTICAST_LIST, list.data(), length, &read,
                                       &needed),
                  NDIS_STATUS_INVALID_LENGTH);
        EXPECT_EQ(read, 0u);
        EXPECT_EQ(needed, 48u);
        EXPECT_EQ(Bytes(&r().MulticastList[0][0], &r().MulticastList[0][0] + 48), before);
        EXPECT_EQ(RecordMar(), kGroupHash);
        EXPECT_EQ(CardMar(), kGroupHash);
        EXPECT_EQ(a().counters().sync_calls, syncs);
        EXPECT_TRUE(f.Trace().empty());
    }
}

TEST_F(SetTest, LookaheadAndUnknownOids) {
    struct Case {
        ULONG value;
        ULONG length;
        NDIS_STATUS status;
        ULONG read, needed;  // from 99, 99
        ULONG lookahead;     // afterwards
    };
    for (const Case& c : {Case{238, 4, NDIS_STATUS_SUCCESS, 4, 0, 238},
                          Case{239, 4, NDIS_STATUS_INVALID_LENGTH, 99, 99, 238},
                          Case{0, 4, NDIS_STATUS_SUCCESS, 4, 0, 0},
                          Case{0xFFFFFFFF, 4, NDIS_STATUS_INVALID_LENGTH, 99, 99, 0},
                          Case{100, 4, NDIS_STATUS_SUCCESS, 4, 0, 100},
                          Case{50, 2, NDIS_STATUS_INVALID_LENGTH, 0, 0, 100},
                          Case{50, 8, NDIS_STATUS_INVALID_LENGTH, 0, 0, 100}}) {
        SCOPED_TRACE(testing::Message() << c.value << " len " << c.length);
        UCHAR buffer[9] = {};
        std::memcpy(buffer + 1, &c.value, 4);  // unaligned on purpose
        ULONG read = 99, needed = 99;
        EXPECT_EQ(Ne2000SetInformation(&r(), OID_GEN_CURRENT_LOOKAHEAD, buffer + 1, c.length, &read,
                                       &needed),
                  c.status);
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(needed, c.needed);
        EXPECT_EQ(r().LookaheadSize, c.lookahead);
    }
    for (ULONG oid : {0x00010101u, 0x00010112u, 0x01010102u, 0x0u}) {
        ULONG value = 1, read = 99, needed = 99;
        EXPECT_EQ(Ne2000SetInformation(&r(), oid, &value, 4, &read, &needed),
                  NDIS_STATUS_INVALID_OID);
        EXPECT_EQ(read, 0u);
        EXPECT_EQ(needed, 0u);
    }
}

// The CRC and the hash bit against the check values, against the usual
// reflected CRC-32, and against the card's own address filter.
TEST(MulticastHash, CrcAndHashBit) {
    struct Case {
        Bytes data;
        ULONG crc;
    };
    for (const Case& c : {Case{{'a', 'b', 'c'}, 0xBC7DDB53}, Case{Bytes(6, 0x00), 0x3A7ABC72},
                          Case{Bytes(6, 0xFF), 0xFF48647D},
                          Case{{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, 0x7FA32D9B}})
        EXPECT_EQ(CardComputeCrc(c.data.data(), (UINT)c.data.size()), c.crc);

    // Bit-reversed and complemented, it is the reflected CRC-32.
    const UCHAR digits[] = "123456789";
    ULONG crc = CardComputeCrc(digits, 9);
    ULONG reflected = 0;
    for (int i = 0; i < 32; i++)
        if (crc & (1u << i)) reflected |= 1u << (31 - i);
    EXPECT_EQ(~reflected, 0xCBF43926u);

    struct Bit {
        Bytes address;
        UCHAR index, mask;
    };
    for (const Bit& b : {Bit{Bytes(6, 0x00), 1, 0x40}, Bit{Bytes(6, 0xFF), 7, 0x80},
                         Bit{{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}, 3, 0x80},
                         Bit{{0x33, 0x33, 0x00, 0x00, 0x00, 0x01}, 7, 0x40},
                         Bit{{0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA}, 5, 0x08}}) {
        UCHAR index = 0xEE, mask = 0xEE;
        CardGetMulticastBit(b.address.data(), &index, &mask);
        EXPECT_EQ(index, b.index);
        EXPECT_EQ(mask, b.mask);
    }

    std::uint32_t seed = 12345;
    for (int i = 0; i < 2000; i++) {
        UCHAR address[6];
        for (UCHAR& byte : address) {
            seed = seed * 1103515245u + 12345u;
            byte = (UCHAR)(seed >> 16);
        }
        UCHAR index, mask;
        CardGetMulticastBit(address, &index, &mask);
        unsigned bit = hw::Dp8390::hash_bit(address);
        ASSERT_EQ(index, bit >> 3);
        ASSERT_EQ(mask, 1u << (bit & 7));
    }
}
