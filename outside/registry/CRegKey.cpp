// OS::CRegKey over the registry file: an open key is a handle holding the file, the key's full
// path and the access it was opened with.
// Thread rule: one thread at a time per object.
#include "outside/registry/CRegKey.h"

#include <cstdlib>

#include "outside/registry/RegistryFile.h"

struct HKEY__ {
    std::string file;
    std::wstring path;
    unsigned long access;
};

namespace OS {
namespace {

bool IsRoot(HKEY h) {
    return h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER;
}

const wchar_t* RootName(HKEY h) {
    return h == HKEY_LOCAL_MACHINE ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
}

}  // namespace

std::string CRegKey::RegistryFile() {
    const char* env = std::getenv("ZOLTCFG_REGISTRY");
    return env && *env ? env : "/etc/zoltcfg/registry";
}

long CRegKey::OpenInFile(const std::string& file, HKEY parent, const x_wstring& path,
                         unsigned long access, bool create) {
    std::wstring base;
    if (IsRoot(parent)) {
        base = RootName(parent);
    } else if (parent) {
        base = parent->path;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    std::wstring sub = regfile::NormalisePath(path);
    std::wstring full = sub.empty() ? base : base + L"\\" + sub;
    regfile::Content c;
    if (!regfile::Load(file, c)) return ERROR_ACCESS_DENIED;
    if (!c.Exists(full)) {
        if (!create) return ERROR_FILE_NOT_FOUND;
        bool ok = regfile::Modify(file, [&](regfile::Content& content) {
            if (!content.Find(full)) content.keys.push_back({full, {}});
        });
        if (!ok) return ERROR_ACCESS_DENIED;
    }
    Close();
    m_hKey = new HKEY__{file, full, access};
    return ERROR_SUCCESS;
}

long CRegKey::Open(HKEY parent, const x_wstring& path, unsigned long access) {
    std::string file = !IsRoot(parent) && parent ? parent->file : RegistryFile();
    return OpenInFile(file, parent, path, access, false);
}

long CRegKey::Create(HKEY parent, const x_wstring& path, unsigned long access) {
    std::string file = !IsRoot(parent) && parent ? parent->file : RegistryFile();
    return OpenInFile(file, parent, path, access, true);
}

long CRegKey::Close() {
    delete m_hKey;
    m_hKey = nullptr;
    return ERROR_SUCCESS;
}

x_wstring CRegKey::GetPath() const {
    return m_hKey ? x_wstring(m_hKey->path) : x_wstring();
}

namespace {

// Finds value `name` of the open key; result code as the queries return it.
long Lookup(HKEY key, const x_wstring& name, regfile::Value& out) {
    if (!key) return ERROR_INVALID_HANDLE;
    if ((key->access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    regfile::Content c;
    if (!regfile::Load(key->file, c)) return ERROR_ACCESS_DENIED;
    regfile::Key* k = c.Find(key->path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    for (const regfile::Value& v : k->values) {
        if (OS::wcsicmp(v.name, name) == 0) {
            out = v;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

long Store(HKEY key, const x_wstring& name, const regfile::Value* value) {
    if (!key) return ERROR_INVALID_HANDLE;
    if ((key->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    bool found = false;
    bool ok = regfile::Modify(key->file, [&](regfile::Content& c) {
        regfile::Key* k = c.Find(key->path);
        if (!k) {
            if (!value) return;
            c.keys.push_back({key->path, {}});
            k = &c.keys.back();
        }
        for (auto it = k->values.begin(); it != k->values.end(); ++it) {
            if (OS::wcsicmp(it->name, name) != 0) continue;
            found = true;
            if (value) {
                std::wstring keptName = it->name;  // the stored spelling of the name stays
                *it = *value;
                it->name = keptName;
            } else {
                k->values.erase(it);
            }
            return;
        }
        if (value) k->values.push_back(*value);
    });
    if (!ok) return ERROR_ACCESS_DENIED;
    return value || found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

}  // namespace

long CRegKey::QueryValue(const x_wstring& name, x_wstring& value) const {
    regfile::Value v;
    long rc = Lookup(m_hKey, name, v);
    if (rc != ERROR_SUCCESS) return rc;
    if (v.isNumber) return ERROR_INVALID_DATA;
    value = v.text;
    return ERROR_SUCCESS;
}

long CRegKey::QueryValue(unsigned long& value, const x_wstring& name) const {
    regfile::Value v;
    long rc = Lookup(m_hKey, name, v);
    if (rc != ERROR_SUCCESS) return rc;
    if (!v.isNumber) return ERROR_INVALID_DATA;
    value = v.number;
    return ERROR_SUCCESS;
}

long CRegKey::SetValue(const x_wstring& name, const x_wstring& value) {
    regfile::Value v;
    v.name = name;
    v.text = value;
    return Store(m_hKey, name, &v);
}

long CRegKey::SetValue(unsigned long value, const x_wstring& name) {
    regfile::Value v;
    v.name = name;
    v.isNumber = true;
    v.number = static_cast<uint32_t>(value);
    return Store(m_hKey, name, &v);
}

long CRegKey::DeleteValue(const x_wstring& name) {
    return Store(m_hKey, name, nullptr);
}

long CRegKey::EnumSubKeys(std::vector<x_wstring>& names) const {
    names.clear();
    if (!m_hKey) return ERROR_INVALID_HANDLE;
    regfile::Content c;
    if (!regfile::Load(m_hKey->file, c)) return ERROR_ACCESS_DENIED;
    const std::wstring prefix = m_hKey->path + L"\\";
    for (const regfile::Key& k : c.keys) {
        if (k.path.size() <= prefix.size() ||
            OS::wcsicmp(std::wstring_view(k.path).substr(0, prefix.size()), prefix) != 0)
            continue;
        // A deeper key names its first part below this key.
        const std::wstring rest = k.path.substr(prefix.size());
        const x_wstring child = rest.substr(0, rest.find(L'\\'));
        bool seen = false;
        for (const auto& n : names) seen = seen || OS::wcsicmp(n, child) == 0;
        if (!seen && !child.empty()) names.push_back(child);
    }
    return ERROR_SUCCESS;
}

}  // namespace OS
