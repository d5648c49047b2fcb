// Tests of the reference and copy forms of embedded settings: stored bytes, strings, malformed
// input.
// Thread rule: test code, one thread.
#include <gtest/gtest.h>

#include <memory>

#include "cfg_Setting.h"
#include "embedded_test_categories.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/Caught.h"
#include "tests/support/LogText.h"

using namespace embedded_test;
using Ref = CCfgSettingCategoryRef;
using Refs = std::vector<CCfgSettingCategoryRef*>;

namespace {

const wchar_t kRuleCopy[] = L"SUB_R1 dirty RULE_LEVEL=3:5;RULE_NAME=8:'a';";

// A rule "QV_Rule"/"SUB_R1" with RULE_NAME "a" and RULE_LEVEL 5 (dirty).
CTestSetting MakeRule() {
    CTestSetting rule(L"QV_Rule", L"SUB_R1");
    rule.AddFieldValue(RULE_NAME, L"a");
    rule.AddFieldValue(RULE_LEVEL, 5);
    return rule;
}

// The stored single copy form of MakeRule(): category, subject, dirty, field count, fields.
const std::vector<uint8_t> kRuleCopyBytes = FromHex(
    "07000000 51565f52756c65 06000000 5355425f5231 01 02000000 "
    "0a000000 52554c455f4c4556454c 0300 05000000 "
    "09000000 52554c455f4e414d45 0800 01000000 61");

// The single copies of the empty clean settings "C"/"S" and "D"/"S": 15 bytes each.
const char kTinyC[] = "01000000 43 01000000 53 00 00000000 ";
const char kTinyD[] = "01000000 44 01000000 53 00 00000000 ";

std::wstring Key(Ref& r) {
    return r.GetRefKey().m_strCategoryName + L"/" + r.GetRefKey().m_strSubjectID;
}

std::wstring Copy(Ref& r) {
    return r.GetRefValue().m_pSetting ? DumpSetting(*r.GetRefValue().m_pSetting) : L"null";
}

std::wstring Keys(const Refs& refs) {
    std::wstring out;
    for (Ref* r : refs) out += Key(*r) + L" ";
    return out;
}

bool Parse(Ref& r, CVar v) {
    return r.GetFieldRefByValue(r.GetRefKey(), r.GetRefValue(), v);
}

}  // namespace

TEST(SettingRef, SingleCopyFormIsStoredBytesAndRoundTrips) {
    CTestSetting rule = MakeRule();
    Ref ref;
    ASSERT_TRUE(ref.GetFieldRefBySetting(ref.GetRefKey(), ref.GetRefValue(), rule));
    EXPECT_EQ(Key(ref), L"QV_Rule/SUB_R1");
    EXPECT_EQ(Copy(ref), kRuleCopy);

    CVar stored;
    ASSERT_TRUE(ref.GetValueByFieldRef(stored, ref.GetRefKey(), ref.GetRefValue()));
    ASSERT_EQ(stored.vt(), VT_ARRAY_UI1);
    EXPECT_EQ(stored.GetBytes(), kRuleCopyBytes);

    // Read back into a target that already holds another field: the fields merge.
    Ref back;
    ASSERT_TRUE(Parse(back, stored));
    EXPECT_EQ(Key(back), L"QV_Rule/SUB_R1");
    CTestSetting target(L"QV_Rule", L"OTHER");
    target.AddFieldValue(L"EXTRA", CVar(7));
    target.ResetDirtyFlag(false);
    ASSERT_TRUE(back.GetSettingByFieldRef(target, back.GetRefKey(), back.GetRefValue()));
    EXPECT_EQ(DumpSetting(target), L"OTHER dirty EXTRA=3:7;RULE_LEVEL=3:5;RULE_NAME=8:'a';");
}

