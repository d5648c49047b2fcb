// The replication filter: decides, setting by setting, whether a setting copied from one server
// may be stored on another, and rewrites the fields the target server cannot take (by role,
// product version, mail-server version and where the change came from).
// Thread rule: the filter holds no state; one object may serve any number of threads at once.
// The sandbox-analysis rule makes blocking calls to the configuration services of the source,
// the target and this computer.
#pragma once

#include "cfg_Export.h"
#include "cfg_Setting.h"
#include "outside/common/x_wstring.h"

class ZOLTCFG_API CCfgReplicationFilter {
  public:
    using x_wstring = OS::x_wstring;

    // The origin of a change, as the audit log numbers it. The filter tells apart only these.
    using SourceType = int;
    enum : int {
        // A content-filter policy change: policy settings are filtered without the role
        // condition, and directory-bound rules, reports and addresses are removed.
        SOURCE_TYPE_POLICY = 2,
        // The source's mail-server version also counts in the search-and-destroy rule.
        SOURCE_TYPE_SEARCH_DESTROY = 3,
    };

    CCfgReplicationFilter() = default;
    CCfgReplicationFilter(const CCfgReplicationFilter&) = default;
    CCfgReplicationFilter& operator=(const CCfgReplicationFilter&) = default;
    virtual ~CCfgReplicationFilter();

    // True when `setting` must not be stored on the target; false when it is to be stored as it
    // stands after the call (fields may have been erased or rewritten in either case). Roles are
    // bit sets as the caller reports them (-1 and 0x10F: every role); versions are the source's
    // product version and service pack and the mail-server versions as decimal years (2010.1).
    // Exceptions of the rewriting rules (a value that is no number, a report template that is
    // no XML) pass through; servers that cannot be reached are logged and passed over.
    bool Filter(const x_wstring& sourceServer, const x_wstring& targetServer, long sourceRole,
                long targetRole, double sourceVersion, int sourceServicePack,
                double sourceExchangeVersion, double targetExchangeVersion,
                CCfgSettingCategoryBase& setting, SourceType sourceType);

    // Filter, telling which drop rule removed the setting: `rule` is "product version",
    // "roles", "search and destroy", "sandbox analysis" or "content-filter policy" when the
    // result is true, null otherwise. Logs no entry or exit of its own.
    bool FilterNamingRule(const x_wstring& sourceServer, const x_wstring& targetServer,
                          long sourceRole, long targetRole, double sourceVersion,
                          int sourceServicePack, double sourceExchangeVersion,
                          double targetExchangeVersion, CCfgSettingCategoryBase& setting,
                          SourceType sourceType, const wchar_t*& rule);

  protected:
    // ---- the drop rules, in the order Filter runs them ----
    // Settings an early product release cannot take: drops or erases by source version.
    bool DoZOLTVersionFilter(double sourceVersion, int sourceServicePack,
                             CCfgSettingCategoryBase& setting);
    // Drops the settings of the roles one of the two servers does not run.
    bool DoSubjectFilter(long sourceRole, long targetRole, CCfgSettingCategoryBase& setting);
    // Drops search-and-destroy settings the roles or mail-server versions cannot take, and the
    // settings that are never replicated.
    bool DoSearchDestroyFilter(long sourceRole, long targetRole, double sourceExchangeVersion,
                               double targetExchangeVersion, CCfgSettingCategoryBase& setting,
                               SourceType sourceType);
    // Drops or rewrites the sandbox-analysis settings; asks the servers for their scan engine.
    bool DoVOKAFilter(const x_wstring& sourceServer, const x_wstring& targetServer, long sourceRole,
                      long targetRole, double sourceExchangeVersion, double targetExchangeVersion,
                      CCfgSettingCategoryBase& setting, SourceType sourceType);
    // Drops a content-filter rule with any rule field set, when one server lacks feature 0x10.
    bool DoPolicyFilter(long sourceRole, long targetRole, CCfgSettingCategoryBase& setting);
    // The same test whatever the roles (policy changes).
    bool DoPolicyFilterForCF(CCfgSettingCategoryBase& setting);

    // ---- the rewriting rules ----
    // Moves or erases the fields only one role uses.
    void DoFieldFilter(long sourceRole, long targetRole, CCfgSettingCategoryBase& setting);
    // Erases the content-filter policy list (policy changes).
    void DoFieldFilterForCF(long sourceRole, long targetRole, CCfgSettingCategoryBase& setting);
    // Turns the scan servers of a scan-method setting into plain scan servers.
    void DoFieldModifyForSmarScan(CCfgSettingCategoryBase& setting);
    // Removes the DLP rules bound to directory objects (policy changes).
    void EraseAdIntegratedDlpRule(CCfgSettingCategoryBase& setting);
    // Rebinds the scheduled reports of the source server to the target; removes those of
    // other servers (policy changes).
    void ErasedADIntegrateReport(x_wstring sourceServer, x_wstring targetServer,
                                 CCfgSettingCategoryBase& setting);
    // Erases the sandbox-analysis address lists bound to directory objects.
    void EraseAdIntegratedForVA(CCfgSettingCategoryBase& setting);
    // Erases the store-side enable fields when either server runs mail-server 2013.
    void DoExchange2013Filter(double sourceExchangeVersion, double targetExchangeVersion,
                              CCfgSettingCategoryBase& setting);

    // ---- features ----
    // The features of a role set (32 bits held in a long).
    long GetRoleFeatures(long role);
    // The features at least one of the two servers lacks (32 bits held in a long).
    long GetSkipFeature(long sourceRole, long targetRole);

    // ---- the servers the sandbox-analysis rule talks to ----
    // Reads the stored setting (server, ("ZOLT_PLC_NULL", setting's subject)) into `setting`
    // through the configuration service `component` on the computer `remote` (null: this one).
    // False when the service cannot be reached or has no such setting.
    virtual bool QueryServerSetting(const wchar_t* component, const x_wstring& server,
                                    const wchar_t* remote, CCfgSettingCategoryBase& setting);
    // Hands `setting` to this computer's configuration service (request 102004); no answer
    // is read. Throws what the RPC layer throws (CRPCException) when it cannot be delivered.
    virtual void RegisterSandboxSetting(CCfgSettingCategoryBase& setting);
};
