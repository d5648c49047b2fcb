// Tests of the serialized form of a setting and of single values: the pinned bytes of a stored
// setting, the kinds a round trip turns into others, failures in the middle of a write or a
// read, merging assignment, and text outside ASCII through every path.
// Thread rule: single-threaded tests.
#include <gtest/gtest.h>

#include <string>

#include "setting/cfg_SettingSkip.h"
#include "tests/setting/SettingTestCategory.h"
#include "tests/support/Bytes.h"
#include "tests/support/Caught.h"

using namespace settingtest;
using OS::x_wstring;
using testsupport::Bytes;
using testsupport::FromHex;

namespace {

CVar RoundTrip(const CVar& v) {
    CIPCMsgBuffer buf(1024, false);
    CCfgSettingCategoryBase::CVarToBuffer(v, buf);
    CCfgSettingSkip::SkipValue(buf);  // steps over exactly the bytes that the decoding reads
    EXPECT_EQ(buf.GetCurrentSize(), 0u);
    buf.Rewind();
    CVar out;
    CCfgSettingCategoryBase::CVarFromBuffer(out, buf);
    EXPECT_EQ(buf.GetCurrentSize(), 0u);
    return out;
}

}  // namespace

// The stored form of a setting: these bytes are kept in databases and must never change.
TEST(SettingFormat, GoldenBytesOfAMixedSetting) {
    CTestCategory s;
    s.AddFieldValue(x_wstring(L"When"), CVar::FromDate(45351.0 + 49559.0 / 86400.0));
    s.AddFieldValue(x_wstring(L"Name"), CVar(L"\u00e9"));
    s.AddFieldValue(x_wstring(L"Small"), CVar(static_cast<short>(-2)));
    s.AddFieldValue(x_wstring(L"Count"), CVar(7));
    s.AddFieldValue(x_wstring(L"Flag"), CVar(true));
    s.AddFieldValue(x_wstring(L"Empty"), CVar());
    s.AddFieldValue(x_wstring(L"UI4"), CVar::FromUI4(5));
    s.AddFieldValue(x_wstring(L"Blob"), CVar::FromBytes(std::vector<uint8_t>{0x01, 0xFF}));

    CIPCMsgBuffer buf(1024, false);
    s >> buf;
    const std::string expected =
        "01 08 00 00 00 "                                               // dirty, 8 fields
        "04 00 00 00 42 6c 6f 62 11 20 02 00 00 00 01 ff "              // Blob: 2 bytes
        "05 00 00 00 43 6f 75 6e 74 03 00 07 00 00 00 "                 // Count: int 7
        "05 00 00 00 45 6d 70 74 79 00 00 "                             // Empty: tag alone
        "04 00 00 00 46 6c 61 67 0b 00 01 "                             // Flag: true
        "04 00 00 00 4e 61 6d 65 08 00 02 00 00 00 c3 a9 "              // Name: "é"
        "05 00 00 00 53 6d 61 6c 6c 02 00 fe ff "                       // Small: -2
        "03 00 00 00 55 49 34 13 00 05 00 00 00 "                       // UI4: tag 19, int 5
        "04 00 00 00 57 68 65 6e 07 00 "                                // When: date
        "3b 00 00 00 2d 00 00 00 0d 00 00 00 1d 00 00 00 01 00 00 00 "  // 59 s, 45 min, 13 h, 29th,
                                                                        // Feb
        "7c 00 00 00 04 00 00 00 3b 00 00 00 00 00 00 00";              // 2024, Thu, day 59, no DST
    EXPECT_EQ(Bytes(buf), FromHex(expected));

    // Reading the pinned bytes back gives the same fields, with VT_UI4 turned into VT_I4.
    CTestCategory back;
    back << CIPCMsgBuffer::FromBytes(buf.GetBuffer(), buf.BytesUsed());
    s.AddFieldValue(x_wstring(L"UI4"), CVar(5));
    EXPECT_EQ(Fields(back), Fields(s));
    EXPECT_TRUE(back.IsDirty());

    // Walking over the setting ends where its bytes end; cut short anywhere, the walk throws
    // what the decoding throws.
    CCfgSettingSkip::SkipSetting(buf);
    EXPECT_EQ(buf.GetCurrentSize(), 0u);
    for (unsigned long size = 0; size < buf.BytesUsed(); ++size) {
        const auto cut = CIPCMsgBuffer::FromBytes(buf.GetBuffer(), size);
        CTestCategory partial;
        const int decoding =
            testsupport::CaughtCode<CIPCMsgBufferException>([&] { partial << cut; });
        cut.Rewind();
        EXPECT_EQ(testsupport::CaughtCode<CIPCMsgBufferException>(
                      [&] { CCfgSettingSkip::SkipSetting(cut); }),
                  decoding)
            << "cut at " << size;
    }
}

