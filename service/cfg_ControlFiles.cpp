// The file requests of a remote service: copy, delete, list and test files, synchronise a
// virtual server's folder to the other nodes, and find the other node holding the newest
// database copy. Every path a request names is confined to the home, the virtual servers' root
// folders and NodeShareRoot; any other path answers -1 with a warning naming it. Other nodes'
// shares ("\\NODE\NAME\rest") are their exports mounted under NodeShareRoot.
// Thread rule: stateless; two synchronisations of the same folder may run at once.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>

#include "cfg_Service.h"
#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/cluster/CNodeShare.h"
#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/common/CException.h"
#include "outside/common/FileUtils.h"
#include "outside/common/StringUtils.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"
#include "replication/cfg_FolderMirror.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Control";

namespace P = NS_CfgProtocol;
using OS::x_wstring;

// The listing the file requests use: files and folders, full paths, sorted.
constexpr unsigned int kEnumFlags = 39;

// `path` mapped and confined to the allowed roots; false (with the warning) when refused.
bool Confine(const wchar_t* handler, const x_wstring& path, x_wstring& resolved) {
    if (NS_FileUtils::ConfinePath(CNodeShare::MapPath(path), CNodeShare::AllowedRoots(), resolved))
        return true;
    CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::%ls: the path %ls is outside the allowed folders",
            handler, path.c_str());
    return false;
}

// Copies `from` onto `to`; 0 or the errno. With `failIfExists` an existing target fails.
int CopyOne(const x_wstring& from, const x_wstring& to, bool failIfExists) {
    const int in = open(from.ToUtf8().c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    struct stat st {};
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(in);
        return err;
    }
    const int out =
        open(to.ToUtf8().c_str(),
             O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC), st.st_mode & 0777);
    if (out < 0) {
        const int err = errno;
        close(in);
        return err;
    }
    int err = 0;
    for (off_t left = st.st_size; left > 0 && !err;) {
        const ssize_t n = sendfile(out, in, nullptr, static_cast<size_t>(left));
        if (n < 0 && errno != EINTR) err = errno;
        if (n == 0) break;
        if (n > 0) left -= n;
    }
    if (!err) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (futimens(out, times) != 0) err = errno;
    }
    if (close(out) != 0 && !err) err = errno;
    close(in);
    return err;
}

// This machine's name as the node lists spell it; empty (logged) when it cannot be told.
x_wstring ComputerName() {
    x_wstring name = CVirtualServerUtil::NodeName();
    if (name.empty()) CFG_LOG(DBG::LVL_ERROR, L"GetComputerName error");
    return name.substr(0, 15);
}

// The node names of `info` a handler visits: the usable ones other than this machine.
std::vector<x_wstring> OtherNodes(const CClusterVirtualServerInfo& info, const x_wstring& self) {
    std::vector<x_wstring> nodes;
    for (const auto& n : info.UsableNodes())
        if (!CNodeShare::SameNode(n, self)) nodes.push_back(n);
    return nodes;
}

// The time stamp of the first file of `folder` (its name after the first five characters), 0
// when the folder is empty, unreachable or the name holds no number.
int NodeTimeStamp(const x_wstring& folder) {
    x_wstring resolved;
    if (!Confine(L"DoGetMaxTimeStampFromOtherNodes", folder, resolved)) return 0;
    std::vector<x_wstring> files;
    NS_FileUtils::collectFiles(files, resolved, L"*.*", kEnumFlags, 0, false, nullptr);
    if (files.empty()) return 0;
    const x_wstring name = NS_FileUtils::getFilename(files.front().c_str());
    int stamp = 0;
    if (name.size() > 5 && std::swscanf(name.c_str() + 5, L"%20d", &stamp) != 1) stamp = 0;
    return stamp;
}

}  // namespace

