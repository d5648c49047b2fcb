// Tests of the setting base class: field names, the dirty flag, the typed readers' buffer-length
// protocol and coercions, dates, defaults, enumeration, the throwing accessors and the
// exception's messages.
// Thread rule: single-threaded tests.
#include <gtest/gtest.h>

#include <cstring>

#include "outside/log/DebugLog.h"
#include "tests/setting/SettingTestCategory.h"
#include "tests/support/Caught.h"
#include "tests/support/LogText.h"

using namespace settingtest;
using OS::x_wstring;
using testsupport::Caught;
using testsupport::HasLine;

TEST(SettingFields, NamesIgnoreCaseKeepFirstSpellingAndSortWithoutCase) {
    CTestCategory s;
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"MixedCase"), CVar(1)));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"MIXEDCASE"), CVar(2)));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"beta"), CVar(3)));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"Alpha"), CVar(4)));
    EXPECT_EQ(Fields(s),
              (FieldList{{L"Alpha", CVar(4)}, {L"beta", CVar(3)}, {L"MixedCase", CVar(2)}}));
    CVar v;
    ASSERT_TRUE(s.GetFieldValue(x_wstring(L"mixedCASE"), v));
    EXPECT_EQ(v, CVar(2));
    CVar keep(L"untouched");
    EXPECT_FALSE(s.GetFieldValue(x_wstring(L"missing"), keep));
    EXPECT_EQ(keep, CVar(L"untouched"));

    // By id the declared spelling is used; a later write as "name" keeps "NAME".
    EXPECT_TRUE(s.AddFieldValue(kName, L"x"));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"name"), CVar(L"y")));
    EXPECT_EQ(Fields(s).back(), (std::pair<x_wstring, CVar>{L"NAME", CVar(L"y")}));
}

TEST(SettingDirtyFlag, SetByWritesOnlyAndCopiedOrReplacedExactly) {
    CTestCategory s;
    EXPECT_FALSE(s.IsDirty());
    // An id the category does not declare: false, nothing stored, flag unchanged.
    EXPECT_FALSE(s.AddFieldValue(kUndeclared, 7));
    EXPECT_FALSE(s.AddFieldValueEx(kUndeclared, CVar(7)));
    EXPECT_FALSE(s.AddStringField(kUndeclared, L"x"));
    EXPECT_FALSE(s.IsDirty());
    EXPECT_TRUE(Fields(s).empty());

    EXPECT_TRUE(s.AddFieldValue(kCount, 9));
    EXPECT_TRUE(s.IsDirty());
    // Reads never clear it; ResetDirtyFlag sets it either way; copies take it.
    s.ResetDirtyFlag(false);
    int n = 0;
    EXPECT_TRUE(s.GetFieldValue(kCount, &n));
    EXPECT_EQ(s.ReadFieldValue(kCount), CVar(9));
    EXPECT_FALSE(s.IsDirty());
    EXPECT_FALSE(CTestCategory(s).IsDirty());
    s.ResetDirtyFlag(true);
    EXPECT_TRUE(CTestCategory(s).IsDirty());

    // Reading a setting ends with the flag it carries, although storing its fields set it.
    s.ResetDirtyFlag(false);
    CIPCMsgBuffer buf(1024, false);
    s >> buf;
    CTestCategory target;
    target << buf;
    EXPECT_FALSE(target.IsDirty());
    EXPECT_EQ(target.ReadFieldValue(kCount), CVar(9));

    // The by-id write sets the flag whatever a category's by-name write answers.
    CRecordingCategory refusing;
    refusing.refuse = true;
    EXPECT_FALSE(refusing.AddFieldValue(kCount, 1));
    EXPECT_TRUE(refusing.IsDirty());
}

