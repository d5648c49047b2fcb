// The mail-server layer: role and version of this machine and of mapped hosts from their registry
// files, and what an unknown host or a malformed value gives.
#include <gtest/gtest.h>

#include "outside/mailserver/CExchangeServer.h"
#include "outside/registry/CRegUtil.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

TEST(ExchangeServer, RoleAndVersionComeFromTheNamedServersRegistry) {
    testsupport::CTempDir dir;
    testsupport::CScopedEnv env("ZOLTCFG_REGISTRY", (dir / "registry").string());
    const auto write = [&](const char* file, const char* role, const char* version) {
        testsupport::WriteFile(
            dir / file,
            std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\"
                        "MailServer]\n\"ServerRole\"=") +
                role + "\n\"FullVersion\"=\"" + version + "\"\n");
    };
    write("registry", "dword:00000004", "2013.0");
    write("edge", "dword:00000040", "2010.1");
    write("odd", "\"not a number\"", "v15");
    CRegUtil::MapRemoteHost(L"EDGE01", x_wstring::FromUtf8((dir / "edge").string()));
    CRegUtil::MapRemoteHost(L"ODD01", x_wstring::FromUtf8((dir / "odd").string()));
    // Another computer answers through its remote service (here a stand-in reader).
    CRegUtil::SetRemoteProductReader([](const x_wstring& host, auto& values) {
        values = {{L"Version", L"12.0"}, {L"ServerRole", L"271"}, {L"FullVersion", L"2019.1"}};
        return host == L"FAR01";
    });
    for (auto [server, role, version] :
         {std::tuple{L"localhost", 4, 2013.0}, std::tuple{L"\\\\edge01", 0x40, 2010.1},
          std::tuple{L"ODD01", 0, 0.0}, std::tuple{L"ELSEWHERE", 0, 0.0},
          std::tuple{L"FAR01", 271, 2019.1}}) {
        SCOPED_TRACE(x_wstring(server).ToUtf8());
        EXPECT_EQ(CExchangeServer(server, false).GetServerRole(), role);
        EXPECT_DOUBLE_EQ(CExchangeServerBase::GetExchangeFullVersionFromReg(true, server), version);
    }
    // Not remote: this machine, whatever name is given.
    EXPECT_DOUBLE_EQ(CExchangeServerBase::GetExchangeFullVersionFromReg(false, L"EDGE01"), 2013.0);
    CRegUtil::ClearRemoteHosts();
    CRegUtil::SetRemoteProductReader(nullptr);
}
