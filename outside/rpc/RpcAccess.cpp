// The local endpoints' access rules: folder and socket ownership and modes, and the peer
// credentials check of every accepted connection.
// Thread rule: CLocalAccess is read-only after construction; the "group missing" line is logged
// once per process (atomic flag).
#include "outside/rpc/RpcAccess.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"
#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcFrame.h"

static const wchar_t kLogSource[] = L"rpc_Access";

namespace RPC {

namespace {

std::atomic<bool> g_toldMissingGroup{false};

[[noreturn]] void Refuse(const std::string& dir, const std::string& why) {
    throw CRPCException(CRPCException::ENDPOINT_FAILED, OS_WFILE, __LINE__,
                        OS::x_wstring::FromUtf8("the runtime folder " + dir + " " + why +
                                                "; refusing to serve from it"));
}

// The name of user `uid` and its primary group, or false when the user database has no entry.
bool UserOf(uid_t uid, std::string& name, gid_t& gid) {
    std::vector<char> buf(16 * 1024);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
    name = pw.pw_name;
    gid = pw.pw_gid;
    return true;
}

}  // namespace

CLocalAccess::CLocalAccess()
    : m_uid(::geteuid()), m_groupName(kDefaultAdminGroup), m_gid(::getegid()) {
    OS::CRegKey key;
    OS::x_wstring name;
    if (key.Open(HKEY_LOCAL_MACHINE, OS::kProductRegKey, KEY_READ) == ERROR_SUCCESS &&
        key.QueryValue(L"AdminGroup", name) == ERROR_SUCCESS && !name.empty())
        m_groupName = name.ToUtf8();
    std::vector<char> buf(16 * 1024);
    group gr{};
    group* found = nullptr;
    if (::getgrnam_r(m_groupName.c_str(), &gr, buf.data(), buf.size(), &found) == 0 && found) {
        m_gid = gr.gr_gid;
    } else if (!g_toldMissingGroup.exchange(true)) {
        CFG_LOG(DBG::LVL_WARNING,
                L"the admin group %s does not exist: local endpoints keep group %u of user %u",
                m_groupName.c_str(), unsigned(m_gid), unsigned(m_uid));
    }
}

void CLocalAccess::SecureFolder(const std::string& dir) const {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) Refuse(dir, "cannot be examined: " + ErrnoText(errno));
    if (S_ISLNK(st.st_mode)) Refuse(dir, "is a symbolic link");
    if (!S_ISDIR(st.st_mode)) Refuse(dir, "is not a folder");
    if (st.st_uid != m_uid)
        Refuse(dir, "belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
                        std::to_string(m_uid) + ")");
    if (st.st_mode & (S_IWGRP | S_IWOTH)) Refuse(dir, "is writable by other users");
    // Ours and closed to writers: give the admin group its way in. A group we may not hand the
    // folder to leaves it as it is, closed.
    if (st.st_gid != m_gid && ::chown(dir.c_str(), static_cast<uid_t>(-1), m_gid) != 0)
        CFG_LOG(DBG::LVL_WARNING, L"the runtime folder %s cannot be given group %u: %s",
                dir.c_str(), unsigned(m_gid), ErrnoText(errno).c_str());
    if ((st.st_mode & 07777) != 0750) ::chmod(dir.c_str(), 0750);
}

void CLocalAccess::SecureSocket(const std::string& path) const {
    ::chmod(path.c_str(), 0660);
    if (::chown(path.c_str(), static_cast<uid_t>(-1), m_gid) != 0) {
        // The folder's group check still applies; the socket keeps the user's group.
    }
}

bool CLocalAccess::Allows(int fd, long& uid, long& pid) const {
    ucred cred{};
    socklen_t len = sizeof cred;
    uid = pid = -1;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    uid = cred.uid;
    pid = cred.pid;
    if (cred.uid == 0 || cred.uid == m_uid || cred.gid == m_gid) return true;
    std::string name;
    gid_t primary;
    if (!UserOf(cred.uid, name, primary)) return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) {
        if (count <= 0 || count > 65536) return false;
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) return false;
    }
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<size_t>(i)] == m_gid) return true;
    return false;
}

}  // namespace RPC