TEST(SettingReaders, BuffersCoercionsDatesAndDefaults) {
    CTestCategory s;
    s.AddFieldValue(kName, L"abc");
    const unsigned char bytes[5] = {0, 1, 2, 0xFE, 0xFF};
    EXPECT_TRUE(s.AddFieldValue(kBlob, bytes, 5));
    ExpectBufferProtocol<wchar_t>([&](wchar_t* b, int* n) { return s.GetFieldValue(kName, b, n); },
                                  {L'a', L'b', L'c', L'\0'});
    ExpectBufferProtocol<unsigned char>(
        [&](unsigned char* b, int* n) { return s.GetFieldValue(kBlob, static_cast<void*>(b), n); },
        {0, 1, 2, 0xFE, 0xFF});
    // Absent field, undeclared id, no length: false and nothing touched.
    wchar_t buf[4];
    int len = 77;
    EXPECT_FALSE(CTestCategory().GetFieldValue(kName, buf, &len));
    EXPECT_FALSE(s.GetFieldValue(kUndeclared, buf, &len));
    EXPECT_EQ(len, 77);
    EXPECT_FALSE(s.GetFieldValue(kName, buf, static_cast<int*>(nullptr)));
    // An embedded null keeps the whole length; a field that is not a byte array has no bytes.
    s.AddFieldValue(kName, x_wstring(L"a\0b", 3));
    x_wstring text;
    EXPECT_TRUE(s.GetFieldValue(kName, text));
    EXPECT_EQ(text, x_wstring(L"a\0b", 3));
    EXPECT_TRUE(s.GetFieldValue(kName, static_cast<void*>(nullptr), &len));
    EXPECT_EQ(len, 0);
    // A negative size or missing data is refused and nothing changes.
    s.ResetDirtyFlag(false);
    EXPECT_FALSE(s.AddFieldValue(kBlob, bytes, -1));
    EXPECT_FALSE(s.AddFieldValue(kBlob, nullptr, 3));
    EXPECT_FALSE(s.IsDirty());
    EXPECT_EQ(s.ReadFieldValue(kBlob), CVar::FromBytes(bytes, 5));

    // Numbers coerce from text or raise the conversion error with the output untouched.
    int n = -1;
    short sh = -1;
    s.AddFieldValue(kCount, L"42");
    EXPECT_FALSE(s.GetFieldValue(kCount, static_cast<int*>(nullptr)));
    EXPECT_TRUE(s.GetFieldValue(kCount, &sh));
    EXPECT_EQ(sh, 42);
    s.AddFieldValue(kCount, L"forty-two");
    const auto mismatch = Caught<CVarConversionException>([&] { s.GetFieldValue(kCount, &n); });
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->GetErrorCode(), CVarConversionException::TYPE_MISMATCH);
    EXPECT_EQ(mismatch->GetToType(), VT_I4);
    EXPECT_EQ(n, -1);

    // Dates: written and read to the second, a fraction rounded away when read.
    tm in{};
    in.tm_year = 2024 - 1900;
    in.tm_mon = 1;  // February
    in.tm_mday = 29;
    in.tm_hour = 13;
    in.tm_min = 45;
    in.tm_sec = 59;
    in.tm_isdst = 1;  // ignored
    ASSERT_TRUE(s.AddFieldValue(kWhen, &in));
    // 2024-02-29 is day 45351 after 1899-12-30; 13:45:59 is 49559 seconds into it.
    EXPECT_NEAR(s.ReadFieldValue(kWhen).GetDate(), 45351.0 + 49559.0 / 86400.0, 1e-9);
    s.AddFieldValue(kWhen, CVar::FromDate(45351.0 + (49559.0 + 0.3) / 86400.0));
    tm out{};
    ASSERT_TRUE(s.GetFieldValue(kWhen, &out));
    EXPECT_EQ((std::vector<int>{out.tm_year, out.tm_mon, out.tm_mday, out.tm_hour, out.tm_min,
                                out.tm_sec, out.tm_wday, out.tm_yday, out.tm_isdst}),
              (std::vector<int>{124, 1, 29, 13, 45, 59, 4, 59, 0}));
    // A calendar time that does not exist stores the date 0.0; one outside the calendar's
    // years cannot be read.
    in.tm_mon = 12;
    ASSERT_TRUE(s.AddFieldValue(kWhen, &in));
    EXPECT_EQ(s.ReadFieldValue(kWhen), CVar::FromDate(0.0));
    s.AddFieldValue(kWhen, CVar::FromDate(-700000.0));
    EXPECT_FALSE(s.GetFieldValue(kWhen, &out));
    EXPECT_EQ(out.tm_year, 124);

    // Defaults: declared fields are set, others kept, and a refusal stops the reset.
    CTestCategory d;
    d.AddFieldValue(kCount, 99);
    d.AddFieldValue(x_wstring(L"Extra"), CVar(L"kept"));
    d.ResetDirtyFlag(false);
    d.ResetToDefault(CSubjectID(L"ignored"));
    EXPECT_TRUE(d.IsDirty());
    EXPECT_EQ(Fields(d), (FieldList{{L"BLOB", CVar::FromBytes(std::vector<uint8_t>{})},
                                    {L"COUNT", CVar(5)},
                                    {L"ENABLED", CVar(true)},
                                    {L"Extra", CVar(L"kept")},
                                    {L"NAME", CVar(L"default")},
                                    {L"SMALL", CVar(static_cast<short>(1))},
                                    {L"WHEN", CVar::FromDate(36526.0)}}));
    CRecordingCategory refusing;
    refusing.refuse = true;
    refusing.ResetToDefault(CSubjectID(L"x"));
    EXPECT_EQ(refusing.writes, (std::vector<x_wstring>{L"NAME"}));
}

