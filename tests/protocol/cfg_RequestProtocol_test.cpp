// Pins the bytes of the configuration service's requests, relays and notification bodies, and
// the readers' refusals of short, lying or foreign messages.
#include "protocol/cfg_RequestProtocol.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Bytes.h"
#include "tests/support/Caught.h"

namespace P = NS_CfgProtocol;
using testsupport::Bytes;
using testsupport::FromHex;

namespace {

// A stand-in setting: writes and reads one int.
class CIntStreamable : public CStreamable {
  public:
    explicit CIntStreamable(int v = 0) : m_v(v) {}
    void operator<<(const CIPCMsgBuffer& buf) override { buf >> m_v; }
    void operator>>(CIPCMsgBuffer& buf) const override { buf << m_v; }
    int m_v;
};

P::CKey Key() {
    return P::CKey{L"S", CSubjectID(L"P"), CSubjectID(L"X"), L"C"};
}

// Each text item: its length (4 bytes, little-endian), then its characters.
const std::string kKeyHex = "01000000 53 01000000 50 01000000 58 01000000 43 ";

}  // namespace

TEST(RequestProtocol, RequestsHaveTheirGoldenBytes) {
    CIPCMsgBuffer query;
    P::WriteKeyRequest(query, P::kMsgQuery, Key());
    EXPECT_EQ(Bytes(query), FromHex("2d010000 " + kKeyHex));

    CIPCMsgBuffer modify;
    P::WriteModifyRequest(modify, P::kMsgModifyBulk, Key(), CIntStreamable(7), 2, true);
    EXPECT_EQ(Bytes(modify), FromHex("59010000 " + kKeyHex + "07000000 02000000 01"));

    // The apply-all modify: no subjects, the notify flag before the setting.
    CIPCMsgBuffer applyAll;
    P::WriteApplyAllRequest(applyAll, L"S", L"C", false, CIntStreamable(-1));
    EXPECT_EQ(Bytes(applyAll), FromHex("39010000 01000000 53 01000000 43 00 ffffffff"));

    CIPCMsgBuffer queryAll;
    P::WriteQueryAllRequest(queryAll, L"S", L"C", {L"A", L"BB"});
    EXPECT_EQ(Bytes(queryAll),
              FromHex("3b010000 01000000 53 01000000 43 02000000 01000000 41 02000000 4242"));

    CIPCMsgBuffer status;
    P::WriteDBStatusRequest(status);
    EXPECT_EQ(Bytes(status), FromHex("55010000"));

    CIPCMsgBuffer info;
    P::WriteServiceInfoRequest(info);
    EXPECT_EQ(Bytes(info), FromHex("85030000"));
    CIPCMsgBuffer infoReply;
    P::WriteServiceInfoReply(infoReply, {L"1", L"H", L"D", L"P", {L"S"}});
    EXPECT_EQ(Bytes(infoReply), FromHex("86030000 00000000 01000000 31 01000000 48 01000000 44 "
                                        "01000000 50 01000000 01000000 53"));
    CIPCMsgBuffer product, productReply;
    P::WriteProductValuesRequest(product);
    P::WriteProductValuesReply(productReply, {L"12.0", L"", L"15", L"271", L""});
    EXPECT_EQ(Bytes(product), FromHex("87030000"));
    EXPECT_EQ(Bytes(productReply), FromHex("88030000 00000000 04000000 31322e30 00000000 "
                                           "02000000 3135 03000000 323731 00000000"));
    // The reply of an earlier release, without the mail-server values, still reads.
    CIPCMsgBuffer earlier;
    earlier << 904 << 0 << OS::x_wstring(L"12.0") << OS::x_wstring() << OS::x_wstring(L"15");
    P::CProductValues values{L"", L"", L"", L"stale", L"stale"};
    ASSERT_TRUE(P::ReadProductValuesReply(earlier, values));
    EXPECT_EQ(values.patchBuild + L"/" + values.serverRole + values.mailVersion, L"15/");
    // A server count beyond the limit is refused before anything is allocated for it.
    CIPCMsgBuffer lyingInfo;
    lyingInfo << 902 << 0 << OS::x_wstring() << OS::x_wstring() << OS::x_wstring()
              << OS::x_wstring() << 0x7fffffff;
    P::CServiceInfo read;
    EXPECT_EQ(testsupport::CaughtCode<CIPCMsgBufferException>(
                  [&] { P::ReadServiceInfoReply(lyingInfo, read); }),
              CIPCMsgBufferException::BAD_LENGTH);

    // 906: seven counters (each low, high word), the bucket count, then per id its counters and
    // its 16 buckets; a lying id count or another bucket count is refused.
    P::CMetricsSnapshot metrics;
    metrics.published = 0x100000002ull;
    metrics.requests.push_back({301, 3, 1, 7, {2}});
    metrics.requests[0].buckets[15] = 1;
    CIPCMsgBuffer metricsReply;
    P::WriteMetricsReply(metricsReply, metrics);
    std::string zeros;
    for (int i = 0; i < 14; ++i) zeros += "00000000 00000000 ";
    EXPECT_EQ(Bytes(metricsReply),
              FromHex("8a030000 00000000 02000000 01000000 " + zeros.substr(0, 6 * 18) +
                      "10000000 01000000 2d010000 03000000 00000000 01000000 00000000 07000000 "
                      "00000000 02000000 00000000 " +
                      zeros + "01000000 00000000"));
    P::CMetricsSnapshot back;
    ASSERT_TRUE(P::ReadMetricsReply(metricsReply, back));
    EXPECT_EQ(back.published, metrics.published);
    EXPECT_EQ(back.requests[0].buckets[15], 1u);
    for (int lie : {0, 1}) {
        CIPCMsgBuffer lying;
        lying << 906 << 0;
        for (int i = 0; i < 14; ++i) lying << 0;
        lying << (lie ? 17 : 16) << (lie ? 0 : 0x7fffffff);
        EXPECT_EQ(testsupport::CaughtCode<CIPCMsgBufferException>(
                      [&] { P::ReadMetricsReply(lying, back); }),
                  CIPCMsgBufferException::BAD_LENGTH);
    }
    // Backup and restore: the path; the copy's size, or the problem.
    CIPCMsgBuffer backup, done, refused;
    P::WriteFileOpRequest(backup, P::kMsgBackupDatabase, L"/b");
    EXPECT_EQ(Bytes(backup), FromHex("8b030000 02000000 2f62"));
    P::WriteFileOpReply(done, P::kMsgBackupDatabaseReply, {true, 5, L""});
    EXPECT_EQ(Bytes(done), FromHex("8c030000 00000000 0500000000000000"));
    P::WriteFileOpReply(refused, P::kMsgRestoreDatabaseReply, {false, 0, L"x"});
    EXPECT_EQ(Bytes(refused), FromHex("8e030000 ffffffff 01000000 78"));

    // A relayed request: the new id, then every written byte, also those already read. (Which
    // id is relayed as which is pinned by the remote service's test.)
    CIPCMsgBuffer received;
    received << 7 << OS::x_wstring(L"Q");
    int already = 0;
    received >> already;
    CIPCMsgBuffer relayed;
    P::BuildRelayRequest(received, 2013, relayed);
    EXPECT_EQ(Bytes(relayed), FromHex("dd070000 07000000 01000000 51"));
}

