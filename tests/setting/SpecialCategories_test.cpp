// Tests of the library's own categories: apply-all, the by-name placeholder, in-memory and the
// virtual-server environment with its accessors and their log lines.
// Thread rule: single-threaded tests.
#include <gtest/gtest.h>

#include <functional>

#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/setting/SettingTestCategory.h"
#include "tests/support/Caught.h"
#include "tests/support/LogText.h"

using namespace settingtest;
using OS::x_wstring;

namespace {

constexpr int kWarning = 0x1001;

}  // namespace

TEST(SpecialCategories, ApplyAllWorksByNameOnly) {
    CCfgSettingApplyAll all(L"QV_VirusScan");
    CCfgSettingCategoryBase& base = all;
    base.SetSubjectID(L"ZOLT_SUB_X");
    EXPECT_EQ(base.GetSubjectID().ToString(), L"ZOLT_SUB_NULL");
    EXPECT_FALSE(base.AddFieldValue(0x0001001Fu, L"x"));
    EXPECT_FALSE(base.IsDirty());
    EXPECT_TRUE(base.AddFieldValue(x_wstring(L"QVS_ENABLED"), CVar(true)));
}

TEST(SpecialCategories, PlaceholderDeclaresWhatItHolds) {
    CCfgSettingCategoryFake fake(L"QV_Anything");
    fake.AddFieldValue(x_wstring(L"B"), CVar(2));
    fake.AddFieldValue(x_wstring(L"A"), CVar(1));
    const FieldList declared = Fields(fake, true);
    ASSERT_EQ(declared.size(), 2u);
    EXPECT_EQ(declared[0].first + declared[1].first, L"AB");

    // Id 3 resolves to the last stored name: the walk over stored values does not stop when
    // the look-up has found its name. Other ids resolve to nothing.
    EXPECT_EQ(fake.ReadFieldValue(3), CVar(2));
    EXPECT_FALSE(fake.AddFieldValue(4u, CVar(1)));
}

TEST(SpecialCategories, InMemoryHasOneStringField) {
    CCfgSettingInMemory mem(L"ZOLT_SUB_A");
    OS::CAutoObjPtr<CCfgSettingCategoryBase> made(mem.New());
    ASSERT_TRUE(made);
    EXPECT_EQ(made->GetSubjectID().ToString(), L"ZOLT_SUB_CFG_INM_PR");
    EXPECT_THROW(mem.GetVariantFieldValue(), CCfgException);
    mem.SetVariantFieldValue(L"\u00e9l\u00e8ve");
    EXPECT_EQ(mem.GetVariantFieldValue(), L"\u00e9l\u00e8ve");
    mem.WriteFieldValue(0x61A9001F, CVar(12));  // another kind is given as its string form
    EXPECT_EQ(mem.GetVariantFieldValue(), L"12");
}

// On a fresh object the status and log-file readers log that the field is missing; the other
// readers also throw code 2.
TEST(SpecialCategories, EnvironmentAccessorsOnAFreshObjectAndTheirLogLines) {
    CCfgSettingVServerEnvironment env;
    x_wstring value = L"unchanged";
    const struct {
        const wchar_t* name;
        unsigned int id;
        bool throws;
        std::function<void()> call;
    } readers[] = {
        {L"IsVirtualServerOn", 0x000E000B, false, [&] { EXPECT_FALSE(env.IsVirtualServerOn()); }},
        {L"GetLogFileName", 0x000B001F, false, [&] { env.GetLogFileName(value); }},
        {L"GetConfigurationFileName", 0x000C001F, true,
         [&] { env.GetConfigurationFileName(value); }},
        {L"GetReportFileName", 0x000D001F, true, [&] { env.GetReportFileName(value); }},
        {L"GetRootFolder", 0x000F001F, true, [&] { env.GetRootFolder(value); }},
    };
    for (const auto& r : readers) {
        SCOPED_TRACE(x_wstring(r.name).ToUtf8());
        DBG::CCaptureLog log;
        const auto e = testsupport::Caught<CCfgException>(r.call);
        ASSERT_EQ(e.has_value(), r.throws);
        EXPECT_EQ(e ? e->GetErrorCode() : 2, 2);
        EXPECT_EQ(value, L"unchanged");
        x_wstring warn;
        warn.Format(L"field id(%d) is not found", static_cast<int>(r.id));
        EXPECT_EQ(testsupport::CountLines(log, kWarning, warn), 1u);
    }
}

TEST(SpecialCategories, EnvironmentSettersStoreAndRefusalsThrow) {
    CCfgSettingVServerEnvironment env(L"ZOLT_SUB_CFG_VRS_ENV");
    DBG::CCaptureLog log;
    env.SetVirtualServerOn(false);
    env.SetLogFileName(L"/var/log/z\u00f6lt.log");
    env.SetConfigurationFileName(L"dbconf_Conf.xml");
    env.SetReportFileName(L"dbconf_Report.xml");
    env.SetRootFolder(L"/srv/\u65e5\u672c");
    EXPECT_TRUE(testsupport::NoLines(log, kWarning));
    EXPECT_FALSE(env.IsVirtualServerOn());
    x_wstring v;
    env.GetLogFileName(v);
    EXPECT_EQ(v, L"/var/log/z\u00f6lt.log");
    env.GetRootFolder(v);
    EXPECT_EQ(v, L"/srv/\u65e5\u672c");

    // A category that refuses the store: the setter logs the warning and throws code 2.
    class CRefusingEnv : public CCfgSettingVServerEnvironment {
      public:
        using CCfgSettingCategoryBase::AddFieldValue;
        bool AddFieldValue(const x_wstring&, const CVar&) override { return false; }
    } refusing;
    log.Clear();
    const auto e = testsupport::Caught<CCfgException>([&] { refusing.SetRootFolder(L"/x"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetFieldID(), 0x000F001Fu);
    EXPECT_TRUE(log.Contains(L"field id(983071) is not found", kWarning));
    EXPECT_THROW(refusing.SetVirtualServerOn(true), CCfgException);
}
