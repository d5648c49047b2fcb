// The mail-server layer: role and version of this machine and of mapped hosts from the registry
// files, what an unknown host or a malformed value gives, and the cmdlet set-up count.
#include <gtest/gtest.h>

#include "outside/mailserver/CExchangeServer.h"
#include "outside/registry/CRegUtil.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

namespace {

std::string MailServer(const char* values) {
    return std::string(
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\MailServer]\n") +
           values;
}

class ExchangeServer : public ::testing::Test {
  protected:
    ExchangeServer() : m_env("ZOLTCFG_REGISTRY", (m_dir / "registry").string()) {
        testsupport::WriteFile(
            m_dir / "registry",
            MailServer("\"ServerRole\"=dword:00000004\n\"FullVersion\"=\"2013.0\"\n"));
        testsupport::WriteFile(
            m_dir / "edge",
            MailServer("\"ServerRole\"=dword:00000040\n\"FullVersion\"=\"2010.1\"\n"));
        testsupport::WriteFile(
            m_dir / "odd",
            MailServer("\"ServerRole\"=\"not a number\"\n\"FullVersion\"=\"v15\"\n"));
        CRegUtil::MapRemoteHost(L"EDGE01", x_wstring::FromUtf8((m_dir / "edge").string()));
        CRegUtil::MapRemoteHost(L"ODD01", x_wstring::FromUtf8((m_dir / "odd").string()));
    }
    ~ExchangeServer() override { CRegUtil::ClearRemoteHosts(); }

    testsupport::CTempDir m_dir;
    testsupport::CScopedEnv m_env;
};

}  // namespace

TEST_F(ExchangeServer, RoleAndVersionComeFromTheNamedServersRegistry) {
    struct CCase {
        const wchar_t* server;
        int role;
        double version;
    };
    for (const CCase& c :
         {CCase{L"localhost", 4, 2013.0}, CCase{L"\\\\EDGE01", 0x40, 2010.1},
          CCase{L"edge01", 0x40, 2010.1}, CCase{L"ODD01", 0, 0.0}, CCase{L"ELSEWHERE", 0, 0.0}}) {
        SCOPED_TRACE(x_wstring(c.server).ToUtf8());
        EXPECT_EQ(CExchangeServer(c.server, false).GetServerRole(), c.role);
        EXPECT_DOUBLE_EQ(CExchangeServerBase::GetExchangeFullVersionFromReg(true, c.server),
                         c.version);
    }
    // Not remote: this machine, whatever name is given.
    EXPECT_DOUBLE_EQ(CExchangeServerBase::GetExchangeFullVersionFromReg(false, L"EDGE01"), 2013.0);
    testsupport::WriteFile(m_dir / "registry", "");
    EXPECT_DOUBLE_EQ(CExchangeServerBase::GetExchangeFullVersionFromReg(false, L""), 0.0);
    EXPECT_EQ(CExchangeServer(L"localhost", false).GetServerRole(), 0);
}

TEST_F(ExchangeServer, EveryCmdletSetUpIsCountedUntilItIsReleased) {
    ASSERT_EQ(CExchangeServerBase::CmdletInitCount(), 0);
    EXPECT_NE(CExchangeServerBase::CmdletInit(), 0);
    EXPECT_NE(CExchangeServerBase::CmdletInit(), 0);
    EXPECT_EQ(CExchangeServerBase::CmdletInitCount(), 2);
    CExchangeServerBase::CmdletUninit();
    CExchangeServerBase::CmdletUninit();
    CExchangeServerBase::CmdletUninit();  // one too many is ignored
    EXPECT_EQ(CExchangeServerBase::CmdletInitCount(), 0);
}
