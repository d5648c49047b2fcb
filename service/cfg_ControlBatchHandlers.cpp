// The batch handlers of CCfgControl: a batch query answers many settings of one request, a batch
// modify stores many, each passed first through the replication filter, in one transaction of
// the target's database (one sync to disk per batch). What a batch modify does beyond the store
// (single sign-on, DLP policy update, audit entry) is in cfg_ControlBatchEffects. The plain and
// bulk forms share one frame each and differ only by the table below (store operation, reply id,
// log texts). Thread rule: one batch at a time per service object (m_csBatch, held for the whole
// request, including the calls to the master); single-setting handlers may run beside it, and wait
// for the store while a batch modify writes its transaction (the audit entry comes after it).
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif

#include <algorithm>
#include <cwchar>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "cfg_Replication.h"
#include "cfg_Service.h"
#include "cfg_Setting.h"
#include "client/cfg_RemoteProductValues.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "outside/mailserver/CExchangeServer.h"
#include "outside/registry/CRegUtil.h"
#include "outside/registry/HomeDir.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_ControlBatchEffects.h"
#include "service/cfg_CtrlClusterObserver.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "storage/cfg_SettingGenericDatabase.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Control";
}  // namespace

namespace P = NS_CfgProtocol;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

// What tells the plain batch query from the bulk one.
struct CCfgControl::CBatchQueryKind {
    int replyId;
    bool bulk;  // GetBulkConfiguration instead of GetConfiguration
    const wchar_t* name;
    const wchar_t* storeFailed;
    const wchar_t* error;
};

// What tells the plain batch modify from the bulk one.
struct CCfgControl::CBatchModifyKind {
    int replyId;
    bool bulk;  // SetBulkConfiguration instead of SetConfiguration
    const wchar_t* name;
    const wchar_t* offline;
    const wchar_t* storeFailed;
    const wchar_t* noPublisher;
    const wchar_t* error;
};

namespace {

// The product key whose "Version" and "ServicePack" describe the source server.
constexpr unsigned long kRegRead = 0x20019;
constexpr unsigned long kRegValueChars = 128;

CCfgIndex IndexOf(const OS::x_wstring& server, const P::CKey& key) {
    return CCfgIndex(server, CCfgSettingDBBase::SubjectPair(key.policy, key.subject));
}

// A count the sender cannot mean: the request is malformed.
void CheckCount(int count) {
    if (count < 0)
        throw CIPCMsgBufferException(CIPCMsgBufferException::BAD_LENGTH, OS_WFILE, __LINE__,
                                     L"negative item count");
}

// Runs `body`; an exception logs `errorFormat` with code and message at error level and appends
// -1 to the reply, behind the reply id when the body had not written it yet.
template <class Body>
void GuardedBatch(const wchar_t* errorFormat, int replyId, bool& idWritten, CIPCMsgBuffer& reply,
                  Body&& body) {
    int code = 0;
    OS::x_wstring message;
    try {
        body();
        return;
    } catch (const OS::CException& e) {
        code = e.GetErrorCode();
        message = e.GetErrorMsg();
    } catch (const std::exception& e) {
        code = -1;
        message = OS::x_wstring::FromUtf8(e.what());
    }
    CFG_LOG(DBG::LVL_ERROR, errorFormat, code, message.c_str());
    if (!idWritten) P::WriteReplyId(reply, replyId);
    idWritten = true;
    P::WriteResult(reply, P::kResultFail);
}

// The batch-modify header, items 1 to 8 of the request.
struct CModifyHeader {
    int action = 0;
    OS::x_wstring targetServer;
    OS::x_wstring sourceServer;
    OS::x_wstring originator;
    int sourceType = 0;
    int sourceRole = 0;
    bool notify = false;
    int count = 0;
};

void ReadModifyHeader(const CIPCMsgBuffer& request, CModifyHeader& h) {
    request >> h.action >> h.targetServer >> h.sourceServer >> h.originator >> h.sourceType >>
        h.sourceRole >> h.notify >> h.count;
}

// The mail-server role of the target, set up and released around the one query.
int TargetRole(const OS::x_wstring& targetServer) {
    const int initialised = CExchangeServerBase::CmdletInit();
    int role = 0;
    {
        CExchangeServer server(targetServer, false);
        role = server.GetServerRole();
    }
    if (initialised != 0) CExchangeServerBase::CmdletUninit();
    return role;
}

// The product version and service pack of the source server; both 0 when its product key
// cannot be opened.
void SourceVersion(const OS::x_wstring& sourceServer, double& version, int& servicePack) {
    version = 0.0;
    servicePack = 0;
    CRegUtil reg;
    if (!reg.OpenExistingRemoteHkeyLocalMachine(sourceServer, OS::kProductRegKey, kRegRead)) return;
    wchar_t versionText[kRegValueChars] = {};
    wchar_t servicePackText[kRegValueChars] = {};
    reg.Read(L"Version", versionText, kRegValueChars);
    reg.Read(L"ServicePack", servicePackText, kRegValueChars);
    reg.Close();
    if (versionText[0] != L'\0') version = std::wcstod(versionText, nullptr);
    if (servicePackText[0] != L'\0')
        servicePack = static_cast<int>(std::wcstol(servicePackText, nullptr, 10));
}

// The database store that `db` writes the settings of `server` to, held for the batch; null when
// `db` is a store of another kind.
std::shared_ptr<CCfgSettingGenericDatabase> TargetDatabase(CCfgVirtualServerDB* db,
                                                           const OS::x_wstring& server) {
    if (auto* observer = dynamic_cast<CCfgCtrlClusterObserver*>(db))
        return observer->GetDatabase(server);
    if (auto* local = dynamic_cast<CCfgLocalServerDB*>(db))
        if (CCfgSettingGenericDatabase* store = local->GetDatabase(server))
            return std::shared_ptr<CCfgSettingGenericDatabase>(store, [](auto*) {});  // not owned
    return nullptr;
}

}  // namespace

