// Tests of the common layer: wide strings and the string helpers.
#include <gtest/gtest.h>

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

TEST(XWString, ReplaceAndBrokenUtf8) {
    // (Formatting and UTF-8 of good text are pinned by the message and buffer tests.)
    x_wstring r = L"a.b.c";
    EXPECT_EQ(2, r.FindAndReplace(L".", L"::"));
    EXPECT_EQ(x_wstring(L"a::b::c"), r);
    EXPECT_EQ(0, r.FindAndReplace(L"", L"x"));

    // Broken UTF-8 (a lone continuation byte, an overlong form, a truncated sequence) becomes
    // U+FFFD instead of failing.
    EXPECT_EQ(x_wstring(L"a\uFFFDb\uFFFD\uFFFDc\uFFFD"), x_wstring::FromUtf8("a\x80"
                                                                             "b\xC0\xAF"
                                                                             "c\xE4"));
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

    EXPECT_EQ(x_wstring(L"/h/config/x.xml"), NS_StringUtils::concatPath(L"/h/", L"/config/x.xml"));
    EXPECT_EQ(x_wstring(L"/h/config"), NS_StringUtils::concatPath(L"/h", L"config"));
    EXPECT_EQ(x_wstring(L"config"), NS_StringUtils::concatPath(L"", L"config"));
}
