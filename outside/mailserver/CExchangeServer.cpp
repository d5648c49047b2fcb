// The mail server's role and version, read from the registry layer; the cmdlet set-up is a
// process-wide count (no shell runs on this platform).
// Thread rule: the count is atomic; every read opens its own key.
#include "outside/mailserver/CExchangeServer.h"

#include <atomic>
#include <cwchar>

#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/CRegUtil.h"

namespace {
static const wchar_t kLogSource[] = L"ExchangeServer";

std::atomic<int> g_cmdletInits{0};

// A decimal text as a number; 0.0 for an empty or non-numeric text.
double ToVersion(const OS::x_wstring& text) {
    if (text.empty()) return 0.0;
    wchar_t* end = nullptr;
    const double v = std::wcstod(text.c_str(), &end);
    return end == text.c_str() ? 0.0 : v;
}
}  // namespace

const wchar_t* const CExchangeServerBase::kMailServerRegKey =
    L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\MailServer";

CExchangeServerBase::~CExchangeServerBase() {}

int CExchangeServerBase::CmdletInit() {
    return ++g_cmdletInits;
}

void CExchangeServerBase::CmdletUninit() {
    int n = g_cmdletInits.load();
    while (n > 0 && !g_cmdletInits.compare_exchange_weak(n, n - 1)) {
    }
}

int CExchangeServerBase::CmdletInitCount() {
    return g_cmdletInits.load();
}

double CExchangeServerBase::GetExchangeFullVersionFromReg(bool remote, OS::x_wstring server) {
    OS::x_wstring text;
    if (remote) {
        CRegUtil reg;
        if (reg.OpenExistingRemoteHkeyLocalMachine(server, kMailServerRegKey, KEY_READ))
            reg.Read(L"FullVersion", text);
    } else {
        OS::CRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, kMailServerRegKey, KEY_READ) == ERROR_SUCCESS)
            key.QueryValue(L"FullVersion", text);
    }
    const double version = ToVersion(text);
    CFG_LOG(DBG::LVL_INFO, L"GetExchangeFullVersionFromReg(%d, %ls) = %f", remote ? 1 : 0,
            server.c_str(), version);
    return version;
}

CExchangeServer::CExchangeServer(const OS::x_wstring& server, bool) : m_strServer(server) {}

CExchangeServer::~CExchangeServer() {}

int CExchangeServer::GetServerRole() const {
    CRegUtil reg;
    unsigned long role = 0;
    if (!reg.OpenExistingRemoteHkeyLocalMachine(m_strServer, kMailServerRegKey, KEY_READ) ||
        !reg.Read(L"ServerRole", role))
        role = 0;
    CFG_LOG(DBG::LVL_INFO, L"CExchangeServer::GetServerRole(%ls) = %lu", m_strServer.c_str(), role);
    return static_cast<int>(role);
}
