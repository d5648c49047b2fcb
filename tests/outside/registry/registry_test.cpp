// Tests of the registry layer: reading the product key's string and number values, missing keys
// and values, writes seen by later reads and kept in the documented text form, remote hosts, and
// the home folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/CRegUtil.h"
#include "outside/registry/HomeDir.h"
#include "outside/registry/RegistryFile.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::CRegKey;
using OS::x_wstring;

namespace {

const wchar_t kKey[] = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion";

class RegistryTest : public ::testing::Test {
  protected:
    RegistryTest() : m_env("ZOLTCFG_REGISTRY", (m_dir / "registry").string()) {}
    void Write(const std::string& text) { testsupport::WriteFile(m_dir / "registry", text); }
    void TearDown() override { CRegUtil::ClearRemoteHosts(); }

    testsupport::CTempDir m_dir;
    testsupport::CScopedEnv m_env;
};

const char kMachine[] =
    "; a machine\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion]\n"
    "\"HomeDir\"=\"/srv/zolt/\"\n"
    "\"Version\"=\"10.2\"\n"
    "\"ServicePack\"=\"1\"\n"
    "\"PatchBuild\"=\"1400\"\n"
    "\"ReplicateSpamMaintenance\"=dword:00000001\n"
    "\"RestartSQLServiceWhenResourceOnline\"=dword:ffffffff\n"
    "this line is not understood and is skipped\n"
    "\"Broken\"=dword:xyz\n"
    "\"Quoted\"=\"say \\\"hi\\\" C:\\\\dir\"\n";

}  // namespace

TEST_F(RegistryTest, ReadsTheProductKeyValues) {
    Write(kMachine);
    CRegKey key;
    DBG::CCaptureLog log;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ));
    // Each line that does not parse is named once, with the file, however often it is read.
    const std::string file = (m_dir / "registry").string();
    for (int line : {9, 10})
        EXPECT_TRUE(log.Contains(
            x_wstring::FromUtf8("registry file " + file + ": line " + std::to_string(line) +
                                " is not understood and is skipped (see "
                                "docs/registry-file.md)"),
            DBG::LVL_WARNING));
    EXPECT_EQ(2u, log.Messages(DBG::LVL_WARNING).size());
    // Names ignore ASCII case; missing values, skipped lines and numbers leave the text as it was.
    for (auto [name, rc, want] : {std::tuple{L"HomeDir", ERROR_SUCCESS, L"/srv/zolt/"},
                                  {L"version", ERROR_SUCCESS, L"10.2"},
                                  {L"Quoted", ERROR_SUCCESS, L"say \"hi\" C:\\dir"},
                                  {L"NoSuchValue", ERROR_FILE_NOT_FOUND, L"kept"},
                                  {L"Broken", ERROR_FILE_NOT_FOUND, L"kept"},
                                  {L"ReplicateSpamMaintenance", ERROR_INVALID_DATA, L"kept"}}) {
        x_wstring text = L"kept";
        EXPECT_EQ(std::pair(key.QueryValue(name, text), text), std::pair(rc, x_wstring(want)));
    }
    x_wstring text;
    unsigned long n = 7;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryValue(n, L"ReplicateSpamMaintenance"));
    EXPECT_EQ(1ul, n);
    EXPECT_EQ(ERROR_SUCCESS, key.QueryValue(n, L"RestartSQLServiceWhenResourceOnline"));
    EXPECT_EQ(0xFFFFFFFFul, n);
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryValue(n, L"Version"));

    // Keys: a parent of a stored key opens, a missing key does not, and case does not matter.
    CRegKey parent;
    EXPECT_EQ(ERROR_SUCCESS, parent.Open(HKEY_LOCAL_MACHINE, L"software\\KESTRELON", KEY_READ));
    CRegKey child;
    EXPECT_EQ(ERROR_SUCCESS,
              child.Open(parent, L"Mailvane for Exchange\\CurrentVersion\\", KEY_READ));
    EXPECT_EQ(ERROR_SUCCESS, child.QueryValue(L"PatchBuild", text));
    EXPECT_EQ(x_wstring(L"1400"), text);
    CRegKey missing;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Other", KEY_READ));
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.Open(HKEY_CURRENT_USER, kKey, KEY_READ));
    EXPECT_EQ(ERROR_INVALID_HANDLE, missing.QueryValue(L"HomeDir", text));

    // No registry file at all is an empty registry.
    std::filesystem::remove(m_dir / "registry");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryValue(L"HomeDir", text));
}

