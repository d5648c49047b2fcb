// The file requests of a remote service over real folders: a home, a virtual server VS1 on
// nodes NODEA (this machine) and NODEB, and NodeShareRoot holding NODEB's exports. Each request
// row checks the exact reply, the log line and what is left on disk; the mirror is checked on
// its own, also where a permission is missing.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/registry/HomeDir.h"
#include "replication/cfg_FolderMirror.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/support/Bytes.h"
#include "tests/support/FreePort.h"
#include "tests/support/LogText.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using OS::x_wstring;
using testsupport::Bytes;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

using namespace servicetest;

x_wstring W(const fs::path& p) {
    return x_wstring::FromUtf8(p.string());
}

// The virtual server VS1 on `nodes` (the first `count` of them, all when 0), as a request body.
CIPCMsgBuffer InfoBody(const fs::path& root, std::vector<x_wstring> nodes, int count = 0) {
    CClusterVirtualServerInfo info;
    info.m_strName = L"VS1";
    info.m_strRootFolder = W(root);
    info.SetNodes(std::move(nodes));
    if (count) info.m_nNodeCount = count;
    CIPCMsgBuffer b;
    b << info;
    return b;
}

class FileRequests : public ::testing::Test {
  protected:
    CRuntimeDir m_runtime;  // tests running side by side each serve their own endpoint
    testsupport::CTempDir m_tmp{"zoltcfg-files"};
    fs::path m_home = m_tmp.Path() / "home", m_root = m_tmp.Path() / "vs1",
             m_shares = m_tmp.Path() / "nodes", m_outside = m_tmp.Path() / "outside";
    std::unique_ptr<testsupport::CScopedEnv> m_registry;
    testsupport::CScopedEnv m_port{"ZOLTCFG_RPC_PORT_ID_TEST_REMOTE_FILES",
                                   std::to_string(testsupport::FreeTcpPort())};

    void SetUp() override {
        const std::string key = "[HKEY_LOCAL_MACHINE\\" + x_wstring(OS::kProductRegKey).ToUtf8();
        WriteFile(m_tmp.Path() / "registry",
                  key + "]\n\"HomeDir\"=\"" + m_home.string() + "\"\n" + key +
                      "\\Cluster]\n\"NodeName\"=\"NODEA\"\n\"NodeShareRoot\"=\"" +
                      m_shares.string() + "\"\n" + key +
                      "\\Cluster\\VirtualServers\\VS1]\n\"RootFolder\"=\"" + m_root.string() +
                      "\"\n\"Nodes\"=\"NODEA;NODEB\"\n");
        m_registry = std::make_unique<testsupport::CScopedEnv>(
            "ZOLTCFG_REGISTRY", (m_tmp.Path() / "registry").string());
        WriteFile(m_home / "a.txt", "home file");
        WriteFile(m_outside / "secret", "outside");
        WriteFile(m_shares / "NODEB" / "VS1CFGDB" / "CFGDBabc", "");
        WriteFile(m_shares / "NODEC" / "VS1CFGDB" / "CFGDB00042", "");
        WriteFile(m_root / "data" / "keep.txt", "source");
        fs::create_directories(m_root / "data" / "empty");
        fs::create_directories(m_shares / "NODEB" / "VS1" / "data" / "stale");
        WriteFile(m_shares / "NODEB" / "VS1" / "data" / "stale" / "old.txt", "old");
        fs::create_symlink(m_outside, m_home / "out");
    }
};