void CCfgControl::BatchQuery(const CBatchQueryKind& kind, const CIPCMsgBuffer& request,
                             CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, kind.name);
    {
        OS::CCriticalSectionSentry batch(m_csBatch);
        bool idWritten = false;
        GuardedBatch(kind.error, kind.replyId, idWritten, reply, [&] {
            int count = 0;
            request >> count;
            P::WriteReplyId(reply, kind.replyId);
            idWritten = true;
            reply << count;
            CFG_LOG(DBG::LVL_INFO, L"Number of setting to query = %d", count);
            CheckCount(count);
            CCfgVirtualServerDB* db = Store();
            if (!db) {
                CFG_LOG(DBG::LVL_WARNING, L"%ls, m_pDB == NULL", kind.name);
                P::WriteResult(reply, P::kResultFail);
                return;
            }
            // The reads share one transaction of the server's database where it has one: one
            // lock of the database for the batch instead of one per setting, and the default
            // rows a read of a missing setting adds are committed once.
            std::shared_ptr<CCfgSettingGenericDatabase> store;
            std::optional<CCfgSettingGenericDatabase::CWriteBatch> transaction;
            for (int i = 0; i < count; ++i) {
                P::CKey key;
                P::ReadKey(request, key);
                if (i == 0 && (store = TargetDatabase(db, key.server))) transaction.emplace(*store);
                CCfgSettingCategoryFake setting(key.category);
                const CCfgIndex index = IndexOf(key.server, key);
                const bool ok = kind.bulk ? db->GetBulkConfiguration(index, setting)
                                          : db->GetConfiguration(index, setting);
                if (ok) {
                    P::WriteResult(reply, P::kResultOk);
                    P::WriteKey(reply, key);
                    P::WriteSetting(reply, setting);
                } else {
                    P::WriteResult(reply, P::kResultFail);
                    CFG_LOG(DBG::LVL_WARNING, kind.storeFailed);
                }
            }
            if (transaction) transaction->Commit();
        });
    }
    CFG_LOG(DBG::LVL_EXIT, kind.name);
}

