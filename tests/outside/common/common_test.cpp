// Tests of the common layer: wide strings, exceptions, calendar times and the string helpers.
#include <gtest/gtest.h>

#include <tuple>

#include "outside/common/CAutoObjPtr.h"
#include "outside/common/CException.h"
#include "outside/common/CTime.h"
#include "outside/common/StringUtils.h"
#include "outside/common/x_wstring.h"

using OS::x_wstring;

TEST(XWString, CaseInsensitiveFoldsAsciiOnly) {
    EXPECT_EQ(0, x_wstring(L"VSE_Root").CompareNoCase(L"vse_ROOT"));
    EXPECT_NE(0, x_wstring(L"\u00C9t\u00E9").CompareNoCase(L"\u00E9t\u00E9"));  // É is not folded
    EXPECT_LT(OS::wcsicmp(L"ABC", L"abd"), 0);
    EXPECT_LT(OS::wcsicmp(L"ab", L"ABC"), 0);
    // '_' (0x5F) sorts after upper-case letters but before lower-case ones; folding to lower case
    // puts it before every letter.
    EXPECT_LT(OS::wcsicmp(L"A_B", L"AAB"), 0);
}

TEST(XWString, FormatReplaceAndUtf8RoundTrip) {
    x_wstring s;
    s.Format(L"Field ID 0x%08x is not exist.", 0x000F001Fu);
    EXPECT_EQ(x_wstring(L"Field ID 0x000f001f is not exist."), s);
    s.Format(L"%ls-%d", L"a\u00E9\u4E2D\U0001F600", 7);
    EXPECT_EQ(x_wstring(L"a\u00E9\u4E2D\U0001F600-7"), s);

    x_wstring r = L"a.b.c";
    EXPECT_EQ(2, r.FindAndReplace(L".", L"::"));
    EXPECT_EQ(x_wstring(L"a::b::c"), r);
    EXPECT_EQ(0, r.FindAndReplace(L"", L"x"));

    const x_wstring text = L"caf\u00E9 \u4E2D\u6587 \U0001F600";
    EXPECT_EQ("caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80", text.ToUtf8());
    EXPECT_EQ(text, x_wstring::FromUtf8(text.ToUtf8()));
    // Broken UTF-8 (a lone continuation byte, an overlong form, a truncated sequence) becomes
    // U+FFFD instead of failing.
    EXPECT_EQ(x_wstring(L"a\uFFFDb\uFFFD\uFFFDc\uFFFD"), x_wstring::FromUtf8("a\x80"
                                                                             "b\xC0\xAF"
                                                                             "c\xE4"));
}

TEST(CTime, FillsDerivedMembersAndRejectsBadDates) {
    OS::CTime t(2024, 2, 29, 13, 45, 59);
    tm out{};
    t.GetTimeStruct(out);
    // A Thursday, the year's day 59.
    EXPECT_EQ(
        std::tuple(out.tm_year, out.tm_mon, out.tm_mday, out.tm_wday, out.tm_yday, out.tm_isdst),
        std::tuple(124, 1, 29, 4, 59, 0));
    EXPECT_EQ(31, OS::CTime(1899, 12, 31, 0, 0, 0).GetDay());
    EXPECT_THROW(OS::CTime(2023, 2, 29, 0, 0, 0), OS::CTimeException);
    EXPECT_THROW(OS::CTime(2023, 13, 1, 0, 0, 0), OS::CTimeException);
    tm in = out;
    EXPECT_EQ(2024, OS::CTime(in).GetYear());
}

TEST(StringUtils, SplittingAndPaths) {
    using Words = std::vector<x_wstring>;
    for (auto [text, want] :
         {std::pair{L"QV_A:SUB_1:QV_B:SUB_2:", Words{L"QV_A", L"SUB_1", L"QV_B", L"SUB_2"}},
          std::pair{L"::a::", Words{L"a"}}, std::pair{L"", Words{}}}) {
        Words w;
        NS_StringUtils::splitWords(text, L':', w);
        EXPECT_EQ(want, w);
    }

    std::vector<x_wstring> t;
    EXPECT_EQ(3, NS_StringUtils::GetStrings(L"  a, b ,,c ", L" ,", t));
    EXPECT_EQ((std::vector<x_wstring>{L"a", L"b", L"c"}), t);
    EXPECT_EQ((std::vector<x_wstring>{L"x", L"y"}), SplitStringToTokensW(L"\tx\ty\t", L"\t"));

    EXPECT_EQ(x_wstring(L"/h/config/x.xml"), NS_StringUtils::concatPath(L"/h/", L"/config/x.xml"));
    EXPECT_EQ(x_wstring(L"/h/config"), NS_StringUtils::concatPath(L"/h", L"config"));
    EXPECT_EQ(x_wstring(L"config"), NS_StringUtils::concatPath(L"", L"config"));
}

TEST(CException, CarriesCodeFileLineAndMessage) {
    const OS::CException& e = OS::CSystemException(13, L"io.cpp", 42, L"permission denied");
    EXPECT_EQ(std::tuple(e.GetErrorCode(), e.GetErrorMsg(), e.GetErrorMsgEx()),
              std::tuple(13, x_wstring(L"permission denied"),
                         x_wstring(L"permission denied (code 13 at io.cpp:42)")));
}

namespace {
struct Counted {
    explicit Counted(int& n) : count(n) { ++count; }
    virtual ~Counted() { --count; }
    int& count;
};
}  // namespace

TEST(CAutoObjPtr, OwnsExactlyOnce) {
    int live = 0;
    {
        std::vector<OS::CAutoObjPtr<Counted>> v;
        v.emplace_back(new Counted(live));
        v.emplace_back(new Counted(live));
        OS::CAutoObjPtr<Counted> moved = std::move(v[0]);
        EXPECT_TRUE(v[0].IsNull());
        EXPECT_EQ(2, live);
        moved = new Counted(live);  // replaces and destroys the old object
        EXPECT_EQ(2, live);
        Counted* raw = moved.Detach();
        EXPECT_EQ(2, live);
        delete raw;
    }
    EXPECT_EQ(0, live);
}
