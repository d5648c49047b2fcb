// Tests of the setting base class: field names, the dirty flag, the typed writers and readers
// with their buffer-length protocol and coercions, dates, defaults, enumeration, the throwing
// accessors and the exception's messages.
// Thread rule: single-threaded tests.
#include <gtest/gtest.h>

#include <cstring>

#include "outside/log/DebugLog.h"
#include "tests/setting/SettingTestCategory.h"

using namespace settingtest;
using OS::x_wstring;

namespace {

std::vector<x_wstring> Names(const CCfgSettingCategoryBase& s) {
    CCollector c;
    s.EnumerateFieldValue(c);
    std::vector<x_wstring> out;
    for (const auto& f : c.seen) out.push_back(f.name);
    return out;
}

}  // namespace

TEST(SettingFields, NamesIgnoreCaseKeepFirstSpellingAndSortWithoutCase) {
    CTestCategory s;
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"MixedCase"), CVar(1)));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"MIXEDCASE"), CVar(2)));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"beta"), CVar(3)));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"Alpha"), CVar(4)));
    // Letters compare as lower case, so '_' (0x5F) sorts before them.
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"_under"), CVar(5)));

    EXPECT_EQ(Names(s), (std::vector<x_wstring>{L"_under", L"Alpha", L"beta", L"MixedCase"}));
    CVar v;
    ASSERT_TRUE(s.GetFieldValue(x_wstring(L"mixedCASE"), v));
    EXPECT_EQ(v, CVar(2));

    // An absent name leaves the target as it was.
    CVar keep(L"untouched");
    EXPECT_FALSE(s.GetFieldValue(x_wstring(L"missing"), keep));
    EXPECT_EQ(keep, CVar(L"untouched"));

    // By id, the declared name is used; a later write under another spelling keeps "NAME".
    EXPECT_TRUE(s.AddFieldValue(kName, L"x"));
    EXPECT_TRUE(s.AddFieldValue(x_wstring(L"name"), CVar(L"y")));
    x_wstring text;
    ASSERT_TRUE(s.GetFieldValue(kName, text));
    EXPECT_EQ(text, L"y");
    EXPECT_EQ(Names(s).at(4), L"NAME");
}

TEST(SettingFields, StoredValuesAreIndependentCopies) {
    CTestCategory s;
    CVar v(L"original");
    s.AddFieldValue(x_wstring(L"F"), v);
    v.SetString(L"changed");
    CVar out;
    s.GetFieldValue(x_wstring(L"F"), out);
    out.SetString(L"changed too");
    CVar again;
    s.GetFieldValue(x_wstring(L"F"), again);
    EXPECT_EQ(again, CVar(L"original"));
}

TEST(SettingDirtyFlag, SetByWritesOnlyAndCopiedOrReplacedExactly) {
    CTestCategory s;
    EXPECT_FALSE(s.IsDirty());

    // An id the category does not declare: false, nothing stored, flag unchanged.
    EXPECT_FALSE(s.AddFieldValue(kUndeclared, 7));
    EXPECT_FALSE(s.AddFieldValue(kUndeclared, CVar(7)));
    EXPECT_FALSE(s.AddFieldValueEx(kUndeclared, CVar(7)));
    EXPECT_FALSE(s.AddStringField(kUndeclared, L"x"));
    EXPECT_FALSE(s.IsDirty());
    EXPECT_TRUE(Names(s).empty());

    EXPECT_TRUE(s.AddFieldValue(kCount, 9));
    EXPECT_TRUE(s.IsDirty());

    // Reads never clear it; ResetDirtyFlag sets it either way.
    s.ResetDirtyFlag(false);
    int n = 0;
    EXPECT_TRUE(s.GetFieldValue(kCount, &n));
    EXPECT_EQ(s.ReadFieldValue(kCount), CVar(9));
    EXPECT_FALSE(s.IsDirty());
    s.ResetDirtyFlag(true);
    EXPECT_TRUE(s.IsDirty());

    // The copy constructor copies it (both ways).
    CTestCategory dirtyCopy(s);
    EXPECT_TRUE(dirtyCopy.IsDirty());
    s.ResetDirtyFlag(false);
    CTestCategory cleanCopy(s);
    EXPECT_FALSE(cleanCopy.IsDirty());

    // Defaults set it; so does a by-name write of an undeclared name.
    CTestCategory d;
    d.ResetToDefault(CSubjectID(L"any"));
    EXPECT_TRUE(d.IsDirty());
    CTestCategory byName;
    byName.AddFieldValue(x_wstring(L"free"), CVar(1));
    EXPECT_TRUE(byName.IsDirty());

    // Reading a setting takes the flag it carries, after storing its fields (which set it).
    CIPCMsgBuffer buf(1024, false);
    cleanCopy >> buf;
    CTestCategory target;
    target.ResetDirtyFlag(true);
    target << buf;
    EXPECT_FALSE(target.IsDirty());
    EXPECT_EQ(target.ReadFieldValue(kCount), CVar(9));
}