TEST(SettingRef, ReferenceStringsNameTheSettingAndCarryNoFields) {
    CTestSetting rule = MakeRule();
    Ref ref;
    ASSERT_TRUE(ref.GetFieldRefBySetting(ref.GetRefKey(), ref.GetRefValue(), rule));
    CVar text;
    ASSERT_TRUE(ref.GetValueByFieldRef(text, ref.GetRefKey()));
    EXPECT_EQ(DumpValue(text), L"8:'QV_Rule:SUB_R1'");

    // Read back: the key and an empty clean copy, whose merge keeps the target's fields and
    // clears its dirty flag.
    Ref back;
    ASSERT_TRUE(Parse(back, text));
    EXPECT_EQ(Key(back) + L" " + Copy(back), L"QV_Rule/SUB_R1 SUB_R1 clean ");
    CTestSetting target(L"QV_Rule", L"OTHER");
    target.AddFieldValue(RULE_LEVEL, 8);
    ASSERT_TRUE(back.GetSettingByFieldRef(target, back.GetRefKey(), back.GetRefValue()));
    EXPECT_EQ(DumpSetting(target), L"OTHER clean RULE_LEVEL=3:8;");

    // Read through a reference and through a setting's embedded field. Empty words are
    // dropped: a trailing or doubled ":" still names two words. Anything but two words, a byte
    // array of 4 bytes or fewer, or another kind is refused: the reference keeps its key and
    // copy, the target stays as it was.
    const struct {
        CVar value;
        bool ok;
    } kStrings[] = {
        {CVar(L"QV_Rule:SUB_X:"), true},
        {CVar(L"QV_Rule::SUB_X"), true},
        {CVar::FromLPWSTR(L"QV_Rule:SUB_X"), true},
        {CVar(L"QV_Rule:SUB:X"), false},
        {CVar(L"QV_Rule"), false},
        {CVar(L""), false},
        {CVar(L":::"), false},
        {CVar::FromBytes(Bytes({1, 0, 0, 0})), false},
        {CVar::FromBytes(Bytes({})), false},
        {CVar(5), false},
        {CVar(), false},
    };
    for (const auto& c : kStrings) {
        Ref r(ref);
        EXPECT_EQ(Parse(r, c.value), c.ok) << DumpValue(c.value);
        EXPECT_EQ(Key(r) + L" " + Copy(r), c.ok ? std::wstring(L"QV_Rule/SUB_X SUB_X clean ")
                                                : std::wstring(L"QV_Rule/SUB_R1 ") + kRuleCopy)
            << DumpValue(c.value);
        CTestSetting policy(L"QV_Policy");
        policy.AddFieldValue(L"RULE_CFGSETTING", c.value);
        CTestSetting into(L"QV_Rule", L"OLD");
        into.AddFieldValue(RULE_LEVEL, 8);
        EXPECT_EQ(policy.GetFieldValue(L"RULE_CFGSETTING", into), c.ok) << DumpValue(c.value);
        EXPECT_EQ(DumpSetting(into),
                  c.ok ? L"SUB_X clean RULE_LEVEL=3:8;" : L"OLD dirty RULE_LEVEL=3:8;")
            << DumpValue(c.value);
    }
}

TEST(SettingRef, MalformedSingleCopyThrowsAndChangesNothing) {
    const std::vector<uint8_t> good = kRuleCopyBytes;
    Ref ref;
    ref.GetRefKey() = {L"KEEP", L"KEEP_SUB"};
    auto codeOf = [&](std::vector<uint8_t> bytes) {
        return testsupport::CaughtCode<CIPCMsgBufferException>(
            [&] { Parse(ref, CVar::FromBytes(std::move(bytes))); });
    };

    // Every truncation past the 4-byte minimum runs out of bytes somewhere.
    for (size_t n = 5; n < good.size(); ++n) {
        EXPECT_NE(codeOf(std::vector<uint8_t>(good.begin(), good.begin() + n)), -1) << n;
    }
    std::vector<uint8_t> lying = good;
    lying[3] = 0xFF;  // category length
    EXPECT_EQ(codeOf(lying), CIPCMsgBufferException::BAD_LENGTH);
    lying = good;
    lying[4 + 7 + 4 + 6 + 1 + 3] = 0x7F;  // field count, with the bytes of two fields
    EXPECT_EQ(codeOf(lying), CIPCMsgBufferException::READ_PAST_END);

    EXPECT_EQ(Key(ref) + L" " + Copy(ref), L"KEEP/KEEP_SUB null");
}

