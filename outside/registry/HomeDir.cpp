// GetHomeDir: the registry's "HomeDir", else ZOLTCFG_HOME, else /var/lib/zoltcfg; always with a
// trailing '/', so that "config/..." can be appended directly.
// Thread rule: no shared state.
#include "outside/registry/HomeDir.h"

#include <cstdlib>

#include "outside/registry/CRegKey.h"

namespace OS {

const wchar_t* const kProductRegKey = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion";
const wchar_t* const kMailServerRegKey = L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\MailServer";

x_wstring GetHomeDir() {
    std::string why;
    return GetHomeDir(why);
}

x_wstring GetHomeDir(std::string& why) {
    x_wstring home;
    CRegKey key;
    const std::string value = "the registry value HomeDir in " + CRegKey::RegistryFile();
    if (key.Open(HKEY_LOCAL_MACHINE, kProductRegKey, KEY_READ) == ERROR_SUCCESS &&
        key.QueryValue(L"HomeDir", home) == ERROR_SUCCESS && !home.empty()) {
        why = value;
    } else if (const char* env = std::getenv("ZOLTCFG_HOME"); env && *env) {
        home = Utf8ToWide(env);
        why = "ZOLTCFG_HOME";
    } else {
        home = L"/var/lib/zoltcfg";
        why = "the default (neither " + value + " nor ZOLTCFG_HOME is set)";
    }
    if (home.back() != L'/') home += L'/';
    return home;
}

}  // namespace OS
