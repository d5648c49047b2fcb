// Tests of the key of a stored setting: its string forms, the parsing of a stored row key, and
// the separator-free, case-insensitive ordering that every map of stored settings relies on.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cfg_Storage.h"

using OS::x_wstring;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

namespace {

CCfgIndex Key(const wchar_t* server, const wchar_t* policy, const wchar_t* subject) {
    return CCfgIndex(server, {CSubjectID(policy), CSubjectID(subject)});
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

}  // namespace

TEST(CfgIndex, StringFormsAndParsingOfRowKeys) {
    CCfgIndex key = Key(L"S", L"ZOLT_PLC_NULL", L"ZOLT_SUB_CFG_VS_RS");
    EXPECT_EQ(x_wstring(L"ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS"), key.GetIndexValue());
    EXPECT_EQ(x_wstring(L"S:ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_RS"), key.GetIndexValueWithServerName());

    // Parsing replaces both subjects and keeps the server. Runs of colons separate tokens,
    // leading ones are skipped, a third token is dropped, missing tokens become empty.
    const struct {
        const wchar_t *text, *policy, *subject;
    } kCases[] = {{L"P:X", L"P", L"X"},
                  {L"::P::X:Y", L"P", L"X"},
                  {L"ONLY:", L"ONLY", L""},
                  {L":::", L"", L""},
                  {L"P:Q:X", L"P", L"Q"}};
    for (const auto& c : kCases) {
        key.SetIndexValue(c.text);
        EXPECT_EQ(x_wstring(L"S"), key.GetServerName());
        EXPECT_EQ(x_wstring(c.policy), key.GetPolicySubject().ToString()) << c.text;
        EXPECT_EQ(x_wstring(c.subject), key.GetSubjectID().ToString()) << c.text;
        EXPECT_EQ(x_wstring(L"S:") + c.policy + L":" + c.subject,
                  key.GetIndexValueWithServerName());
    }
    // A colon inside a subject is not protected: the string form does not parse back.
    EXPECT_EQ(x_wstring(L"P:Q:X"), Key(L"S", L"P:Q", L"X").GetIndexValue());
}

TEST(CfgIndex, OrderingIsCaseInsensitiveOverTheSeparatorFreeConcatenation) {
    // Every pair of keys compares like the case-insensitive comparison of the concatenated
    // strings (so neither letter case nor the split between the parts matters); '_' sorts
    // before letters because letters fold to lower case.
    const std::vector<std::wstring> parts = {L"", L"a", L"A", L"b", L"_", L"ab", L"Ab_", L"z"};
    std::vector<CCfgIndex> keys;
    for (const auto& s : parts)
        for (const auto& p : parts)
            for (const auto& x : {L"", L"A", L"b_"})
                keys.push_back(CCfgIndex(s, {CSubjectID(p), CSubjectID(x)}));
    for (const auto& a : keys) {
        const std::wstring ka =
            a.GetServerName() + a.GetPolicySubject().ToString() + a.GetSubjectID().ToString();
        for (const auto& b : keys) {
            const std::wstring kb =
                b.GetServerName() + b.GetPolicySubject().ToString() + b.GetSubjectID().ToString();
            const int expected = Sign(OS::wcsicmp(ka, kb));
            ASSERT_EQ(expected, Sign(a.Compare(b))) << ka << L" vs " << kb;
            ASSERT_EQ(expected == 0, a == b);
            ASSERT_EQ(expected < 0, CCfgSettingDBBase::CCfgIndexLess()(a, b));
        }
    }
    EXPECT_LT(Key(L"S", L"A_", L"").Compare(Key(L"S", L"AA", L"")), 0);

    // A map keyed by the index keeps one entry for keys that compare equal, under the spelling
    // of the first insertion.
    std::map<CCfgIndex, int, CCfgSettingDBBase::CCfgIndexLess> map;
    map[Key(L"S", L"PA", L"X")] = 1;
    map[Key(L"s", L"p", L"ax")] = 2;
    map[Key(L"S", L"P", L"B")] = 3;
    ASSERT_EQ(2u, map.size());
    EXPECT_EQ(x_wstring(L"PA"), map.begin()->first.GetPolicySubject().ToString());
    EXPECT_EQ(2, map.begin()->second);
}