TEST(SettingMVRef, ArrayCopyFormIsStoredBytesAndRoundTrips) {
    CCfgSettingCategoryFake c(L"C"), d(L"D");
    c.SetSubjectID(L"S");
    d.SetSubjectID(L"S");
    std::vector<CCfgSettingCategoryBase*> settings = {&c, &d};
    CCfgMVSettingCategoryRef mv;
    ASSERT_TRUE(mv.GetFieldRefBySetting(mv.GetRefSettingArray(), settings));
    CVar stored;
    ASSERT_TRUE(mv.GetValueByFieldRef(stored, mv.GetRefSettingArray(), true));
    const auto expected =
        FromHex(std::string("02000000 0f000000 ") + kTinyC + "0f000000 " + kTinyD);
    EXPECT_EQ(stored.GetBytes(), expected);

    CCfgMVSettingCategoryRef back;
    ASSERT_TRUE(back.GetFieldRefByValue(back.GetRefSettingArray(), stored));
    EXPECT_EQ(Keys(back.GetRefSettingArray()), L"C/S D/S ");

    // Zero elements: a bare count, which reads back as no elements.
    Refs none;
    ASSERT_TRUE(mv.GetValueByFieldRef(stored, none, true));
    EXPECT_EQ(stored.GetBytes(), Bytes({0, 0, 0, 0}));
    ASSERT_TRUE(back.GetFieldRefByValue(none, stored));
    EXPECT_TRUE(none.empty());
}

TEST(SettingMVRef, ArrayReferenceStrings) {
    CCfgSettingCategoryFake c(L"C"), d(L"D");
    c.SetSubjectID(L"S1");
    d.SetSubjectID(L"S2");
    std::vector<CCfgSettingCategoryBase*> settings = {&c, &d};
    CCfgMVSettingCategoryRef mv;
    ASSERT_TRUE(mv.GetFieldRefBySetting(mv.GetRefSettingArray(), settings));
    CVar text;
    ASSERT_TRUE(mv.GetValueByFieldRef(text, mv.GetRefSettingArray(), false));
    EXPECT_EQ(DumpValue(text), L"8:'C:S1:D:S2:'");
    Refs none{nullptr};  // null elements are skipped
    ASSERT_TRUE(mv.GetValueByFieldRef(text, none, false));
    EXPECT_EQ(DumpValue(text), L"8:''");

    // Read through an array reference and through a setting's embedded array field (whose
    // factory makes rules of every element).
    struct Case {
        CVar value;
        bool ok;
        std::wstring keys;
    };
    const std::vector<Case> cases = {
        {CVar(L"C:S1:D:S2:"), true, L"C/S1 D/S2 "},
        {CVar(L"QV_Rule:A:QV_Rule:B:"), true, L"QV_Rule/A QV_Rule/B "},
        {CVar(L"C:S1::D:S2"), true, L"C/S1 D/S2 "},
        {CVar(L"C:S1:D"), false, L""},
        {CVar(L"C"), false, L""},
        {CVar(L""), true, L""},
        {CVar(L"::"), true, L""},
        {CVar::FromBytes(Bytes({9, 0, 0, 0})), true, L""},
        {CVar::FromBytes(Bytes({})), true, L""},
        {CVar(3), false, L""},
    };
    for (Case k : cases) {
        CCfgMVSettingCategoryRef parsed;
        EXPECT_EQ(parsed.GetFieldRefByValue(parsed.GetRefSettingArray(), k.value), k.ok)
            << DumpValue(k.value);
        EXPECT_EQ(Keys(parsed.GetRefSettingArray()), k.keys) << DumpValue(k.value);
        CTestSetting policy(L"QV_Policy");
        policy.AddFieldValue(L"RULES_CFGSETTING_MV", k.value);
        std::vector<OS::CAutoObjPtr<CCfgSettingCategoryBase>> out;
        EXPECT_EQ(policy.GetEmbeddedSettingArray(L"RULES_CFGSETTING_MV", out), k.ok)
            << DumpValue(k.value);
        std::wstring subjects;
        for (auto& p : out) subjects += DumpSetting(*p) + L" ";
        std::wstring expected;
        for (Ref* r : parsed.GetRefSettingArray())
            expected += r->GetRefKey().m_strSubjectID + L" clean  ";
        EXPECT_EQ(subjects, expected) << DumpValue(k.value);
    }
}

