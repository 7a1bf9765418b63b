// Query information: every answer byte for byte, the buffer-length rule,
// the counts the handler adds to or leaves alone, and the listed OIDs that
// are not answered. Expected values are written out here as numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "request/request.h"
#include "tests/support/card_fixture.h"

using ne2k_test::CardFixture;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Dword(ULONG v) {
    return Bytes{(std::uint8_t)v, (std::uint8_t)(v >> 8), (std::uint8_t)(v >> 16),
                 (std::uint8_t)(v >> 24)};
}

const ULONG kSupported[31] = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111,
    0x00010113, 0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B,
    0x0001010D, 0x0001010C, 0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102,
    0x00020103, 0x00020104, 0x00020105, 0x01010101, 0x01010102, 0x01010103, 0x01010104,
    0x01020101, 0x01020102, 0x01020103};

const UCHAR kPermanent[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
const UCHAR kStation[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

// A record with a distinct value in every field an answer comes from.
void Distinguish(AdapterRecord& r) {
    std::memcpy(r.PermanentAddress, kPermanent, 6);
    std::memcpy(r.StationAddress, kStation, 6);
    r.LookaheadSize = 100;
    r.XmitOkCount = 0x01010101;
    r.RcvOkCount = 0x02020202;
    r.XmitErrorCount = 0x03030303;
    r.CrcErrorCount = 0x04040404;
    r.MissedPacketCount = 0x05050505;
    r.AlignmentErrorCount = 0x06060606;
    r.OneCollisionCount = 0x07070707;
    r.MoreCollisionsCount = 0x08080808;
    r.MaxMulticastList = 5;
    r.PacketFilter = 0x0B;
}

struct Answer {
    ULONG oid;
    Bytes bytes;
};

std::vector<Answer> ExpectedAnswers() {
    Bytes list;
    for (ULONG oid : kSupported) {
        Bytes d = Dword(oid);
        list.insert(list.end(), d.begin(), d.end());
    }
    const char* text = "Novell 2000 Adapter.";
    Bytes description(text, text + 21);  // with the terminating zero
    return {
        {0x00010101, list},
        {0x00010102, Dword(0)},
        {0x00010103, Dword(0)},
        {0x00010104, Dword(0)},
        {0x00010105, Dword(238)},
        {0x00010106, Dword(1500)},
        {0x00010111, Dword(1514)},
        {0x00010113, Dword(0x0F)},
        {0x00010107, Dword(100000)},
        {0x00010108, Dword(3072)},
        {0x00010109, Dword(5120)},
        {0x0001010A, Dword(256)},
        {0x0001010B, Dword(256)},
        {0x0001010D, description},
        {0x0001010C, Bytes{0x12, 0x34, 0x56, 0x00}},
        {0x00010110, Bytes{0x00, 0x03}},
        {0x0001010F, Dword(100)},
        {0x00020101, Dword(0x01010101)},
        {0x00020102, Dword(0x02020202)},
        {0x00020103, Dword(0x03030303)},
        {0x00020104, Dword(0x04040404)},
        {0x00020105, Dword(0x05050505)},
        {0x01010101, Bytes(kPermanent, kPermanent + 6)},
        {0x01010102, Bytes(kStation, kStation + 6)},
        {0x01010104, Dword(5)},
        {0x01020101, Dword(0x06060606)},
        {0x01020102, Dword(0x07070707)},
        {0x01020103, Dword(0x08080808)},
    };
}

}  // namespace

TEST(QueryInformation, SupportedListIsTheTableInOrder) {
    ASSERT_EQ(SUPPORTED_OID_COUNT, 31);
    for (int i = 0; i < 31; i++) EXPECT_EQ(Ne2000SupportedOids[i], kSupported[i]) << i;
}

// Every answered OID: the exact bytes, nothing written past them, the
// written count added to, the needed count untouched; one byte short of the
// answer: the needed count, nothing written. No port is touched.
TEST(QueryInformation, EveryAnswerExactlyAndTheLengthRule) {
    CardFixture f;
    AdapterRecord& r = f.adapter();
    Distinguish(r);
    f.StartTrace();
    std::vector<Answer> answers = ExpectedAnswers();
    ASSERT_EQ(answers.size(), 28u);  // 31 listed, 3 of them not answered
    for (const Answer& a : answers) {
        SCOPED_TRACE(testing::Message() << std::hex << a.oid);
        Bytes buffer(200, 0xCC);
        ULONG written = 5, needed = 77;
        ASSERT_EQ(Ne2000QueryInformation(&r, a.oid, buffer.data(), (ULONG)buffer.size(), &written,
                                         &needed),
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + a.bytes.size()), a.bytes);
        EXPECT_EQ(Bytes(buffer.begin() + a.bytes.size(), buffer.end()),
                  Bytes(200 - a.bytes.size(), 0xCC));
        EXPECT_EQ(written, 5 + a.bytes.size());
        EXPECT_EQ(needed, 77u);

        // Exactly the answer's length is enough.
        Bytes exact(a.bytes.size(), 0xCC);
        written = 0;
        EXPECT_EQ(Ne2000QueryInformation(&r, a.oid, exact.data(), (ULONG)exact.size(), &written,
                                         &needed),
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(exact, a.bytes);

        Bytes short_buffer(a.bytes.size() - 1, 0xCC);
        written = 5;
        needed = 77;
        EXPECT_EQ(Ne2000QueryInformation(&r, a.oid, short_buffer.data(), (ULONG)short_buffer.size(),
                                         &written, &needed),
                  NDIS_STATUS_INVALID_LENGTH);
        EXPECT_EQ(needed, a.bytes.size());
        EXPECT_EQ(written, 5u);
        EXPECT_EQ(short_buffer, Bytes(a.bytes.size() - 1, 0xCC));
    }
    EXPECT_TRUE(f.Trace().empty());
}

// The edge cases one by one, as a caller meets them.
TEST(QueryInformation, BufferSizesAtTheEdges) {
    struct Case {
        ULONG oid;
        ULONG length;
        NDIS_STATUS status;
        ULONG written;  // from 0
        ULONG needed;   // from 0
    };
    CardFixture f;
    AdapterRecord& r = f.adapter();
    Distinguish(r);
    for (const Case& c : {Case{0x00010101, 124, NDIS_STATUS_SUCCESS, 124, 0},
                          Case{0x00010101, 120, NDIS_STATUS_INVALID_LENGTH, 0, 124},
                          Case{0x0001010D, 20, NDIS_STATUS_INVALID_LENGTH, 0, 21},
                          Case{0x0001010D, 21, NDIS_STATUS_SUCCESS, 21, 0},
                          Case{0x0001010D, 64, NDIS_STATUS_SUCCESS, 21, 0},
                          Case{0x00010110, 2, NDIS_STATUS_SUCCESS, 2, 0},
                          Case{0x00010110, 1, NDIS_STATUS_INVALID_LENGTH, 0, 2},
                          Case{0x01010101, 5, NDIS_STATUS_INVALID_LENGTH, 0, 6},
                          Case{0x00020101, 3, NDIS_STATUS_INVALID_LENGTH, 0, 4},
                          Case{0x00020101, 0, NDIS_STATUS_INVALID_LENGTH, 0, 4}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.oid << " len " << std::dec << c.length);
        Bytes buffer(c.length + 1, 0xCC);
        ULONG written = 0, needed = 0;
        EXPECT_EQ(Ne2000QueryInformation(&r, c.oid, buffer.data(), c.length, &written, &needed),
                  c.status);
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(needed, c.needed);
        EXPECT_EQ(buffer.back(), 0xCC);
    }
}

// Listed but not answered, and not listed at all: INVALID_OID with both
// counts untouched.
TEST(QueryInformation, UnansweredOidsTouchNeitherCount) {
    CardFixture f;
    AdapterRecord& r = f.adapter();
    Distinguish(r);
    for (ULONG oid : {0x0001010Eu, 0x00010112u, 0x01010103u, 0x00000000u, 0x00010114u,
                      0x00020106u, 0x01010105u, 0x01020104u, 0xFFFFFFFFu}) {
        Bytes buffer(256, 0xCC);
        ULONG written = 5, needed = 77;
        EXPECT_EQ(Ne2000QueryInformation(&r, oid, buffer.data(), 256, &written, &needed),
                  NDIS_STATUS_INVALID_OID)
            << std::hex << oid;
        EXPECT_EQ(written, 5u);
        EXPECT_EQ(needed, 77u);
        EXPECT_EQ(buffer, Bytes(256, 0xCC));
    }
}

// Through the wrapper on adapters that came up on real boards: the space
// answers do not follow the RAM size, and the addresses are the card's.
TEST(QueryInformation, AnswersOnBroughtUpAdapters) {
    for (hw::BoardKind kind : {hw::BoardKind::Isa8, hw::BoardKind::Isa16, hw::BoardKind::PcCard}) {
        SCOPED_TRACE(int(kind));
        CardFixture f(kind);
        ASSERT_EQ(f.BringUp(), NDIS_STATUS_SUCCESS);
        sim::Adapter& a = f.wrapper_adapter();
        EXPECT_EQ(a.query_ulong(OID_GEN_RECEIVE_BUFFER_SPACE), 5120u);
        EXPECT_EQ(a.query_ulong(OID_GEN_TRANSMIT_BUFFER_SPACE), 3072u);
        EXPECT_EQ(a.query_ulong(OID_802_3_MAXIMUM_LIST_SIZE), 8u);
        EXPECT_EQ(a.query_ulong(OID_GEN_CURRENT_LOOKAHEAD), 238u);
        EXPECT_EQ(a.query_ulong(OID_GEN_XMIT_OK), 0u);
        EXPECT_EQ(a.query_ulong(OID_GEN_RCV_OK), 0u);

        const auto& station = f.card().config().station;
        Bytes address(6, 0);
        ULONG written = 0;
        EXPECT_EQ(a.query(OID_802_3_PERMANENT_ADDRESS, address.data(), 6, &written),
                  NDIS_STATUS_SUCCESS);
        EXPECT_EQ(address, Bytes(station.begin(), station.end()));
        EXPECT_EQ(written, 6u);
        Bytes vendor(4, 0xCC);
        EXPECT_EQ(a.query(OID_GEN_VENDOR_ID, vendor.data(), 4), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(vendor, (Bytes{station[0], station[1], station[2], 0}));
        for (const std::string& p : f.host().problems()) ADD_FAILURE() << p;
    }
}