void CCfgControl::BatchModify(const CBatchModifyKind& kind, const CIPCMsgBuffer& request,
                              CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, kind.name);
    {
        OS::CCriticalSectionSentry batch(m_csBatch);
        bool idWritten = false;
        GuardedBatch(kind.error, kind.replyId, idWritten, reply, [&] {
            CModifyHeader h;
            ReadModifyHeader(request, h);
            P::WriteReplyId(reply, kind.replyId);
            idWritten = true;
            reply << h.count;
            if (!IsDBStatusOK()) {
                P::WriteResult(reply, P::kResultFail);
                CFG_LOG(DBG::LVL_WARNING, kind.offline);
                return;
            }
            CheckCount(h.count);
            CCfgVirtualServerDB* db = Store();
            if (!db) {
                CFG_LOG(DBG::LVL_WARNING, L"%ls, m_pDB == NULL", kind.name);
                P::WriteResult(reply, P::kResultFail);
                return;
            }

            // What the filter needs about both servers, gathered once for the whole batch;
            // another computer's values come from its remote service.
            NS_CfgClient::UseRemoteProductValues();
            const NS_CfgClient::CRemoteProductValuesOnce once;  // one request to each computer
            const int targetRole = TargetRole(h.targetServer);
            double sourceVersion = 0.0;
            int sourceServicePack = 0;
            SourceVersion(h.sourceServer, sourceVersion, sourceServicePack);
            CFG_LOG(DBG::LVL_INFO, L"source server = %ls, dwVersion = %f nServicePack = %d",
                    h.sourceServer.c_str(), sourceVersion, sourceServicePack);

            const double sourceExchange =
                CExchangeServerBase::GetExchangeFullVersionFromReg(true, h.sourceServer);
            const double targetExchange =
                CExchangeServerBase::GetExchangeFullVersionFromReg(false, OS::x_wstring());

            // The batch is written in one transaction of the target's database where it has
            // one: the results and notifications wait for its commit, and a failed commit
            // turns every write of it into a failure.
            const auto target = TargetDatabase(db, h.targetServer);
            std::optional<CCfgSettingGenericDatabase::CWriteBatch> transaction;
            if (target) transaction.emplace(*target);
            std::vector<int> results;
            // What the batch wrote: the subjects in the order written, in runs of one policy
            // (each run ends where the next begins).
            std::vector<OS::x_wstring> written;
            std::vector<std::pair<CSubjectID, size_t>> runs;
            // Sized for the count the request claims, within what its bytes can hold (an item
            // takes at least its 4-byte result).
            const size_t expected = std::min<size_t>(h.count, request.GetCurrentSize() / 4);
            results.reserve(expected);
            written.reserve(expected);
            bool anyWritten = false;
            // Commits, then answers and announces what the batch wrote; also when the request
            // turns out malformed halfway, for the items before.
            const auto finish = [&] {
                if (transaction && !transaction->Commit()) {
                    for (int& r : results)
                        if (r == P::kResultOk) r = P::kResultFail;
                    written.clear();
                    runs.clear();
                    anyWritten = false;
                }
                transaction.reset();
                for (const int r : results) P::WriteResult(reply, r);
                size_t begin = 0;
                for (const auto& [policy, end] : runs) {
                    CFG_LOG(DBG::LVL_INFO, L"<<<< Start notifying...");
                    if (!m_pSubjectSrvHelper) {
                        CFG_LOG(DBG::LVL_WARNING, kind.noPublisher);
                    } else if (h.notify) {
                        NotifyChanges(
                            std::span<const OS::x_wstring>(written).subspan(begin, end - begin),
                            policy, h.targetServer, P::kChangeWritten);
                    }
                    CFG_LOG(DBG::LVL_INFO, L"<<<< Finished notification");
                    begin = end;
                }
            };

            CCfgReplicationFilter filter;
            CFG_LOG(DBG::LVL_INFO, L"Number of setting to modify = %d", h.count);
            OS::x_wstring dlpScanTypes;
            try {
                for (int i = 0; i < h.count; ++i) {
                    CFG_LOG(DBG::LVL_INFO, L"Item (%d) to replicate", i);
                    int itemResult = 0;
                    request >> itemResult;
                    if (itemResult != 0) {
                        CFG_LOG(DBG::LVL_WARNING,
                                L"One specific item setting is failed to be retrieved (%d)",
                                itemResult);
                        continue;
                    }
                    P::CKey key;
                    P::ReadKey(request, key);
                    CCfgSettingCategoryFake setting(key.category);
                    P::ReadSetting(request, setting);
                    setting.SetSubjectID(key.subject.ToString());

                    if (filter.Filter(h.sourceServer, h.targetServer, h.sourceRole, targetRole,
                                      sourceVersion, sourceServicePack, sourceExchange,
                                      targetExchange, setting, h.sourceType)) {
                        CFG_LOG(DBG::LVL_INFO, L"Filter out setting, subject id: %ls",
                                key.subject.ToString().c_str());
                        continue;
                    }

                    if (const wchar_t* scanTypes = NS_BatchEffects::DlpScanTypes(key.category)) {
                        dlpScanTypes += scanTypes;
                    } else if (NS_BatchEffects::IsSingleSignOnSetting(key.category,
                                                                      key.subject.ToString())) {
                        NS_BatchEffects::SwitchSingleSignOn(setting, key.server);
                    }

                    const CCfgIndex index = IndexOf(h.targetServer, key);
                    const auto action = static_cast<CCfgSettingDBBase::ModifyAction>(h.action);
                    const bool ok = kind.bulk
                                        ? db->SetBulkConfiguration(index, setting, &written, action)
                                        : db->SetConfiguration(index, setting, &written, action);
                    if (ok) {
                        results.push_back(P::kResultOk);
                        anyWritten = true;
                    } else {
                        results.push_back(P::kResultFail);
                        CFG_LOG(DBG::LVL_WARNING, kind.storeFailed);
                    }
                    if (runs.empty() || !(runs.back().first == key.policy))
                        runs.emplace_back(key.policy, written.size());
                    else
                        runs.back().second = written.size();
                }
            } catch (...) {
                finish();
                throw;
            }
            finish();

            if (!dlpScanTypes.empty())
                NS_BatchEffects::RequestDlpUpdate(h.targetServer, dlpScanTypes);
            if (anyWritten) {
                NS_BatchEffects::WriteReplicationAudit(h.targetServer, h.originator, h.sourceServer,
                                                       h.sourceType);
            }
        });
    }
    CFG_LOG(DBG::LVL_EXIT, kind.name);
}