TEST(SettingDirtyFlag, ByIdWriteSetsItEvenWhenTheByNameWriteRefuses) {
    CRecordingCategory s;
    s.refuse = true;
    EXPECT_FALSE(s.AddFieldValue(kCount, CVar(1)));
    EXPECT_TRUE(s.IsDirty());
    s.ResetDirtyFlag(false);
    // A typed writer returns the refusal; the by-id write underneath still set the flag.
    EXPECT_FALSE(s.AddFieldValue(kCount, 1));
    EXPECT_TRUE(s.IsDirty());
    EXPECT_EQ(s.writes, (std::vector<x_wstring>{L"COUNT", L"COUNT"}));
}

TEST(SettingFields, EveryTypedAccessGoesThroughTheByNameCore) {
    CRecordingCategory s;
    tm t{};
    t.tm_year = 120;
    t.tm_mday = 1;
    const unsigned char bytes[2] = {1, 2};
    s.AddFieldValue(kName, x_wstring(L"a"));
    s.AddFieldValue(kWhen, &t);
    s.AddFieldValue(kBlob, bytes, 2);
    s.AddFieldValue(kName, L"b");
    s.AddFieldValue(kName, "c");
    s.AddFieldValue(kEnabled, true);
    s.AddFieldValue(kCount, 3);
    s.AddFieldValue(kSmall, static_cast<short>(4));
    s.AddFieldValueEx(kCount, CVar(5));
    s.AddStringField(kName, L"d");
    s.WriteFieldValue(kCount, CVar(6));
    EXPECT_EQ(s.writes.size(), 11u);

    // Defaults and reading a buffer also store through it, one call per field.
    s.writes.clear();
    s.ResetToDefault(CSubjectID(L"x"));
    EXPECT_EQ(s.writes,
              (std::vector<x_wstring>{L"NAME", L"COUNT", L"SMALL", L"ENABLED", L"WHEN", L"BLOB"}));
    s.writes.clear();
    CTestCategory src;
    src.AddFieldValue(x_wstring(L"Z"), CVar(1));
    src.AddFieldValue(x_wstring(L"Y"), CVar(2));
    static_cast<CCfgSettingCategoryBase&>(s) = src;
    EXPECT_EQ(s.writes, (std::vector<x_wstring>{L"Y", L"Z"}));

    x_wstring text;
    short sh = 0;
    int n = 0;
    bool b = false;
    s.reads.clear();
    s.GetFieldValue(kCount, &n);
    s.GetFieldValue(kSmall, &sh);
    s.GetFieldValue(kEnabled, &b);
    s.GetFieldValue(kWhen, &t);
    s.GetStringField(kName, text);
    CVar v;
    s.GetFieldValueEx(kCount, v);
    // The string reader asks for the length first, then for the text.
    EXPECT_EQ(s.reads, (std::vector<x_wstring>{L"COUNT", L"SMALL", L"ENABLED", L"WHEN", L"NAME",
                                               L"NAME", L"COUNT"}));
}

