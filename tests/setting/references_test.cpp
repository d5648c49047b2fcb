// Tests of the reference and copy forms of embedded settings: stored bytes, strings, malformed
// input and the ownership of copied references.
// Thread rule: test code, one thread.
#include <gtest/gtest.h>

#include <memory>

#include "cfg_Setting.h"
#include "embedded_test_categories.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"

using namespace embedded_test;
using Ref = CCfgSettingCategoryRef;

namespace {

// A rule "QV_Rule"/"SUB_R1" with RULE_NAME "a" and RULE_LEVEL 5 (dirty).
CTestSetting MakeRule() {
    CTestSetting rule(L"QV_Rule", L"SUB_R1");
    rule.AddFieldValue(RULE_NAME, L"a");
    rule.AddFieldValue(RULE_LEVEL, 5);
    return rule;
}

// The stored single copy form of MakeRule().
std::vector<uint8_t> RuleCopyBytes() {
    std::vector<uint8_t> b;
    AppendString(b, "QV_Rule");
    AppendString(b, "SUB_R1");
    b.push_back(1);   // dirty
    AppendU32(b, 2);  // field count
    AppendString(b, "RULE_LEVEL");
    b.insert(b.end(), {0x03, 0x00, 0x05, 0x00, 0x00, 0x00});  // VT_I4, 5
    AppendString(b, "RULE_NAME");
    b.insert(b.end(), {0x08, 0x00});  // VT_BSTR
    AppendString(b, "a");
    return b;
}

std::wstring DumpValueOf(Ref& ref) {
    return ref.GetRefValue().m_pSetting ? DumpSetting(*ref.GetRefValue().m_pSetting) : L"null";
}

}  // namespace

TEST(SettingRef, SingleCopyFormIsStoredBytesAndRoundTrips) {
    CTestSetting rule = MakeRule();
    Ref ref;
    ASSERT_TRUE(ref.GetFieldRefBySetting(ref.GetRefKey(), ref.GetRefValue(), rule));
    EXPECT_EQ(ref.GetRefKey().m_strCategoryName, L"QV_Rule");
    EXPECT_EQ(ref.GetRefKey().m_strSubjectID, L"SUB_R1");
    EXPECT_EQ(ref.GetRefValue().m_pSetting->GetCategroyName(), L"QV_Rule");
    EXPECT_EQ(DumpValueOf(ref), L"SUB_R1 dirty RULE_LEVEL=3:5;RULE_NAME=8:'a';");

    CVar stored;
    ASSERT_TRUE(ref.GetValueByFieldRef(stored, ref.GetRefKey(), ref.GetRefValue()));
    ASSERT_EQ(stored.vt(), VT_ARRAY_UI1);
    EXPECT_EQ(stored.GetBytes(), RuleCopyBytes());

    // Read back from the stored bytes into a target that already holds another field.
    Ref back;
    ASSERT_TRUE(back.GetFieldRefByValue(back.GetRefKey(), back.GetRefValue(), stored));
    EXPECT_EQ(back.GetRefKey().m_strCategoryName, L"QV_Rule");
    EXPECT_EQ(back.GetRefKey().m_strSubjectID, L"SUB_R1");
    CTestSetting target(L"QV_Rule", L"OTHER");
    target.AddFieldValue(L"EXTRA", CVar(7));
    target.ResetDirtyFlag(false);
    ASSERT_TRUE(back.GetSettingByFieldRef(target, back.GetRefKey(), back.GetRefValue()));
    EXPECT_EQ(DumpSetting(target), L"OTHER dirty EXTRA=3:7;RULE_LEVEL=3:5;RULE_NAME=8:'a';");

    // The copy carries the source's flag, also when it is clear; a null subject stays null.
    CCfgSettingCategoryFake plain(L"QV_Plain");
    Ref nullSubject;
    ASSERT_TRUE(nullSubject.GetFieldRefBySetting(nullSubject.GetRefKey(), nullSubject.GetRefValue(),
                                                 plain));
    CVar plainBytes;
    ASSERT_TRUE(nullSubject.GetValueByFieldRef(plainBytes, nullSubject.GetRefKey(),
                                               nullSubject.GetRefValue()));
    std::vector<uint8_t> expected;
    AppendString(expected, "QV_Plain");
    AppendString(expected, "ZOLT_SUB_NULL");
    expected.insert(expected.end(), {0, 0, 0, 0, 0});  // clean, no fields
    EXPECT_EQ(plainBytes.GetBytes(), expected);
    Ref plainBack;
    ASSERT_TRUE(
        plainBack.GetFieldRefByValue(plainBack.GetRefKey(), plainBack.GetRefValue(), plainBytes));
    EXPECT_EQ(DumpValueOf(plainBack), L"ZOLT_SUB_NULL clean ");
}

