// CCfgControl's backup and restore of this machine's own database (907, 909). A backup is
// written while the service serves; a restore is checked whole before the database is touched,
// and once it is in place every observer is made to reconnect to a new run of the publisher,
// which tells it that it may have missed changes (a proxy then drops its whole cache).
// Paths are those of the service's machine: absolute, and never inside the runtime folder.
// Thread rule: any RPC thread; one backup or restore runs at a time in a process.
#include <filesystem>
#include <mutex>

#include "cfg_Service.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CSubjectServerHelper.h"
#include "outside/rpc/RpcEndpoint.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_CtrlClusterObserver.h"
#include "service/cfg_VirtualServerDB.h"
#include "storage/cfg_SettingGenericDatabase.h"

namespace P = NS_CfgProtocol;
namespace fs = std::filesystem;

namespace {
static const wchar_t kLogSource[] = L"cfg_Control";

std::mutex g_oneAtATime;

// Why `path` cannot be used for a backup or a restore, or "" when it can.
std::string PathProblem(const std::string& path, const std::string& database) {
    if (path.empty() || !fs::path(path).is_absolute())
        return "The path \"" + path +
               "\" is not absolute; give a full path on the daemon's machine.";
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(path, ec);
    const fs::path runtime = fs::weakly_canonical(RPC::RuntimeDir(false), ec);
    const auto rel = target.lexically_relative(runtime);
    if (!runtime.empty() && !rel.empty() && *rel.begin() != "..")
        return "The path \"" + path + "\" lies in the daemon's runtime folder " + runtime.string() +
               "; choose another folder.";
    if (!database.empty() && target == fs::weakly_canonical(database, ec))
        return "The path \"" + path + "\" is the database itself; choose another file.";
    return "";
}

}  // namespace

void CCfgControl::BackupOrRestore(bool restore, const CIPCMsgBuffer& request,
                                  CIPCMsgBuffer& reply) {
    const int replyId = restore ? P::kMsgRestoreDatabaseReply : P::kMsgBackupDatabaseReply;
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::BackupOrRestore, %ls", restore ? L"restore" : L"backup");
    P::CFileOpResult result;
    try {
        OS::x_wstring wpath;
        request >> wpath;
        const std::string path = wpath.ToUtf8();
        // This machine's own database: the cluster observer's home, or a store of it alone.
        auto* local = dynamic_cast<CCfgLocalServerDB*>(Store());
        auto* observer = dynamic_cast<CCfgCtrlClusterObserver*>(Store());
        CCfgSettingGenericDatabase* db = observer ? observer->GetHomeDatabase().get()
                                         : local && !local->GetServerNames().empty()
                                             ? local->GetDatabase(local->GetServerNames()[0])
                                             : nullptr;
        std::string problem;
        if (!db)
            problem = "This service has no database of its own to back up or restore.";
        else
            problem = PathProblem(path, db->GetDatabaseFile().ToUtf8());
        if (problem.empty()) {
            const std::lock_guard<std::mutex> one(g_oneAtATime);
            if (restore) {
                db->RestoreFrom(path);
                // Every cached value may be stale now: observers meet a new publisher run.
                if (m_pSubjectSrvHelper) m_pSubjectSrvHelper->Restart();
            } else {
                result.bytes = static_cast<long long>(db->BackupTo(path));
            }
            result.ok = true;
        } else {
            result.problem = OS::x_wstring::FromUtf8(problem);
        }
    } catch (const CDBException& e) {
        result.problem = e.GetErrorMsg();
    } catch (const OS::CException& e) {
        result.problem = L"The request could not be read: " + e.GetErrorMsg();
    } catch (const std::exception& e) {
        result.problem = OS::x_wstring::FromUtf8(e.what());
    }
    if (!result.ok)
        CFG_LOG(DBG::LVL_ERROR, L"%ls failed: %ls", restore ? L"Restore" : L"Backup",
                result.problem.c_str());
    P::WriteFileOpReply(reply, replyId, result);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::BackupOrRestore, %d", result.ok ? 1 : 0);
}
