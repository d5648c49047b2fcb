// The handlers of CCfgControl that serve one setting or one category per request: query, bulk
// and existence query, modify and bulk modify, delete, reset to defaults, apply-all modify,
// query-all, load, unload, the database status and what the service serves. Each writes its reply
// id first, reads its request, runs one store operation, answers, and publishes the change
// notifications. Thread rule: the handlers run on several RPC threads at once and take no lock of
// their own; the store serialises its own work. Nothing is kept between requests. CCfgIndex has a
// virtual operator== and, by design, no virtual destructor; it is never deleted through a pointer
// to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif

#include <exception>
#include <filesystem>
#include <map>
#include <vector>

#include "cfg_Service.h"
#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CSubjectServerHelper.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/CRegUtil.h"
#include "outside/registry/HomeDir.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_CtrlClusterObserver.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "storage/cfg_SettingGenericDatabase.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Control";
}  // namespace

namespace P = NS_CfgProtocol;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

namespace {

// True when notifications of `subject` carry the flag: the virtual-server environment setting.
bool IsVServerEnvironment(const CSubjectID& subject) {
    static const CSubjectID env(P::kVServerEnvSubject);
    return subject.Match(env);
}

// Runs `body`; an exception logs `errorFormat` (code, message) at error level and appends -1 to
// what the reply holds so far. Exceptions that do not come from our layers are treated the same
// way, so that no request can take the service down.
template <class Body>
void Guarded(const wchar_t* errorFormat, CIPCMsgBuffer& reply, Body&& body) {
    try {
        body();
    } catch (const OS::CException& e) {
        CFG_LOG(DBG::LVL_ERROR, errorFormat, e.GetErrorCode(), e.GetErrorMsg().c_str());
        P::WriteResult(reply, P::kResultFail);
    } catch (const std::exception& e) {
        CFG_LOG(DBG::LVL_ERROR, errorFormat, -1, OS::x_wstring::FromUtf8(e.what()).c_str());
        P::WriteResult(reply, P::kResultFail);
    }
}

CCfgIndex IndexOf(const P::CKey& key) {
    return CCfgIndex(key.server, CCfgSettingDBBase::SubjectPair(key.policy, key.subject));
}

}  // namespace

void CCfgControl::NotifyChange(const CSubjectID& subject, const CSubjectID& policy,
                               const OS::x_wstring& server, int changeKind, bool flag) {
    CIPCMsgBuffer body(P::kBufferSize, false);
    P::WriteNotificationBody(body, policy, server, changeKind);
    m_pSubjectSrvHelper->Notify(subject, body, flag);
}

void CCfgControl::NotifyChanges(std::span<const OS::x_wstring> subjects, const CSubjectID& policy,
                                const OS::x_wstring& server, int changeKind) {
    // The body says the policy, the server and the kind of change: one for all the subjects.
    CIPCMsgBuffer body(P::kBufferSize, false);
    P::WriteNotificationBody(body, policy, server, changeKind);
    for (const auto& s : subjects) {
        const CSubjectID subject(s);
        m_pSubjectSrvHelper->Notify(subject, body, IsVServerEnvironment(subject));
    }
}

// ---- reads -------------------------------------------------------------------------------------

void CCfgControl::QueryOne(ReadKind kind, int replyId, const CIPCMsgBuffer& request,
                           CIPCMsgBuffer& reply) {
    const wchar_t* noStore = L"CCfgControl::DoQuerySettings(), m_pDB == NULL";
    const wchar_t* storeFailed =
        L"m_pDB->GetConfiguration(), server =%ls, category = %ls, "
        L"subject = %ls";
    const wchar_t* error = L"DoQuerySettings error coce(%d), %ls";
    if (kind == ReadKind::kBulk) {
        noStore = L"CCfgControl::DoQueryBulkSettings(), m_pDB == NULL";
        storeFailed = L"m_pDB->GetBulkConfiguration(), server =%ls, category = %ls, subject = %ls";
        error = L"DoQueryBulkSettings error coce(%d), %ls";
    } else if (kind == ReadKind::kExist) {
        noStore = L"CCfgControl::DoQueryExistSettings(), m_pDB == NULL";
        storeFailed = L"m_pDB->GetExistConfiguration(), server =%ls, category = %ls, subject = %ls";
        error = L"DoQueryExistSettings error coce(%d), %ls";
    }

    P::WriteReplyId(reply, replyId);
    CCfgVirtualServerDB* db = Store();
    if (!db) {
        CFG_LOG(DBG::LVL_WARNING, noStore);
        P::WriteResult(reply, P::kResultFail);
        return;
    }
    Guarded(error, reply, [&] {
        P::CKey key;
        P::ReadKey(request, key);
        CCfgSettingCategoryFake setting(key.category);
        const CCfgIndex index = IndexOf(key);
        bool ok = false;
        switch (kind) {
            case ReadKind::kPlain:
                ok = db->GetConfiguration(index, setting);
                break;
            case ReadKind::kBulk:
                ok = db->GetBulkConfiguration(index, setting);
                break;
            case ReadKind::kExist:
                ok = db->GetExistConfiguration(index, setting);
                break;
        }
        if (ok) {
            P::WriteResult(reply, P::kResultOk);
            P::WriteSetting(reply, setting);
        } else {
            P::WriteResult(reply, P::kResultFail);
            CFG_LOG(DBG::LVL_WARNING, storeFailed, key.server.c_str(), key.category.c_str(),
                    key.subject.ToString().c_str());
        }
    });
}

