// Tests of the database store's bulk read and write (item tables read in one pass, the bulk
// cache answering repeated reads without the database, item rows written as rows of their own)
// and of the reset to the default rows that CFG_DEFAULT_INSTANCE names.
#include "tests/storage/GenericDatabaseFixture.h"
#include "tests/support/LogText.h"

using namespace storetest;
using Op = CDBFaultInjector::Op;

namespace {

// The item settings held by a multi-value field value, as (subject, NAME) pairs.
std::vector<std::pair<x_wstring, x_wstring>> ItemsIn(CVar value) {
    std::vector<std::pair<x_wstring, x_wstring>> out;
    CCfgMVSettingCategoryRef mv;
    EXPECT_TRUE(mv.GetFieldRefByValue(mv.GetRefSettingArray(), value));
    for (CCfgSettingCategoryRef* r : mv.GetRefSettingArray()) {
        CVar name = Field(*r->GetRefValue().m_pSetting, L"NAME");
        out.emplace_back(r->GetRefKey().m_strSubjectID, name.IsEmpty() ? L"" : name.GetString());
    }
    return out;
}

// An array copy of `items` for a multi-value field.
CVar CopiesOf(std::vector<CCfgSettingCategoryBase*> items) {
    CCfgMVSettingCategoryRef mv;
    EXPECT_TRUE(mv.GetFieldRefBySetting(mv.GetRefSettingArray(), items));
    CVar v;
    EXPECT_TRUE(mv.GetValueByFieldRef(v, mv.GetRefSettingArray(), true));
    return v;
}

std::unique_ptr<CCfgSettingCategoryFake> Item(const wchar_t* subject, const wchar_t* name) {
    auto i = Make(L"T_Item", subject);
    i->AddFieldValue(L"NAME", CVar(name));
    return i;
}

}  // namespace