TEST(SettingRef, ReferenceStringsNameTheSettingAndCarryNoFields) {
    CTestSetting rule = MakeRule();
    Ref ref;
    ASSERT_TRUE(ref.GetFieldRefBySetting(ref.GetRefKey(), ref.GetRefValue(), rule));
    CVar text;
    ASSERT_TRUE(ref.GetValueByFieldRef(text, ref.GetRefKey()));
    EXPECT_EQ(DumpValue(text), L"8:'QV_Rule:SUB_R1'");

    // A reference read back: the key, and an empty clean copy whose merge keeps the target's
    // fields and clears its dirty flag.
    Ref back;
    ASSERT_TRUE(back.GetFieldRefByValue(back.GetRefKey(), back.GetRefValue(), text));
    EXPECT_EQ(back.GetRefKey().m_strCategoryName, L"QV_Rule");
    EXPECT_EQ(back.GetRefKey().m_strSubjectID, L"SUB_R1");
    EXPECT_EQ(DumpValueOf(back), L"SUB_R1 clean ");
    CTestSetting target(L"QV_Rule", L"OTHER");
    target.AddFieldValue(RULE_LEVEL, 8);
    ASSERT_TRUE(back.GetSettingByFieldRef(target, back.GetRefKey(), back.GetRefValue()));
    EXPECT_EQ(DumpSetting(target), L"OTHER clean RULE_LEVEL=3:8;");

    // Empty words are dropped: a trailing or doubled ":" still names two words.
    for (CVar v :
         {CVar(L"QV_Rule:SUB_X:"), CVar(L"QV_Rule::SUB_X"), CVar::FromLPWSTR(L"QV_Rule:SUB_X")}) {
        Ref r;
        ASSERT_TRUE(r.GetFieldRefByValue(r.GetRefKey(), r.GetRefValue(), v)) << DumpValue(v);
        EXPECT_EQ(r.GetRefKey().m_strCategoryName, L"QV_Rule") << DumpValue(v);
        EXPECT_EQ(r.GetRefKey().m_strSubjectID, L"SUB_X") << DumpValue(v);
    }

    // Anything but two words, a short byte array or another kind is refused; the reference
    // keeps the key and the copy it held.
    const std::vector<CVar> refused = {CVar(L"QV_Rule:SUB:X"),
                                       CVar(L"QV_Rule"),
                                       CVar(L""),
                                       CVar(L":::"),
                                       CVar::FromBytes(Bytes({1, 0, 0, 0})),
                                       CVar::FromBytes(Bytes({})),
                                       CVar(5),
                                       CVar()};
    for (CVar v : refused) {
        EXPECT_FALSE(ref.GetFieldRefByValue(ref.GetRefKey(), ref.GetRefValue(), v)) << DumpValue(v);
        EXPECT_EQ(ref.GetRefKey().m_strCategoryName, L"QV_Rule");
        EXPECT_EQ(ref.GetRefKey().m_strSubjectID, L"SUB_R1");
        EXPECT_EQ(DumpValueOf(ref), L"SUB_R1 dirty RULE_LEVEL=3:5;RULE_NAME=8:'a';");
    }

    // Without a copy there is nothing to write or to merge.
    Ref empty;
    empty.GetRefKey() = {L"QV_Rule", L"S"};
    CVar out(L"untouched");
    EXPECT_FALSE(empty.GetValueByFieldRef(out, empty.GetRefKey(), empty.GetRefValue()));
    EXPECT_EQ(DumpValue(out), L"8:'untouched'");
    EXPECT_FALSE(empty.GetSettingByFieldRef(target, empty.GetRefKey(), empty.GetRefValue()));
    EXPECT_TRUE(empty.GetValueByFieldRef(out, empty.GetRefKey()));
    EXPECT_EQ(DumpValue(out), L"8:'QV_Rule:S'");
}