void CCfgControl::DoCopyFile(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    P::WriteReplyId(reply, P::kMsgCopyFileReply);
    try {
        x_wstring from, to, src, dst;
        bool failIfExists = false;
        request >> from >> to >> failIfExists;
        if (!Confine(L"DoCopyFile", from, src) || !Confine(L"DoCopyFile", to, dst)) {
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        if (const int err = CopyOne(src, dst, failIfExists)) {
            CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::DoMyCopyFile:FROM %ls  TO %ls GetlastError=%d",
                    from.c_str(), to.c_str(), err);
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        CFG_LOG(DBG::LVL_INFO, L"CCfgControl::DoMyCopyFile:FROM %ls  TO %ls successfully",
                from.c_str(), to.c_str());
        P::WriteResult(reply, P::kResultOk);
    } catch (const OS::CException&) {
        P::WriteResult(reply, P::kResultFail);
    }
}

void CCfgControl::DoDeleteFile(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    P::WriteReplyId(reply, P::kMsgDeleteFileReply);
    try {
        x_wstring path, resolved;
        request >> path;
        if (!Confine(L"DoDeleteFile", path, resolved)) {
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        if (unlink(resolved.ToUtf8().c_str()) != 0) {
            CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::DoMyDeleteFile:%ls GetlastError=%d",
                    path.c_str(), errno);
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        CFG_LOG(DBG::LVL_INFO, L"CCfgControl::DoMyDeleteFile:%ls successfully", path.c_str());
        P::WriteResult(reply, P::kResultOk);
    } catch (const OS::CException&) {
        P::WriteResult(reply, P::kResultFail);
    }
}

void CCfgControl::DoEnumFile(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    P::WriteReplyId(reply, P::kMsgEnumFileReply);
    try {
        x_wstring folder, resolved;
        request >> folder;
        if (!Confine(L"DoEnumFile", folder, resolved)) {
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        std::vector<x_wstring> files;
        NS_FileUtils::collectFiles(files, resolved, L"*.*", kEnumFlags, 0, false, nullptr);
        reply << files;
        P::WriteResult(reply, P::kResultOk);
    } catch (const OS::CException&) {
        P::WriteResult(reply, P::kResultFail);
    }
}

void CCfgControl::DoIsFileExist(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    P::WriteReplyId(reply, P::kMsgIsFileExistReply);
    try {
        x_wstring path, resolved;
        request >> path;
        if (!Confine(L"DoIsFileExist", path, resolved)) {
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        reply << (NS_FileUtils::isFileExist(resolved.c_str()) ? 1 : 0);
        P::WriteResult(reply, P::kResultOk);
    } catch (const OS::CException&) {
        P::WriteResult(reply, P::kResultFail);
    }
}

void CCfgControl::DoGetMaxTimeStampFromOtherNodes(unsigned int, const CIPCMsgBuffer& request,
                                                  CIPCMsgBuffer& reply) {
    P::WriteReplyId(reply, P::kMsgMaxTimeStampReply);
    try {
        CClusterVirtualServerInfo info;
        request >> info;
        bool found = false;
        int highest = 0;
        x_wstring best;
        const x_wstring self = ComputerName();
        if (!self.empty()) {
            for (const auto& node : OtherNodes(info, self)) {
                found = true;
                // The node's copy folder: \\NODE\ then the server's name and "CFGDB" as one name.
                const int stamp = NodeTimeStamp(L"\\\\" + node + L"\\" + info.m_strName + L"CFGDB");
                if (stamp > highest) {
                    highest = stamp;
                    best = node;
                }
            }
        }
        reply << found << highest << best;
        P::WriteResult(reply, P::kResultOk);
    } catch (const OS::CException&) {
        P::WriteResult(reply, P::kResultFail);
    }
}

void CCfgControl::DoSyncFolder(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    P::WriteReplyId(reply, P::kMsgSyncFolderReply);
    try {
        CClusterVirtualServerInfo info;
        x_wstring subFolder;
        request >> info >> subFolder;
        const x_wstring self = ComputerName();
        const std::vector<x_wstring> nodes = OtherNodes(info, self);
        if (nodes.empty()) {
            P::WriteResult(reply, P::kResultOk);
            return;
        }
        x_wstring source;
        if (!Confine(L"DoSyncFolder",
                     NS_StringUtils::concatPath(CNodeShare::MapPath(info.m_strRootFolder),
                                                CNodeShare::MapPath(subFolder)),
                     source)) {
            P::WriteResult(reply, P::kResultFail);
            return;
        }
        if (!NS_FileUtils::isFileExist(source.c_str())) {
            // Mirroring a missing source would empty every node's copy: nothing is touched.
            CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::DoSyncFolder: the source %ls does not exist",
                    source.c_str());
            P::WriteResult(reply, P::kResultOk);
            return;
        }
        for (const auto& node : nodes) {
            const x_wstring share = L"\\\\" + node;
            const x_wstring base =
                CNodeShare::MapPath(NS_StringUtils::concatPath(share, info.m_strName));
            CFG_LOG(DBG::LVL_INFO, L"Syncing to node: %ls", share.c_str());
            x_wstring why, target;
            if (!CNodeShare::Connect(base, why)) {
                // An unreachable node is not the client's matter; the log says why.
                CFG_LOG(DBG::LVL_INFO, L"Cannot reach %ls: %ls", share.c_str(), why.c_str());
                continue;
            }
            if (!Confine(L"DoSyncFolder",
                         NS_StringUtils::concatPath(base, CNodeShare::MapPath(subFolder)), target))
                continue;
            CompareAndRemoveExtraFiles(source.c_str(), target.c_str());
            CopyFolderByXcopy(source.c_str(), target.c_str());
        }
        P::WriteResult(reply, P::kResultOk);
    } catch (const OS::CException&) {
        P::WriteResult(reply, P::kResultFail);
    }
}
