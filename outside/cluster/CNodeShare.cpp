// CNodeShare over the registry file and the mounted exports.
// Thread rule: no shared state.
#include "outside/cluster/CNodeShare.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/common/StringUtils.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/HomeDir.h"

OS::x_wstring CNodeShare::Root() {
    OS::CRegKey key;
    OS::x_wstring root;
    if (key.Open(HKEY_LOCAL_MACHINE, CVirtualServerUtil::ClusterKey()) == ERROR_SUCCESS &&
        key.QueryValue(L"NodeShareRoot", root) == ERROR_SUCCESS && !root.empty())
        return root;
    return kDefaultRoot;
}

OS::x_wstring CNodeShare::MapPath(const OS::x_wstring& path) {
    OS::x_wstring rest = path;
    const bool share = rest.size() > 2 && rest[0] == L'\\' && rest[1] == L'\\';
    if (share) rest = rest.substr(2);
    for (auto& c : rest)
        if (c == L'\\') c = L'/';
    return share ? NS_StringUtils::concatPath(Root(), rest) : rest;
}

std::vector<OS::x_wstring> CNodeShare::AllowedRoots() {
    std::vector<OS::x_wstring> roots{OS::GetHomeDir()};
    for (const auto& name : CVirtualServerUtil::ListServers()) {
        CClusterVirtualServerInfo info;
        if (CVirtualServerUtil::QueryServerInfo(CClusterVirtualServerLookupRequest(name), info))
            roots.push_back(MapPath(info.m_strRootFolder));
    }
    roots.push_back(Root());
    return roots;
}

bool CNodeShare::Connect(const OS::x_wstring& path, OS::x_wstring& why) {
    const std::string p = path.ToUtf8();
    struct stat st {};
    if (stat(p.c_str(), &st) != 0) {
        why.Format(L"%ls is not mounted (%s)", path.c_str(), std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why.Format(L"%ls is not a folder", path.c_str());
        return false;
    }
    DIR* dir = opendir(p.c_str());
    if (!dir) {
        why.Format(L"%ls cannot be read (%s)", path.c_str(), std::strerror(errno));
        return false;
    }
    closedir(dir);
    return true;
}

bool CNodeShare::SameNode(const OS::x_wstring& a, const OS::x_wstring& b) {
    return OS::wcsicmp(a.substr(0, 15), b.substr(0, 15)) == 0;
}
