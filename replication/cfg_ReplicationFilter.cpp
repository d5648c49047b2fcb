// The replication filter's decision chain: features of the server roles, the rules that drop
// whole settings (product version, subjects of missing roles, search and destroy, content-
// filter policies) and the order in which Filter runs them and the rewriting rules.
// Thread rule: stateless; any number of threads may call one filter at once.
#include <cstdint>

#include "cfg_Replication.h"
#include "outside/log/DebugLog.h"
#include "outside/registry/CRegKey.h"
#include "replication/cfg_ReplicationFieldAccess.h"
#include "replication/cfg_ReplicationRules.h"

namespace {

static const wchar_t kLogSource[] = L"cfg_ReplicationFilter";

using namespace ReplicationRules;
using OS::x_wstring;

// Roles and features are 32-bit sets: a role passed as -1 or as 0xFFFFFFFF is the same set.
uint32_t Bits(long value) {
    return static_cast<uint32_t>(value);
}

bool HasFeature(long features, unsigned long feature) {
    return (Bits(features) & feature) != 0;
}

// True when "ReplicateSpamMaintenance" exists in the product key and is above 0.
bool RegistryReplicatesSpamMaintenance() {
    OS::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kProductKey, KEY_READ) != ERROR_SUCCESS) return false;
    unsigned long value = 0;
    if (key.QueryValue(value, kReplicateSpamMaintenanceValue) != ERROR_SUCCESS) return false;
    return value > 0;
}

// A subject-skip row's subject against the setting's: exact, or a prefix ending in "*".
bool IsPrefixMatch(const x_wstring& subject, const wchar_t* rowSubject) {
    const x_wstring row(rowSubject);
    if (row.empty() || row.back() != L'*') return false;
    const x_wstring cut = subject.substr(0, row.size() - 1) + L"*";
    return SameName(cut, rowSubject);
}

}  // namespace

CCfgReplicationFilter::~CCfgReplicationFilter() = default;

bool CCfgReplicationFilter::Filter(const x_wstring& sourceServer, const x_wstring& targetServer,
                                   long sourceRole, long targetRole, double sourceVersion,
                                   int sourceServicePack, double sourceExchangeVersion,
                                   double targetExchangeVersion, CCfgSettingCategoryBase& setting,
                                   SourceType sourceType) {
    CFG_LOG(DBG::LVL_ENTRY,
            L"CCfgReplicationFilter::Filter(), source server = %ls, target server = %ls, "
            L"source role = 0x%x, target role = 0x%x, source version = %g, service pack = %d, "
            L"source mail-server version = %g, target mail-server version = %g, "
            L"source type = %d",
            sourceServer.c_str(), targetServer.c_str(), Bits(sourceRole), Bits(targetRole),
            sourceVersion, sourceServicePack, sourceExchangeVersion, targetExchangeVersion,
            sourceType);
    CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::Filter category = %ls",
            setting.GetCategroyName().c_str());

    const auto decide = [](bool removed) {
        CFG_LOG(DBG::LVL_EXIT, L"CCfgReplicationFilter::Filter(), result: %d", removed ? 1 : 0);
        return removed;
    };

    const wchar_t* rule = nullptr;
    return decide(FilterNamingRule(sourceServer, targetServer, sourceRole, targetRole,
                                   sourceVersion, sourceServicePack, sourceExchangeVersion,
                                   targetExchangeVersion, setting, sourceType, rule));
}

