// The product's registry key and the home folder of this machine's configuration.
// Thread rule: no shared state (reads the registry file and the environment).
#pragma once

#include <string>

#include "outside/common/x_wstring.h"

namespace OS {

// "SOFTWARE\Kestrelon\Mailvane for Exchange\CurrentVersion" under HKEY_LOCAL_MACHINE.
extern const wchar_t* const kProductRegKey;
// "SOFTWARE\Kestrelon\Mailvane for Exchange\MailServer": the mail server's role and version.
extern const wchar_t* const kMailServerRegKey;

// The home folder, ending with '/': the registry value "HomeDir" of the product key, else the
// environment variable ZOLTCFG_HOME, else /var/lib/zoltcfg.
x_wstring GetHomeDir();
// The same, and in `why` where it came from: "the registry value HomeDir in <file>", "ZOLTCFG_HOME"
// or "the default (neither the registry value HomeDir in <file> nor ZOLTCFG_HOME is set)".
x_wstring GetHomeDir(std::string& why);

}  // namespace OS