TEST(SettingReaders, WideBufferLengthProtocol) {
    CTestCategory s;
    s.AddFieldValue(kName, L"abc");

    int len = 0;
    EXPECT_TRUE(s.GetFieldValue(kName, static_cast<wchar_t*>(nullptr), &len));
    EXPECT_EQ(len, 4);

    wchar_t small[3] = {L'x', L'x', L'x'};
    len = 3;
    EXPECT_FALSE(s.GetFieldValue(kName, small, &len));
    EXPECT_EQ(len, 3);
    EXPECT_EQ(std::wstring(small, 3), L"xxx");

    wchar_t exact[4];
    len = 4;
    EXPECT_TRUE(s.GetFieldValue(kName, exact, &len));
    EXPECT_EQ(len, 4);
    EXPECT_EQ(std::wstring(exact), L"abc");

    wchar_t roomy[10];
    std::fill(std::begin(roomy), std::end(roomy), L'#');
    len = 10;
    EXPECT_TRUE(s.GetFieldValue(kName, roomy, &len));
    EXPECT_EQ(len, 4);
    EXPECT_EQ(roomy[3], L'\0');
    EXPECT_EQ(roomy[4], L'#');  // nothing written past the terminator

    // Absent field, undeclared id, no length: false and nothing touched.
    CTestCategory empty;
    len = 77;
    EXPECT_FALSE(empty.GetFieldValue(kName, roomy, &len));
    EXPECT_FALSE(s.GetFieldValue(kUndeclared, roomy, &len));
    EXPECT_EQ(len, 77);
    EXPECT_FALSE(s.GetFieldValue(kName, roomy, static_cast<int*>(nullptr)));

    // An empty string needs one character.
    s.AddFieldValue(kName, L"");
    EXPECT_TRUE(s.GetFieldValue(kName, static_cast<wchar_t*>(nullptr), &len));
    EXPECT_EQ(len, 1);
}

TEST(SettingReaders, Utf8BufferCountsBytes) {
    CTestCategory s;
    s.AddFieldValue(kName, L"\u00e9t\u00e9");  // "été": 5 bytes of UTF-8
    int len = 0;
    EXPECT_TRUE(s.GetFieldValue(kName, static_cast<char*>(nullptr), &len));
    EXPECT_EQ(len, 6);
    char buf[6];
    len = 5;
    EXPECT_FALSE(s.GetFieldValue(kName, buf, &len));
    EXPECT_EQ(len, 5);
    len = 6;
    EXPECT_TRUE(s.GetFieldValue(kName, buf, &len));
    EXPECT_STREQ(buf, "\xc3\xa9t\xc3\xa9");
}

TEST(SettingReaders, ByteBufferProtocol) {
    CTestCategory s;
    const unsigned char bytes[5] = {0, 1, 2, 0xFE, 0xFF};
    EXPECT_TRUE(s.AddFieldValue(kBlob, bytes, 5));
    EXPECT_EQ(s.ReadFieldValue(kBlob).vt(), VT_ARRAY_UI1);

    int size = -1;
    EXPECT_TRUE(s.GetFieldValue(kBlob, static_cast<void*>(nullptr), &size));
    EXPECT_EQ(size, 5);
    unsigned char out[8];
    std::memset(out, 0xAA, sizeof out);
    size = 4;
    EXPECT_FALSE(s.GetFieldValue(kBlob, out, &size));
    EXPECT_EQ(size, 4);
    EXPECT_EQ(out[0], 0xAA);
    size = 8;
    EXPECT_TRUE(s.GetFieldValue(kBlob, out, &size));
    EXPECT_EQ(size, 5);
    EXPECT_EQ(std::memcmp(out, bytes, 5), 0);
    EXPECT_EQ(out[5], 0xAA);

    // A field that is not a byte array has no bytes.
    s.AddFieldValue(kCount, 12);
    EXPECT_TRUE(s.GetFieldValue(kCount, static_cast<void*>(nullptr), &size));
    EXPECT_EQ(size, 0);

    // Negative sizes and missing data are refused without storing anything.
    s.ResetDirtyFlag(false);
    EXPECT_FALSE(s.AddFieldValue(kBlob, bytes, -1));
    EXPECT_FALSE(s.AddFieldValue(kBlob, nullptr, 3));
    EXPECT_FALSE(s.IsDirty());
    size = 8;
    EXPECT_TRUE(s.GetFieldValue(kBlob, out, &size));
    EXPECT_EQ(size, 5);
    // Zero bytes make an empty byte array.
    EXPECT_TRUE(s.AddFieldValue(kBlob, nullptr, 0));
    EXPECT_EQ(s.ReadFieldValue(kBlob), CVar::FromBytes(std::vector<uint8_t>{}));
}

