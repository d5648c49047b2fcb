// The mail-server layer: the role and version of the mail server a product server runs beside,
// as the replication of settings needs them. On this platform they are values of the registry
// layer (see docs/outside-layers.md):
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\Kestrelon\Mailvane for Exchange\MailServer
//     "ServerRole"   32-bit number   the mail server's role flags (missing: 0)
//     "FullVersion"  string          the mail server's version as a decimal year, e.g. "2013.0"
//                                    (missing, empty or not a number: 0.0)
//
// A server is read through CRegUtil::OpenExistingRemoteHkeyLocalMachine: a name of this machine
// reads this machine's registry file, a host mapped with CRegUtil::MapRemoteHost reads its own
// file, any other host is unknown (role 0, version 0.0).
// Thread rule: no shared state except the cmdlet set-up count, which is atomic.
#pragma once

#include "outside/common/x_wstring.h"

class CExchangeServerBase {
  public:
    // The key under HKEY_LOCAL_MACHINE that holds the mail server's values.
    static const wchar_t* const kMailServerRegKey;

    virtual ~CExchangeServerBase();

    // Prepares the management shell of this process; non-zero when this call set it up (and
    // CmdletUninit must be called once for it), 0 when it could not.
    static int CmdletInit();
    // Releases one set-up made by CmdletInit.
    static void CmdletUninit();
    // The number of set-ups not yet released (0 when every CmdletInit was undone).
    static int CmdletInitCount();

    // The full mail-server version of `server` (remote true) or of this machine (remote false,
    // `server` not used): "FullVersion" as a decimal number, 0.0 when it cannot be read.
    static double GetExchangeFullVersionFromReg(bool remote, OS::x_wstring server);
};

class CExchangeServer : public CExchangeServerBase {
  public:
    // `connect` false: the role is read from the registry, no session is opened.
    CExchangeServer(const OS::x_wstring& server, bool connect);
    ~CExchangeServer() override;

    // "ServerRole" of the server, 0 when it cannot be read.
    int GetServerRole() const;
    const OS::x_wstring& GetServerName() const { return m_strServer; }

  private:
    OS::x_wstring m_strServer;
};
