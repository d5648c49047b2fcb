// The fixed rule tables of the replication filter: which settings are dropped and which fields
// are erased or rewritten, by feature, version, category and subject. The filter's operations
// walk these tables with small generic code; a change of policy is a change of a row here.
// Thread rule: constant data; any thread.
#pragma once

#include "outside/common/x_wstring.h"

namespace ReplicationRules {

// ---- features (what GetRoleFeatures derives from a role set) ----
inline constexpr unsigned long kFeatureStore = 0x1;           // store scanning
inline constexpr unsigned long kFeatureTransport = 0x10;      // transport-side filtering
inline constexpr unsigned long kFeatureDeliveryTime = 0x200;  // manual-scan delivery-time options
inline constexpr unsigned long kFeatureAll = 0xFFFFFFFF;
// In the role-field table: the field is erased whatever the roles and the category.
inline constexpr unsigned long kEverySetting = 0xFFFFFFFF;

// ---- role values with a meaning of their own ----
inline constexpr unsigned long kRoleEvery = 0xFFFFFFFF;  // -1 as the caller passes it
inline constexpr unsigned long kRoleAll = 0x10F;         // every mail-server role
inline constexpr unsigned long kRoleStoreBit = 0x4;
inline constexpr unsigned long kRoleTransportBits = 0x1 | 0x2;
inline constexpr unsigned long kRoleEdgeBit = 0x1;
inline constexpr unsigned long kRoleNoDeliveryTimeBit = 0x100;

// ---- source types and versions ----
inline constexpr int kSourceTypePolicy = 2;
inline constexpr int kSourceTypeSearchDestroy = 3;
inline constexpr double kExchange2013 = 2013.0;

// Settings an older product release cannot take: the row applies when the source's product
// version and service pack equal it exactly; without a field the setting is dropped.
struct SVersionRule {
    double version;
    int servicePack;
    const wchar_t* category;
    const wchar_t* field;  // null: drop the setting
};
inline constexpr SVersionRule kVersionRules[] = {
    {10.2, 0, L"QV_DLPFilter", nullptr},
    {10.2, 0, L"QV_DLPFilterTemplateMgr", nullptr},
    {10.2, 0, L"QV_ManualScan", L"MS_DLP_FILTER_CFGSETTING"},
};

// Settings of roles one of the servers does not run. A subject ending in "*" is a prefix; "*"
// alone matches every subject.
struct SSubjectSkipRule {
    unsigned long feature;
    const wchar_t* category;
    const wchar_t* subject;
};
inline constexpr SSubjectSkipRule kSubjectSkipRules[] = {
    {kFeatureTransport, L"QV_AntiSpam", L"ZOLT_SUB_CFG_AS_RS"},
    {kFeatureTransport, L"QV_SpamMaintenance", L"ZOLT_SUB_CFG_SPAM_MAINTENANCE"},
    {kFeatureTransport, L"QV_WebThreatProtection", L"ZOLT_SUB_CFG_WTP_RS"},
    {kFeatureTransport, L"QV_Alert", L"ZOLT_SUB_CFG_AL_EX_QUEUE_SIZE"},
    {kFeatureTransport, L"QV_FileBlockingException", L"ZOLT_SUB_CFG_FB_EXCEPTION_INST"},
    {kFeatureTransport, L"QV_FileBlockingException", L"ZOLT_SUB_CFG_FB_SPECIAL_RULE_INST"},
    {kFeatureTransport, L"QV_FileBlocking", L"ZOLT_SUB_CFG_AB_EXCEPTION_ITEM*"},
    {kFeatureTransport, L"QV_ZOLTPolicyGroup", L"ZOLT_SUB_CFG_POLICY_GROUP_INST"},
    {kFeatureTransport, L"QV_ZOLTPolicyGroupItem", L"ZOLT_SUB_CFG_POLICY_GROUP_ITEM*"},
    {kFeatureTransport, L"QV_Alert", L"ZOLT_SUB_CFG_AL_PELQ_SERVICE_STATUS"},
    {kFeatureTransport, L"QV_Alert", L"ZOLT_SUB_CFG_AL_VOKA_SERVICE_STATUS"},
    {kFeatureTransport, L"QV_DLPFilter", L"ZOLT_SUB_CFG_DLP_RS"},
    {kFeatureTransport, L"QV_InternalDomain", L"ZOLT_SUB_CFG_INTERNAL_DOMAIN"},
    {kFeatureStore, L"QV_ManualScan", L"ZOLT_SUB_CFG_MS"},
    {kFeatureStore, L"QV_ScheduledScan", L"ZOLT_SUB_CFG_SS"},
    {kFeatureStore, L"QV_ScheduledScan_Task", L"*"},
    {kFeatureStore, L"QV_Alert", L"ZOLT_SUB_CFG_AL_MS_SS_PROCESS"},
    {kFeatureStore, L"QV_Alert", L"ZOLT_SUB_CFG_AL_MS_SS_TIME"},
    {kFeatureStore, L"QV_Alert", L"ZOLT_SUB_CFG_AL_EX_MS_SIZE"},
    {kFeatureStore, L"QV_Alert", L"ZOLT_SUB_CFG_AL_EX_LOG_DISK"},
    {kFeatureStore, L"QV_RealTimeScan", L"*"},
};
// The subject-skip row the registry value below may let through.
inline constexpr const wchar_t* kSpamMaintenanceSubject = L"ZOLT_SUB_CFG_SPAM_MAINTENANCE";
inline constexpr const wchar_t* kProductKey =
    L"SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion";
inline constexpr const wchar_t* kReplicateSpamMaintenanceValue = L"ReplicateSpamMaintenance";

// Search-and-destroy settings: dropped when a server lacks the feature or runs a mail server
// below the lowest version.
struct SSearchDestroyRule {
    const wchar_t* category;
    const wchar_t* subject;
    unsigned long feature;
    double lowestExchangeVersion;
};
inline constexpr SSearchDestroyRule kSearchDestroyRules[] = {
    {L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SD", kFeatureStore, 2010.1},
    {L"QV_ADMIN_GROUP", L"ZOLT_SUB_CFG_RBA_GROUP_SO", kFeatureStore, 2010.1},
    {L"QV_Alert", L"ZOLT_SUB_CFG_AL_SEARCH_TASK_UNSUCCESS", kFeatureStore, 2010.1},
    {L"QV_Alert", L"ZOLT_SUB_CFG_AL_QUARANTINE_AND_SD_DISK", kFeatureStore, 2010.1},
};

// Settings that stay on their server.
struct SSettingName {
    const wchar_t* category;
    const wchar_t* subject;
};
inline constexpr SSettingName kNeverReplicated[] = {
    {L"QV_Alert", L"ZOLT_SUB_CFG_AL_QUARANTINE_DISK"},
};

// A content-filter rule with any of these string fields set is bound to this server's policies.
inline constexpr const wchar_t* kContentFilterRuleCategory = L"QV_ContentFilterRule";
inline constexpr unsigned int kContentFilterRuleFields[] = {0x04C8001F, 0x04C9001F, 0x04CA001F,
                                                            0x04CB001F};

// Fields only one role uses: when a server lacks the feature the field is erased, or, for a
// target running every role, filled from the field the source role uses.
struct SRoleFieldRule {
    unsigned long feature;  // kEverySetting: erased from every setting whatever the roles
    const wchar_t* category;
    const wchar_t* field;
    const wchar_t* sourceField;  // null: none
};
inline constexpr SRoleFieldRule kRoleFieldRules[] = {
    {kFeatureTransport, L"QV_VirusScan", L"VS_ENABLE_TRANSPORT_VIRUSSCAN", L"VS_ENABLE_VIRUSSCAN"},
    {kFeatureTransport, L"QV_FileBlocking", L"FB_TRANSPORT_ENABLED", L"FB_ENABLED"},
    {kFeatureTransport, L"QV_ContentFilter", L"CF_TRANSPORT_ENABLED", L"CF_ENABLED"},
    {kFeatureTransport, L"QV_ContentFilter", L"CF_POLICY_RULE_SETTING_LIST_CFGSETTING_MV", nullptr},
    {kFeatureTransport, L"QV_ScanMethod", L"SM_WTP_SCAN_METHOD", nullptr},
    {kFeatureTransport, L"QV_ScanMethod", L"SM_PELQ_MODE", nullptr},
    {kFeatureStore, L"QV_VirusScan", L"VS_ENABLE_VIRUSSCAN", L"VS_ENABLE_TRANSPORT_VIRUSSCAN"},
    {kFeatureStore, L"QV_FileBlocking", L"FB_ENABLED", L"FB_TRANSPORT_ENABLED"},
    {kFeatureStore, L"QV_ContentFilter", L"CF_ENABLED", L"CF_TRANSPORT_ENABLED"},
    {kEverySetting, nullptr, L"AS_JUNK_EMAIL_FOLDER_INTEGRATION", nullptr},
    {kFeatureDeliveryTime, L"QV_ManualScan", L"MS_SCAN_MAILS_WITHIN_SPECIFIC_DELIVERY_TIME",
     nullptr},
    {kFeatureDeliveryTime, L"QV_ManualScan", L"MS_LOWER_DELIVERY_TIME_LIMIT", nullptr},
    {kFeatureDeliveryTime, L"QV_ManualScan", L"MS_UPPER_DELIVERY_TIME_LIMIT", nullptr},
    {kFeatureDeliveryTime, L"QV_ManualScan", L"MS_SCAN_MAILS_WITH_ATTACHMENTS", nullptr},
    {kFeatureDeliveryTime, L"QV_ManualScan", L"MS_SCAN_UNSCANNED_MAILS", nullptr},
};

// Store-side enable fields a mail-server 2013 server does not use; at most one row applies.
struct SFieldEraseRule {
    const wchar_t* category;
    const wchar_t* subject;
    const wchar_t* field;
    const wchar_t* logText;
};
inline constexpr SFieldEraseRule kExchange2013Rules[] = {
    {L"QV_VirusScan", L"ZOLT_SUB_CFG_VS_RS", L"VS_ENABLE_VIRUSSCAN",
     L"Current server is E15; Erase the field VS_ENABLE_VIRUSSCAN in "
     L"QV_VirusScan::ZOLT_SUB_CFG_VS_RS"},
    {L"QV_FileBlocking", L"ZOLT_SUB_CFG_AB_RS", L"FB_ENABLED",
     L"Current server is E15; Erase the field FB_ENABLED in QV_FileBlocking::ZOLT_SUB_CFG_AB_RS"},
    {L"QV_ContentFilter", L"ZOLT_SUB_CFG_CF_RS", L"CF_ENABLED",
     L"Current server is E15; Erase the field CF_ENABLED in QV_ContentFilter::ZOLT_SUB_CFG_CF_RS"},
};

// ---- scan-method, DLP and report lists ----
inline constexpr const wchar_t* kScanMethodCategory = L"QV_ScanMethod";
inline constexpr const wchar_t* kScanServerList = L"SM_LOCAL_SERVER_LIST_CFGSETTING_MV";
inline constexpr const wchar_t* kScanServerType = L"SSI_SERVICE_TYPE";
inline constexpr const wchar_t* kScanServerPort = L"SSI_SERVER_PELQ_PORT";
inline constexpr int kScanServerTypeKept = 2;   // left unchanged
inline constexpr int kScanServerTypeSmart = 3;  // becomes a plain scan server
inline constexpr int kScanServerTypePlain = 0;

inline constexpr const wchar_t* kContentFilterCategory = L"QV_ContentFilter";
inline constexpr const wchar_t* kContentFilterPolicyList =
    L"CF_POLICY_RULE_SETTING_LIST_CFGSETTING_MV";

inline constexpr const wchar_t* kDlpCategory = L"QV_DLPFilter";
inline constexpr const wchar_t* kDlpRuleList = L"DLP_RULE_SETTING_LIST_CFGSETTING_MV";
// A DLP rule naming any directory objects in these fields is bound to the source's directory.
inline constexpr const wchar_t* kDlpDirectoryFields[] = {
    L"DLP_SENDER_SET", L"DLP_SENDER_EXCEPTION_SET", L"DLP_RECIPIENT_SET",
    L"DLP_RECIPIENT_EXCEPTION_SET"};

inline constexpr const wchar_t* kReportCategory = L"QV_Report";
inline constexpr const wchar_t* kReportList = L"RPT_SCHEDULED_REPORT_LIST_CFGSETTING_MV";
inline constexpr const wchar_t* kReportTemplate = L"RPT_TEMPLATE_CONTENT";
inline constexpr const wchar_t* kReportServerListPath = L"/report_template/server_list";

// ---- sandbox analysis ----
struct SSandboxRule {
    const wchar_t* category;
    const wchar_t* subject;
    double lowestExchangeVersion;
    int engineDisabled;  // VS_ENGINE_TYPE value: the advanced scan engine is off
};
inline constexpr SSandboxRule kSandbox = {L"QV_VOKA", L"ZOLT_SUB_CFG_VOKA", 2007.0, 1};
inline constexpr const wchar_t* kSandboxAlertCategory = L"QV_Alert";
inline constexpr const wchar_t* kSandboxAlertSubject = L"ZOLT_SUB_CFG_AL_VOKA_SERVICE_STATUS";
inline constexpr const wchar_t* kVirusScanCategory = L"QV_VirusScan";
inline constexpr const wchar_t* kVirusScanSubject = L"ZOLT_SUB_CFG_VS_RS";
inline constexpr const wchar_t* kEngineType = L"VS_ENGINE_TYPE";
inline constexpr const wchar_t* kAptAction = L"VS_APT_ACTION_TYPE";
inline constexpr int kAptActionsQuarantine[] = {9, 10};
inline constexpr int kAptActionConverted = 109;
inline constexpr int kSandboxRegisterRequest = 102004;
inline constexpr const wchar_t* kPolicyNull = L"ZOLT_PLC_NULL";
inline constexpr const wchar_t* kRemoteComponent = L"ID_ZOLT_REMOTE_CFG";
inline constexpr const wchar_t* kMasterComponent = L"ID_ZOLT_MASTER";

// Fields erased from the virus-scan setting when either server runs every role.
inline constexpr const wchar_t* kSandboxEngineFields[] = {L"VS_ENGINE_TYPE", L"VS_APT_ACTION_TYPE",
                                                          L"VS_APT_QUARANTINE_DIRECTORY",
                                                          L"VS_APT_NOTIFY_TYPE"};
inline constexpr const wchar_t* kSandboxClientId = L"VOKA_CLIENT_UUID";
// Address lists erased when either server is an edge server.
inline constexpr const wchar_t* kSandboxEdgeFields[] = {
    L"VOKA_ADDRESS_TYPE", L"VOKA_SPECIFIED_ADDRESS_OBJECTS", L"VOKA_SENDERWL_ADDRESS_TYPE",
    L"VOKA_SENDERWL_SPECIFIED_ADDRESS_OBJECTS"};

// Directory-bound address selections: the type field keeps its list only at the kept value.
struct SAddressSelection {
    const wchar_t* typeField;
    const wchar_t* objectsField;
    int keptType;  // any other type is bound to the source's directory
};
inline constexpr SAddressSelection kSandboxAddressSelections[] = {
    {L"VOKA_ADDRESS_TYPE", L"VOKA_SPECIFIED_ADDRESS_OBJECTS", 0},
    {L"VOKA_SENDERWL_ADDRESS_TYPE", L"VOKA_SENDERWL_SPECIFIED_ADDRESS_OBJECTS", 2},
};

// Scan settings embedded in other settings: their engine choice stays on the source.
struct SEmbeddedScan {
    const wchar_t* category;
    const wchar_t* list;   // null: the embedded field sits in the setting itself
    const wchar_t* field;  // the embedded virus-scan setting
    const wchar_t* startText;
    const wchar_t* doneText;
};
inline constexpr SEmbeddedScan kEmbeddedScans[] = {
    {L"QV_ManualScan", nullptr, L"MS_VIRUS_SCAN_CFGSETTING",
     L"CCfgReplicationFilter::DoVOKAFilter: start filter manual scan engine",
     L"CCfgReplicationFilter::DoVOKAFilter: filter manual scan engine success"},
    {L"QV_ScheduledScan", L"SS_TASK_LIST_CFGSETTING_MV", L"SS_TASK_VIRUS_SCAN_CFGSETTING",
     L"CCfgReplicationFilter::DoVOKAFilter: filter schedual scan engine",
     L"CCfgReplicationFilter::DoVOKAFilter: filter schedual scan engine success"},
};

}  // namespace ReplicationRules