TEST(SettingAccessors, ReadAndWriteThrowCodeTwoAndLogTheId) {
    CTestCategory s;
    DBG::CCaptureLog log;
    const auto absent = Caught<CCfgException>([&] { s.ReadFieldValue(kCount); });  // declared
    ASSERT_TRUE(absent);
    EXPECT_EQ(absent->GetErrorCode(), 2);
    EXPECT_EQ(absent->GetFieldID(), kCount);
    EXPECT_EQ(absent->GetErrorMsg(), L"Field ID 0x00020003 is not exist.");
    const auto undeclared = Caught<CCfgException>([&] { s.WriteFieldValue(kUndeclared, CVar(1)); });
    ASSERT_TRUE(undeclared);
    EXPECT_EQ(undeclared->GetErrorMsg(), L"Field ID 0x00630003 is not exist.");
    EXPECT_TRUE(HasLine(log, DBG::LVL_WARNING, L"field id(131075) is not found"));
    EXPECT_TRUE(HasLine(log, DBG::LVL_WARNING, L"field id(6488067) is not found"));
}

TEST(SettingException, MessagesPerCodeAndFieldNameTests) {
    auto msg = [](unsigned int id, int code) {
        return CCfgException(id, static_cast<CCfgException::MSGBUF_VIOLATION>(code), L"f.cpp", 1)
            .GetErrorMsg();
    };
    EXPECT_EQ(msg(5, 0), L"Subject id configuration is invalid formula.");
    EXPECT_EQ(msg(5, 1), L"Field type is incorrect.");
    EXPECT_EQ(msg(0xABCDEF01u, 2), L"Field ID 0xabcdef01 is not exist.");
    EXPECT_EQ(msg(0x1Fu, 3), L"Data of Field ID 0x0000001f is not valid format.");
    EXPECT_EQ(CCfgException(2, CCfgException::FIELD_DATA_INVALID, L"b.cpp", 20).GetErrorMsgEx(),
              L"Data of Field ID 0x00000002 is not valid format. (code 3 at b.cpp:20)");

    using B = CCfgSettingCategoryBase;
    EXPECT_FALSE(B::IsCfgSettingField(L"_CFGSETTING"));
    EXPECT_FALSE(B::IsCfgSettingField(L"X_CFGSETTING_MV"));
    EXPECT_FALSE(B::IsCfgSettingMVField(L"_CFGSETTING_MV"));
}
