// The audit-log layer: the entry's line in the home's audit file, values that would break the
// line, and a file that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>

#include "outside/audit/AuditLog.h"
#include "outside/log/DebugLog.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

TEST(AuditLog, EachEntryIsOneLineOfTabSeparatedColumnsInTheHomesLogFolder) {
    testsupport::CTempDir dir;
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (dir / "registry").string());
    testsupport::CScopedEnv home("ZOLTCFG_HOME", (dir / "home").string());
    EXPECT_EQ(InsertAuditLog(L"TGT", L"admin", L"SRC", 2, ST_REPLICATION, L"replicated", L""), 0);
    EXPECT_EQ(InsertAuditLog(L"T\tG", L"ad\nmin", L"S\r", 7, ST_LOCAL, L"caf\u00e9", L"/p"), 0);
    const std::string text = testsupport::ReadFile(dir / "home" / "log" / "audit.log");
    // Each line opens with its UTC time, YYYY-MM-DDTHH:MM:SSZ.
    const size_t second = text.find('\n') + 1;
    ASSERT_EQ(text.substr(19, 2), "Z\t");
    ASSERT_EQ(text.substr(second + 19, 2), "Z\t");
    EXPECT_EQ(text.substr(21, second - 21), "2\t3\tTGT\tadmin\tSRC\t\treplicated\n");
    EXPECT_EQ(text.substr(second + 21), "7\t1\tT G\tad min\tS \t/p\tcaf\xc3\xa9\n");

    testsupport::CScopedEnv file("ZOLTCFG_HOME", (dir / "home" / "log" / "audit.log").string());
    DBG::CCaptureLog log;
    EXPECT_EQ(InsertAuditLog(L"TGT", L"admin", L"SRC", 2, 0, L"text", L""), -1);
    const auto warnings = log.Messages(DBG::LVL_WARNING);
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const OS::x_wstring& w) {
        return w.rfind(L"InsertAuditLog: cannot append to ", 0) == 0;
    }));
}