TEST(SettingMVRef, MalformedArrayCopyFailsWithoutReadingPastTheBytes) {
    DBG::CCaptureLog log;
    std::wstring keys;
    auto parse = [&keys](std::vector<uint8_t> bytes) {
        CCfgMVSettingCategoryRef mv;
        CVar v = CVar::FromBytes(std::move(bytes));
        const bool ok = mv.GetFieldRefByValue(mv.GetRefSettingArray(), v);
        keys = Keys(mv.GetRefSettingArray());
        return ok;
    };
    const std::vector<uint8_t> good = FromHex(std::string("01000000 0f000000 ") + kTinyC);
    ASSERT_TRUE(parse(good));
    for (size_t n = 5; n < good.size(); ++n) {
        EXPECT_FALSE(parse(std::vector<uint8_t>(good.begin(), good.begin() + n))) << n;
    }
    std::vector<uint8_t> b = good;
    b[0] = 3;  // more elements announced than present: the parsed one stays appended
    EXPECT_FALSE(parse(b));
    EXPECT_EQ(keys, L"C/S ");
    b = good;
    b[4] = 16;  // an element length larger than the bytes
    EXPECT_FALSE(parse(b));
    EXPECT_EQ(keys, L"");
    b = good;
    b[4] = 10;  // an element whose own bytes end inside the setting
    b.resize(18);
    EXPECT_FALSE(parse(b));
    EXPECT_TRUE(testsupport::NoLines(log, DBG::LVL_WARNING));

    // An element of 4 bytes or fewer is refused by the single form, and that is logged.
    b = good;
    b[0] = 2;
    for (uint8_t x : Bytes({4, 0, 0, 0, 0, 0, 0, 0})) b.push_back(x);
    EXPECT_FALSE(parse(b));
    EXPECT_EQ(keys, L"C/S ");
    EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_WARNING,
                                     L"CCfgMVSettingCategoryRef::GetFieldRefByValue, "
                                     L"pcfgSettingRef->GetFieldRefByValue() failed."));
}

TEST(SettingMVRef, FailingElementsAreLogged) {
    DBG::CCaptureLog log;
    CCfgSettingCategoryFake c(L"C");

    // A missing setting stops building; the references made so far stay.
    std::vector<CCfgSettingCategoryBase*> settings = {&c, nullptr, &c};
    CCfgMVSettingCategoryRef mv;
    EXPECT_FALSE(mv.GetFieldRefBySetting(mv.GetRefSettingArray(), settings));
    EXPECT_EQ(Keys(mv.GetRefSettingArray()), L"C/ZOLT_SUB_NULL ");

    // A reference without a copy cannot be written as a copy; the result is left alone.
    Ref bare;
    Refs refs = {mv.GetRefSettingArray()[0], &bare};
    CVar out(L"untouched");
    EXPECT_FALSE(mv.GetValueByFieldRef(out, refs, true));
    EXPECT_EQ(DumpValue(out), L"8:'untouched'");

    // Merging stops at the shorter array and at the first reference without a copy.
    CTestSetting t1(L"C"), t2(L"C");
    std::vector<CCfgSettingCategoryBase*> targets = {&t1, &t2};
    Refs one = {mv.GetRefSettingArray()[0]}, empty;
    t1.ResetDirtyFlag(true);
    EXPECT_TRUE(mv.GetSettingByFieldRef(targets, one));
    EXPECT_FALSE(t1.IsDirty());
    EXPECT_TRUE(mv.GetSettingByFieldRef(targets, empty));
    EXPECT_FALSE(mv.GetSettingByFieldRef(targets, refs));

    for (const wchar_t* warning :
         {L"GetFieldRefBySetting() failed.", L"GetValueByFieldRef() failed.",
          L"GetSettingByFieldRef() failed."}) {
        EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_WARNING, warning)) << warning;
    }
}
