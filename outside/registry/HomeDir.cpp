// GetHomeDir: the registry's "HomeDir", else ZOLTCFG_HOME, else /var/lib/zoltcfg; always with a
// trailing '/', so that "config/..." can be appended directly.
// Thread rule: no shared state.
#include "outside/registry/HomeDir.h"

#include <cstdlib>

#include "outside/registry/CRegKey.h"

namespace OS {

const wchar_t* const kProductRegKey = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion";

x_wstring GetHomeDir() {
    x_wstring home;
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kProductRegKey, KEY_READ) != ERROR_SUCCESS ||
        key.QueryValue(L"HomeDir", home) != ERROR_SUCCESS || home.empty()) {
        const char* env = std::getenv("ZOLTCFG_HOME");
        home = env && *env ? Utf8ToWide(env) : x_wstring(L"/var/lib/zoltcfg");
    }
    if (home.back() != L'/') home += L'/';
    return home;
}

}  // namespace OS
