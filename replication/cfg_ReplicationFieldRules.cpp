// The replication filter's rewriting rules: fields only one server role uses, the content-
// filter policy list, scan servers, DLP rules bound to the source's directory, scheduled
// reports bound to the source server, and the fields a mail-server 2013 server does not use.
// Each walks a fixed table of cfg_ReplicationRules.h.
// Thread rule: stateless; any number of threads may call one filter at once.
#include "cfg_Replication.h"
#include "outside/log/DebugLog.h"
#include "outside/xml/CXMLParser.h"
#include "replication/cfg_ReplicationFieldAccess.h"
#include "replication/cfg_ReplicationRules.h"

namespace {

static const wchar_t kLogSource[] = L"cfg_ReplicationFilter";

using namespace ReplicationRules;
using OS::x_wstring;

// Entry and exit trace of a rule, both with the rule's own text.
class CRuleTrace {
  public:
    explicit CRuleTrace(const wchar_t* text) : m_text(text) {
        CFG_LOG(DBG::LVL_ENTRY, L"%ls", m_text);
    }
    ~CRuleTrace() { CFG_LOG(DBG::LVL_EXIT, L"%ls", m_text); }
    CRuleTrace(const CRuleTrace&) = delete;
    CRuleTrace& operator=(const CRuleTrace&) = delete;

  private:
    const wchar_t* m_text;
};

// Applies one role-field row to a setting of its category.
void ApplyRoleFieldRule(const SRoleFieldRule& rule, bool targetRunsEveryRole,
                        CCfgSettingCategoryBase& setting) {
    if (targetRunsEveryRole && rule.sourceField != nullptr) {
        CVar value;
        setting.GetFieldValue(x_wstring(rule.sourceField), value);  // absent: empty
        setting.AddFieldValue(x_wstring(rule.field), value);
        CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::DoFieldFilter(), field: %ls sync to: %ls",
                rule.sourceField, rule.field);
        return;
    }
    setting.EraseField(rule.field);
    CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::DoFieldFilter(), field erase: %ls", rule.field);
}

}  // namespace

void CCfgReplicationFilter::DoFieldFilter(long sourceRole, long targetRole,
                                          CCfgSettingCategoryBase& setting) {
    const unsigned long skip = static_cast<uint32_t>(GetSkipFeature(sourceRole, targetRole));
    const x_wstring category = setting.GetCategroyName();
    const bool targetRunsEveryRole = static_cast<uint32_t>(targetRole) == kRoleAll;
    for (const SRoleFieldRule& rule : kRoleFieldRules) {
        try {
            if (rule.feature == kEverySetting) {
                setting.EraseField(rule.field);
            } else if ((skip & rule.feature) != 0 && SameName(category, rule.category)) {
                ApplyRoleFieldRule(rule, targetRunsEveryRole, setting);
            }
        } catch (const OS::CException& e) {
            CFG_LOG(DBG::LVL_WARNING, L"CCfgReplicationFilter::DoFieldFilter(), %ls",
                    e.GetErrorMsgEx().c_str());
        }
    }
    if ((skip & kFeatureTransport) != 0 && SameName(category, kScanMethodCategory)) {
        DoFieldModifyForSmarScan(setting);
    }
}

void CCfgReplicationFilter::DoFieldModifyForSmarScan(CCfgSettingCategoryBase& setting) {
    CRuleTrace trace(L"CCfgReplicationFilter::DoFieldModifyForSmarScan()");
    if (!SameName(setting.GetCategroyName(), kScanMethodCategory)) return;
    RewriteSettingList(
        setting, kScanServerList,
        L"CCfgReplicationFilter::DoFieldModifyForSmarScan(), fail to get pcfgSetting",
        [](CCfgSettingCategoryBase& server) {
            const int type = ReadIntField(server, kScanServerType);
            if (type == kScanServerTypeKept) return true;
            if (type == kScanServerTypeSmart) {
                server.AddFieldValue(x_wstring(kScanServerType), CVar(kScanServerTypePlain));
            }
            server.EraseField(kScanServerPort);
            return true;
        });
}

