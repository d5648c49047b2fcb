// Who may use this machine's local endpoints: the runtime folder belongs to the serving user,
// mode 0750, group the admin group (registry value "AdminGroup" of the product key, default
// "zoltcfg"; the user's own group when that group does not exist), and its sockets are mode
// 0660 in the same group. A connected peer is served when it is root, the serving user, or a
// member of the admin group (its primary or a supplementary group); others are refused.
// Thread rule: a CLocalAccess is read-only after construction; the functions keep no state but
// the once-only log line about a missing group.
#pragma once

#include <sys/types.h>

#include <string>

namespace RPC {

constexpr char kDefaultAdminGroup[] = "zoltcfg";

class CLocalAccess {
  public:
    // Resolves the admin group of this machine (reads the registry and the group database).
    CLocalAccess();

    const std::string& AdminGroup() const { return m_groupName; }
    gid_t AdminGid() const { return m_gid; }

    // Checks the runtime folder `dir` (not followed when a symbolic link): a folder owned by
    // this user and writable by nobody else; then sets its mode to 0750 and its group to the
    // admin group. Throws CRPCException(ENDPOINT_FAILED) naming what is wrong.
    void SecureFolder(const std::string& dir) const;
    // Gives the socket file at `path` mode 0660 and the admin group.
    void SecureSocket(const std::string& path) const;

    // True when the peer of the connected local socket `fd` may be served; `uid` and `pid` say
    // who it is (-1 when the system does not tell).
    bool Allows(int fd, long& uid, long& pid) const;

  private:
    uid_t m_uid;
    std::string m_groupName;
    gid_t m_gid;
};

}  // namespace RPC