TEST(SettingReaders, NumbersAndBooleansCoerceOrRaiseTheConversionError) {
    CTestCategory s;
    int n = -1;
    short sh = -1;
    bool b = false;

    // Absent: false, target untouched; null target: false.
    EXPECT_FALSE(s.GetFieldValue(kCount, &n));
    EXPECT_EQ(n, -1);
    s.AddFieldValue(kCount, 1);
    EXPECT_FALSE(s.GetFieldValue(kCount, static_cast<int*>(nullptr)));

    s.AddFieldValue(kCount, L" 42");
    EXPECT_TRUE(s.GetFieldValue(kCount, &n));
    EXPECT_EQ(n, 42);
    EXPECT_TRUE(s.GetFieldValue(kCount, &sh));
    EXPECT_EQ(sh, 42);
    EXPECT_EQ(s.ReadFieldValue(kCount).vt(), VT_BSTR);  // reading does not change the stored kind

    s.AddFieldValue(kCount, L"forty-two");
    n = -1;
    try {
        s.GetFieldValue(kCount, &n);
        FAIL() << "no conversion error";
    } catch (const CVarConversionException& e) {
        EXPECT_EQ(e.GetErrorCode(), CVarConversionException::TYPE_MISMATCH);
        EXPECT_EQ(e.GetFromType(), VT_BSTR);
        EXPECT_EQ(e.GetToType(), VT_I4);
    }
    EXPECT_EQ(n, -1);

    s.AddFieldValue(kCount, 40000);
    sh = -1;
    try {
        s.GetFieldValue(kCount, &sh);
        FAIL() << "no overflow";
    } catch (const CVarConversionException& e) {
        EXPECT_EQ(e.GetErrorCode(), CVarConversionException::OVERFLOW_ERROR);
    }
    EXPECT_EQ(sh, -1);

    // A boolean is true for any non-zero value; -1 and 0 are what a boolean write stores.
    s.AddFieldValue(kEnabled, 2);
    EXPECT_TRUE(s.GetFieldValue(kEnabled, &b));
    EXPECT_TRUE(b);
    s.AddFieldValue(kEnabled, static_cast<short>(0));
    EXPECT_TRUE(s.GetFieldValue(kEnabled, &b));
    EXPECT_FALSE(b);
    s.AddFieldValue(kEnabled, true);
    EXPECT_EQ(s.ReadFieldValue(kEnabled).GetBoolRaw(), VARIANT_TRUE);
    s.AddFieldValue(kEnabled, false);
    EXPECT_EQ(s.ReadFieldValue(kEnabled).GetBoolRaw(), VARIANT_FALSE);
    // A boolean read as an integer is -1.
    s.AddFieldValue(kCount, true);
    EXPECT_TRUE(s.GetFieldValue(kCount, &n));
    EXPECT_EQ(n, -1);
}

TEST(SettingReaders, StringReadersConvertOtherKinds) {
    CTestCategory s;
    s.AddFieldValue(kName, 17);
    x_wstring text = L"old";
    EXPECT_TRUE(s.GetFieldValue(kName, text));
    EXPECT_EQ(text, L"17");
    EXPECT_EQ(s.ReadFieldValue(kName).vt(), VT_I4);

    CTestCategory empty;
    text = L"old";
    EXPECT_FALSE(empty.GetFieldValue(kName, text));
    EXPECT_FALSE(empty.GetStringField(kName, text));
    EXPECT_EQ(text, L"old");

    // A string with an embedded null keeps its whole length.
    s.AddFieldValue(kName, x_wstring(L"a\0b", 3));
    EXPECT_TRUE(s.GetFieldValue(kName, text));
    EXPECT_EQ(text, x_wstring(L"a\0b", 3));
}