// A query-all count that is negative, or larger than the bytes behind it could hold, is refused
// before anything is read or kept for it. (The other readers are run by the handler tests, on
// the bytes pinned above.)
TEST(RequestProtocol, QueryAllReaderDoesNotTrustTheCount) {
    OS::x_wstring server, category;
    std::vector<OS::x_wstring> subjects;
    for (int count : {-1, 0x7fffffff}) {
        CIPCMsgBuffer lying;
        lying << OS::x_wstring(L"S") << OS::x_wstring(L"C") << count << OS::x_wstring(L"A");
        EXPECT_EQ(testsupport::CaughtCode<CIPCMsgBufferException>(
                      [&] { P::ReadQueryAllRequest(lying, server, category, subjects); }),
                  CIPCMsgBufferException::BAD_LENGTH)
            << count;
    }
}

// (Replies that succeed are read by the service tests.)
TEST(RequestProtocol, RepliesAreJudgedByIdAndResult) {
    CIPCMsgBuffer failed = CIPCMsgBuffer() << 302 << -1;
    EXPECT_FALSE(P::ReadReplyOk(failed, 302));

    // A wrong id stops the reading: the result is not consumed.
    CIPCMsgBuffer wrongId;
    wrongId << 304 << 0;
    EXPECT_FALSE(P::ReadReplyOk(wrongId, 302));
    EXPECT_EQ(wrongId.GetCurrentSize(), 4u);

    CIPCMsgBuffer empty;
    EXPECT_THROW(P::ReadReplyOk(empty, 302), CIPCMsgBufferException);

    bool status = true;
    CIPCMsgBuffer down;
    down << 342 << 0;
    EXPECT_TRUE(P::ReadDBStatusReply(down, status));
    EXPECT_FALSE(status);
    CIPCMsgBuffer other;
    other << 302 << 1;
    EXPECT_FALSE(P::ReadDBStatusReply(other, status));
}

TEST(RequestProtocol, NotificationBodyIsPinnedAndForeignBodiesAreRefused) {
    CIPCMsgBuffer body;
    P::WriteNotificationBody(body, CSubjectID(L"P"), L"S", P::kChangeWritten);
    EXPECT_EQ(Bytes(body), FromHex("ffffffff 01000000 50 01000000 53 03000000"));
    P::CNotification n;
    ASSERT_TRUE(P::ReadNotificationBody(body, n));
    EXPECT_EQ(n.policy.ToString(), L"P");
    EXPECT_EQ(n.server, L"S");
    EXPECT_EQ(n.changeKind, 3);

    CIPCMsgBuffer foreign;
    foreign << 5u << OS::x_wstring(L"P") << OS::x_wstring(L"S") << 3;
    P::CNotification untouched;
    untouched.changeKind = 99;
    EXPECT_FALSE(P::ReadNotificationBody(foreign, untouched));
    EXPECT_EQ(untouched.changeKind, 99);

    CIPCMsgBuffer truncated;
    truncated << P::kNotificationMark << OS::x_wstring(L"P");
    EXPECT_FALSE(P::ReadNotificationBody(truncated, untouched));
    EXPECT_EQ(untouched.changeKind, 99);
}
