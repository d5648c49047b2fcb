// OS::CRegKey: one open key of this machine's registry (the file named by ZOLTCFG_REGISTRY,
// default /etc/zoltcfg/registry): read and write string and 32-bit number values.
//
// Results are 0 (ERROR_SUCCESS) or an ERROR_* code of RegTypes.h: a missing key or value gives
// ERROR_FILE_NOT_FOUND. Every query reads the file afresh, so values written by other processes
// are seen at once.
// Thread rule: one thread at a time per object; distinct objects may be used from distinct
// threads and processes.
#pragma once

#include <string>
#include <vector>

#include "outside/common/x_wstring.h"
#include "outside/registry/RegTypes.h"

namespace OS {

class CRegKey {
  public:
    CRegKey() = default;
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Opens the existing key `path` under `parent` (a root such as HKEY_LOCAL_MACHINE, or an open
    // key). ERROR_FILE_NOT_FOUND when neither it nor a key under it exists.
    long Open(HKEY parent, const x_wstring& path, unsigned long access = KEY_READ);
    // Opens the key, creating it when missing (the parent must allow creating).
    long Create(HKEY parent, const x_wstring& path, unsigned long access = KEY_READ | KEY_WRITE);
    // The file this machine's registry lives in (ZOLTCFG_REGISTRY, else /etc/zoltcfg/registry).
    static std::string RegistryFile();

    long QueryValue(const x_wstring& name, x_wstring& value) const;      // a string value
    long QueryValue(unsigned long& value, const x_wstring& name) const;  // a 32-bit number
    long SetValue(const x_wstring& name, const x_wstring& value);
    long SetValue(unsigned long value, const x_wstring& name);
    long DeleteValue(const x_wstring& name);
    // The names of the keys directly under this one, in the file's order, each once.
    long EnumSubKeys(std::vector<x_wstring>& names) const;
    long Close();

    bool IsOpen() const { return m_hKey != nullptr; }
    operator HKEY() const { return m_hKey; }
    // The key's full path ("HKEY_LOCAL_MACHINE\SOFTWARE\..."); "" when not open.
    x_wstring GetPath() const;

    // Opens a key in the registry file `file` (remote machines are files of their own).
    long OpenInFile(const std::string& file, HKEY parent, const x_wstring& path,
                    unsigned long access, bool create);

    HKEY m_hKey = nullptr;
};

}  // namespace OS