TEST(SettingRef, MalformedSingleCopyThrowsAndChangesNothing) {
    const std::vector<uint8_t> good = RuleCopyBytes();
    Ref ref;
    ref.GetRefKey() = {L"KEEP", L"KEEP_SUB"};

    // Every truncation past the 4-byte minimum runs out of bytes somewhere.
    for (size_t n = 5; n < good.size(); ++n) {
        CVar v = CVar::FromBytes(good.data(), n);
        EXPECT_THROW(ref.GetFieldRefByValue(ref.GetRefKey(), ref.GetRefValue(), v),
                     CIPCMsgBufferException)
            << n;
    }

    auto codeOf = [&](std::vector<uint8_t> bytes) {
        CVar v = CVar::FromBytes(std::move(bytes));
        try {
            ref.GetFieldRefByValue(ref.GetRefKey(), ref.GetRefValue(), v);
        } catch (const CIPCMsgBufferException& e) {
            return e.GetErrorCode();
        }
        return -1;
    };
    // A category length larger than the bytes.
    std::vector<uint8_t> lying = good;
    lying[0] = 0xF0;
    lying[3] = 0xFF;
    EXPECT_EQ(codeOf(lying), CIPCMsgBufferException::BAD_LENGTH);
    // A field name length larger than the bytes.
    lying = good;
    const size_t firstName = 4 + 7 + 4 + 6 + 1 + 4;
    lying[firstName + 2] = 0x10;
    EXPECT_EQ(codeOf(lying), CIPCMsgBufferException::BAD_LENGTH);
    // A hostile field count with the bytes of two fields.
    lying = good;
    const size_t count = 4 + 7 + 4 + 6 + 1;
    lying[count + 3] = 0x7F;
    EXPECT_EQ(codeOf(lying), CIPCMsgBufferException::READ_PAST_END);
    // A byte-array value announcing more bytes than follow.
    std::vector<uint8_t> array;
    AppendString(array, "C");
    AppendString(array, "S");
    array.push_back(0);
    AppendU32(array, 1);
    AppendString(array, "B");
    array.insert(array.end(), {0x11, 0x20});
    AppendU32(array, 0xFFFFFFFFu);
    array.push_back(0xAB);
    EXPECT_EQ(codeOf(array), CIPCMsgBufferException::READ_PAST_END);

    EXPECT_EQ(ref.GetRefKey().m_strCategoryName, L"KEEP");
    EXPECT_EQ(ref.GetRefKey().m_strSubjectID, L"KEEP_SUB");
    EXPECT_EQ(ref.GetRefValue().m_pSetting, nullptr);
}

TEST(SettingRef, CopiesOwnTheirOwnCopy) {
    CTestSetting rule = MakeRule();
    Ref a;
    ASSERT_TRUE(a.GetFieldRefBySetting(a.GetRefKey(), a.GetRefValue(), rule));
    auto b = std::make_unique<Ref>(a);
    ASSERT_NE(b->GetRefValue().m_pSetting, nullptr);
    EXPECT_NE(b->GetRefValue().m_pSetting, a.GetRefValue().m_pSetting);
    EXPECT_EQ(b->GetRefKey().m_strSubjectID, L"SUB_R1");
    EXPECT_EQ(b->GetRefValue().m_pSetting->GetCategroyName(), L"QV_Rule");
    EXPECT_EQ(DumpValueOf(*b), DumpValueOf(a));

    a.GetRefValue().m_pSetting->AddFieldValue(L"LATER", CVar(1));
    EXPECT_EQ(DumpValueOf(*b), L"SUB_R1 dirty RULE_LEVEL=3:5;RULE_NAME=8:'a';");

    // Assignment replaces the held copy; copying an empty reference gives no copy.
    Ref c;
    CVar text(L"QV_Other:SUB_O");
    ASSERT_TRUE(c.GetFieldRefByValue(c.GetRefKey(), c.GetRefValue(), text));
    c = *b;
    b.reset();
    EXPECT_EQ(c.GetRefKey().m_strCategoryName, L"QV_Rule");
    EXPECT_EQ(DumpValueOf(c), L"SUB_R1 dirty RULE_LEVEL=3:5;RULE_NAME=8:'a';");
    const Ref& self = c;
    c = self;
    EXPECT_EQ(DumpValueOf(c), L"SUB_R1 dirty RULE_LEVEL=3:5;RULE_NAME=8:'a';");
    c = Ref();
    EXPECT_EQ(c.GetRefValue().m_pSetting, nullptr);
    EXPECT_EQ(c.GetRefKey().m_strCategoryName, L"");
}

