// zoltcfg backup and restore: the daemon copies its database to a file, or puts a file in its
// place, on its own machine; the CLI only asks and reports (the size and the time taken).
// Thread rule: run on the main thread.
#include <chrono>
#include <cstdio>
#include <iostream>

#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"

namespace zoltcli {
namespace {

namespace P = NS_CfgProtocol;

// The longest the CLI waits for a backup or a restore of a large database.
constexpr std::chrono::hours kFileOpTimeout{6};

P::CFileOpResult Ask(int id, const std::string& path, const std::string& what) {
    CDaemonLink link;  // says why when the daemon does not answer
    CIPCMsgBuffer request, reply;
    P::WriteFileOpRequest(request, id, Wide(path));
    P::CFileOpResult result;
    std::string endpoint;
    try {
        link.Agent().SendRequest(request, reply, nullptr, kFileOpTimeout, endpoint);
        if (!P::ReadFileOpReply(reply, P::ReplyIdOf(id), result))
            throw Refused("the daemon does not serve " + what + "; update zoltcfgd.");
    } catch (const OS::CException& e) {
        throw Refused("the " + what + " failed: " + e.GetErrorMsg().ToUtf8());
    }
    if (!result.ok) throw Refused(result.problem.ToUtf8());
    return result;
}

std::string Seconds(std::chrono::steady_clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

}  // namespace

int RunBackup(const CCliContext&, const std::string& file) {
    const auto start = std::chrono::steady_clock::now();
    const P::CFileOpResult r = Ask(P::kMsgBackupDatabase, file, "backup");
    std::cout << "backed up the database to " << file << " on the daemon's machine: " << r.bytes
              << " bytes in " << Seconds(std::chrono::steady_clock::now() - start) << std::endl;
    return kExitOk;
}

int RunRestore(const CCliContext&, const std::string& file) {
    const auto start = std::chrono::steady_clock::now();
    Ask(P::kMsgRestoreDatabase, file, "restore");
    std::cout << "restored the database from " << file << " in "
              << Seconds(std::chrono::steady_clock::now() - start)
              << "; the previous database is kept beside it as <database>.before-restore, and "
                 "every watcher was told to re-read"
              << std::endl;
    return kExitOk;
}

}  // namespace zoltcli