void CCfgControl::DoQuerySettings(unsigned int, const CIPCMsgBuffer& request,
                                  CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoQuerySettings()");
    QueryOne(ReadKind::kPlain, P::kMsgQueryReply, request, reply);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoQuerySettings()");
}

void CCfgControl::DoQueryBulkSettings(unsigned int, const CIPCMsgBuffer& request,
                                      CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoQueryBulkSettings()");
    QueryOne(ReadKind::kBulk, P::kMsgQueryBulkReply, request, reply);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoQueryBulkSettings()");
}

void CCfgControl::DoQueryExistSettings(unsigned int, const CIPCMsgBuffer& request,
                                       CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoQueryExistSettings()");
    QueryOne(ReadKind::kExist, P::kMsgQueryExistReply, request, reply);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoQueryExistSettings()");
}

// ---- writes ------------------------------------------------------------------------------------

void CCfgControl::ModifyOne(bool bulk, int replyId, const CIPCMsgBuffer& request,
                            CIPCMsgBuffer& reply) {
    const wchar_t* offline = bulk
                                 ? L"CCfgControl::DoModifyBulkSettings(),db is offline,this round!!"
                                 : L"CCfgControl::DoModifySettings(),db is offline,this round!!";
    const wchar_t* noStore = bulk ? L"CCfgControl::DoModifyBulkSettings(), m_pDB == NULL"
                                  : L"CCfgControl::DoModifySettings(), m_pDB == NULL";
    const wchar_t* storeFailed =
        bulk ? L"m_pDB->SetBulkConfiguration(), server =%ls, category = %ls, subject = %ls"
             : L"m_pDB->SetConfiguration(), server =%ls, category = %ls, subject = %ls";
    const wchar_t* noPublisher =
        bulk ? L"CCfgControl::DoModifyBulkSettings(), notify fail: m_pSubjectSrvHelper == NULL"
             : L"CCfgControl::DoModifySettings(), notify fail: m_pSubjectSrvHelper == NULL";
    const wchar_t* error = bulk ? L"DoModifyBulkSettings error coce(%d), %ls"
                                : L"DoModifySettings error coce(%d), %ls";

    P::WriteReplyId(reply, replyId);
    if (!IsDBStatusOK()) {
        CFG_LOG(DBG::LVL_WARNING, offline);
        P::WriteResult(reply, P::kResultFail);
        return;
    }
    CCfgVirtualServerDB* db = Store();
    if (!db) {
        CFG_LOG(DBG::LVL_WARNING, noStore);
        P::WriteResult(reply, P::kResultFail);
        return;
    }
    Guarded(error, reply, [&] {
        P::CKey key;
        P::ReadKey(request, key);
        CCfgSettingCategoryFake setting(key.category);
        P::ReadSetting(request, setting);
        int action = 0;
        bool notify = false;
        P::ReadModifyTail(request, action, notify);
        const CCfgIndex index = IndexOf(key);
        std::vector<OS::x_wstring> written;
        const auto modifyAction = static_cast<CCfgSettingDBBase::ModifyAction>(action);
        const bool ok = bulk ? db->SetBulkConfiguration(index, setting, &written, modifyAction)
                             : db->SetConfiguration(index, setting, &written, modifyAction);
        if (!ok) {
            P::WriteResult(reply, P::kResultFail);
            CFG_LOG(DBG::LVL_WARNING, storeFailed, key.server.c_str(), key.category.c_str(),
                    key.subject.ToString().c_str());
            return;
        }
        P::WriteResult(reply, P::kResultOk);
        if (!m_pSubjectSrvHelper) {
            CFG_LOG(DBG::LVL_WARNING, noPublisher);
            return;
        }
        if (!notify) return;
        NotifyChanges(written, key.policy, key.server, P::kChangeWritten);
    });
}