// ---------------------------------------------------------------------------------------------

namespace {

const wchar_t kByValueFailed[] =
    L"CCfgMVSettingCategoryRef::GetFieldRefByValue, pcfgSettingRef->GetFieldRefByValue() failed.";

std::wstring Keys(const std::vector<Ref*>& refs) {
    std::wstring out;
    for (Ref* r : refs)
        out += r->GetRefKey().m_strCategoryName + L"/" + r->GetRefKey().m_strSubjectID + L" ";
    return out;
}

// The single copy of an empty clean setting "C"/"S": 15 bytes.
std::vector<uint8_t> TinyCopy(const std::string& category = "C") {
    std::vector<uint8_t> b;
    AppendString(b, category);
    AppendString(b, "S");
    b.insert(b.end(), {0, 0, 0, 0, 0});
    return b;
}

}  // namespace

TEST(SettingMVRef, ArrayCopyFormIsStoredBytesAndRoundTrips) {
    CCfgSettingCategoryFake c(L"C"), d(L"D");
    c.SetSubjectID(L"S");
    d.SetSubjectID(L"S");
    std::vector<CCfgSettingCategoryBase*> settings = {&c, &d};
    CCfgMVSettingCategoryRef mv;
    ASSERT_TRUE(mv.GetFieldRefBySetting(mv.GetRefSettingArray(), settings));
    EXPECT_EQ(Keys(mv.GetRefSettingArray()), L"C/S D/S ");

    CVar stored;
    ASSERT_TRUE(mv.GetValueByFieldRef(stored, mv.GetRefSettingArray(), true));
    std::vector<uint8_t> expected;
    AppendU32(expected, 2);
    AppendU32(expected, 15);
    for (uint8_t x : TinyCopy("C")) expected.push_back(x);
    AppendU32(expected, 15);
    for (uint8_t x : TinyCopy("D")) expected.push_back(x);
    EXPECT_EQ(stored.GetBytes(), expected);

    CCfgMVSettingCategoryRef back;
    ASSERT_TRUE(back.GetFieldRefByValue(back.GetRefSettingArray(), stored));
    EXPECT_EQ(Keys(back.GetRefSettingArray()), L"C/S D/S ");

    // Several real settings: the fields come back at their positions.
    CTestSetting r1 = MakeRule(), r2(L"QV_Rule", L"SUB_R2");
    r2.AddFieldValue(RULE_LEVEL, 2);
    r2.ResetDirtyFlag(false);
    std::vector<CCfgSettingCategoryBase*> rules = {&r1, &r2};
    CCfgMVSettingCategoryRef mv2;
    ASSERT_TRUE(mv2.GetFieldRefBySetting(mv2.GetRefSettingArray(), rules));
    ASSERT_TRUE(mv2.GetValueByFieldRef(stored, mv2.GetRefSettingArray(), true));
    CCfgMVSettingCategoryRef back2;
    ASSERT_TRUE(back2.GetFieldRefByValue(back2.GetRefSettingArray(), stored));
    CTestSetting t1(L"QV_Rule", L"T1"), t2(L"QV_Rule", L"T2");
    std::vector<CCfgSettingCategoryBase*> targets = {&t1, &t2};
    ASSERT_TRUE(back2.GetSettingByFieldRef(targets, back2.GetRefSettingArray()));
    EXPECT_EQ(DumpSetting(t1), L"T1 dirty RULE_LEVEL=3:5;RULE_NAME=8:'a';");
    EXPECT_EQ(DumpSetting(t2), L"T2 clean RULE_LEVEL=3:2;");

    // Zero elements: a bare count, which reads back as no elements.
    std::vector<Ref*> none;
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
    std::vector<Ref*> none;
    ASSERT_TRUE(mv.GetValueByFieldRef(text, none, false));
    EXPECT_EQ(DumpValue(text), L"8:''");

    struct Case {
        CVar value;
        bool ok;
        std::wstring keys;
    };
    const std::vector<Case> cases = {
        {CVar(L"C:S1:D:S2:"), true, L"C/S1 D/S2 "},
        {CVar(L"C:S1:D:S2"), true, L"C/S1 D/S2 "},
        {CVar(L"C:S1::D:S2"), true, L"C/S1 D/S2 "},
        {CVar(L"C:S1:D"), false, L""},
        {CVar(L"C"), false, L""},
        {CVar(L""), true, L""},
        {CVar(L"::"), true, L""},
        {CVar::FromBytes(Bytes({0, 0, 0, 0})), true, L""},
        {CVar::FromBytes(Bytes({9, 0, 0, 0})), true, L""},
        {CVar::FromBytes(Bytes({})), true, L""},
        {CVar(3), false, L""},
        {CVar(), false, L""},
    };
    for (Case c : cases) {
        CCfgMVSettingCategoryRef parsed;
        EXPECT_EQ(parsed.GetFieldRefByValue(parsed.GetRefSettingArray(), c.value), c.ok)
            << DumpValue(c.value);
        EXPECT_EQ(Keys(parsed.GetRefSettingArray()), c.keys) << DumpValue(c.value);
        for (Ref* r : parsed.GetRefSettingArray()) {
            EXPECT_EQ(DumpValueOf(*r), r->GetRefKey().m_strSubjectID + L" clean ");
        }
    }
}

