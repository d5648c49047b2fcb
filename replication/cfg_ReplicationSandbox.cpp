// The replication filter's sandbox-analysis rule: the sandbox setting goes only to servers
// whose scan engine can use it (both servers are asked), engine choices and directory-bound
// address lists stay on the source, and the servers the rule talks to (the agent for the
// source and target services, a plain request to this computer's service, whose RPC failures
// propagate out of the filter).
// Thread rule: stateless; any number of threads may call one filter at once. The queries block
// the calling thread for a round trip each.
#include <algorithm>

#include "cfg_Client.h"
#include "cfg_Replication.h"
#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "replication/cfg_ReplicationFieldAccess.h"
#include "replication/cfg_ReplicationRules.h"
#include "setting/cfg_SettingCategoryFake.h"

namespace {

static const wchar_t kLogSource[] = L"cfg_ReplicationFilter";

using namespace ReplicationRules;
using OS::x_wstring;

bool HasRoleBits(long role, unsigned long bits) {
    return (static_cast<uint32_t>(role) & bits) != 0;
}

bool IsRole(long role, unsigned long value) {
    return static_cast<uint32_t>(role) == value;
}

bool IsSetting(const x_wstring& category, const x_wstring& subject, const wchar_t* rowCategory,
               const wchar_t* rowSubject) {
    return SameName(category, rowCategory) && SameName(subject, rowSubject);
}

// The engine choice of an embedded virus-scan setting stays on the source server.
void EraseEmbeddedEngine(CCfgSettingCategoryBase& holder, const wchar_t* field) {
    const x_wstring name(field);
    CVar stored;
    if (!holder.GetFieldValue(name, stored)) {
        CFG_LOG(DBG::LVL_WARNING, L"field (%ls) is not found", field);
        return;
    }
    CCfgSettingCategoryFake scan(kVirusScanCategory);
    if (!holder.GetFieldValue(name, scan)) return;  // a reference holds no copy to change
    scan.EraseField(kEngineType);
    holder.AddFieldValue(name, scan);
}

void EraseFields(CCfgSettingCategoryBase& setting, const auto& fields) {
    for (const wchar_t* field : fields) setting.EraseField(field);
}

}  // namespace

