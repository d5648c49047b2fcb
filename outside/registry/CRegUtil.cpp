// CRegUtil: local hosts read this machine's registry file; mapped hosts read their own file;
// other hosts give their product and mail-server keys through the remote product reader.
// Thread rule: the host map and the reader are guarded by g_hostsLock.
#include "outside/registry/CRegUtil.h"

#include <unistd.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <mutex>

#include "outside/registry/HomeDir.h"
#include "outside/registry/RegistryFile.h"

namespace {

std::mutex g_hostsLock;
CRegUtil::RemoteProductReader g_remoteReader = nullptr;
std::map<std::wstring, std::string, OS::NoCaseLess>& Hosts() {
    static std::map<std::wstring, std::string, OS::NoCaseLess> hosts;
    return hosts;
}

// The values another computer's product reader gives for each key it opens.
const struct {
    const wchar_t* const* path;
    const wchar_t* names[3];
} kRemoteKeys[] = {
    {&OS::kProductRegKey, {L"Version", L"ServicePack", L"PatchBuild"}},
    {&OS::kMailServerRegKey, {L"ServerRole", L"FullVersion", nullptr}},
};

std::wstring Bare(const OS::x_wstring& host) {
    std::wstring h = host;
    while (!h.empty() && h[0] == L'\\') h.erase(0, 1);
    return h;
}

}  // namespace

bool CRegUtil::IsLocalHost(const OS::x_wstring& host) {
    std::wstring h = Bare(host);
    if (h.empty() || h == L"." || OS::wcsicmp(h, L"localhost") == 0 || h == L"127.0.0.1")
        return true;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    std::wstring self = OS::Utf8ToWide(name);
    if (OS::wcsicmp(h, self) == 0) return true;
    std::wstring shortSelf = self.substr(0, self.find(L'.'));
    std::wstring shortHost = h.substr(0, h.find(L'.'));
    return OS::wcsicmp(shortHost, shortSelf) == 0 &&
           (h.find(L'.') == std::wstring::npos || self.find(L'.') == std::wstring::npos);
}

void CRegUtil::MapRemoteHost(const OS::x_wstring& host, const OS::x_wstring& registryFile) {
    std::lock_guard<std::mutex> lk(g_hostsLock);
    if (registryFile.empty()) {
        Hosts().erase(Bare(host));
    } else {
        Hosts()[Bare(host)] = registryFile.ToUtf8();
    }
}

void CRegUtil::SetRemoteProductReader(RemoteProductReader reader) {
    std::lock_guard<std::mutex> lk(g_hostsLock);
    g_remoteReader = reader;
}

bool CRegUtil::ReadLocalProductValues(std::map<std::wstring, std::wstring>& values) {
    values.clear();
    OS::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, OS::kProductRegKey) != ERROR_SUCCESS) return false;
    OS::x_wstring text;
    for (const wchar_t* name : kRemoteKeys[0].names) {
        text.clear();
        key.QueryValue(name, text);  // a missing value stays empty
        values[name] = text;
    }
    OS::CRegKey mail;
    if (mail.Open(HKEY_LOCAL_MACHINE, OS::kMailServerRegKey) != ERROR_SUCCESS) return true;
    unsigned long number = 0;
    for (const wchar_t* name : kRemoteKeys[1].names) {
        if (!name) continue;
        if (mail.QueryValue(number, name) == ERROR_SUCCESS)  // a number, as decimal text
            values[name] = std::to_wstring(number);
        else if (mail.QueryValue(name, text) == ERROR_SUCCESS)
            values[name] = text;
    }
    return true;
}

void CRegUtil::ClearRemoteHosts() {
    std::lock_guard<std::mutex> lk(g_hostsLock);
    Hosts().clear();
}

HKEY CRegUtil::OpenExistingRemoteHkeyLocalMachine(const OS::x_wstring& host,
                                                  const OS::x_wstring& path, unsigned long access) {
    Close();
    std::string file;
    RemoteProductReader reader = nullptr;
    {
        std::lock_guard<std::mutex> lk(g_hostsLock);
        auto it = Hosts().find(Bare(host));
        if (it != Hosts().end()) file = it->second;
        reader = g_remoteReader;
    }
    if (file.empty() && !IsLocalHost(host)) {
        // Another computer: its product and mail-server keys only, read through its remote
        // service. A mail-server value it does not have is missing, not empty.
        const auto* key =
            std::find_if(std::begin(kRemoteKeys), std::end(kRemoteKeys), [&](auto& k) {
                return OS::wcsicmp(OS::regfile::NormalisePath(path),
                                   OS::regfile::NormalisePath(*k.path)) == 0;
            });
        std::map<std::wstring, std::wstring> all;
        if (key == std::end(kRemoteKeys) || !reader || !reader(Bare(host), all)) {
            m_remote.clear();
            return nullptr;
        }
        m_remote.clear();
        for (const wchar_t* name : key->names) {
            const auto it = name ? all.find(name) : all.end();
            if (it != all.end() && (key == std::begin(kRemoteKeys) || !it->second.empty()))
                m_remote[it->first] = it->second;
        }
        m_remoteOpen = true;
        return HKEY_LOCAL_MACHINE;  // stands for the open key; never used as a handle
    }
    if (file.empty()) file = OS::CRegKey::RegistryFile();
    if (m_key.OpenInFile(file, HKEY_LOCAL_MACHINE, path, access, false) != ERROR_SUCCESS)
        return nullptr;
    return m_key;
}

bool CRegUtil::Read(const OS::x_wstring& name, wchar_t* buffer, unsigned long size) {
    if (!buffer || size == 0) return false;
    OS::x_wstring value;
    if (!Read(name, value)) return false;
    size_t n = std::min<size_t>(value.size(), size - 1);
    std::wmemcpy(buffer, value.data(), n);
    buffer[n] = L'\0';
    return true;
}

bool CRegUtil::Read(const OS::x_wstring& name, OS::x_wstring& value) {
    if (m_remoteOpen) {
        for (const auto& [n, v] : m_remote)
            if (OS::wcsicmp(n, name) == 0) {
                value = v;
                return true;
            }
        return false;
    }
    return m_key.IsOpen() && m_key.QueryValue(name, value) == ERROR_SUCCESS;
}

bool CRegUtil::Read(const OS::x_wstring& name, unsigned long& value) {
    if (m_remoteOpen) {
        OS::x_wstring text;
        if (!Read(name, text) || text.empty()) return false;
        wchar_t* end = nullptr;
        const unsigned long long n = std::wcstoull(text.c_str(), &end, 10);
        if (*end != L'\0' || n > 0xFFFFFFFFull) return false;
        value = static_cast<unsigned long>(n);
        return true;
    }
    return m_key.IsOpen() && m_key.QueryValue(value, name) == ERROR_SUCCESS;
}

void CRegUtil::Close() {
    m_key.Close();
    m_remoteOpen = false;
    m_remote.clear();
}
