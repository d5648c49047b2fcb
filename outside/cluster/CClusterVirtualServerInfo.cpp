// CClusterVirtualServerInfo and CClusterVirtualServerLookupRequest: their buffer forms.
// Thread rule: stateless.
#include "outside/cluster/CClusterVirtualServerInfo.h"

#include <algorithm>

namespace {
void CheckText(const OS::x_wstring& text) {
    if (text.size() >= CClusterVirtualServerInfo::kMaxText)
        throw CIPCMsgBufferException(CIPCMsgBufferException::BAD_LENGTH, OS_WFILE, __LINE__,
                                     L"virtual server name or root folder too long");
}
}  // namespace

void CClusterVirtualServerInfo::SetNodes(std::vector<OS::x_wstring> nodes) {
    m_nNodeCount = static_cast<int>(nodes.size());
    m_vecNodes = std::move(nodes);
}

std::vector<OS::x_wstring> CClusterVirtualServerInfo::UsableNodes() const {
    const size_t n = std::min(static_cast<size_t>(std::max(m_nNodeCount, 0)), m_vecNodes.size());
    return {m_vecNodes.begin(), m_vecNodes.begin() + static_cast<std::ptrdiff_t>(n)};
}

CIPCMsgBuffer& operator<<(CIPCMsgBuffer& buffer, const CClusterVirtualServerInfo& info) {
    CheckText(info.m_strName);
    CheckText(info.m_strRootFolder);
    buffer << info.m_bOnline << info.m_strName << info.m_strRootFolder << info.m_nNodeCount
           << info.m_vecNodes;
    return buffer;
}

const CIPCMsgBuffer& operator>>(const CIPCMsgBuffer& buffer, CClusterVirtualServerInfo& info) {
    CClusterVirtualServerInfo read;
    buffer >> read.m_bOnline >> read.m_strName;
    CheckText(read.m_strName);
    buffer >> read.m_strRootFolder;
    CheckText(read.m_strRootFolder);
    buffer >> read.m_nNodeCount;
    if (read.m_nNodeCount < 0)
        throw CIPCMsgBufferException(CIPCMsgBufferException::BAD_LENGTH, OS_WFILE, __LINE__,
                                     L"negative node count");
    buffer >> read.m_vecNodes;
    info = std::move(read);
    return buffer;
}

CIPCMsgBuffer& operator<<(CIPCMsgBuffer& buffer, const CClusterVirtualServerLookupRequest& req) {
    buffer << req.m_nByName << req.m_strName << req.m_nReserved;
    return buffer;
}

const CIPCMsgBuffer& operator>>(const CIPCMsgBuffer& buffer,
                                CClusterVirtualServerLookupRequest& req) {
    buffer >> req.m_nByName >> req.m_strName >> req.m_nReserved;
    return buffer;
}