void CCfgControl::DoBatchQuerySettings(unsigned int, const CIPCMsgBuffer& request,
                                       CIPCMsgBuffer& reply) {
    static const CBatchQueryKind kBatchQuery = {
        P::kMsgBatchQueryReply, false, L"CCfgControl::DoBatchQuerySettings()",
        L"m_pDB->GetConfiguration()", L"CCfgControl::DoBatchQuerySettings: error coce(%d), %ls"};
    BatchQuery(kBatchQuery, request, reply);
}

void CCfgControl::DoBatchQueryBulkSettings(unsigned int, const CIPCMsgBuffer& request,
                                           CIPCMsgBuffer& reply) {
    static const CBatchQueryKind kBatchQueryBulk = {
        P::kMsgBatchQueryBulkReply, true, L"CCfgControl::DoBatchQueryBulkSettings()",
        L"m_pDB->GetBulkConfiguration()",
        L"CCfgControl::DoBatchQueryBulkSettings: error coce(%d), %ls"};
    BatchQuery(kBatchQueryBulk, request, reply);
}

void CCfgControl::DoBatchModifySettings(unsigned int, const CIPCMsgBuffer& request,
                                        CIPCMsgBuffer& reply) {
    static const CBatchModifyKind kBatchModify = {
        P::kMsgBatchModifyReply,
        false,
        L"CCfgControl::DoBatchModifySettings()",
        L"CCfgControl::DoBatchModifySettings(), DB is offline, skip t",
        L"m_pDB->SetConfiguration()",
        L"CCfgControl::DoBatchModifySettings(), notify fail: m_pSubjectSrvHelper == NULL",
        L"DoBatchModifySettings error coce(%d), %ls"};
    BatchModify(kBatchModify, request, reply);
}

void CCfgControl::DoBatchModifyBulkSettings(unsigned int, const CIPCMsgBuffer& request,
                                            CIPCMsgBuffer& reply) {
    static const CBatchModifyKind kBatchModifyBulk = {
        P::kMsgBatchModifyBulkReply,
        true,
        L"CCfgControl::DoBatchModifyBulkSettings()",
        L"CCfgControl::DoBatchModifyBulkSettings(), DB is offline, skip t",
        L"m_pDB->SetBulkConfiguration()",
        L"CCfgControl::DoBatchModifyBulkSettings(), notify fail: m_pSubjectSrvHelper == NULL",
        L"DoBatchModifyBulkSettings error coce(%d), %ls"};
    BatchModify(kBatchModifyBulk, request, reply);
}