TEST(SettingMVRef, MalformedArrayCopyFailsWithoutReadingPastTheBytes) {
    DBG::CCaptureLog log;
    const std::vector<uint8_t> element = TinyCopy();
    auto parse = [](std::vector<uint8_t> bytes, std::wstring* keys) {
        CCfgMVSettingCategoryRef mv;
        CVar v = CVar::FromBytes(std::move(bytes));
        const bool ok = mv.GetFieldRefByValue(mv.GetRefSettingArray(), v);
        *keys = Keys(mv.GetRefSettingArray());
        return ok;
    };
    std::wstring keys;

    // More elements announced than present: the parsed ones stay appended.
    std::vector<uint8_t> b;
    AppendU32(b, 3);
    AppendU32(b, 15);
    b.insert(b.end(), element.begin(), element.end());
    EXPECT_FALSE(parse(b, &keys));
    EXPECT_EQ(keys, L"C/S ");
    // A hostile count.
    b[0] = b[1] = b[2] = b[3] = 0xFF;
    EXPECT_FALSE(parse(b, &keys));
    // An element length larger than the bytes.
    b = {};
    AppendU32(b, 1);
    AppendU32(b, 16);
    b.insert(b.end(), element.begin(), element.end());
    EXPECT_FALSE(parse(b, &keys));
    EXPECT_EQ(keys, L"");
    // Every truncation of a good one-element array.
    std::vector<uint8_t> good;
    AppendU32(good, 1);
    AppendU32(good, 15);
    good.insert(good.end(), element.begin(), element.end());
    ASSERT_TRUE(parse(good, &keys));
    for (size_t n = 5; n < good.size(); ++n) {
        EXPECT_FALSE(parse(std::vector<uint8_t>(good.begin(), good.begin() + n), &keys)) << n;
    }
    // An element whose own bytes are malformed (too short inside its length).
    b = {};
    AppendU32(b, 1);
    AppendU32(b, 10);
    b.insert(b.end(), element.begin(), element.begin() + 10);
    EXPECT_FALSE(parse(b, &keys));
    EXPECT_TRUE(log.Messages(DBG::LVL_WARNING).empty());

    // An element of 4 bytes or fewer is refused by the single form, and that is logged.
    b = {};
    AppendU32(b, 2);
    AppendU32(b, 15);
    b.insert(b.end(), element.begin(), element.end());
    AppendU32(b, 4);
    AppendU32(b, 0);
    EXPECT_FALSE(parse(b, &keys));
    EXPECT_EQ(keys, L"C/S ");
    EXPECT_EQ(log.Messages(DBG::LVL_WARNING), std::vector<OS::x_wstring>{kByValueFailed});
    for (const auto& line : log.Lines()) {
        if (line.level == DBG::LVL_WARNING) {
            EXPECT_EQ(line.source, L"cfg_SettingCategoryRef");
        }
    }
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
    std::vector<Ref*> refs = {mv.GetRefSettingArray()[0], &bare};
    CVar out(L"untouched");
    EXPECT_FALSE(mv.GetValueByFieldRef(out, refs, true));
    EXPECT_EQ(DumpValue(out), L"8:'untouched'");
    // Null elements are skipped in the reference string.
    std::vector<Ref*> withNull = {nullptr, mv.GetRefSettingArray()[0]};
    EXPECT_TRUE(mv.GetValueByFieldRef(out, withNull, false));
    EXPECT_EQ(DumpValue(out), L"8:'C:ZOLT_SUB_NULL:'");

    // Merging stops at the shorter array and at the first reference without a copy.
    CTestSetting t1(L"C"), t2(L"C");
    std::vector<CCfgSettingCategoryBase*> targets = {&t1, &t2};
    std::vector<Ref*> one = {mv.GetRefSettingArray()[0]};
    t1.ResetDirtyFlag(true);
    EXPECT_TRUE(mv.GetSettingByFieldRef(targets, one));
    EXPECT_FALSE(t1.IsDirty());
    std::vector<Ref*> empty;
    EXPECT_TRUE(mv.GetSettingByFieldRef(targets, empty));
    EXPECT_FALSE(mv.GetSettingByFieldRef(targets, refs));

    EXPECT_EQ(log.Messages(DBG::LVL_WARNING),
              (std::vector<OS::x_wstring>{L"CCfgMVSettingCategoryRef::GetFieldRefBySetting, "
                                          L"pcfgSettingRef->GetFieldRefBySetting() failed.",
                                          L"CCfgMVSettingCategoryRef::GetValueByFieldRef, "
                                          L"pcfgSettingRef->GetValueByFieldRef() failed.",
                                          L"CCfgMVSettingCategoryRef::GetSettingByFieldRef, "
                                          L"pcfgSettingRef->GetSettingByFieldRef() failed."}));
}

