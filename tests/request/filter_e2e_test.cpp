// End to end through the wrapper: what a protocol receives under each filter
// and multicast list, with the card's hash in front of the wrapper's exact
// filter, and the lookahead size of the next indication.
#include <gtest/gtest.h>

#include "hw/dp8390.h"
#include "hw/segment.h"
#include "tests/support/card_fixture.h"

using ne2k_test::CardFixture;
using Bytes = std::vector<std::uint8_t>;
using Address = std::array<std::uint8_t, 6>;

namespace {

const Address kListed1 = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const Address kListed2 = {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};
const Address kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Address kOtherStation = {0x02, 0x77, 0x77, 0x77, 0x77, 0x77};

Bytes FrameTo(const Address& dest, size_t length = 100, std::uint8_t tag = 0) {
    Bytes b(length);
    for (size_t i = 0; i < length; i++) b[i] = (std::uint8_t)(i * 3 + tag);
    std::copy(dest.begin(), dest.end(), b.begin());
    const std::uint8_t src[6] = {0x02, 0x55, 0x55, 0x55, 0x55, 0x55};
    std::copy(src, src + 6, b.begin() + 6);
    b[12] = 0x08;
    b[13] = 0x00;
    return b;
}

// A group address that is not `of` but falls on the same hash bit.
Address SameHashBitAs(const Address& of) {
    unsigned bit = hw::Dp8390::hash_bit(of.data());
    for (unsigned n = 2;; n++) {
        Address a = {0x01, 0x00, 0x5E, (std::uint8_t)(n >> 16), (std::uint8_t)(n >> 8),
                     (std::uint8_t)n};
        if (a != of && hw::Dp8390::hash_bit(a.data()) == bit) return a;
    }
}

// A group address on a hash bit that no listed address sets.
Address OffTheHash(const std::vector<Address>& listed) {
    for (unsigned n = 2;; n++) {
        Address a = {0x01, 0x00, 0x5E, 0x40, 0x00, (std::uint8_t)n};
        bool clash = false;
        for (const Address& l : listed) clash |= hw::Dp8390::hash_bit(a.data()) == hw::Dp8390::hash_bit(l.data());
        // The never-written entries of the list hash as the zero address.
        clash |= hw::Dp8390::hash_bit(a.data()) == hw::Dp8390::hash_bit(Address{}.data());
        if (!clash) return a;
    }
}

class FilterE2e : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(f.BringUp(), NDIS_STATUS_SUCCESS);
        a().bind(proto);
    }
    sim::Adapter& a() { return f.wrapper_adapter(); }
    NDIS_STATUS SetFilter(ULONG filter) {
        return a().set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4);
    }
    NDIS_STATUS SetList(const std::vector<Address>& list) {
        Bytes bytes;
        for (const Address& m : list) bytes.insert(bytes.end(), m.begin(), m.end());
        return a().set(OID_802_3_MULTICAST_LIST, bytes.data(), (ULONG)bytes.size());
    }
    // Injects one frame and reports (indicated by the driver, received by
    // the protocol).
    std::pair<bool, bool> Deliver(const Bytes& frame) {
        size_t indicated = a().indications().size();
        size_t received = proto.frames().size();
        f.host().segment().inject(frame.data(), frame.size());
        EXPECT_TRUE(f.host().run_until_idle());
        bool got = proto.frames().size() > received;
        if (got) {
            EXPECT_EQ(proto.frames().back().bytes, frame);
        }
        return {a().indications().size() > indicated, got};
    }
    void TearDown() override {
        for (const std::string& p : f.host().problems()) ADD_FAILURE() << p;
        EXPECT_EQ(f.card().misuse().total(), 0u);
    }

    CardFixture f;
    sim::RecordingProtocol proto;
};

}  // namespace