TEST(SettingDates, WrittenAndReadToTheSecond) {
    CTestCategory s;
    tm in{};
    in.tm_year = 2024 - 1900;
    in.tm_mon = 1;  // February
    in.tm_mday = 29;
    in.tm_hour = 13;
    in.tm_min = 45;
    in.tm_sec = 59;
    in.tm_yday = 300;  // ignored
    in.tm_isdst = 1;   // ignored
    ASSERT_TRUE(s.AddFieldValue(kWhen, &in));

    const CVar stored = s.ReadFieldValue(kWhen);
    ASSERT_EQ(stored.vt(), VT_DATE);
    // 2024-02-29 is day 45351 after 1899-12-30; 13:45:59 is 49559 seconds into it.
    EXPECT_NEAR(stored.GetDate(), 45351.0 + 49559.0 / 86400.0, 1e-9);

    tm out{};
    ASSERT_TRUE(s.GetFieldValue(kWhen, &out));
    EXPECT_EQ(out.tm_year, 124);
    EXPECT_EQ(out.tm_mon, 1);
    EXPECT_EQ(out.tm_mday, 29);
    EXPECT_EQ(out.tm_hour, 13);
    EXPECT_EQ(out.tm_min, 45);
    EXPECT_EQ(out.tm_sec, 59);
    EXPECT_EQ(out.tm_wday, 4);  // a Thursday
    EXPECT_EQ(out.tm_yday, 59);
    EXPECT_EQ(out.tm_isdst, 0);

    // A fraction of a second is rounded away when read.
    s.AddFieldValue(kWhen, CVar::FromDate(45351.0 + (49559.0 + 0.3) / 86400.0));
    ASSERT_TRUE(s.GetFieldValue(kWhen, &out));
    EXPECT_EQ(out.tm_sec, 59);

    // A calendar time that does not exist stores the date 0.0 (1899-12-30 00:00:00).
    tm bad = in;
    bad.tm_mon = 12;
    ASSERT_TRUE(s.AddFieldValue(kWhen, &bad));
    EXPECT_EQ(s.ReadFieldValue(kWhen), CVar::FromDate(0.0));
    ASSERT_TRUE(s.GetFieldValue(kWhen, &out));
    EXPECT_EQ(out.tm_year, -1);
    EXPECT_EQ(out.tm_mon, 11);
    EXPECT_EQ(out.tm_mday, 30);

    // Null pointers: false, nothing stored.
    s.ResetDirtyFlag(false);
    EXPECT_FALSE(s.AddFieldValue(kWhen, static_cast<const tm*>(nullptr)));
    EXPECT_FALSE(s.GetFieldValue(kWhen, static_cast<tm*>(nullptr)));
    EXPECT_FALSE(s.IsDirty());

    // A date outside the calendar's years cannot be read as a struct tm.
    s.AddFieldValue(kWhen, CVar::FromDate(-700000.0));
    out.tm_year = 5;
    EXPECT_FALSE(s.GetFieldValue(kWhen, &out));
    EXPECT_EQ(out.tm_year, 5);
}

TEST(SettingDefaults, ResetSetsDeclaredFieldsAndKeepsOthers) {
    CTestCategory s;
    s.AddFieldValue(kCount, 99);
    s.AddFieldValue(x_wstring(L"Extra"), CVar(L"kept"));
    s.ResetDirtyFlag(false);
    s.ResetToDefault(CSubjectID(L"ignored"));
    EXPECT_TRUE(s.IsDirty());
    EXPECT_EQ(Names(s), (std::vector<x_wstring>{L"BLOB", L"COUNT", L"ENABLED", L"Extra", L"NAME",
                                                L"SMALL", L"WHEN"}));
    EXPECT_EQ(s.ReadFieldValue(kCount), CVar(5));
    EXPECT_EQ(s.ReadFieldValue(kName), CVar(L"default"));
    EXPECT_EQ(s.ReadFieldValue(kSmall), CVar(static_cast<short>(1)));
    CVar extra;
    ASSERT_TRUE(s.GetFieldValue(x_wstring(L"extra"), extra));
    EXPECT_EQ(extra, CVar(L"kept"));
}

TEST(SettingDefaults, DefaultsStopAtTheFirstRefusedWrite) {
    CRecordingCategory s;
    s.refuse = true;
    s.ResetToDefault(CSubjectID(L"x"));
    EXPECT_EQ(s.writes, (std::vector<x_wstring>{L"NAME"}));
    EXPECT_TRUE(s.IsDirty());
}

TEST(SettingEnumeration, ValuesReportIdThreeInNameOrderAndIgnoreTheResult) {
    CTestCategory s;
    s.AddFieldValue(x_wstring(L"b"), CVar(2));
    s.AddFieldValue(x_wstring(L"A"), CVar(1));
    DBG::CCaptureLog log;
    CCollector stopAsking(false);
    s.EnumerateFieldValue(stopAsking);
    ASSERT_EQ(stopAsking.seen.size(), 2u);
    EXPECT_EQ(stopAsking.seen[0].id, 3u);
    EXPECT_EQ(stopAsking.seen[0].name, L"A");
    EXPECT_EQ(stopAsking.seen[1].id, 3u);
    EXPECT_EQ(stopAsking.seen[1].value, CVar(2));

    log.Clear();
    CTestCategory empty;
    CCollector c;
    empty.EnumerateFieldValue(c);
    EXPECT_TRUE(c.seen.empty());
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 0x110);
    EXPECT_EQ(lines[0].source, L"cfg_ConfigurationSetting");
    EXPECT_EQ(lines[0].message, L"CCfgSettingCategoryBase::EnumerateFieldValue");
    EXPECT_EQ(lines[1].level, 0x111);
    EXPECT_EQ(lines[1].message, L"CCfgSettingCategoryBase::EnumerateFieldValue");
}