TEST_F(RegistryTest, WritesAreReadBackAndKeptInTheTextForm) {
    CRegKey key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WRITE));
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, kKey));
    EXPECT_EQ(ERROR_SUCCESS, key.SetValue(L"HomeDir", L"/var/lib/zolt \"a\"\\b/"));
    EXPECT_EQ(ERROR_SUCCESS, key.SetValue(42ul, L"ReplicateSpamMaintenance"));
    EXPECT_EQ(ERROR_SUCCESS, key.SetValue(L"Version", L"10.2"));
    EXPECT_EQ(ERROR_SUCCESS, key.SetValue(L"version", L"11.0"));  // same value, other case
    EXPECT_EQ(ERROR_SUCCESS, key.SetValue(L"Temp", L"x"));
    EXPECT_EQ(ERROR_SUCCESS, key.DeleteValue(L"TEMP"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.DeleteValue(L"Temp"));

    EXPECT_EQ(
        "; registry of this machine: keys in [brackets], values as\n"
        "; \"name\"=\"text\" or \"name\"=dword:0000002a\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion]\n"
        "\"HomeDir\"=\"/var/lib/zolt \\\"a\\\"\\\\b/\"\n"
        "\"ReplicateSpamMaintenance\"=dword:0000002a\n"
        "\"Version\"=\"11.0\"\n",
        testsupport::ReadFile(m_dir / "registry"));

    CRegKey reader;
    ASSERT_EQ(ERROR_SUCCESS, reader.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ));
    x_wstring text;
    EXPECT_EQ(ERROR_SUCCESS, reader.QueryValue(L"HomeDir", text));
    EXPECT_EQ(x_wstring(L"/var/lib/zolt \"a\"\\b/"), text);
    // A key opened for reading does not write; one opened for writing only does not read.
    EXPECT_EQ(ERROR_ACCESS_DENIED, reader.SetValue(L"Version", L"9"));
    CRegKey writer;
    ASSERT_EQ(ERROR_SUCCESS, writer.Open(HKEY_LOCAL_MACHINE, kKey, KEY_WRITE));
    EXPECT_EQ(ERROR_ACCESS_DENIED, writer.QueryValue(L"Version", text));
    // Values written later are seen by a key opened earlier.
    EXPECT_EQ(ERROR_SUCCESS, writer.SetValue(L"PatchBuild", L"1500"));
    EXPECT_EQ(ERROR_SUCCESS, reader.QueryValue(L"PatchBuild", text));
    EXPECT_EQ(x_wstring(L"1500"), text);
    // An edit of the file in place, of the same size, right after a read is read at once, also
    // when the content read before is kept parsed.
    OS::regfile::SetSettleTime(0);
    for (const std::string version : {"11.1", "11.2"}) {
        std::string edited = testsupport::ReadFile(m_dir / "registry");
        edited.replace(edited.find("\"Version\"=\"") + 11, 4, version);
        testsupport::WriteFile(m_dir / "registry", edited);
        EXPECT_EQ(ERROR_SUCCESS, reader.QueryValue(L"Version", text));
        EXPECT_EQ(x_wstring::FromUtf8(version), text);
    }
    OS::regfile::SetSettleTime(100);
    // A registry file that cannot be written (here: its folder is a file) refuses writes.
    testsupport::WriteFile(m_dir / "blocker", "");
    testsupport::CScopedEnv env("ZOLTCFG_REGISTRY", (m_dir / "blocker" / "registry").string());
    CRegKey blocked;
    EXPECT_EQ(ERROR_ACCESS_DENIED, blocked.Create(HKEY_LOCAL_MACHINE, kKey));
}

TEST_F(RegistryTest, RemoteReadsReachThisMachineOrMappedHostsOnly) {
    Write(kMachine);
    char host[256] = {};
    ASSERT_EQ(0, gethostname(host, sizeof host - 1));
    for (const x_wstring& name :
         {x_wstring(L"localhost"), x_wstring(L"."), x_wstring(L""), x_wstring::FromUtf8(host),
          x_wstring(L"\\\\" + x_wstring::FromUtf8(host))}) {
        CRegUtil reg;
        ASSERT_NE(nullptr, reg.OpenExistingRemoteHkeyLocalMachine(name, kKey, KEY_READ))
            << name.ToUtf8();
        wchar_t buffer[128];
        EXPECT_TRUE(reg.Read(L"Version", buffer, 128));
        EXPECT_EQ(x_wstring(L"10.2"), x_wstring(buffer));
    }

    // (Unmapped hosts are in the mail-server tests' table.)
    CRegUtil reg;
    testsupport::WriteFile(m_dir / "exch02",
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\"
                           "CurrentVersion]\n\"Version\"=\"12.0\"\n\"PatchBuild\"=\"1500\"\n"
                           "\"ServicePack\"=dword:00000002\n");
    CRegUtil::MapRemoteHost(L"exch-02", x_wstring::FromUtf8((m_dir / "exch02").string()));
    ASSERT_NE(nullptr, reg.OpenExistingRemoteHkeyLocalMachine(L"EXCH-02", kKey, KEY_READ));
    x_wstring text;
    wchar_t small[3];
    EXPECT_TRUE(reg.Read(L"PatchBuild", small, 3));  // cut to fit, terminated
    EXPECT_EQ(x_wstring(L"15"), x_wstring(small));
    EXPECT_FALSE(reg.Read(L"PatchBuild", small, 0));
    EXPECT_FALSE(reg.Read(L"ServicePack", text));  // a number, not a string
    unsigned long n = 0;
    EXPECT_TRUE(reg.Read(L"ServicePack", n));
    EXPECT_EQ(2ul, n);
    reg.Close();
    EXPECT_FALSE(reg.Read(L"PatchBuild", text));
}

TEST_F(RegistryTest, HomeDirComesFromTheRegistryThenTheEnvironment) {
    const std::string value = "the registry value HomeDir in " + (m_dir / "registry").string();
    std::string why;
    testsupport::CScopedEnv noHome("ZOLTCFG_HOME", "");
    EXPECT_EQ(x_wstring(L"/var/lib/zoltcfg/"), OS::GetHomeDir(why));
    EXPECT_EQ("the default (neither " + value + " nor ZOLTCFG_HOME is set)", why);
    testsupport::CScopedEnv home("ZOLTCFG_HOME", "/tmp/zolt-home");
    EXPECT_EQ(x_wstring(L"/tmp/zolt-home/"), OS::GetHomeDir(why));
    EXPECT_EQ("ZOLTCFG_HOME", why);
    testsupport::WriteSampleRegistry(m_dir / "registry", m_dir / "home");
    EXPECT_EQ(x_wstring::FromUtf8((m_dir / "home").string() + "/"), OS::GetHomeDir(why));
    EXPECT_EQ(value, why);
}
