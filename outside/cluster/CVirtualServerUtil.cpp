// CVirtualServerUtil and CVeritasCluster over the registry file.
// Thread rule: no shared state.
#include "outside/cluster/CVirtualServerUtil.h"

#include <unistd.h>

#include <climits>

#include "outside/cluster/CVeritasCluster.h"
#include "outside/common/StringUtils.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"

namespace {

const wchar_t kServersKey[] = L"VirtualServers";

unsigned long ReadNumber(const wchar_t* name) {
    OS::CRegKey key;
    unsigned long value = 0;
    if (key.Open(HKEY_LOCAL_MACHINE, CVirtualServerUtil::ClusterKey()) != ERROR_SUCCESS) return 0;
    if (key.QueryValue(value, name) != ERROR_SUCCESS) return 0;
    return value;
}

OS::x_wstring HostName() {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0) return {};
    return OS::x_wstring::FromUtf8(host);
}

// The registry's spelling of the configured server `name`, or empty.
OS::x_wstring FindServer(const OS::x_wstring& name) {
    for (const auto& s : CVirtualServerUtil::ListServers())
        if (OS::wcsicmp(s, name) == 0) return s;
    return {};
}

}  // namespace

OS::x_wstring CVirtualServerUtil::ClusterKey() {
    return OS::x_wstring(OS::kProductRegKey) + L"\\Cluster";
}

std::vector<OS::x_wstring> CVirtualServerUtil::LocalNames() {
    std::vector<OS::x_wstring> names;
    const OS::x_wstring full = HostName();
    if (!full.empty()) {
        names.push_back(full);
        const auto dot = full.find(L'.');
        if (dot != OS::x_wstring::npos && dot > 0) names.push_back(full.substr(0, dot));
    }
    names.push_back(L"localhost");
    return names;
}

bool CVirtualServerUtil::IsLocalName(const OS::x_wstring& name) {
    for (const auto& n : LocalNames())
        if (OS::wcsicmp(n, name) == 0) return true;
    return false;
}

OS::x_wstring CVirtualServerUtil::NodeName() {
    OS::CRegKey key;
    OS::x_wstring node;
    if (key.Open(HKEY_LOCAL_MACHINE, ClusterKey()) == ERROR_SUCCESS &&
        key.QueryValue(L"NodeName", node) == ERROR_SUCCESS && !node.empty())
        return node;
    node = HostName();
    return node.substr(0, node.find(L'.'));
}

std::vector<OS::x_wstring> CVirtualServerUtil::ListServers() {
    std::vector<OS::x_wstring> names;
    OS::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, ClusterKey() + L"\\" + kServersKey) == ERROR_SUCCESS)
        key.EnumSubKeys(names);
    return names;
}

bool CVirtualServerUtil::QueryServerInfo(const CClusterVirtualServerLookupRequest& request,
                                         CClusterVirtualServerInfo& info) {
    const OS::x_wstring& name = request.m_strName;
    if (name.empty() || name.size() >= CClusterVirtualServerInfo::kMaxText) return false;
    CClusterVirtualServerInfo found;
    found.m_strName = name;
    if (IsLocalName(name)) {
        found.m_bOnline = true;
        found.m_strRootFolder = OS::GetHomeDir();
        found.SetNodes({NodeName()});
    } else {
        const OS::x_wstring stored = FindServer(name);
        if (stored.empty()) return false;
        OS::CRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, ClusterKey() + L"\\" + kServersKey + L"\\" + stored) !=
            ERROR_SUCCESS)
            return false;
        OS::x_wstring nodes;
        unsigned long online = 0;
        if (key.QueryValue(L"RootFolder", found.m_strRootFolder) != ERROR_SUCCESS ||
            found.m_strRootFolder.empty())
            return false;
        key.QueryValue(L"Nodes", nodes);
        key.QueryValue(online, L"Online");
        found.m_bOnline = online == 1;
        std::vector<OS::x_wstring> list;
        NS_StringUtils::splitWords(nodes, L';', list);
        found.SetNodes(std::move(list));
    }
    if (found.m_strRootFolder.size() >= CClusterVirtualServerInfo::kMaxText) return false;
    info = std::move(found);
    return true;
}

int CVirtualServerUtil::EnumServersOnCurrentNode(CClusterVirtualServerInfo* array, int* count) {
    if (!count) return 2;
    std::vector<CClusterVirtualServerInfo> servers;
    CClusterVirtualServerInfo self;
    if (QueryServerInfo(CClusterVirtualServerLookupRequest(LocalNames().front()), self))
        servers.push_back(std::move(self));
    const OS::x_wstring node = NodeName();
    for (const auto& name : ListServers()) {
        CClusterVirtualServerInfo info;
        if (!QueryServerInfo(CClusterVirtualServerLookupRequest(name), info)) continue;
        bool here = info.UsableNodes().empty();
        for (const auto& n : info.UsableNodes()) here = here || OS::wcsicmp(n, node) == 0;
        if (here) servers.push_back(std::move(info));
    }
    if (!array) {
        *count = static_cast<int>(servers.size());
        return 0;
    }
    const int n = std::min(*count, static_cast<int>(servers.size()));
    for (int i = 0; i < n; ++i) array[i] = servers[static_cast<size_t>(i)];
    *count = n;
    return 0;
}

bool CVirtualServerUtil::CheckIsClusterByRegKey() {
    return ReadNumber(L"IsCluster") != 0;
}

int CVirtualServerUtil::GetClusterQuorumModeByRegKey() {
    return static_cast<int>(ReadNumber(L"QuorumMode"));
}

bool CVirtualServerUtil::SetServerOnline(const OS::x_wstring& name, bool online) {
    const OS::x_wstring stored = FindServer(name);
    if (stored.empty()) return false;
    OS::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, ClusterKey() + L"\\" + kServersKey + L"\\" + stored,
                 KEY_READ | KEY_WRITE) != ERROR_SUCCESS)
        return false;
    return key.SetValue(online ? 1UL : 0UL, L"Online") == ERROR_SUCCESS;
}

int CVeritasCluster::GetThirdPartyClusterType() {
    return static_cast<int>(ReadNumber(L"ThirdPartyClusterType"));
}

void CVeritasCluster::CleanImpersonation_() {}
