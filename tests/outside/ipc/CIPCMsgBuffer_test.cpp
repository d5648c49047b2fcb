// Tests of the message buffer: the exact stored bytes of every item kind, reading them back, and
// the refusals of truncated or hostile input (exception code, read position left where it was).
// Thread rule: single-threaded.
#include "outside/ipc/CIPCMsgBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

#include "outside/ipc/CSubjectID.h"
#include "tests/support/Caught.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes AllBytes(const CAccBuffer& buf) {
    return Bytes(buf.GetBuffer(), buf.GetBuffer() + buf.BytesUsed());
}

CIPCMsgBuffer FromBytes(const Bytes& b) {
    return CIPCMsgBuffer::FromBytes(b.data(), b.size());
}

using Read = std::function<void()>;

// Runs `read` on `buf`, expecting a CIPCMsgBufferException with `code` and no move of the read
// position.
template <typename F>
void ExpectRefused(const CIPCMsgBuffer& buf, int code, F read) {
    const unsigned long before = buf.GetCurrentSize();
    try {
        read();
        ADD_FAILURE() << "no exception";
    } catch (const CIPCMsgBufferException& e) {
        EXPECT_EQ(code, e.GetErrorCode());
    }
    EXPECT_EQ(before, buf.GetCurrentSize());
}

TEST(IPCMsgBufferEncoding, IntegersAndBooleansAreLittleEndianAtTheirWidth) {
    CIPCMsgBuffer buf;
    buf << 0x01020304 << -2 << 0xFFFFFFFEu << static_cast<short>(0x0102) << static_cast<short>(-2)
        << static_cast<unsigned short>(0xABCD) << true << false;
    const Bytes expected = {0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF,
                            0xFF, 0xFF, 0x02, 0x01, 0xFE, 0xFF, 0xCD, 0xAB, 0x01, 0x00};
    EXPECT_EQ(expected, AllBytes(buf));

    int i1 = 0, i2 = 0;
    unsigned int u = 0;
    short s1 = 0, s2 = 0;
    unsigned short us = 0;
    bool b1 = false, b2 = true;
    buf >> i1 >> i2 >> u >> s1 >> s2 >> us >> b1 >> b2;
    EXPECT_EQ(std::make_tuple(0x01020304, -2, 0xFFFFFFFEu, short(0x0102), short(-2),
                              static_cast<unsigned short>(0xABCD), true, false),
              std::make_tuple(i1, i2, u, s1, s2, us, b1, b2));
    EXPECT_EQ(0u, buf.GetCurrentSize());

    // Any non-zero byte reads as true.
    const CIPCMsgBuffer other = FromBytes({0x02, 0x80});
    bool x = false, y = false;
    other >> x >> y;
    EXPECT_TRUE(x && y);
}