bool CCfgReplicationFilter::FilterNamingRule(const x_wstring& sourceServer,
                                             const x_wstring& targetServer, long sourceRole,
                                             long targetRole, double sourceVersion,
                                             int sourceServicePack, double sourceExchangeVersion,
                                             double targetExchangeVersion,
                                             CCfgSettingCategoryBase& setting,
                                             SourceType sourceType, const wchar_t*& rule) {
    const auto drop = [&rule](const wchar_t* name) {
        rule = name;
        return true;
    };
    rule = nullptr;
    if (DoZOLTVersionFilter(sourceVersion, sourceServicePack, setting))
        return drop(L"product version");
    if (DoSubjectFilter(sourceRole, targetRole, setting)) return drop(L"roles");
    if (DoSearchDestroyFilter(sourceRole, targetRole, sourceExchangeVersion, targetExchangeVersion,
                              setting, sourceType))
        return drop(L"search and destroy");
    if (DoVOKAFilter(sourceServer, targetServer, sourceRole, targetRole, sourceExchangeVersion,
                     targetExchangeVersion, setting, sourceType))
        return drop(L"sandbox analysis");

    if (sourceType == kSourceTypePolicy) {
        if (DoPolicyFilterForCF(setting)) return drop(L"content-filter policy");
        DoFieldFilterForCF(sourceRole, targetRole, setting);
        EraseAdIntegratedDlpRule(setting);
        ErasedADIntegrateReport(sourceServer, targetServer, setting);
    } else if (DoPolicyFilter(sourceRole, targetRole, setting)) {
        return drop(L"content-filter policy");
    }

    DoFieldFilter(sourceRole, targetRole, setting);
    DoExchange2013Filter(sourceExchangeVersion, targetExchangeVersion, setting);
    return false;
}

long CCfgReplicationFilter::GetRoleFeatures(long role) {
    const uint32_t bits = Bits(role);
    uint32_t features = 0;
    if (bits == kRoleEvery || bits == kRoleAll) {
        features = static_cast<uint32_t>(kFeatureAll);
    } else {
        if (bits & kRoleStoreBit) features |= kFeatureStore;
        if (bits & kRoleTransportBits) features |= kFeatureTransport;
    }
    if (bits & kRoleNoDeliveryTimeBit) {
        features &= ~static_cast<uint32_t>(kFeatureDeliveryTime);
    } else {
        features |= kFeatureDeliveryTime;
    }
    return static_cast<long>(features);
}

long CCfgReplicationFilter::GetSkipFeature(long sourceRole, long targetRole) {
    const uint32_t source = Bits(GetRoleFeatures(sourceRole));
    const uint32_t target = Bits(GetRoleFeatures(targetRole));
    const uint32_t skip = ~(source & target);
    CFG_LOG(DBG::LVL_INFO, L"GetSkipFeature(), source=0x%x", source);
    CFG_LOG(DBG::LVL_INFO, L"GetSkipFeature(), target=0x%x", target);
    CFG_LOG(DBG::LVL_INFO, L"GetSkipFeature(), skip=0x%x", skip);
    return static_cast<long>(skip);
}

bool CCfgReplicationFilter::DoZOLTVersionFilter(double sourceVersion, int sourceServicePack,
                                                CCfgSettingCategoryBase& setting) {
    const x_wstring category = setting.GetCategroyName();
    CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::DoZOLTVersionFilter(), strCategory = %ls",
            category.c_str());
    for (const SVersionRule& rule : kVersionRules) {
        if (!SameName(category, rule.category)) continue;
        CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::DoZOLTVersionFilter(), category match");
        if (rule.version != sourceVersion || rule.servicePack != sourceServicePack) continue;
        if (rule.field == nullptr) return true;
        setting.EraseField(rule.field);
    }
    return false;
}

