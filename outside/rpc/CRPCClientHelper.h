// CRPCClientHelper: sends a request to a component and returns its reply. The calling thread
// does the I/O itself, on a connection kept per thread and endpoint; a kept connection found
// broken when the request is sent (the server restarted) is replaced once, transparently.
// A remote host is reached only over mutual TLS with this process's reaching settings
// (RpcTls.h), one handshake per kept connection.
// Thread rule: one helper may be used from several threads; each thread has its own
// connection.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/rpc/CRPCException.h"

namespace RPC {
struct CTlsSettings;
}

class CRPCClientHelper {
  public:
    // `host` null or empty: the component on this machine (its Unix domain socket); else the
    // component's TLS port on that host. Throws CRPCException(BAD_PARAMETER) for an empty id.
    CRPCClientHelper(const CComponentID& component, const wchar_t* host);
    ~CRPCClientHelper();

    // Sends the used bytes of `request` (its first item is the message id) and fills `reply`
    // (reset first, read position at its start) with what the handler left in its reply.
    // Throws CRPCException: UNREACHABLE (no server), TIMEOUT (no answer within GetTimeout();
    // the connection is dropped), CONNECTION_LOST (the connection broke while the reply was
    // awaited), FRAME_TOO_LARGE (the request or the announced reply is above the limit),
    // HANDLER_FAILED (the handler threw), PROTOCOL (the peer is not one of ours), NO_PORT,
    // TLS_REFUSED (a remote host without TLS settings here, or the handshake failed).
    void SendRequest(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);

    // The time allowed for connecting and for each wait on the reply.
    void SetTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds GetTimeout() const { return m_timeout; }
    // The timeout new helpers start with (30 s unless changed).
    static void SetDefaultTimeout(std::chrono::milliseconds timeout);
    static std::chrono::milliseconds GetDefaultTimeout();

    // Closes the calling thread's kept connections (all endpoints).
    static void CloseThreadConnections();

    // "unix:<socket path>" or "tls:<host>:<port>".
    const std::string& GetEndpoint() const { return m_endpoint; }

  private:
    CComponentID m_component;
    std::string m_host;  // UTF-8; empty for this machine
    std::string m_socketPath;
    std::string m_endpoint;
    std::shared_ptr<const RPC::CTlsSettings> m_tls;  // remote hosts only
    std::chrono::milliseconds m_timeout;
};