// The bulk read fills its items straight from the rows of the item table walk; each found item
// must hold what a single read of its row gives, values of every kind included, and the field's
// copy form must be byte for byte the one built from those single reads. A second read is
// answered from the bulk cache.
TEST_P(GenericDatabaseTest, BulkReadGivesEachItemWhatTheSingleReadGivesThenAnswersFromCache) {
    CCfgSettingGenericDatabase& db = Open();
    Exec(std::string("INSERT INTO T_Item (CFG_INDEX, NAME, PRIO) VALUES ") +
         "('ZOLT_PLC_NULL:I1', 'Zürich ☃ 𝄞', 5), ('ZOLT_PLC_NULL:I2', NULL, '12'), "
         "('ZOLT_PLC_NULL:I3', 'plain', " +
         (Pg() ? "NULL" : "'n/a'") + "), ('ZOLT_PLC_NULL:I4', '', 2.0)");
    // Enough further rows, listed in another order than stored, for the key table to hold
    // colliding keys.
    std::string list = "T_Item:I2:T_Item:i3:";  // i3: keys match with case
    for (int n = 10; n < 50; ++n) {
        Exec("INSERT INTO T_Item (CFG_INDEX, NAME, PRIO) VALUES ('ZOLT_PLC_NULL:I" +
             std::to_string(n) + "', 'n" + std::to_string(n) + "', " + std::to_string(n) + ")");
    }
    for (int n = 49; n >= 10; --n) list += "T_Item:I" + std::to_string(n) + ":";
    list += "T_Item:I1:T_Item:I2:T_Item:I3:T_Item:I4:";  // I2 a second time
    Exec(
        "INSERT INTO T_Owner (CFG_INDEX, NAME, ITEMS_CFGSETTING_MV) VALUES ('ZOLT_PLC_NULL:O1', "
        "'own', '" +
        list + "')");

    auto owner = Make(L"T_Owner", L"O1");
    std::vector<x_wstring> itemLines;
    {
        DBG::CCaptureLog log;
        ASSERT_TRUE(db.GetBulkConfiguration(Key(L"O1"), *owner));
        EXPECT_TRUE(log.Contains(L"Record Number of Bulk Data: 44", DBG::LVL_INFO));
        for (const x_wstring& m : log.Messages(DBG::LVL_INFO)) {
            if (m.find(L"CfgSetting subject: ") == 0 || m.find(L"can not find ") == 0)
                itemLines.push_back(m);
        }
    }

    // The expected items in list order: a single read of each stored one, a fresh placeholder
    // for the one without a row.
    std::vector<x_wstring> subjects = {L"I2", L"i3"};
    for (int n = 49; n >= 10; --n) subjects.push_back(L"I" + std::to_wstring(n));
    for (const wchar_t* s : {L"I1", L"I2", L"I3", L"I4"}) subjects.push_back(s);
    std::vector<x_wstring> expectedLines;
    std::vector<std::unique_ptr<CCfgSettingCategoryFake>> expected;
    for (const x_wstring& subject : subjects) {
        const x_wstring key = L"ZOLT_PLC_NULL:" + subject;
        expected.push_back(Make(L"T_Item", subject));
        if (subject == L"i3") {
            expectedLines.push_back(L"can not find " + key + L" in  cacheCfg");
            continue;
        }
        ASSERT_TRUE(db.GetConfiguration(Key(subject), *expected.back()));
        expectedLines.push_back(L"CfgSetting subject: " + key);
    }
    EXPECT_EQ(itemLines, expectedLines);

    // Text in an integer column is converted when it can be and kept as text when it cannot.
    EXPECT_EQ(Field(*expected[42], L"NAME"), CVar(L"Zürich ☃ 𝄞"));
    EXPECT_EQ(Field(*expected[0], L"PRIO"), CVar(12));
    EXPECT_EQ(Field(*expected[44], L"PRIO"), Pg() ? CVar() : CVar(L"n/a"));  // the server types

    std::vector<CCfgSettingCategoryBase*> items;
    for (auto& e : expected) items.push_back(e.get());
    const CVar copies = CopiesOf(items);
    EXPECT_EQ(Field(*owner, L"ITEMS_CFGSETTING_MV"), copies);
    EXPECT_EQ(Field(*owner, L"NAME"), CVar(L"own"));

    // A single write does not touch the bulk cache, and the second read never reaches the
    // database.
    auto renamed = Make(L"T_Owner", L"O1");
    renamed->AddFieldValue(L"NAME", CVar(L"renamed"));
    ASSERT_TRUE(db.SetConfiguration(Key(L"O1"), *renamed, nullptr, CCfgSettingDBBase::MA_NONE));
    CDBFaultInjector::FailNext(Op::kAny, 100);
    auto again = Make(L"T_Owner", L"O1");
    DBG::CCaptureLog log;
    ASSERT_TRUE(db.GetBulkConfiguration(Key(L"O1"), *again));
    CDBFaultInjector::Reset();
    EXPECT_EQ(CDBFaultInjector::FiredCount(), 0);
    EXPECT_TRUE(log.Contains(L"Load Bulk CFG Cache.", DBG::LVL_INFO));
    EXPECT_EQ(Field(*again, L"NAME"), CVar(L"own"));
    EXPECT_EQ(Field(*again, L"ITEMS_CFGSETTING_MV"), copies);
}

TEST_P(GenericDatabaseTest, BulkReadThatFailsLeavesNoHalfFilledCacheEntry) {
    CCfgSettingGenericDatabase& db = Open();
    Exec(
        "INSERT INTO T_Owner (CFG_INDEX, NAME, ITEMS_CFGSETTING_MV) VALUES ('ZOLT_PLC_NULL:O1', "
        "'own', 'T_Item:I1:')");
    Exec("INSERT INTO T_Item (CFG_INDEX, NAME) VALUES ('ZOLT_PLC_NULL:I1','one')");
    // The item table walk fails in both attempts.
    CDBFaultInjector::FailNext(Op::kMove, 2);
    auto owner = Make(L"T_Owner", L"O1");
    EXPECT_FALSE(db.GetBulkConfiguration(Key(L"O1"), *owner));
    std::map<x_wstring, CVar, OS::NoCaseLess> entry;
    EXPECT_FALSE(db.GetBulkCacheEntry(L"O1", entry));

    auto fresh = Make(L"T_Owner", L"O1");
    ASSERT_TRUE(db.GetBulkConfiguration(Key(L"O1"), *fresh));
    EXPECT_EQ(ItemsIn(Field(*fresh, L"ITEMS_CFGSETTING_MV")),
              (std::vector<std::pair<x_wstring, x_wstring>>{{L"I1", L"one"}}));
}

