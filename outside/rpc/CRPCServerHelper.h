// CRPCServerHelper: the server endpoint of one component. It listens from construction to
// destruction and calls the registered handlers for the requests that reach it. Each open
// connection (a client keeps one per thread) is served by a thread of its own with blocking
// reads, so several requests run at once and a round trip costs what a plain socket costs;
// a connection idle for kIdleSeconds is closed (its client reconnects transparently).
// Thread rule: RegisterHandler and UnRegisterHandler may be called from any thread, also from
// inside a handler call.
#pragma once

#include <memory>
#include <string>

#include "outside/ipc/CComponentID.h"
#include "outside/rpc/CIPCServerRequestCallback.h"
#include "outside/rpc/CRPCServerParameter.h"

class CRPCServerHelper {
  public:
    // Seconds a connection may stay idle (or take to accept a reply) before it is closed.
    static constexpr int kIdleSeconds = 60;

    // Creates the endpoint: the endpoint exists and accepts connections when the constructor
    // returns. Throws CRPCException: ENDPOINT_IN_USE when a live server already serves the
    // endpoint (a socket file left by a dead server is replaced), NO_PORT when a network
    // endpoint has no port, ENDPOINT_FAILED when the socket cannot be bound, BAD_PARAMETER when
    // a network endpoint's TLS files cannot be loaded or its listen address is no address.
    // A network endpoint without TLS settings (RpcTls.h) is created but does not listen.
    CRPCServerHelper(const CComponentID& component, const CRPCServerParameter& parameter);
    // Stops listening, closes every connection and removes the socket file. Calls in progress
    // finish first.
    ~CRPCServerHelper();
    CRPCServerHelper(const CRPCServerHelper&) = delete;
    CRPCServerHelper& operator=(const CRPCServerHelper&) = delete;

    // Asks `handler` for its message ids (GetMsgID, then FreeMsgID) and routes requests with
    // those ids to it from now on. A request whose id no handler reported gets an empty reply.
    // Registering the same handler again refreshes its ids.
    void RegisterHandler(CIPCServerRequestCallback& handler);
    // When it returns, no call of `handler` starts and none is running (other than the one
    // calling UnRegisterHandler, when called from inside a call), so the handler may go.
    void UnRegisterHandler(CIPCServerRequestCallback& handler);

    // The endpoint as text: "unix:<socket path>", "tls:<address>:<port>", or "" for a TCP
    // endpoint that does not listen (no TLS settings).
    std::string GetEndpoint() const;

    struct Impl;  // the endpoint, its threads and the handler table (CRPCServerHelper.cpp)

  private:
    std::unique_ptr<Impl> m_impl;
};
