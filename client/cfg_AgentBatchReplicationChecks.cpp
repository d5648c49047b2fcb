// The agent's checks before a batch modify is sent: for replication, drop the settings the
// other computer's product is too old to take; for policy deployment, refuse the batch when
// the product versions of the two computers do not fit. Both read the product key of the
// other computer through the registry layer (a computer it cannot reach counts as version 0),
// which gets another computer's values from that computer's remote service.
// The version table is client/cfg_ReplicationMinimumVersions.h.
// Thread rule: no shared state; the tables are constant.
#include <cwchar>
#include <utility>
#include <vector>

#include "cfg_Client.h"
#include "client/cfg_RemoteProductValues.h"
#include "client/cfg_ReplicationMinimumVersions.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/CRegUtil.h"
#include "outside/registry/HomeDir.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingSkip.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Agent";

namespace P = NS_CfgProtocol;
using namespace NS_ReplicationMinimumVersions;

constexpr unsigned long kRegRead = 0x20019;
constexpr unsigned long kRegValueChars = 128;

double ToDouble(const wchar_t* text) {
    return text[0] == L'\0' ? 0.0 : std::wcstod(text, nullptr);
}
int ToInt(const wchar_t* text) {
    return text[0] == L'\0' ? 0 : static_cast<int>(std::wcstol(text, nullptr, 10));
}

}  // namespace

void CCfgAgent::FilterBeforeReplication(const OS::x_wstring& server, CIPCMsgBuffer& settings) {
    CFG_LOG(DBG::LVL_ENTRY, L"CReplicationManager::FilterBeforeReplication");
    NS_CfgClient::UseRemoteProductValues();
    int count = 0;
    settings >> count;
    int kept = count;

    double targetVersion = 0.0;
    int targetServicePack = 0;
    {
        CRegUtil reg;
        if (reg.OpenExistingRemoteHkeyLocalMachine(server, OS::kProductRegKey, kRegRead)) {
            wchar_t version[kRegValueChars] = {};
            wchar_t servicePack[kRegValueChars] = {};
            reg.Read(L"Version", version, kRegValueChars);
            reg.Read(L"ServicePack", servicePack, kRegValueChars);
            reg.Close();
            targetVersion = ToDouble(version);
            targetServicePack = ToInt(servicePack);
        }
    }

    // The kept items' places in `settings`: the batch is rebuilt only when one is dropped.
    std::vector<std::pair<size_t, unsigned int>> keptAt;
    for (int i = 0; i < count; ++i) {
        int itemResult = 0;
        settings >> itemResult;
        if (itemResult != 0) {
            CFG_LOG(DBG::LVL_ERROR, L"One specific item setting is failed to be retrieved (%d)",
                    itemResult);
            --kept;
            continue;
        }
        // A kept item goes on as it came: its key and setting bytes are copied, not encoded again.
        const size_t start = settings.GetCurrentBuffer() - settings.GetBuffer();
        const unsigned long left = settings.GetCurrentSize();
        P::CKey key;
        P::ReadKey(settings, key);
        CCfgSettingSkip::SkipSetting(settings);
        const auto encoded = static_cast<unsigned int>(left - settings.GetCurrentSize());
        const OS::x_wstring subject = key.subject.ToString();
        CFG_LOG(DBG::LVL_INFO, L"FilterBeforeReplication subject: %ls %ls %ls", server.c_str(),
                key.category.c_str(), subject.c_str());

        bool dropped = false;
        if (const CMinimumVersion* row = FindRow(kSearchDestroyRows, key.category, subject)) {
            CFG_LOG(DBG::LVL_INFO, L"Search & Destroy filter match : %ls %g %d", server.c_str(),
                    targetVersion, targetServicePack);
            dropped = TooOld(*row, targetVersion, targetServicePack);
        }
        if (!dropped) {
            if (const CMinimumVersion* row = FindRow(kAptRows, key.category, subject)) {
                CFG_LOG(DBG::LVL_INFO, L"APT filter match : %ls %g %d", server.c_str(),
                        targetVersion, targetServicePack);
                dropped = TooOld(*row, targetVersion, targetServicePack);
            }
        }
        if (dropped) {
            --kept;
            CFG_LOG(DBG::LVL_INFO, L"Filter out setting subject: %ls %ls %ls", server.c_str(),
                    key.category.c_str(), subject.c_str());
            continue;
        }
        keptAt.emplace_back(start, encoded);
    }

    if (static_cast<int>(keptAt.size()) == count) {
        settings.Rewind();  // every item goes on, each as it came
    } else {
        CIPCMsgBuffer output(static_cast<unsigned long>(settings.BytesUsed()), false);
        output << kept;
        for (const auto& [start, encoded] : keptAt) {
            P::WriteResult(output, P::kResultOk);
            output.Put(settings.GetBuffer() + start, encoded);
        }
        settings = output;
    }
    CFG_LOG(DBG::LVL_EXIT, L"CReplicationManager::FilterBeforeReplication");
}

bool CCfgAgent::IsZOLTVersionMatch(OS::x_wstring server) {
    NS_CfgClient::UseRemoteProductValues();
    wchar_t versionText[kRegValueChars] = {};
    wchar_t patchText[kRegValueChars] = {};
    {
        CRegUtil reg;
        if (!reg.OpenExistingRemoteHkeyLocalMachine(server, OS::kProductRegKey, kRegRead)) {
            CFG_LOG(DBG::LVL_ERROR, L"Can not open remote server:%ls registry.", server.c_str());
            return false;
        }
        reg.Read(L"Version", versionText, kRegValueChars);
        reg.Read(L"PatchBuild", patchText, kRegValueChars);
        reg.Close();
    }
    const double sourceVersion = ToDouble(versionText);
    const int sourcePatch = ToInt(patchText);

    int localPatch = 0;
    OS::CRegKey local;
    if (local.Open(HKEY_LOCAL_MACHINE, OS::kProductRegKey, kRegRead) == ERROR_SUCCESS) {
        OS::x_wstring text;
        const long rc = local.QueryValue(L"PatchBuild", text);
        if (rc == ERROR_SUCCESS && !text.empty()) {
            localPatch = ToInt(text.c_str());
        } else {
            // The registry layer's result stands for the system's last error.
            CFG_LOG(DBG::LVL_ERROR, L"Can not query registry PatchBuild, GetLastError:%d",
                    static_cast<int>(rc == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : rc));
        }
        local.Close();
    }

    const long major = static_cast<long>(sourceVersion);
    if (major < 12 || (major == 12 && localPatch >= sourcePatch)) return true;
    CFG_LOG(DBG::LVL_INFO,
            L"Source Server:%ls, version:%ls, PatchBuild:%d does not match current server.",
            server.c_str(), versionText, sourcePatch);
    return false;
}