TEST_P(GenericDatabaseTest, BulkWriteStoresItemRowsAndKeepsTheOwnerInTheCache) {
    CCfgSettingGenericDatabase& db = Open();
    auto i1 = Item(L"I1", L"one");
    auto i2 = Item(L"I2", L"two");
    auto owner = Make(L"T_Owner", L"O1");
    owner->AddFieldValue(L"NAME", CVar(L"own"));
    owner->AddFieldValue(L"ITEMS_CFGSETTING_MV", CopiesOf({i1.get(), i2.get()}));

    std::vector<x_wstring> changed;
    ASSERT_TRUE(db.SetBulkConfiguration(Key(L"O1"), *owner, &changed, CCfgSettingDBBase::MA_NONE));
    EXPECT_EQ(changed, W({L"O1", L"I1", L"I2"}));
    EXPECT_EQ(RowOf("T_Owner", "ZOLT_PLC_NULL:O1")["ITEMS_CFGSETTING_MV"], "T_Item:I1:T_Item:I2:");
    EXPECT_EQ(RowOf("T_Item", "ZOLT_PLC_NULL:I2")["NAME"], "two");

    std::map<x_wstring, CVar, OS::NoCaseLess> entry;
    ASSERT_TRUE(db.GetBulkCacheEntry(L"O1", entry));
    EXPECT_EQ(entry.size(), 2u);
    EXPECT_EQ(ItemsIn(entry[L"ITEMS_CFGSETTING_MV"]),
              (std::vector<std::pair<x_wstring, x_wstring>>{{L"I1", L"one"}, {L"I2", L"two"}}));

    // The next write lists I2 unchanged and a new I3: I1 leaves, I3 is written, I2 is left alone.
    Exec("UPDATE T_Item SET PRIO = 5 WHERE CFG_INDEX = 'ZOLT_PLC_NULL:I2'");
    auto i2clean = Item(L"I2", L"two");
    i2clean->ResetDirtyFlag(false);
    auto i3 = Item(L"I3", L"three");
    owner->AddFieldValue(L"ITEMS_CFGSETTING_MV", CopiesOf({i2clean.get(), i3.get()}));
    changed.clear();
    ASSERT_TRUE(db.SetBulkConfiguration(Key(L"O1"), *owner, &changed, CCfgSettingDBBase::MA_NONE));
    EXPECT_EQ(changed, W({L"O1", L"I1", L"I3"}));
    EXPECT_EQ(Keys("T_Item"), (std::vector<std::string>{"ZOLT_PLC_NULL:I2", "ZOLT_PLC_NULL:I3"}));
    EXPECT_EQ(RowOf("T_Item", "ZOLT_PLC_NULL:I2")["PRIO"], "5");

    // Served from the cache afterwards.
    CDBFaultInjector::FailNext(Op::kAny, 100);
    auto back = Make(L"T_Owner", L"O1");
    ASSERT_TRUE(db.GetBulkConfiguration(Key(L"O1"), *back));
    CDBFaultInjector::Reset();
    EXPECT_EQ(ItemsIn(Field(*back, L"ITEMS_CFGSETTING_MV")),
              (std::vector<std::pair<x_wstring, x_wstring>>{{L"I2", L"two"}, {L"I3", L"three"}}));

    // A clean owner is written only with flag 1, which empties the item table and writes every
    // item again.
    owner->ResetDirtyFlag(false);
    changed.clear();
    {
        DBG::CCaptureLog log;
        EXPECT_TRUE(
            db.SetBulkConfiguration(Key(L"O1"), *owner, &changed, CCfgSettingDBBase::MA_NONE));
        EXPECT_TRUE(log.Contains(L"Setting is not dirty", DBG::LVL_INFO));
        EXPECT_TRUE(changed.empty());
    }
    Exec("INSERT INTO T_Item (CFG_INDEX, NAME) VALUES ('ZOLT_PLC_NULL:STRAY', 'stray')");
    DBG::CCaptureLog log;
    ASSERT_TRUE(
        db.SetBulkConfiguration(Key(L"O1"), *owner, &changed, CCfgSettingDBBase::MA_WRITE_CLEAN));
    EXPECT_TRUE(log.Contains(L"delete all domains", DBG::LVL_INFO));
    EXPECT_EQ(changed, W({L"O1", L"I2", L"I3"}));
    EXPECT_EQ(Keys("T_Item"), (std::vector<std::string>{"ZOLT_PLC_NULL:I2", "ZOLT_PLC_NULL:I3"}));
    EXPECT_EQ(RowOf("T_Item", "ZOLT_PLC_NULL:I2")["PRIO"], "0");

    // Another owner under another policy shares the item table, with an item of the same subject.
    // Emptying O1's list deletes O1's items one by one and leaves the other owner's row.
    auto theirs = Item(L"I2", L"theirs");
    auto other = Make(L"T_Owner", L"O2");
    other->AddFieldValue(L"ITEMS_CFGSETTING_MV", CopiesOf({theirs.get()}));
    ASSERT_TRUE(
        db.SetBulkConfiguration(Key(L"O2", L"P2"), *other, nullptr, CCfgSettingDBBase::MA_NONE));
    owner->AddFieldValue(L"ITEMS_CFGSETTING_MV", CopiesOf({}));
    changed.clear();
    DBG::CCaptureLog emptied;
    ASSERT_TRUE(db.SetBulkConfiguration(Key(L"O1"), *owner, &changed, CCfgSettingDBBase::MA_NONE));
    EXPECT_FALSE(emptied.Contains(L"delete all domains", DBG::LVL_INFO));
    EXPECT_EQ(changed, W({L"O1", L"I2", L"I3"}));
    EXPECT_EQ(Keys("T_Item"), std::vector<std::string>{"P2:I2"});
    EXPECT_EQ(RowOf("T_Item", "P2:I2")["NAME"], "theirs");
}

