// The command layer: what a process asks of the master service beside the configuration
// requests. CCmdAgent hands a command (an id, a server, a command code and a parameter buffer)
// over to a component; SendToMaster sends one raw request to the master component and returns
// its reply. Both go through the process's master channel: by default commands are recorded in
// the debug log (no command handler runs in this build's processes, see docs/outside-layers.md)
// and raw requests travel over the RPC layer. Tests install a channel of their own to watch
// them.
// Thread rule: the channel pointer is atomic; SetMasterChannel must not race with a call in
// progress on the channel it replaces. Commands and requests may be sent from any thread.
#pragma once

#include <cstdint>

#include "outside/common/x_wstring.h"
#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"

// A 128-bit command id, random for each new command.
class CGUID {
  public:
    CGUID() = default;
    static CGUID NewGUID();
    // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case.
    OS::x_wstring ToString() const;
    bool operator==(const CGUID& o) const { return m_hi == o.m_hi && m_lo == o.m_lo; }
    bool IsNull() const { return m_hi == 0 && m_lo == 0; }

  private:
    uint64_t m_hi = 0;
    uint64_t m_lo = 0;
};

// One command for a component.
class CCmdExecuteParam {
  public:
    CGUID m_CommandID;
    OS::x_wstring m_strServer;
    int m_nCommandCode = 0;
    CIPCMsgBuffer m_Parameter;
};

// What became of a handed-over command.
class CCmdQueryResult {
  public:
    enum State : int {
        STATE_NONE = 0,
        STATE_DONE = 1,     // carried out
        STATE_FAILED = 2,   // refused or failed
        STATE_PENDING = 3,  // accepted, to be carried out
    };
    int m_nState = STATE_NONE;
};

// Told when a handed-over command is finished (not called by the default channel).
class CCmdCallback {
  public:
    virtual ~CCmdCallback();
    virtual void OnCommandFinished(const CGUID& id, const CCmdQueryResult& result) = 0;
};

class CCmdAgent {
  public:
    explicit CCmdAgent(const CComponentID& component) : m_Component(component) {}
    // Hands `param` over to the component; 0 when it was handed over (then `result` tells
    // whether it was accepted), non-zero when it could not be.
    int Execute(const CCmdExecuteParam& param, CCmdCallback* callback, CCmdQueryResult& result);

  private:
    CComponentID m_Component;
};

// The way to the master service. Both operations may throw OS::CException-derived errors.
class CMasterChannel {
  public:
    virtual ~CMasterChannel();
    virtual int Execute(const CComponentID& component, const CCmdExecuteParam& param,
                        CCmdCallback* callback, CCmdQueryResult& result) = 0;
    virtual void SendRequest(const CComponentID& component, const CIPCMsgBuffer& request,
                             CIPCMsgBuffer& reply) = 0;
};

namespace NS_Command {

// Installs `channel` (not owned; null restores the default) and returns the one it replaces
// (null when that was the default).
CMasterChannel* SetMasterChannel(CMasterChannel* channel);

// Sends `request` (its first item is the message id) to `component` on this machine and fills
// `reply` with the answer.
void SendToMaster(const CComponentID& component, const CIPCMsgBuffer& request,
                  CIPCMsgBuffer& reply);

}  // namespace NS_Command
