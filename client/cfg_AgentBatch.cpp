// CCfgAgent's batch requests: a batch query that reads a selection of settings of one server in
// one round trip, and a batch modify that sends such a reply body to be stored on a server (how
// settings are replicated). The plain and bulk forms share one frame each, told apart by the
// table below (request id, reply id, log texts).
// Thread rule: no lock; every call works on its own buffers and RPC client.
#include <vector>

#include "cfg_Client.h"
#include "outside/common/StringUtils.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "protocol/cfg_RequestProtocol.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Agent";

namespace P = NS_CfgProtocol;
}  // namespace

struct CCfgAgent::CBatchKind {
    int requestId;
    const wchar_t* entry;
    const wchar_t* exit;
};

namespace {

// Writes the key of every well-formed entry of `selection` into `keys`; the number written.
int WriteSelectionKeys(const OS::x_wstring& server, const CSubjectID& subject,
                       const OS::x_wstring& selection, CIPCMsgBuffer& keys) {
    std::vector<OS::x_wstring> entries;
    NS_StringUtils::GetStrings(selection, L";", entries);
    int written = 0;
    for (const auto& entry : entries) {
        std::vector<OS::x_wstring> parts;
        NS_StringUtils::GetStrings(entry, L":", parts);
        if (parts.size() < 2) {
            // Leaving it out keeps the count honest: the service reads exactly the keys sent.
            CFG_LOG(DBG::LVL_ERROR, L"selection list is wrong formatted.");
            continue;
        }
        P::WriteKey(keys, server, subject, CSubjectID(parts[0]), parts[1]);
        ++written;
    }
    return written;
}

void Send(const CComponentID& component, const wchar_t* remote, const CIPCMsgBuffer& request,
          CIPCMsgBuffer& reply) {
    CRPCClientHelper client(component, remote);
    client.SendRequest(request, reply);
}

}  // namespace

bool CCfgAgent::SendBatchQuery(const CBatchKind& kind, const OS::x_wstring& server,
                               const CSubjectID& subject, const OS::x_wstring& selection,
                               CIPCMsgBuffer& out, const wchar_t* remote) {
    CFG_LOG(DBG::LVL_ENTRY, kind.entry);
    CIPCMsgBuffer keys(P::kBufferSize, false);
    const int count = WriteSelectionKeys(server, subject, selection, keys);
    CIPCMsgBuffer request(P::kBufferSize, false);
    request << kind.requestId << count;
    request.Put(keys.GetBuffer(), static_cast<unsigned int>(keys.BytesUsed()));

    CIPCMsgBuffer reply(P::kBufferSize, false);
    Send(m_ComponentID, remote, request, reply);
    unsigned int replyId = 0;
    reply >> replyId;
    bool result = false;
    if (replyId == static_cast<unsigned int>(P::ReplyIdOf(kind.requestId))) {
        out.Put(reply.GetCurrentBuffer(), static_cast<unsigned int>(reply.GetCurrentSize()));
        result = true;
    } else {
        CFG_LOG(DBG::LVL_ERROR, L"Reply id is wrong (%d)", static_cast<int>(replyId));
    }
    CFG_LOG(DBG::LVL_EXIT, kind.exit, result ? 1 : 0);
    return result;
}