TEST(SettingFormat, ValueKindsAfterARoundTrip) {
    EXPECT_EQ(RoundTrip(CVar::FromUI2(32767)), CVar(static_cast<short>(32767)));
    EXPECT_EQ(RoundTrip(CVar::FromUI4(2147483647u)), CVar(2147483647));
    EXPECT_EQ(RoundTrip(CVar::FromInt(-9)), CVar(-9));
    EXPECT_EQ(RoundTrip(CVar::FromLPSTR("narrow")), CVar(L"narrow"));

    // 64-bit integers and doubles: 8 bytes little-endian after the tag (pinned: stored format).
    CIPCMsgBuffer buf(1024, false);
    CCfgSettingCategoryBase::CVarToBuffer(CVar::FromI8(9000000000123), buf);
    CCfgSettingCategoryBase::CVarToBuffer(CVar::FromR8(0.1), buf);
    EXPECT_EQ(Bytes(buf), FromHex("14 00 7b 90 cd 79 2f 08 00 00 05 00 9a 99 99 99 99 99 b9 3f"));
    EXPECT_EQ(RoundTrip(CVar::FromI8(-9000000000123)), CVar::FromI8(-9000000000123));
    EXPECT_EQ(RoundTrip(CVar::FromR8(-0.1)), CVar::FromR8(-0.1));

    // Kinds without a payload travel as their tag alone and read back as an empty value.
    buf.ResetBuffer();
    CCfgSettingCategoryBase::CVarToBuffer(CVar::FromR4(2.5f), buf);
    CCfgSettingCategoryBase::CVarToBuffer(CVar::Null(), buf);
    EXPECT_EQ(Bytes(buf), FromHex("04 00 01 00"));
    EXPECT_EQ(RoundTrip(CVar::FromR4(2.5f)), CVar());
    // ... and leave a value that is read into as it was.
    CVar keep(L"kept");
    CCfgSettingCategoryBase::CVarFromBuffer(keep, buf);
    EXPECT_EQ(keep, CVar(L"kept"));

    // An empty byte array is its tag and a count of 0.
    buf.ResetBuffer();
    CCfgSettingCategoryBase::CVarToBuffer(CVar::FromBytes(std::vector<uint8_t>{}), buf);
    EXPECT_EQ(Bytes(buf), FromHex("11 20 00 00 00 00"));
}

TEST(SettingFormat, DatesKeepTheSecondAndLoseMilliseconds) {
    const CVar back = RoundTrip(CVar::FromDate(45351.0 + (49559.0 + 0.4) / 86400.0));
    ASSERT_EQ(back.vt(), VT_DATE);
    EXPECT_NEAR(back.GetDate(), 45351.0 + 49559.0 / 86400.0, 1e-9);
    const DATE old = -36522.0 + 0.25;  // 1800-01-01 06:00:00, before the automation epoch
    EXPECT_NEAR(RoundTrip(CVar::FromDate(old)).GetDate(), old, 1e-9);
    // A date outside the calendar's years cannot be written: the variant conversion error.
    CIPCMsgBuffer buf(1024, false);
    EXPECT_THROW(CCfgSettingCategoryBase::CVarToBuffer(CVar::FromDate(-700000.0), buf),
                 CVarConversionException);

    // A hostile payload (year and month near INT_MAX, found by the fuzzer) reads as the date
    // 0.0 and consumes exactly its 36 bytes.
    CIPCMsgBuffer hostile(1024, false);
    hostile << static_cast<unsigned short>(VT_DATE);
    const int fields[9] = {0, 0, 0, 1, 0x7fffffff, 0x7ffffff9, 0, 0, 0};
    for (int f : fields) hostile << f;
    CVar read(5);
    CCfgSettingCategoryBase::CVarFromBuffer(read, hostile);
    EXPECT_EQ(read, CVar::FromDate(0.0));
    EXPECT_EQ(hostile.GetCurrentSize(), 0u);
}

