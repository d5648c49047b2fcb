// CIPCServerRequestCallback: the request handler a component registers with its RPC server.
// The server asks it once, at registration, for the message ids it serves, and then calls it
// for every request carrying one of those ids.
// Thread rule: operator() is called on the server's threads, several at a time.
#pragma once

#include "cfg_Export.h"
#include "outside/ipc/CIPCMsgBuffer.h"

class ZOLTCFG_API CIPCServerRequestCallback {
  public:
    // Hands out an array of the served message ids and its length; the array stays the
    // caller's until it is given back to FreeMsgID. False: the handler serves nothing.
    virtual bool GetMsgID(int** ids, int* count) const = 0;
    // Serves one request. `request` holds the items behind the message id; what is left in
    // `reply` (empty on entry) goes back to the client.
    virtual void operator()(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) = 0;
    // Takes back an array handed out by GetMsgID.
    virtual void FreeMsgID(int* ids) = 0;
    virtual ~CIPCServerRequestCallback() = default;
};