TEST_F(FilterE2e, MulticastListBroadcastAndPromiscuous) {
    const Address sibling = SameHashBitAs(kListed1);
    const Address off = OffTheHash({kListed1, kListed2});
    const Address& station = a().station_address();
    using Seen = std::pair<bool, bool>;  // indicated, received

    ASSERT_EQ(SetFilter(0x0B), NDIS_STATUS_SUCCESS);  // directed, multicast, broadcast
    ASSERT_EQ(SetList({kListed1, kListed2}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(FrameTo(kListed1, 100, 1)), Seen(true, true));
    EXPECT_EQ(Deliver(FrameTo(kListed2, 300, 2)), Seen(true, true));
    // The card's hash lets it through; the wrapper's exact filter stops it.
    EXPECT_EQ(Deliver(FrameTo(sibling, 100, 3)), Seen(true, false));
    EXPECT_EQ(Deliver(FrameTo(off, 100, 4)), Seen(false, false));
    EXPECT_EQ(Deliver(FrameTo(kBroadcast, 64, 5)), Seen(true, true));
    EXPECT_EQ(Deliver(FrameTo(station, 64, 6)), Seen(true, true));
    EXPECT_EQ(Deliver(FrameTo(kOtherStation, 64, 7)), Seen(false, false));

    // Without the broadcast bit the card drops broadcasts.
    ASSERT_EQ(SetFilter(0x03), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(FrameTo(kBroadcast, 64, 8)), Seen(false, false));
    EXPECT_EQ(Deliver(FrameTo(kListed1, 64, 9)), Seen(true, true));

    // Directed only: no group address gets in.
    ASSERT_EQ(SetFilter(0x01), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(FrameTo(kListed1, 64, 10)), Seen(false, false));
    EXPECT_EQ(Deliver(FrameTo(station, 64, 11)), Seen(true, true));

    // All-multicast: every group address, listed or not.
    ASSERT_EQ(SetFilter(0x05), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(FrameTo(off, 64, 12)), Seen(true, true));
    EXPECT_EQ(Deliver(FrameTo(sibling, 64, 13)), Seen(true, true));

    // Promiscuous: frames for other stations too.
    ASSERT_EQ(SetFilter(0x20), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(FrameTo(kOtherStation, 200, 14)), Seen(true, true));
    EXPECT_EQ(Deliver(FrameTo(off, 64, 15)), Seen(true, true));
    EXPECT_EQ(Deliver(FrameTo(kBroadcast, 64, 16)), Seen(true, true));

    // Back to the list: the hash is in force again.
    ASSERT_EQ(SetFilter(0x0B), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(FrameTo(kOtherStation, 64, 17)), Seen(false, false));
    EXPECT_EQ(Deliver(FrameTo(off, 64, 18)), Seen(false, false));
    EXPECT_EQ(Deliver(FrameTo(kListed2, 64, 19)), Seen(true, true));
}

// A list set while promiscuous reaches the card with the next filter.
TEST_F(FilterE2e, ListSetUnderPromiscuousTakesEffectLater) {
    const Address off = OffTheHash({kListed1});
    ASSERT_EQ(SetFilter(0x20), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(SetList({kListed1}), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(SetFilter(0x03), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Deliver(FrameTo(kListed1)), std::make_pair(true, true));
    EXPECT_EQ(Deliver(FrameTo(off)), std::make_pair(false, false));
}

// A reset programs the hash as a filter set does: promiscuous and
// all-multicast still take every group address afterwards.
TEST_F(FilterE2e, FiltersThatTakeEveryGroupAddressSurviveAReset) {
    const Address off = OffTheHash({kListed1});
    ASSERT_EQ(SetList({kListed1}), NDIS_STATUS_SUCCESS);
    for (ULONG filter : {0x20u, 0x05u}) {
        SCOPED_TRACE(filter);
        ASSERT_EQ(SetFilter(filter), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(a().reset(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Deliver(FrameTo(off, 64, static_cast<std::uint8_t>(filter))),
                  std::make_pair(true, true));
    }
}

// A new lookahead size shows in the very next indication.
TEST_F(FilterE2e, LookaheadChangeShowsInTheNextIndication) {
    ASSERT_EQ(SetFilter(0x01), NDIS_STATUS_SUCCESS);
    const Address& station = a().station_address();
    struct Step {
        ULONG lookahead;
        size_t frame;
        size_t indicated;  // lookahead bytes indicated
    };
    for (const Step& s : {Step{238, 400, 238}, Step{40, 400, 40}, Step{0, 400, 0},
                          Step{100, 90, 76}, Step{238, 1514, 238}, Step{1, 60, 1}}) {
        SCOPED_TRACE(s.lookahead);
        ULONG value = s.lookahead;
        ASSERT_EQ(a().set(OID_GEN_CURRENT_LOOKAHEAD, &value, 4), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(a().query_ulong(OID_GEN_CURRENT_LOOKAHEAD), s.lookahead);
        Bytes frame = FrameTo(station, s.frame, (std::uint8_t)s.lookahead);
        EXPECT_EQ(Deliver(frame), std::make_pair(true, true));
        const sim::Indication& ind = a().indications().back();
        EXPECT_EQ(ind.lookahead.size(), s.indicated);
        EXPECT_EQ(ind.lookahead, Bytes(frame.begin() + 14, frame.begin() + 14 + s.indicated));
        EXPECT_EQ(ind.packet_size, s.frame - 14);
    }
}