// Assignment and reading merge fields into the target; a failure part-way keeps what was done.
TEST(SettingAssignment, MergesFieldsAndStopsWhereAWriteOrReadFails) {
    CTestCategory target;
    target.AddFieldValue(x_wstring(L"A"), CVar(L"target A"));
    target.AddFieldValue(x_wstring(L"B"), CVar(L"target B"));
    CTestCategory src(L"ZOLT_SUB_OTHER");
    src.AddFieldValue(x_wstring(L"a"), CVar(L"source A"));
    src.AddFieldValue(x_wstring(L"C"), CVar(3));
    src.ResetDirtyFlag(false);
    target = src;  // the target's spelling "A" stays; the flag and subject are the source's
    EXPECT_EQ(Fields(target),
              (FieldList{{L"A", CVar(L"source A")}, {L"B", CVar(L"target B")}, {L"C", CVar(3)}}));
    EXPECT_FALSE(target.IsDirty());
    EXPECT_EQ(target.GetSubjectID().ToString(), L"ZOLT_SUB_OTHER");

    // Between categories, through the base: the fields merge, the subject stays.
    CCfgSettingVServerEnvironment env(L"ZOLT_SUB_CFG_VRS_ENV");
    src.ResetDirtyFlag(true);
    env.ResetDirtyFlag(false);
    static_cast<CCfgSettingCategoryBase&>(env) = src;
    CVar c;
    EXPECT_TRUE(env.GetFieldValue(x_wstring(L"c"), c));
    EXPECT_TRUE(env.IsDirty());
    EXPECT_EQ(env.GetSubjectID().ToString(), L"ZOLT_SUB_CFG_VRS_ENV");

    // A value that cannot be written keeps its tag in the buffer; an assignment whose source
    // cannot be written changes nothing in the target.
    CIPCMsgBuffer buf(1024, false);
    EXPECT_EQ(testsupport::CaughtCode<CVarConversionException>(
                  [&] { CCfgSettingCategoryBase::CVarToBuffer(CVar::FromUI2(40000), buf); }),
              CVarConversionException::OVERFLOW_ERROR);
    EXPECT_EQ(Bytes(buf), FromHex("12 00"));
    const FieldList before = Fields(target);
    target.ResetDirtyFlag(false);
    src.AddFieldValue(x_wstring(L"Z"), CVar::FromUI4(3000000000u));
    EXPECT_THROW(target = src, CVarConversionException);
    EXPECT_EQ(Fields(target), before);
    EXPECT_FALSE(target.IsDirty());

    // An empty setting read merges nothing; a short buffer stores the fields read so far and
    // never applies the buffer's flag.
    buf.ResetBuffer();
    CTestCategory() >> buf;
    EXPECT_EQ(Bytes(buf), FromHex("00 00 00 00 00"));
    target << buf;
    EXPECT_EQ(Fields(target), before);
    CTestCategory two;
    two.AddFieldValue(x_wstring(L"D"), CVar(1));
    two.AddFieldValue(x_wstring(L"E"), CVar(L"two"));
    two.ResetDirtyFlag(false);
    buf.ResetBuffer();
    two >> buf;
    EXPECT_THROW(target << CIPCMsgBuffer::FromBytes(buf.GetBuffer(), buf.BytesUsed() - 1),
                 CIPCMsgBufferException);
    FieldList partial = before;
    partial.emplace_back(L"D", CVar(1));
    EXPECT_EQ(Fields(target), partial);
    EXPECT_TRUE(target.IsDirty());
}

TEST(SettingText, NonAsciiSurvivesWritersAndReaders) {
    // Accents, CJK and a character outside the Basic Multilingual Plane.
    const x_wstring text = L"Gr\u00fc\u00dfe \u65e5\u672c\u8a9e \U0001D11E";
    const std::string utf8 =
        "Gr\xc3\xbc\xc3\x9f"
        "e \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xf0\x9d\x84\x9e";

    CTestCategory s;
    ASSERT_TRUE(s.AddFieldValue(kName, utf8.c_str()));  // narrow text is UTF-8
    EXPECT_EQ(s.ReadFieldValue(kName), CVar(text));
    ExpectBufferProtocol<char>([&](char* b, int* n) { return s.GetFieldValue(kName, b, n); },
                               std::vector<char>(utf8.c_str(), utf8.c_str() + utf8.size() + 1));
}