void CCfgReplicationFilter::DoFieldFilterForCF(long /*sourceRole*/, long /*targetRole*/,
                                               CCfgSettingCategoryBase& setting) {
    if (!SameName(setting.GetCategroyName(), kContentFilterCategory)) return;
    setting.EraseField(kContentFilterPolicyList);
    CFG_LOG(DBG::LVL_INFO, L"CCfgReplicationFilter::DoFieldFilterForCF(), field erase: %ls",
            kContentFilterPolicyList);
}

void CCfgReplicationFilter::EraseAdIntegratedDlpRule(CCfgSettingCategoryBase& setting) {
    CRuleTrace trace(L"CCfgReplicationFilter::EraseAdIntegratedDlpRule()");
    if (!SameName(setting.GetCategroyName(), kDlpCategory)) return;
    RewriteSettingList(
        setting, kDlpRuleList,
        L"CCfgReplicationFilter::EraseAdIntegratedDlpRule(), fail to get pcfgSetting",
        [](CCfgSettingCategoryBase& rule) {
            for (const wchar_t* field : kDlpDirectoryFields) {
                if (ReadStringField(rule, field).empty()) continue;
                CFG_LOG(DBG::LVL_ERROR,
                        L"CCfgReplicationFilter::EraseAdIntegratedDlpRule(), "
                        L"erase rule");
                return false;
            }
            return true;
        });
}

void CCfgReplicationFilter::ErasedADIntegrateReport(x_wstring sourceServer, x_wstring targetServer,
                                                    CCfgSettingCategoryBase& setting) {
    CRuleTrace trace(L"CCfgReplicationFilter::ErasedADIntegrateReport()");
    if (!SameName(setting.GetCategroyName(), kReportCategory)) return;
    RewriteSettingList(
        setting, kReportList,
        L"CCfgReplicationFilter::ErasedADIntegrateReport(), fail to get pcfgSetting",
        [&sourceServer, &targetServer](CCfgSettingCategoryBase& report) {
            const x_wstring content = ReadStringField(report, kReportTemplate);
            CFG_LOG(DBG::LVL_ERROR, L"CCfgReplicationFilter::ErasedADIntegrateReport()%ls:",
                    content.c_str());
            CXMLParser parser;
            parser.LoadXML(content);
            CXMLNode serverList = parser.XPathSelectSingleNode(kReportServerListPath);
            if (serverList.IsNull()) return true;
            const x_wstring servers = serverList.GetText();
            CFG_LOG(DBG::LVL_INFO,
                    L"Original Server List %ls, source server:%ls, target server:%ls.",
                    servers.c_str(), sourceServer.c_str(), targetServer.c_str());
            if (servers.empty()) return true;
            if (!SameName(servers, sourceServer.c_str())) {
                CFG_LOG(DBG::LVL_ERROR,
                        L"CCfgReplicationFilter::ErasedADIntegrateReport(), "
                        L"erase report template.");
                return false;
            }
            serverList.SetText(targetServer);
            report.AddFieldValue(x_wstring(kReportTemplate), CVar(parser.GetXML()));
            return true;
        });
}

void CCfgReplicationFilter::DoExchange2013Filter(double sourceExchangeVersion,
                                                 double targetExchangeVersion,
                                                 CCfgSettingCategoryBase& setting) {
    if (sourceExchangeVersion != kExchange2013 && targetExchangeVersion != kExchange2013) return;
    const x_wstring category = setting.GetCategroyName();
    const x_wstring subject = setting.GetSubjectID().ToString();
    for (const SFieldEraseRule& rule : kExchange2013Rules) {
        if (!SameName(category, rule.category) || !SameName(subject, rule.subject)) continue;
        CFG_LOG(DBG::LVL_INFO, L"%ls", rule.logText);
        setting.EraseField(rule.field);
        return;
    }
}