void CCfgControl::DoModifySettings(unsigned int, const CIPCMsgBuffer& request,
                                   CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoModifySettings()");
    ModifyOne(false, P::kMsgModifyReply, request, reply);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoModifySettings()");
}

void CCfgControl::DoModifyBulkSettings(unsigned int, const CIPCMsgBuffer& request,
                                       CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoModifyBulkSettings()");
    ModifyOne(true, P::kMsgModifyBulkReply, request, reply);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoModifyBulkSettings()");
}

void CCfgControl::DoDelSettings(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoDelSettings()");
    P::WriteReplyId(reply, P::kMsgDeleteReply);
    CCfgVirtualServerDB* db = Store();
    if (!db) {
        CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::DoDelSettings(), m_pDB == NULL");
        P::WriteResult(reply, P::kResultFail);
    } else {
        Guarded(L"DoDelSettings error coce(%d), %ls", reply, [&] {
            P::CKey key;
            P::ReadKey(request, key);
            std::vector<OS::x_wstring> removed;
            db->RemoveConfiguration(IndexOf(key), key.category, &removed);
            P::WriteResult(reply, P::kResultOk);
            if (!m_pSubjectSrvHelper) {
                CFG_LOG(DBG::LVL_WARNING,
                        L"CCfgControl::DoDelSettings(), notify fail: m_pSubjectSrvHelper == NULL");
                return;
            }
            NotifyChanges(removed, key.policy, key.server, P::kChangeDeleted);
        });
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoDelSettings()");
}

void CCfgControl::DoResetToDefault(unsigned int, const CIPCMsgBuffer& request,
                                   CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoResetToDefault()");
    P::WriteReplyId(reply, P::kMsgResetToDefaultReply);
    CCfgVirtualServerDB* db = Store();
    if (!db) {
        CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::DoResetToDefault(), m_pDB == NULL");
        P::WriteResult(reply, P::kResultFail);
    } else {
        Guarded(L"DoResetToDefault error coce(%d), %ls", reply, [&] {
            P::CKey key;
            P::ReadKey(request, key);
            CCfgSettingCategoryFake setting(key.category);
            std::vector<OS::x_wstring> written;
            if (!db->ResetToDefault(IndexOf(key), setting, &written)) {
                P::WriteResult(reply, P::kResultFail);
                CFG_LOG(DBG::LVL_WARNING,
                        L"m_pDB->GetConfiguration(), server = %ls, category = %ls, subject = %ls",
                        key.server.c_str(), key.category.c_str(), key.subject.ToString().c_str());
                return;
            }
            P::WriteResult(reply, P::kResultOk);
            P::WriteSetting(reply, setting);
            if (!m_pSubjectSrvHelper) {
                CFG_LOG(
                    DBG::LVL_WARNING,
                    L"CCfgControl::DoResetToDefault(), notify fail: m_pSubjectSrvHelper == NULL");
                return;
            }
            NotifyChanges(written, key.policy, key.server, P::kChangeWritten);
        });
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoResetToDefault()");
}

void CCfgControl::DoModifyApplyAll(unsigned int, const CIPCMsgBuffer& request,
                                   CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoModifyApplyAll()");
    P::WriteReplyId(reply, P::kMsgModifyApplyAllReply);
    CCfgVirtualServerDB* db = Store();
    if (!db) {
        CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::DoModifyApplyAll(), m_pDB == NULL");
        P::WriteResult(reply, P::kResultFail);
    } else {
        Guarded(L"DoModifyApplyAll error coce=%d, %ls", reply, [&] {
            OS::x_wstring server, category;
            bool notify = false;
            P::ReadApplyAllHead(request, server, category, notify);
            CCfgSettingApplyAll setting(category);
            P::ReadSetting(request, setting);
            std::vector<CCfgIndex> rows;
            CCfgIndexCtrlCB callback(&rows);
            if (db->SetConfiguration(server, category, setting, &callback)) {
                P::WriteResult(reply, P::kResultOk);
            } else {
                P::WriteResult(reply, P::kResultFail);
                CFG_LOG(DBG::LVL_WARNING, L"m_pDB->SetConfiguration()");
            }
            // The rows the store reported before a failure were written: they are announced.
            if (!m_pSubjectSrvHelper) {
                CFG_LOG(
                    DBG::LVL_WARNING,
                    L"CCfgControl::DoModifyApplyAll(), notify fail: m_pSubjectSrvHelper == NULL");
                return;
            }
            if (!notify) return;
            for (const auto& row : rows)
                NotifyChange(row.GetSubjectID(), row.GetPolicySubject(), server, P::kChangeWritten,
                             false);
        });
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoModifyApplyAll()");
}

void CCfgControl::DoQueryAll(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoQueryAll()");
    P::WriteReplyId(reply, P::kMsgQueryAllReply);
    CCfgVirtualServerDB* db = Store();
    if (!db) {
        CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::DoQueryAll(), m_pDB == NULL");
        P::WriteResult(reply, P::kResultFail);
    } else {
        Guarded(L"DoQueryAll error coce=%d, %ls", reply, [&] {
            OS::x_wstring server, category;
            std::vector<OS::x_wstring> subjects;
            P::ReadQueryAllRequest(request, server, category, subjects);
            CIPCMsgBuffer rows(P::kBufferSize, false);
            if (db->GetConfiguration(server, category, subjects, rows)) {
                P::WriteResult(reply, P::kResultOk);
                reply << rows;
            } else {
                P::WriteResult(reply, P::kResultFail);
                CFG_LOG(DBG::LVL_WARNING, L"m_pDB->GetConfiguration()");
            }
        });
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoQueryAll()");
}

// ---- load, unload, status ----------------------------------------------------------------------

void CCfgControl::LoadOrUnload(bool load, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    P::WriteReplyId(reply, load ? P::kMsgLoadReply : P::kMsgUnloadReply);
    Guarded(load ? L"DoLoadSettings error coce(%d), %ls" : L"DoUnloadSettings error coce(%d), %ls",
            reply, [&] {
                P::CKey key;
                P::ReadKey(request, key);
                P::WriteResult(reply, P::kResultOk);
                if (!m_pSubjectSrvHelper) {
                    CFG_LOG(DBG::LVL_WARNING,
                            load ? L"CCfgControl::DoLoadSettings(), notify fail: "
                                   L"m_pSubjectSrvHelper == NULL"
                                 : L"CCfgControl::DoUnloadSettings(), notify fail: "
                                   L"m_pSubjectSrvHelper == NULL");
                    return;
                }
                NotifyChange(key.subject, key.policy, key.server,
                             load ? P::kChangeLoaded : P::kChangeUnloaded, false);
            });
}

void CCfgControl::DoLoadSettings(unsigned int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoLoadSettings()");
    LoadOrUnload(true, request, reply);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoLoadSettings()");
}

void CCfgControl::DoUnloadSettings(unsigned int, const CIPCMsgBuffer& request,
                                   CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoUnloadSettings()");
    LoadOrUnload(false, request, reply);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoUnloadSettings()");
}

void CCfgControl::DoQueryDBConnectionStatus(const CIPCMsgBuffer&, CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::DoQueryDBConnectionStatus");
    P::WriteReplyId(reply, P::kMsgDBStatusReply);
    const int status = IsDBStatusOK() ? 1 : 0;
    reply << status;
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::DoQueryDBConnectionStatus, %d", status);
}

void CCfgControl::AnswerServiceInfo(CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::AnswerServiceInfo");
    // Only a store with this machine's own database has one home, database and name list to
    // tell: the cluster observer (its home) or a store of that database alone.
    const auto* local = dynamic_cast<const CCfgLocalServerDB*>(Store());
    const auto* observer = dynamic_cast<const CCfgCtrlClusterObserver*>(Store());
    const CCfgSettingGenericDatabase* db = observer ? observer->GetHomeDatabase().get()
                                           : local && !local->GetServerNames().empty()
                                               ? local->GetDatabase(local->GetServerNames()[0])
                                               : nullptr;
    if (!db) {
        P::WriteReplyId(reply, P::kMsgServiceInfoReply);
        P::WriteResult(reply, P::kResultFail);
        CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::AnswerServiceInfo, no local database");
        return;
    }
    P::CServiceInfo info;
    info.version = ZOLTCFG_VERSION_W;
    // The connection file lies in <home>/config/.
    const std::filesystem::path connection = db->GetConnectionFile().ToUtf8();
    info.home = OS::x_wstring::FromUtf8(
        std::filesystem::absolute(connection).parent_path().parent_path().string());
    info.database = db->GetDatabaseFile();
    info.provider = db->GetProvider();
    info.servers = observer ? observer->GetHomeNames() : local->GetServerNames();
    P::WriteServiceInfoReply(reply, info);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::AnswerServiceInfo, %zu servers", info.servers.size());
}

void CCfgControl::AnswerProductValues(CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::AnswerProductValues");
    std::map<std::wstring, std::wstring> named;
    if (!CRegUtil::ReadLocalProductValues(named)) {
        P::WriteReplyId(reply, P::kMsgProductValuesReply);
        P::WriteResult(reply, P::kResultFail);
        CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::AnswerProductValues, no product key");
        return;
    }
    const P::CProductValues values = P::ProductValuesOf(named);
    P::WriteProductValuesReply(reply, values);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::AnswerProductValues, version %ls",
            values.version.c_str());
}
