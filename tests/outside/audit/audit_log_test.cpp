// The audit-log layer: the entry's line in the home's audit file, values that would break the
// line, a file that cannot be written, and the numbered texts.
#include <gtest/gtest.h>

#include <filesystem>

#include "outside/audit/AuditLog.h"
#include "outside/audit/LocalisedText.h"
#include "outside/log/DebugLog.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

namespace {

class AuditLog : public ::testing::Test {
  protected:
    AuditLog()
        : m_registry("ZOLTCFG_REGISTRY", (m_dir / "registry").string()),
          m_home("ZOLTCFG_HOME", (m_dir / "home").string()) {}

    // The file's lines without their time column; the time column's form is checked.
    std::vector<std::string> Entries() {
        std::vector<std::string> out;
        std::string text = testsupport::ReadFile(m_dir / "home" / "log" / "audit.log"), line;
        for (char c : text) {
            if (c != '\n') {
                line += c;
                continue;
            }
            EXPECT_EQ(line.find('\t'), 20u) << line;  // YYYY-MM-DDTHH:MM:SSZ
            EXPECT_EQ(line[19], 'Z');
            out.push_back(line.substr(21));
            line.clear();
        }
        return out;
    }

    testsupport::CTempDir m_dir;
    testsupport::CScopedEnv m_registry;
    testsupport::CScopedEnv m_home;
};

}  // namespace

TEST_F(AuditLog, EachEntryIsOneLineOfTabSeparatedColumnsInTheHomesLogFolder) {
    EXPECT_EQ(NS_Audit::AuditLogFile(),
              x_wstring::FromUtf8((m_dir / "home").string()) + L"/log/audit.log");
    EXPECT_EQ(InsertAuditLog(L"TGT", L"admin", L"SRC", 2, ST_REPLICATION, L"replicated", L""), 0);
    EXPECT_EQ(InsertAuditLog(L"T\tG", L"ad\nmin", L"S\r", 7, ST_LOCAL, L"caf\u00e9 ok", L"/p"), 0);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"2\t3\tTGT\tadmin\tSRC\t\treplicated",
                                                   "7\t1\tT G\tad min\tS \t/p\tcaf\xc3\xa9 ok"}));
}

TEST_F(AuditLog, AnEntryThatCannotBeWrittenIsLoggedAndReported) {
    testsupport::WriteFile(m_dir / "home", "a file where the home folder should be");
    DBG::CCaptureLog log;
    EXPECT_EQ(InsertAuditLog(L"TGT", L"admin", L"SRC", 2, 0, L"text", L""), -1);
    const auto warnings = log.Messages(DBG::LVL_WARNING);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(L"InsertAuditLog: cannot append to ", 0), 0u);
}

TEST(LocalisedText, KnownNumbersHaveTheirTextOthersNone) {
    EXPECT_EQ(SYS::LoadStringW(1064), L"Settings were replicated from another server.");
    EXPECT_EQ(SYS::LoadStringW(1063), L"");
}
