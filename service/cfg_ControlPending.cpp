// The handlers of CCfgControl whose work is not available in this build yet: the file and node
// handlers of a remote service. Their ids are registered; each
// answers its reply id and -1, and logs that it is not available.
// Thread rule: stateless.
#include "cfg_Service.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Control";
}  // namespace

namespace P = NS_CfgProtocol;

void CCfgControl::AnswerNotAvailable(const wchar_t* handler, int replyId, CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::%ls()", handler);
    CFG_LOG(DBG::LVL_WARNING, L"CCfgControl::%ls() is not available yet", handler);
    P::WriteReplyId(reply, replyId);
    P::WriteResult(reply, P::kResultFail);
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::%ls()", handler);
}

void CCfgControl::DoCopyFile(unsigned int, const CIPCMsgBuffer&, CIPCMsgBuffer& reply) {
    AnswerNotAvailable(L"DoCopyFile", P::kMsgCopyFileReply, reply);
}

void CCfgControl::DoDeleteFile(unsigned int, const CIPCMsgBuffer&, CIPCMsgBuffer& reply) {
    AnswerNotAvailable(L"DoDeleteFile", P::kMsgDeleteFileReply, reply);
}

void CCfgControl::DoEnumFile(unsigned int, const CIPCMsgBuffer&, CIPCMsgBuffer& reply) {
    AnswerNotAvailable(L"DoEnumFile", P::kMsgEnumFileReply, reply);
}

void CCfgControl::DoIsFileExist(unsigned int, const CIPCMsgBuffer&, CIPCMsgBuffer& reply) {
    AnswerNotAvailable(L"DoIsFileExist", P::kMsgIsFileExistReply, reply);
}

void CCfgControl::DoGetMaxTimeStampFromOtherNodes(unsigned int, const CIPCMsgBuffer&,
                                                  CIPCMsgBuffer& reply) {
    AnswerNotAvailable(L"DoGetMaxTimeStampFromOtherNodes", P::kMsgMaxTimeStampReply, reply);
}

void CCfgControl::DoSyncFolder(unsigned int, const CIPCMsgBuffer&, CIPCMsgBuffer& reply) {
    AnswerNotAvailable(L"DoSyncFolder", P::kMsgSyncFolderReply, reply);
}