bool CCfgReplicationFilter::DoSubjectFilter(long sourceRole, long targetRole,
                                            CCfgSettingCategoryBase& setting) {
    const long skip = GetSkipFeature(sourceRole, targetRole);
    const x_wstring category = setting.GetCategroyName();
    const x_wstring subject = setting.GetSubjectID().ToString();
    CFG_LOG(DBG::LVL_INFO, L"DoSubjectFilter() SkipFeature=0x%x, category=%ls, subject=%ls.",
            Bits(skip), category.c_str(), subject.c_str());

    bool removed = false;
    for (const SSubjectSkipRule& rule : kSubjectSkipRules) {
        CFG_LOG(DBG::LVL_ENTRY,
                L"DoSubjectFilter() skip_feature=0x%x, skip_category=%ls, skip_subject=%ls",
                static_cast<unsigned int>(rule.feature), rule.category, rule.subject);
        if (!HasFeature(skip, rule.feature)) continue;
        CFG_LOG(DBG::LVL_ENTRY, L"DoSubjectFilter() skip feature match");
        if (!SameName(category, rule.category)) continue;

        if (x_wstring(rule.subject) == L"*") {
            CFG_LOG(DBG::LVL_INFO, L"DoSubjectFilter() skip this subject (match all)");
            removed = true;
            break;
        }
        if (SameName(subject, rule.subject)) {
            if (SameName(subject, kSpamMaintenanceSubject)) {
                if (RegistryReplicatesSpamMaintenance()) {
                    CFG_LOG(DBG::LVL_INFO,
                            L"[PLOZR-264591][CCfgReplicationFilter::DoSubjectFilter] replicate "
                            L"the subject %ls by registry %ls.",
                            subject.c_str(), kReplicateSpamMaintenanceValue);
                    removed = false;
                } else {
                    CFG_LOG(DBG::LVL_INFO,
                            L"[PLOZR-264591][CCfgReplicationFilter::DoSubjectFilter] subject %ls "
                            L"is removed.",
                            subject.c_str());
                    removed = true;
                }
                break;
            }
            CFG_LOG(DBG::LVL_INFO, L"DoSubjectFilter() skip this subject");
            removed = true;
            break;
        }
        if (IsPrefixMatch(subject, rule.subject)) {
            CFG_LOG(DBG::LVL_INFO, L"Subject prefix is same, DoSubjectFilter() skip this subject");
            removed = true;
            break;
        }
    }
    CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::DoSubjectFilter(), %d", removed ? 1 : 0);
    return removed;
}

bool CCfgReplicationFilter::DoSearchDestroyFilter(long sourceRole, long targetRole,
                                                  double sourceExchangeVersion,
                                                  double targetExchangeVersion,
                                                  CCfgSettingCategoryBase& setting,
                                                  SourceType sourceType) {
    const x_wstring category = setting.GetCategroyName();
    const x_wstring subject = setting.GetSubjectID().ToString();
    const long sourceFeatures = GetRoleFeatures(sourceRole);
    const long targetFeatures = GetRoleFeatures(targetRole);
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgReplicationFilter::DoSearchDestroyFilter(), strSubject = %ls",
            subject.c_str());
    CFG_LOG(DBG::LVL_INFO, L"SrcFeature: %d  TargetFeature: %d",
            static_cast<int>(Bits(sourceFeatures)), static_cast<int>(Bits(targetFeatures)));

    const auto logMatch = [&subject] {
        CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::DoSearchDestroyFilter() %ls, match",
                subject.c_str());
    };
    bool removed = false;
    for (const SSearchDestroyRule& rule : kSearchDestroyRules) {
        if (!SameName(category, rule.category) || !SameName(subject, rule.subject)) continue;
        logMatch();
        removed = !HasFeature(sourceFeatures, rule.feature) ||
                  !HasFeature(targetFeatures, rule.feature) ||
                  rule.lowestExchangeVersion > targetExchangeVersion ||
                  (sourceType == kSourceTypeSearchDestroy &&
                   rule.lowestExchangeVersion > sourceExchangeVersion);
        break;
    }
    if (!removed) {
        for (const SSettingName& never : kNeverReplicated) {
            if (!SameName(category, never.category) || !SameName(subject, never.subject)) continue;
            logMatch();
            removed = true;
            break;
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgReplicationFilter::DoSearchDestroyFilter() removed: %d",
            removed ? 1 : 0);
    return removed;
}

bool CCfgReplicationFilter::DoPolicyFilter(long sourceRole, long targetRole,
                                           CCfgSettingCategoryBase& setting) {
    if (!HasFeature(GetSkipFeature(sourceRole, targetRole), kFeatureTransport)) return false;
    return DoPolicyFilterForCF(setting);
}

bool CCfgReplicationFilter::DoPolicyFilterForCF(CCfgSettingCategoryBase& setting) {
    if (!SameName(setting.GetCategroyName(), kContentFilterRuleCategory)) return false;
    for (unsigned int id : kContentFilterRuleFields) {
        x_wstring value;
        if (setting.GetStringField(id, value) && !value.empty()) return true;
    }
    return false;
}
