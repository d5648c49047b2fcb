// CRegUtil: reads of a named computer's local-machine registry.
//
// A host that names this machine ("", ".", "localhost", 127.0.0.1, its host name or short host
// name, with or without a leading "\\") reads this machine's registry file. Another host reads
// the file mapped to it with MapRemoteHost (used by tests and the demo to stand for other
// computers). Any other host opens only the product key and the mail-server key, read-only,
// through the remote product reader the client library installs (the other computer's remote
// service answers the product key's "Version", "ServicePack" and "PatchBuild" and the
// mail-server key's "ServerRole" and "FullVersion"); everything else there cannot be opened (a
// null key).
// Thread rule: one thread at a time per object; the host map is guarded inside.
#pragma once

#include <map>

#include "outside/registry/CRegKey.h"

class CRegUtil {
  public:
    CRegUtil() = default;
    ~CRegUtil() { Close(); }
    CRegUtil(const CRegUtil&) = delete;
    CRegUtil& operator=(const CRegUtil&) = delete;

    // Opens the existing key `path` under HKEY_LOCAL_MACHINE of `host`; null when it cannot.
    HKEY OpenExistingRemoteHkeyLocalMachine(const OS::x_wstring& host, const OS::x_wstring& path,
                                            unsigned long access);
    // Reads the string value `name` into `buffer` of `size` characters (terminator included),
    // cut to fit. False when no key is open, the value is missing or not a string, or size is 0.
    bool Read(const OS::x_wstring& name, wchar_t* buffer, unsigned long size);
    bool Read(const OS::x_wstring& name, OS::x_wstring& value);
    bool Read(const OS::x_wstring& name, unsigned long& value);
    void Close();

    // Makes `host` read the registry file `registryFile`; an empty file removes the mapping.
    static void MapRemoteHost(const OS::x_wstring& host, const OS::x_wstring& registryFile);
    static void ClearRemoteHosts();
    // True when `host` names this machine.
    static bool IsLocalHost(const OS::x_wstring& host);

    // Reads the product key's and the mail-server key's values of another computer into
    // `values` (name to text, a number as decimal text); false when the computer cannot be
    // reached or has no product key.
    using RemoteProductReader = bool (*)(const OS::x_wstring& host,
                                         std::map<std::wstring, std::wstring>& values);
    static void SetRemoteProductReader(RemoteProductReader reader);
    // This computer's values of the same keys, as the reader gives another's (a missing value
    // of the product key is empty, one of the mail-server key absent); false when there is no
    // product key.
    static bool ReadLocalProductValues(std::map<std::wstring, std::wstring>& values);

  private:
    OS::CRegKey m_key;
    bool m_remoteOpen = false;  // the values below stand for the open key
    std::map<std::wstring, std::wstring> m_remote;
};