bool CCfgReplicationFilter::DoVOKAFilter(const x_wstring& sourceServer,
                                         const x_wstring& targetServer, long sourceRole,
                                         long targetRole, double /*sourceExchangeVersion*/,
                                         double targetExchangeVersion,
                                         CCfgSettingCategoryBase& setting, SourceType sourceType) {
    const x_wstring category = setting.GetCategroyName();
    const x_wstring subject = setting.GetSubjectID().ToString();
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgReplicationFilter::DoVOKAFilter(), strSubject = %ls",
            subject.c_str());
    const bool isSandbox = IsSetting(category, subject, kSandbox.category, kSandbox.subject);
    const bool eitherEdge =
        HasRoleBits(sourceRole, kRoleEdgeBit) || HasRoleBits(targetRole, kRoleEdgeBit);

    const auto decide = [&]() -> bool {
        if (isSandbox) {
            CFG_LOG(DBG::LVL_INFO, L"VKN filter match");
            if (!HasRoleBits(sourceRole, kRoleTransportBits) ||
                !HasRoleBits(targetRole, kRoleTransportBits)) {
                CFG_LOG(DBG::LVL_INFO, L"VKN filter: mailbox only filter");
                return true;
            }
            if (kSandbox.lowestExchangeVersion > targetExchangeVersion) {
                CFG_LOG(DBG::LVL_INFO, L"VKN filter: Exchange 2k3 filter");
                return true;
            }
            CCfgSettingCategoryFake sourceScan(kVirusScanCategory);
            sourceScan.SetSubjectID(kVirusScanSubject);
            if (!QueryServerSetting(kRemoteComponent, sourceServer, sourceServer.c_str(),
                                    sourceScan)) {
                CFG_LOG(DBG::LVL_ERROR,
                        L"CCfgReplicationFilter::DoVOKAFilter QueryConfigurationSettings fail");
            } else if (ReadIntField(sourceScan, kEngineType) == kSandbox.engineDisabled) {
                CFG_LOG(DBG::LVL_INFO, L"VKN filter: source RUMB disable filter");
                return true;
            }
            CCfgSettingCategoryFake targetScan(kVirusScanCategory);
            targetScan.SetSubjectID(kVirusScanSubject);
            if (!QueryServerSetting(kMasterComponent, targetServer, nullptr, targetScan)) {
                CFG_LOG(DBG::LVL_ERROR,
                        L"CCfgReplicationFilter::DoVOKAFilter QueryConfigurationSettings fail");
            } else {
                const long engine = ReadIntField(targetScan, kEngineType);
                CFG_LOG(DBG::LVL_INFO, L"VKN filter: target %ls engine type: %ld",
                        targetServer.c_str(), engine);
                if (engine == kSandbox.engineDisabled) {
                    CFG_LOG(DBG::LVL_INFO, L"VKN filter: target RUMB disable filter");
                    return true;
                }
            }
            RegisterSandboxSetting(setting);
            CFG_LOG(DBG::LVL_INFO, L"VKN filter: register");
        }

        if (IsSetting(category, subject, kVirusScanCategory, kVirusScanSubject)) {
            if (IsRole(sourceRole, kRoleAll) || IsRole(targetRole, kRoleAll)) {
                EraseFields(setting, kSandboxEngineFields);
                CFG_LOG(DBG::LVL_INFO, L"RUMB setting filter");
            } else if (!IsRole(targetRole, kRoleStoreBit)) {
                const int action = ReadIntField(setting, kAptAction);
                if (std::ranges::find(kAptActionsQuarantine, action) !=
                    std::end(kAptActionsQuarantine)) {
                    setting.AddFieldValue(x_wstring(kAptAction), CVar(kAptActionConverted));
                    CFG_LOG(DBG::LVL_INFO, L"APT convert quarantine action");
                }
            }
        }

        if (IsSetting(category, subject, kSandboxAlertCategory, kSandboxAlertSubject) &&
            kSandbox.lowestExchangeVersion > targetExchangeVersion) {
            CFG_LOG(DBG::LVL_INFO, L"VKN alert filter: Exchange 2k3 filter");
            return true;
        }

        if (isSandbox) {
            setting.EraseField(kSandboxClientId);
            if (eitherEdge) {
                CFG_LOG(DBG::LVL_INFO, L"VKN filter : edge");
                EraseFields(setting, kSandboxEdgeFields);
            } else if (sourceType == kSourceTypePolicy) {
                EraseAdIntegratedForVA(setting);
                CFG_LOG(DBG::LVL_INFO,
                        L"CCfgReplicationFilter::DoVOKAFilter(), directory-bound addresses "
                        L"erased");
            }
        }

        for (const SEmbeddedScan& scan : kEmbeddedScans) {
            if (!SameName(category, scan.category)) continue;
            CFG_LOG(DBG::LVL_INFO, L"%ls", scan.startText);
            if (scan.list == nullptr) {
                EraseEmbeddedEngine(setting, scan.field);
            } else {
                RewriteSettingList(setting, scan.list,
                                   L"CCfgReplicationFilter::DoVOKAFilter(), fail to get "
                                   L"pcfgSetting",
                                   [&scan](CCfgSettingCategoryBase& task) {
                                       EraseEmbeddedEngine(task, scan.field);
                                       return true;
                                   });
            }
            CFG_LOG(DBG::LVL_INFO, L"%ls", scan.doneText);
        }
        return false;
    };

    const bool removed = decide();
    CFG_LOG(DBG::LVL_EXIT, L"CCfgReplicationFilter::DoVOKAFilter bRemoved: %d", removed ? 1 : 0);
    return removed;
}

void CCfgReplicationFilter::EraseAdIntegratedForVA(CCfgSettingCategoryBase& setting) {
    const x_wstring subject = setting.GetSubjectID().ToString();
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgReplicationFilter::EraseAdIntegratedForVA(), strSubject = %ls",
            subject.c_str());
    if (!IsSetting(setting.GetCategroyName(), subject, kSandbox.category, kSandbox.subject)) {
        return;
    }
    for (const SAddressSelection& selection : kSandboxAddressSelections) {
        if (ReadIntField(setting, selection.typeField) == selection.keptType) continue;
        setting.EraseField(selection.typeField);
        setting.EraseField(selection.objectsField);
    }
}

bool CCfgReplicationFilter::QueryServerSetting(const wchar_t* component, const x_wstring& server,
                                               const wchar_t* remote,
                                               CCfgSettingCategoryBase& setting) {
    CCfgAgent agent(component, true);
    return agent.QueryConfigurationSettings(server, CSubjectID(kPolicyNull), setting, remote);
}

void CCfgReplicationFilter::RegisterSandboxSetting(CCfgSettingCategoryBase& setting) {
    CIPCMsgBuffer request;
    CIPCMsgBuffer reply;
    request << kSandboxRegisterRequest;
    setting >> request;
    // Whatever serves the registration answers nothing the rule needs; a failure of the RPC
    // layer (the master cannot be reached, no answer in time) leaves the filter to its caller.
    CRPCClientHelper client(CComponentID(kMasterComponent), nullptr);
    client.SendRequest(request, reply);
}