TEST_P(GenericDatabaseTest, ItemRowWriteAddsWithoutSeeking) {
    CCfgSettingGenericDatabase& db = Open();
    Exec("INSERT INTO T_Item (CFG_INDEX, NAME, PRIO) VALUES ('ZOLT_PLC_NULL:I1','old',4)");
    auto item = Item(L"I1", L"new");
    CDBFaultInjector::FailNext(Op::kSeek, 1);
    std::map<x_wstring, CVar, OS::NoCaseLess> entry;
    ASSERT_TRUE(
        db.SetBulkConfigurationEx(Key(L"I1"), *item, nullptr, CCfgSettingDBBase::MA_NONE, true));
    EXPECT_EQ(CDBFaultInjector::FiredCount(), 0);
    CDBFaultInjector::Reset();
    EXPECT_EQ(Keys("T_Item"), std::vector<std::string>{"ZOLT_PLC_NULL:I1"});
    EXPECT_EQ(RowOf("T_Item", "ZOLT_PLC_NULL:I1")["NAME"], "new");
    EXPECT_EQ(RowOf("T_Item", "ZOLT_PLC_NULL:I1")["PRIO"], "4");
    EXPECT_FALSE(db.GetBulkCacheEntry(L"I1", entry));  // item rows get no cache entry
}

