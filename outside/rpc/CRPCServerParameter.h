// CRPCServerParameter: the kind of endpoint a component is served on: "ncalrpc" (this machine
// only: a Unix domain socket in the runtime folder) or "ncacn_np" (reachable from other
// machines: a TCP port, see RpcEndpoint.h).
// Thread rule: a value type.
#pragma once

#include "outside/common/x_wstring.h"

class CRPCServerParameter {
  public:
    enum class Kind { kLocal, kNetwork };

    // REQUIRES: `protocolSequence` is "ncalrpc" or "ncacn_np" (letter case aside); anything
    // else throws CRPCException(BAD_PARAMETER).
    explicit CRPCServerParameter(const wchar_t* protocolSequence);

    Kind GetKind() const { return m_kind; }
    const OS::x_wstring& GetProtocolSequence() const { return m_protseq; }

  private:
    OS::x_wstring m_protseq;
    Kind m_kind;
};