TEST(SettingEnumeration, IdsResolveThroughTheDeclaration) {
    CTestCategory s;
    EXPECT_EQ(s.GetFieldNameByID(kWhen), L"WHEN");
    EXPECT_EQ(s.GetFieldNameByID(kUndeclared), L"");
    // The type code alone is not an id.
    EXPECT_EQ(s.GetFieldNameByID(0x0007), L"");
}

TEST(SettingAccessors, ReadAndWriteThrowCodeTwoAndLogTheId) {
    CTestCategory s;
    DBG::CCaptureLog log;
    try {
        s.ReadFieldValue(kCount);  // declared but absent
        FAIL() << "no exception";
    } catch (const CCfgException& e) {
        EXPECT_EQ(e.GetErrorCode(), 2);
        EXPECT_EQ(e.GetFieldID(), kCount);
        EXPECT_EQ(e.GetErrorMsg(), L"Field ID 0x00020003 is not exist.");
    }
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 0x1001);
    EXPECT_EQ(lines[0].source, L"cfg_ConfigurationSetting");
    EXPECT_EQ(lines[0].message, L"field id(131075) is not found");

    log.Clear();
    try {
        s.WriteFieldValue(kUndeclared, CVar(1));
        FAIL() << "no exception";
    } catch (const OS::CException& e) {  // also caught as the root exception
        EXPECT_EQ(e.GetErrorCode(), CCfgException::FIELD_NOT_EXIST);
        EXPECT_EQ(e.GetErrorMsg(), L"Field ID 0x00630003 is not exist.");
    }
    EXPECT_TRUE(log.Contains(L"field id(6488067) is not found", 0x1001));
    EXPECT_FALSE(s.IsDirty());
    EXPECT_TRUE(Names(s).empty());

    s.WriteFieldValue(kCount, CVar(L"text"));
    EXPECT_EQ(s.ReadFieldValue(kCount), CVar(L"text"));
}

TEST(SettingException, MessagesPerCode) {
    auto msg = [](unsigned int id, int code) {
        return CCfgException(id, static_cast<CCfgException::MSGBUF_VIOLATION>(code), L"f.cpp", 1)
            .GetErrorMsg();
    };
    EXPECT_EQ(msg(5, 0), L"Subject id configuration is invalid formula.");
    EXPECT_EQ(msg(5, 1), L"Field type is incorrect.");
    EXPECT_EQ(msg(0xABCDEF01u, 2), L"Field ID 0xabcdef01 is not exist.");
    EXPECT_EQ(msg(0x1Fu, 3), L"Data of Field ID 0x0000001f is not valid format.");
    EXPECT_EQ(msg(5, 7), L"");
    EXPECT_EQ(msg(5, -1), L"");

    CCfgException a(1, CCfgException::FIELD_NOT_EXIST, L"a.cpp", 10);
    const CCfgException b(2, CCfgException::FIELD_DATA_INVALID, L"b.cpp", 20);
    a = b;
    EXPECT_EQ(a.GetFieldID(), 2u);
    EXPECT_EQ(a.GetErrorCode(), 3);
    EXPECT_EQ(a.GetFile(), L"b.cpp");
    EXPECT_EQ(a.GetLine(), 20);
    EXPECT_EQ(a.GetErrorMsgEx(),
              L"Data of Field ID 0x00000002 is not valid format. (code 3 at b.cpp:20)");
}

TEST(SettingFields, EmbeddedFieldNameTests) {
    using B = CCfgSettingCategoryBase;
    EXPECT_FALSE(B::IsCfgSettingField(L"_CFGSETTING"));
    EXPECT_TRUE(B::IsCfgSettingField(L"X_CFGSETTING"));
    EXPECT_FALSE(B::IsCfgSettingField(L"X_CFGSETTING_MV"));
    EXPECT_FALSE(B::IsCfgSettingField(L"X_cfgsetting"));
    EXPECT_FALSE(B::IsCfgSettingMVField(L"_CFGSETTING_MV"));
    EXPECT_TRUE(B::IsCfgSettingMVField(L"RULES_CFGSETTING_MV"));
    EXPECT_FALSE(B::IsCfgSettingMVField(L"RULES_CFGSETTING"));
    EXPECT_FALSE(B::IsCfgSettingMVField(L""));
}