TEST_P(GenericDatabaseTest, ResetCopiesOrAddsTheDefaultRowAndFollowsReferences) {
    CCfgSettingGenericDatabase& db = Open();
    // The shared default row is copied into every reset row; fields only the object has stay.
    Exec(
        "INSERT INTO T_Plain (CFG_INDEX, A, B, C, D) VALUES "
        "('ZOLT_PLC_NULL:DEF','dflt',42,'c','0'),"
        "('ZOLT_PLC_NULL:S1','mine',1,'x','1'), ('ZOLT_PLC_NULL:S2','other',2,'y','1')");
    std::vector<x_wstring> changed;
    auto s1 = Make(L"T_Plain", L"S1");
    s1->AddFieldValue(L"ONLY_IN_OBJECT", CVar(L"kept"));
    ASSERT_TRUE(db.ResetToDefault(Key(L"S1"), *s1, &changed));
    auto s2 = Make(L"T_Plain", L"S2");
    ASSERT_TRUE(db.ResetToDefault(Key(L"S2"), *s2, &changed));
    EXPECT_EQ(changed, W({L"S1", L"S2"}));
    for (const char* key : {"ZOLT_PLC_NULL:S1", "ZOLT_PLC_NULL:S2"}) {
        Row r = RowOf("T_Plain", key);
        EXPECT_EQ(r["A"] + "," + r["B"] + "," + r["C"] + "," + r["D"], "dflt,42,c,0") << key;
    }
    EXPECT_EQ(Field(*s1, L"ONLY_IN_OBJECT"), CVar(L"kept"));

    // Without a default row, one is added once.
    Exec("INSERT INTO T_Child (CFG_INDEX, X, Y) VALUES ('ZOLT_PLC_NULL:C1','mine',5)");
    changed.clear();
    auto c1 = Make(L"T_Child", L"C1");
    ASSERT_TRUE(db.ResetToDefault(Key(L"C1"), *c1, &changed));
    ASSERT_TRUE(db.ResetToDefault(Key(L"C1"), *c1, &changed));
    EXPECT_EQ(Keys("T_Child"),
              (std::vector<std::string>{"ZOLT_PLC_NULL:C1", "ZOLT_PLC_NULL:CHILD_DEF"}));
    EXPECT_EQ(RowOf("T_Child", "ZOLT_PLC_NULL:C1")["X"], "x0");
    EXPECT_EQ(RowOf("T_Child", "ZOLT_PLC_NULL:C1")["Y"], "0");

    // An owner's default row references a child: the child is reset from its own default row.
    Exec("UPDATE T_Child SET X = 'child default' WHERE CFG_INDEX = 'ZOLT_PLC_NULL:CHILD_DEF'");
    Exec(
        "INSERT INTO T_Owner (CFG_INDEX, NAME, CHILD_CFGSETTING) VALUES "
        "('ZOLT_PLC_NULL:OWNER_DEF','owner default','T_Child:C9')");
    changed.clear();
    auto o1 = Make(L"T_Owner", L"O1");
    DBG::CCaptureLog log;
    ASSERT_TRUE(db.ResetToDefault(Key(L"O1"), *o1, &changed));
    EXPECT_EQ(changed, W({L"O1", L"C9"}));
    EXPECT_EQ(RowOf("T_Owner", "ZOLT_PLC_NULL:O1")["CHILD_CFGSETTING"], "T_Child:C9");
    EXPECT_EQ(RowOf("T_Child", "ZOLT_PLC_NULL:C9")["X"], "child default");

    // A table that cannot be opened fails the fill, and nothing is written.
    auto missing = Make(L"T_Missing", L"M1");
    log.Clear();
    EXPECT_FALSE(db.ResetToDefault(Key(L"M1"), *missing, &changed));
    EXPECT_TRUE(testsupport::HasLine(log, DBG::LVL_ERROR, L"SubResetToDefault fail"));
    EXPECT_EQ(changed.size(), 2u);
}
