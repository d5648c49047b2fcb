// Where the endpoints of a component live on this machine: the runtime folder and the socket
// files in it, the TCP port of each component, and the lock that makes one live server per
// endpoint.
//
// Runtime folder: ZOLTCFG_RUNTIME_DIR when set; else /run/zoltcfg for root; else
// $XDG_RUNTIME_DIR/zoltcfg; else /tmp/zoltcfg-<uid>. A server creates it when missing and
// refuses it unless it is a folder of its own user, not a symbolic link and writable by nobody
// else; then it gets mode 0750 and the admin group (RpcAccess.h).
// Local sockets: <runtime folder>/<component id><suffix> (".rpc" for requests, ".notify" for
// change notifications); a '/' in the component id becomes '_'.
// TCP ports: ZOLTCFG_RPC_PORT_<COMPONENT> when set (COMPONENT is the component id in capitals,
// every character other than a letter or digit turned into '_'); else the machine's default
// table: ID_ZOLT_MASTER 47301, ID_ZOLT_SYSTEM_WATCHER 47302, ID_ZOLT_REMOTE_CFG 47303.
// Thread rule: the functions may be called from any thread; the environment is read each time.
#pragma once

#include <string>

#include "outside/ipc/CComponentID.h"

namespace RPC {

// The runtime folder, created when missing and checked (unless `create` is false). Throws
// CRPCException(ENDPOINT_FAILED) when it cannot be created or is refused.
std::string RuntimeDir(bool create = true);

// The path of the local socket of `component` with `suffix` (".rpc", ".notify"). Throws
// CRPCException(BAD_PARAMETER) for an empty id or a path too long for a socket address.
std::string LocalSocketPath(const CComponentID& component, const char* suffix, bool create = true);

// The TCP port of `component`. Throws CRPCException(NO_PORT) when neither the environment nor
// the default table gives one, or the environment's value is not a port number.
unsigned short TcpPort(const CComponentID& component);

// The name of the environment variable that sets `component`'s TCP port.
std::string TcpPortVariable(const CComponentID& component);

// An exclusive lock on "<path>.lock", held for the object's life by the one live server of the
// endpoint at `path`. A lock held by a dead process is released by the system, so a stale
// socket file of a dead server never blocks a new one. The lock file is never reached through a
// symbolic link.
class CEndpointLock {
  public:
    // Throws CRPCException(ENDPOINT_IN_USE) when a live server holds the lock,
    // (ENDPOINT_FAILED) when the lock file cannot be opened.
    CEndpointLock(const std::string& path, const OS::x_wstring& what);
    ~CEndpointLock();
    CEndpointLock(const CEndpointLock&) = delete;
    CEndpointLock& operator=(const CEndpointLock&) = delete;

  private:
    int m_fd = -1;
};

}  // namespace RPC