TEST_F(FileRequests, AnswerEachRequestAndRefusePathsOutsideTheAllowedFolders) {
    CCfgControl remote(L"ID_TEST_REMOTE_FILES", nullptr, true);
    const x_wstring home = W(m_home) + L"/", a = W(m_home / "a.txt");
    auto strings = [](std::vector<x_wstring> s) {
        CIPCMsgBuffer b;
        for (const auto& x : s) b << x;
        return b;
    };
    struct Row {
        const char* what;
        int id;
        CIPCMsgBuffer body, expected;
        const wchar_t* logText;
        std::function<bool()> disk;
    };
    const std::vector<Row> rows = {
        {"missing file", 331, strings({home + L"nope"}), Reply(332) << 0 << 0, nullptr, nullptr},
        {"existing file", 331, strings({a}), Reply(332) << 1 << 0, nullptr, nullptr},
        {"copy onto an existing file with fail-if-exists", 325,
         strings({a, home + L"b.txt"}) << true, ResultReply(326, 0), L"successfully",
         [&] { return ReadFile(m_home / "b.txt") == "home file"; }},
        {"the same copy again", 325, strings({a, home + L"b.txt"}) << true, ResultReply(326, -1),
         L"GetlastError=17", nullptr},
        {"list", 329, strings({W(m_shares / "NODEB" / "VS1CFGDB")}),
         Reply(330) << std::vector<x_wstring>{W(m_shares / "NODEB" / "VS1CFGDB" / "CFGDBabc")} << 0,
         nullptr, nullptr},
        {"delete", 327, strings({home + L"b.txt"}), ResultReply(328, 0), L"successfully",
         [&] { return !fs::exists(m_home / "b.txt"); }},
        {"delete a missing file", 327, strings({home + L"b.txt"}), ResultReply(328, -1),
         L"GetlastError=2", nullptr},
        {"only this machine in the node list", 333, InfoBody(m_root, {L"nodea"}),
         Reply(334) << false << 0 << x_wstring() << 0, nullptr, nullptr},
        // NODEB's copy is named with no number (0), NODEC's holds 42; a node past the count is
        // never visited.
        {"newest copy", 333, InfoBody(m_root, {L"NODEA", L"NODEB", L"NODEC", L"NODED"}, 3),
         Reply(334) << true << 42 << x_wstring(L"NODEC") << 0, nullptr, nullptr},
        // Refused: through "..", through a link out of the home, outside every root.
        {"dot-dot", 327, strings({home + L"../outside/secret"}), ResultReply(328, -1),
         L"../outside/secret", nullptr},
        {"link out", 325, strings({home + L"out/secret", home + L"copied"}) << false,
         ResultReply(326, -1), L"out/secret", [&] { return !fs::exists(m_home / "copied"); }},
        {"outside", 329, strings({W(m_outside)}), ResultReply(330, -1), L"outside", nullptr},
        {"share dot-dot", 331, strings({L"\\\\NODEB\\..\\..\\outside\\secret"}),
         ResultReply(332, -1), L"NODEB", nullptr},
        {"sync of a sub-folder out of the root", 335,
         InfoBody(m_root, {L"NODEA", L"NODEB"}) << x_wstring(L"../outside"), ResultReply(336, -1),
         L"outside", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DBG::CCaptureLog log;
        EXPECT_EQ(Bytes(CallService(remote, row.id, row.body)), Bytes(row.expected));
        EXPECT_TRUE(!row.logText || testsupport::HasLine(log, 0, row.logText));
        EXPECT_TRUE(!row.disk || row.disk());
        EXPECT_EQ(ReadFile(m_outside / "secret"), "outside");
    }
}

// A sync mirrors the root's sub-folder onto NODEB's share (what B lacks is copied, empty folders
// too; what the source lacks goes), never onto this machine; a file not older on the share stays.
// Without write permission the copy ends with exit code 4 and goes on with the next entry.
TEST_F(FileRequests, SyncMirrorsTheFolderAndCarriesOnAfterAPermissionFailure) {
    CCfgControl remote(L"ID_TEST_REMOTE_FILES", nullptr, true);
    const fs::path b = m_shares / "NODEB" / "VS1" / "data";
    const CIPCMsgBuffer body = InfoBody(m_root, {L"NODEA", L"NODEB"}) << x_wstring(L"data");
    {
        DBG::CCaptureLog log;
        EXPECT_EQ(Bytes(CallService(remote, 335, body)), Bytes(ResultReply(336, 0)));
        EXPECT_TRUE(testsupport::HasLine(log, 0, L"Syncing to node: \\\\NODEB"));
        EXPECT_TRUE(testsupport::HasLine(log, 0, L"Delete file " + W(b / "stale" / "old.txt")));
        EXPECT_TRUE(testsupport::HasLine(log, 0, L"Process exit code: 0"));
    }
    EXPECT_EQ(ReadFile(b / "keep.txt"), "source");
    EXPECT_TRUE(fs::is_directory(b / "empty"));
    EXPECT_FALSE(fs::exists(b / "stale"));
    EXPECT_FALSE(fs::exists(m_shares / "NODEA"));
    // Changed on the share and newer there: the second sync leaves it.
    WriteFile(b / "keep.txt", "newer on B");
    CallService(remote, 335, body);
    EXPECT_EQ(ReadFile(b / "keep.txt"), "newer on B");

    // As an account that may not write into a root-owned folder: exit code 4, logged, and the
    // entry after the failing one is still copied.
    const fs::path src = m_tmp.Path() / "src", dst = m_tmp.Path() / "dst";
    WriteFile(src / "a-locked" / "f", "1");
    WriteFile(src / "b-open" / "g", "2");
    fs::create_directories(dst / "a-locked");
    fs::create_directories(dst / "b-open");
    fs::permissions(dst / "b-open", fs::perms::all);
    fs::permissions(m_tmp.Path(),
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another account";
    const pid_t child = fork();
    if (child == 0) {
        DBG::CCaptureLog log;
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        CopyFolderByXcopy(W(src).c_str(), W(dst).c_str());
        _exit(testsupport::HasLine(
                  log, 0, L"Process exit code: 4, Unable to run because of share fodler permission")
                  ? 0
                  : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(dst / "a-locked" / "f"));
    EXPECT_EQ(ReadFile(dst / "b-open" / "g"), "2");
}

}  // namespace
