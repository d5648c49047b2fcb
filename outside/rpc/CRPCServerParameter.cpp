// CRPCServerParameter: parses the protocol sequence of a server endpoint.
// Thread rule: a value type.
#include "outside/rpc/CRPCServerParameter.h"

#include "outside/rpc/CRPCException.h"

CRPCServerParameter::CRPCServerParameter(const wchar_t* protocolSequence)
    : m_protseq(protocolSequence) {
    if (m_protseq.CompareNoCase(L"ncalrpc") == 0) {
        m_kind = Kind::kLocal;
    } else if (m_protseq.CompareNoCase(L"ncacn_np") == 0) {
        m_kind = Kind::kNetwork;
    } else {
        throw CRPCException(CRPCException::BAD_PARAMETER, OS_WFILE, __LINE__,
                            L"unknown protocol sequence \"" + m_protseq +
                                L"\": expected \"ncalrpc\" or \"ncacn_np\"");
    }
}