bool CCfgAgent::SendBatchModify(const CBatchKind& kind, const OS::x_wstring& server,
                                long sourceRole, CIPCMsgBuffer& settings, CIPCMsgBuffer& reply,
                                const wchar_t* remote, CCfgSettingDBBase::ModifyAction action,
                                const OS::x_wstring& sourceServer, const OS::x_wstring& originator,
                                SourceType sourceType) {
    CFG_LOG(DBG::LVL_ENTRY, kind.entry);
    // Room for the header and the settings, which are copied in once.
    CIPCMsgBuffer request(P::kBufferSize + static_cast<unsigned long>(settings.BytesUsed()), false);
    request << kind.requestId << static_cast<int>(action) << server << sourceServer << originator
            << static_cast<int>(sourceType) << static_cast<int>(sourceRole) << m_bNotify;
    if (sourceType == ST_REPLICATION) {
        FilterBeforeReplication(server, settings);
    } else if (sourceType == ST_POLICY_DEPLOYMENT && !IsZOLTVersionMatch(server)) {
        CFG_LOG(DBG::LVL_EXIT, kind.exit);
        return false;
    }
    request.Put(settings.GetBuffer(), static_cast<unsigned int>(settings.BytesUsed()));

    Send(m_ComponentID, remote, request, reply);
    unsigned int replyId = 0;
    reply >> replyId;
    bool result = false;
    if (replyId != static_cast<unsigned int>(P::ReplyIdOf(kind.requestId))) {
        CFG_LOG(DBG::LVL_ERROR, L"Reply id is wrong (%d)", static_cast<int>(replyId));
    } else {
        int count = 0;
        reply >> count;
        if (count == 0 || reply.GetCurrentSize() == 0) {
            // Nothing behind the count: every item was skipped or filtered out by the target,
            // and none was refused.
            result = true;
        } else {
            int first = 0;
            reply >> first;
            result = first == 0;
        }
    }
    CFG_LOG(DBG::LVL_EXIT, kind.exit);
    return result;
}

bool CCfgAgent::QueryBatchConfigurationSettings(const OS::x_wstring& server,
                                                const CSubjectID& subject,
                                                const OS::x_wstring& selection, CIPCMsgBuffer& out,
                                                const wchar_t* remote) {
    static const CBatchKind kind = {P::kMsgBatchQuery,
                                    L"CCfgAgent::QueryBatchConfigurationSettings()",
                                    L"CCfgAgent::QueryBatchConfigurationSettings(), %d"};
    return SendBatchQuery(kind, server, subject, selection, out, remote);
}

bool CCfgAgent::QueryBatchBulkConfigurationSettings(const OS::x_wstring& server,
                                                    const CSubjectID& subject,
                                                    const OS::x_wstring& selection,
                                                    CIPCMsgBuffer& out, const wchar_t* remote) {
    static const CBatchKind kind = {P::kMsgBatchQueryBulk,
                                    L"CCfgAgent::QueryBatchBulkConfigurationSettings()",
                                    L"CCfgAgent::QueryBatchBulkConfigurationSettings(), %d"};
    return SendBatchQuery(kind, server, subject, selection, out, remote);
}

bool CCfgAgent::ModifyBatchConfigurationSettings(
    const OS::x_wstring& server, long sourceRole, CIPCMsgBuffer& settings, CIPCMsgBuffer& reply,
    const wchar_t* remote, CCfgSettingDBBase::ModifyAction action,
    const OS::x_wstring& sourceServer, const OS::x_wstring& originator, SourceType sourceType) {
    static const CBatchKind kind = {P::kMsgBatchModify,
                                    L"CConfigurationSetting::ModifyBatchConfigurationSettings()",
                                    L"CConfigurationSetting::ModifyBatchConfigurationSettings()"};
    return SendBatchModify(kind, server, sourceRole, settings, reply, remote, action, sourceServer,
                           originator, sourceType);
}

bool CCfgAgent::ModifyBatchBulkConfigurationSettings(
    const OS::x_wstring& server, long sourceRole, CIPCMsgBuffer& settings, CIPCMsgBuffer& reply,
    const wchar_t* remote, CCfgSettingDBBase::ModifyAction action,
    const OS::x_wstring& sourceServer, const OS::x_wstring& originator, SourceType sourceType) {
    static const CBatchKind kind = {
        P::kMsgBatchModifyBulk, L"CConfigurationSetting::ModifyBatchBulkConfigurationSettings()",
        L"CConfigurationSetting::ModifyBatchBulkConfigurationSettings()"};
    return SendBatchModify(kind, server, sourceRole, settings, reply, remote, action, sourceServer,
                           originator, sourceType);
}