TEST(SettingMVRef, CopiesDuplicateOwnedReferencesAndShareTheOthers) {
    CVar text(L"C:S1:D:S2:");
    Ref outside;
    auto a = std::make_unique<CCfgMVSettingCategoryRef>();
    ASSERT_TRUE(a->GetFieldRefByValue(a->GetRefSettingArray(), text));
    a->GetRefSettingArray().push_back(nullptr);
    a->GetNewSettingArray().push_back(&outside);
    a->GetCurSettingArray().push_back(&outside);

    CCfgMVSettingCategoryRef b(*a);
    ASSERT_EQ(b.GetRefSettingArray().size(), 3u);
    EXPECT_NE(b.GetRefSettingArray()[0], a->GetRefSettingArray()[0]);
    EXPECT_EQ(b.GetRefSettingArray()[2], nullptr);
    EXPECT_EQ(b.GetNewSettingArray(), std::vector<Ref*>{&outside});
    EXPECT_EQ(b.GetCurSettingArray(), std::vector<Ref*>{&outside});

    CCfgMVSettingCategoryRef c;
    CVar other(L"X:Y");
    ASSERT_TRUE(c.GetFieldRefByValue(c.GetRefSettingArray(), other));
    c = *a;
    a.reset();  // b and c keep working after the original is gone
    b.GetRefSettingArray().pop_back();
    c.GetRefSettingArray().pop_back();
    EXPECT_EQ(Keys(b.GetRefSettingArray()), L"C/S1 D/S2 ");
    EXPECT_EQ(Keys(c.GetRefSettingArray()), L"C/S1 D/S2 ");
    EXPECT_EQ(DumpValueOf(*c.GetRefSettingArray()[1]), L"S2 clean ");
    const CCfgMVSettingCategoryRef& self = c;
    c = self;
    EXPECT_EQ(Keys(c.GetRefSettingArray()), L"C/S1 D/S2 ");
}