TEST(IPCMsgBufferEncoding, StringsAreByteCountAndUtf8) {
    CIPCMsgBuffer buf;
    // e-acute (2 bytes), euro sign (3 bytes), U+1F600 outside the Basic Multilingual Plane (4).
    const OS::x_wstring wide = L"A\u00E9\u20AC\U0001F600";
    buf << OS::x_wstring(L"AB") << OS::x_wstring() << wide;
    const Bytes expected = {0x02, 0x00, 0x00, 0x00, 'A',  'B',  0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
                            0x00, 0x00, 'A',  0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
    EXPECT_EQ(expected, AllBytes(buf));

    OS::x_wstring a, b = L"not cleared", c;
    buf >> a >> b >> c;
    EXPECT_EQ(L"AB", a);
    EXPECT_EQ(L"", b);
    EXPECT_EQ(wide, c);
    EXPECT_EQ(0u, buf.GetCurrentSize());

    // A subject travels as one such item (pinned in the request layouts) and matches exactly.
    EXPECT_TRUE(CSubjectID(L"ZOLT_SUB_X").Match(CSubjectID(L"ZOLT_SUB_X")));
    EXPECT_FALSE(CSubjectID(L"ZOLT_SUB_X").Match(CSubjectID(L"zolt_sub_x")));
}

TEST(IPCMsgBufferEncoding, StringVectorNestedBufferAndRawBytes) {
    CIPCMsgBuffer nested;
    nested << 1;
    const unsigned char raw[3] = {0xAA, 0x00, 0xBB};
    CIPCMsgBuffer buf;
    buf << std::vector<OS::x_wstring>{L"a", L""} << std::vector<OS::x_wstring>{} << nested;
    buf.Put(raw, 3);
    buf << CIPCMsgBuffer();
    const Bytes expected = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 'a',  0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01,
                            0x00, 0x00, 0x00, 0xAA, 0x00, 0xBB, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(expected, AllBytes(buf));

    std::vector<OS::x_wstring> v1, v2 = {L"old"};
    CIPCMsgBuffer inner, empty;
    empty << 7;
    buf >> v1 >> v2 >> inner;
    unsigned char* block = nullptr;
    buf.Get(block, 3);
    EXPECT_EQ(0, std::memcmp(block, raw, 3));
    buf.Free(block);
    buf >> empty;
    EXPECT_EQ((std::vector<OS::x_wstring>{L"a", L""}), v1);
    EXPECT_TRUE(v2.empty());
    EXPECT_EQ(Bytes({0x01, 0x00, 0x00, 0x00}), AllBytes(inner));
    int one = 0;
    inner >> one;  // the nested buffer reads from its own start
    EXPECT_EQ(1, one);
    EXPECT_EQ(0u, empty.BytesUsed());
    EXPECT_EQ(0u, buf.GetCurrentSize());

    // A buffer appended to itself nests what it held before.
    CIPCMsgBuffer self;
    self << static_cast<short>(3);
    self << self;
    EXPECT_EQ(Bytes({0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00}), AllBytes(self));
}

TEST(IPCMsgBufferRefusals, ReadingPastTheEndLeavesThePositionAlone) {
    const CIPCMsgBuffer buf = FromBytes({0x01, 0x02, 0x03});
    int i = 0;
    unsigned int u = 0;
    OS::x_wstring s;
    std::vector<OS::x_wstring> v;
    CIPCMsgBuffer nested;
    unsigned char* block = nullptr;
    unsigned char out[4];
    for (const Read& read :
         {Read([&] { buf >> i; }), Read([&] { buf >> u; }), Read([&] { buf >> s; }),
          Read([&] { buf >> v; }), Read([&] { buf >> nested; }), Read([&] { buf.Get(block, 4); }),
          Read([&] { buf.GetInto(out, 4); })})
        ExpectRefused(buf, CIPCMsgBufferException::READ_PAST_END, read);
    EXPECT_EQ(nullptr, block);

    short sh = 0;
    bool b = false;
    buf >> sh >> b;  // what is there still reads
    EXPECT_EQ(0x0201, sh);
    ExpectRefused(buf, CIPCMsgBufferException::READ_PAST_END, [&] { buf >> b; });
    ExpectRefused(buf, CIPCMsgBufferException::READ_PAST_END, [&] { buf >> sh; });

    const CIPCMsgBuffer empty;
    ExpectRefused(empty, CIPCMsgBufferException::READ_PAST_END, [&] { empty >> b; });
    const auto e = testsupport::Caught<CIPCMsgBufferException>([&] { empty >> i; });
    ASSERT_TRUE(e);
    EXPECT_EQ(L"Read past the end of the message buffer: 4 bytes needed, 0 left", e->GetErrorMsg());
}

TEST(IPCMsgBufferRefusals, HostileCountsAreRefusedBeforeAllocating) {
    // 0xFFFFFFFF announced, two bytes present: an allocation of that size would fail differently.
    const CIPCMsgBuffer huge = FromBytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'});
    OS::x_wstring s = L"kept";
    std::vector<OS::x_wstring> v = {L"kept"};
    CIPCMsgBuffer nested;
    nested << 1;
    for (const Read& read :
         {Read([&] { huge >> s; }), Read([&] { huge >> v; }), Read([&] { huge >> nested; })})
        ExpectRefused(huge, CIPCMsgBufferException::BAD_LENGTH, read);
    EXPECT_EQ(L"kept", s);
    EXPECT_EQ(std::vector<OS::x_wstring>{L"kept"}, v);
    EXPECT_EQ(4u, nested.BytesUsed());

    // One byte short of the announced count.
    const CIPCMsgBuffer shortText = FromBytes({0x03, 0x00, 0x00, 0x00, 'a', 'b'});
    ExpectRefused(shortText, CIPCMsgBufferException::BAD_LENGTH, [&] { shortText >> s; });

    // A string count can be at most a quarter of the bytes left: exactly that many empty
    // strings read, one more is refused.
    CIPCMsgBuffer fits;
    fits << 3u << 0u << 0u << 0u;
    fits >> v;
    EXPECT_EQ(std::vector<OS::x_wstring>(3), v);
    CIPCMsgBuffer tooMany;
    tooMany << 4u << 0u << 0u << 0u;
    ExpectRefused(tooMany, CIPCMsgBufferException::BAD_LENGTH, [&] { tooMany >> v; });

    // A vector whose second element is cut short: nothing read, nothing changed.
    CIPCMsgBuffer cut;
    cut << 2u << OS::x_wstring(L"first") << 9u << 0u;
    v = {L"kept"};
    ExpectRefused(cut, CIPCMsgBufferException::BAD_LENGTH, [&] { cut >> v; });
    EXPECT_EQ(std::vector<OS::x_wstring>{L"kept"}, v);
}

}  // namespace
