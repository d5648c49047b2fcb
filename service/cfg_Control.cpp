// CCfgControl's life and dispatch: registration with the RPC library and the change-notification
// publisher, the served ids, the dispatcher of a local service, the relaying of a remote one, and
// the release of everything in reverse order. A remote service hands its relayed requests to a
// master of the same process directly (the daemon hosts both), else through the master's endpoint.
// Thread rule: operator() runs on several RPC threads at once; construction and destruction on
// one thread. The store pointer handlers see is published atomically once it is attached.
// CCfgIndex has a virtual operator== and, by design, no virtual destructor; it is never deleted
// through a pointer to a base, so destroying it inside a vector is safe.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wdelete-non-abstract-non-virtual-dtor"
#endif

#include <chrono>
#include <map>
#include <new>
#include <shared_mutex>

#include "cfg_Service.h"
#include "outside/ipc/CComponentID.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CSubjectServerHelper.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/RpcEndpoint.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_CtrlClusterObserver.h"
#include "service/cfg_InProcessMaster.h"
#include "service/cfg_ServiceMetrics.h"
#include "service/cfg_VirtualServerDB.h"

namespace {
static const wchar_t kLogSource[] = L"cfg_Control";

// The master of this process, while it serves; a relay holds the lock (shared) for its call, so
// the master's Deinit waits for relays in progress before it goes.
std::shared_mutex g_masterLock;
CCfgControl* g_master = nullptr;
}  // namespace

namespace P = NS_CfgProtocol;

bool NS_InProcessMaster::Ask(int messageId, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    std::shared_lock<std::shared_mutex> g(g_masterLock);
    if (!g_master) return false;
    (*g_master)(messageId, request, reply);
    return true;
}

std::string CCfgControl::LocalEndpoint(const OS::x_wstring& componentId) {
    return RPC::LocalSocketPath(CComponentID(componentId), ".rpc");
}

CCfgControl::CCfgControl(const OS::x_wstring& componentId, CCfgVirtualServerDB* pDb,
                         bool asRemoteServer)
    : m_bAsRemoteServer(asRemoteServer), m_pRPCSrvHelper(nullptr), m_pSubjectSrvHelper(nullptr) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::CCfgControl(), component id: %ls, as remote serve: %d",
            componentId.c_str(), asRemoteServer ? 1 : 0);
    // A local service owns the store it is given, even when the constructor fails.
    OS::CAutoObjPtr<CCfgVirtualServerDB> given(asRemoteServer ? nullptr : pDb);
    CCfgCtrlClusterObserver* observer = nullptr;
    try {
        Init(componentId);
        if (!m_bAsRemoteServer) {
            if (given) {
                CFG_LOG(DBG::LVL_INFO, L"pDb != NULL");
                m_pDB.Attach(given.Detach());
            } else {
                CFG_LOG(DBG::LVL_INFO, L"pDb == NULL");
                // The cluster observer: this machine's own database under its names, and one
                // database per virtual server on line on this node.
                observer = new CCfgCtrlClusterObserver(componentId,
                                                       CCfgLocalServerDB::DefaultConnectionFile(),
                                                       CCfgLocalServerDB::DefaultServerNames());
                m_pDB.Attach(observer);
            }
            m_pServingDB.store(m_pDB.get(), std::memory_order_release);
            if (componentId == P::kMasterComponent) {
                std::unique_lock<std::shared_mutex> g(g_masterLock);
                g_master = this;
            }
            // Cluster notifications may use the service (the environment setting), so they
            // start once it serves.
            if (observer) observer->Init();
        }
    } catch (...) {
        // Unregister before the object goes, so no request reaches a half-built service.
        Deinit();
        throw;
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::CCfgControl()");
}

CCfgControl::~CCfgControl() {
    Deinit();
    // Members go in reverse order: m_csBatch, then the store through m_pDB.
    m_pServingDB.store(nullptr, std::memory_order_release);
}

void CCfgControl::Init(const OS::x_wstring& componentId) {
    CFG_LOG(DBG::LVL_STARTUP, m_bAsRemoteServer ? L"Remote server" : L"Local server");
    CComponentID id(componentId);
    CRPCServerParameter param(m_bAsRemoteServer ? L"ncacn_np" : L"ncalrpc");
    m_pRPCSrvHelper = new CRPCServerHelper(id, param);
    m_pSubjectSrvHelper = new CSubjectServerHelper(id);
    m_pRPCSrvHelper->RegisterHandler(*this);
}

void CCfgControl::Deinit() {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::Deinit()");
    {
        std::unique_lock<std::shared_mutex> g(g_masterLock);
        if (g_master == this) g_master = nullptr;
    }
    // The endpoint goes first: once it is unregistered and closed no handler runs, so none can
    // publish through the publisher deleted after it.
    if (m_pRPCSrvHelper) {
        m_pRPCSrvHelper->UnRegisterHandler(*this);
        delete m_pRPCSrvHelper;
        m_pRPCSrvHelper = nullptr;
    }
    if (m_pSubjectSrvHelper) {
        delete m_pSubjectSrvHelper;
        m_pSubjectSrvHelper = nullptr;
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::Deinit()");
}

bool CCfgControl::GetMsgID(int** ids, int* count) const {
    // The common table, then the requests of our own: service info, product values, metrics,
    // backup and restore.
    const int own[] = {P::kMsgServiceInfo, P::kMsgProductValues, P::kMsgMetrics,
                       P::kMsgBackupDatabase, P::kMsgRestoreDatabase};
    const int ownCount = static_cast<int>(sizeof own / sizeof own[0]);
    int* array = new int[P::kServedMsgIdCount + ownCount];
    for (int i = 0; i < P::kServedMsgIdCount; ++i) array[i] = P::kServedMsgIds[i];
    for (int i = 0; i < ownCount; ++i) array[P::kServedMsgIdCount + i] = own[i];
    *ids = array;
    *count = P::kServedMsgIdCount + ownCount;
    return true;
}

void CCfgControl::FreeMsgID(int* ids) {
    delete[] ids;
}

CCfgVirtualServerDB* CCfgControl::Store() const {
    return m_pServingDB.load(std::memory_order_acquire);
}

bool CCfgControl::CCfgIndexCtrlCB::operator()(const CCfgSettingDBBase::CCfgIndex& index) {
    m_pIndexes->push_back(index);
    return true;
}

void CCfgControl::operator()(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgControl::operator(), msgID: %d", msgID);
    if (!CCfgServiceMetrics::Enabled()) {
        Dispatch(msgID, request, reply);
        return;
    }
    // Counted whichever way the handler leaves: an exception or an empty reply is a failure.
    const auto start = std::chrono::steady_clock::now();
    try {
        Dispatch(msgID, request, reply);
    } catch (...) {
        CCfgServiceMetrics::Record(msgID, std::chrono::steady_clock::now() - start, true);
        throw;
    }
    CCfgServiceMetrics::Record(msgID, std::chrono::steady_clock::now() - start,
                               reply.BytesUsed() == 0);
}

void CCfgControl::Dispatch(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    const unsigned int id = static_cast<unsigned int>(msgID);
    if (m_bAsRemoteServer) {
        switch (msgID) {
            case P::kMsgCopyFile:
                DoCopyFile(id, request, reply);
                break;
            case P::kMsgDeleteFile:
                DoDeleteFile(id, request, reply);
                break;
            case P::kMsgEnumFile:
                DoEnumFile(id, request, reply);
                break;
            case P::kMsgIsFileExist:
                DoIsFileExist(id, request, reply);
                break;
            case P::kMsgMaxTimeStamp:
                DoGetMaxTimeStampFromOtherNodes(id, request, reply);
                break;
            case P::kMsgSyncFolder:
                DoSyncFolder(id, request, reply);
                break;
            case P::kMsgProductValues:
                AnswerProductValues(reply);  // this machine's own values, not the master's
                break;
            default:
                // 2032, 2033 and 2034 change their id on the way; every other id keeps it.
                Relay(P::RelayedIdOf(msgID), request, reply);
                break;
        }
    } else {
        switch (msgID) {
            case P::kMsgQuery:
                DoQuerySettings(id, request, reply);
                break;
            case P::kMsgModify:
                DoModifySettings(id, request, reply);
                break;
            case P::kMsgDelete:
                DoDelSettings(id, request, reply);
                break;
            case P::kMsgBatchModify:
                DoBatchModifySettings(id, request, reply);
                break;
            case P::kMsgBatchQuery:
                DoBatchQuerySettings(id, request, reply);
                break;
            case P::kMsgResetToDefault:
                DoResetToDefault(id, request, reply);
                break;
            case P::kMsgModifyApplyAll:
                DoModifyApplyAll(id, request, reply);
                break;
            case P::kMsgQueryAll:
                DoQueryAll(id, request, reply);
                break;
            case P::kMsgLoad:
                DoLoadSettings(id, request, reply);
                break;
            case P::kMsgUnload:
                DoUnloadSettings(id, request, reply);
                break;
            case P::kMsgReplayClusterStatus:
                DoReplayClusterStatus(id, request, reply);
                break;
            case P::kMsgQueryExist:
                DoQueryExistSettings(id, request, reply);
                break;
            case P::kMsgDBStatus:
                DoQueryDBConnectionStatus(request, reply);
                break;
            case P::kMsgQueryBulk:
                DoQueryBulkSettings(id, request, reply);
                break;
            case P::kMsgModifyBulk:
                DoModifyBulkSettings(id, request, reply);
                break;
            case P::kMsgBatchQueryBulk:
                DoBatchQueryBulkSettings(id, request, reply);
                break;
            case P::kMsgBatchModifyBulk:
                DoBatchModifyBulkSettings(id, request, reply);
                break;
            case P::kMsgServiceInfo:
                AnswerServiceInfo(reply);
                break;
            case P::kMsgMetrics:
                P::WriteMetricsReply(reply, CCfgServiceMetrics::Snapshot(m_pSubjectSrvHelper));
                break;
            case P::kMsgBackupDatabase:
            case P::kMsgRestoreDatabase:
                BackupOrRestore(msgID == P::kMsgRestoreDatabase, request, reply);
                break;
            default:
                // File ids, 2032 to 2035 and unknown ids: the reply stays empty.
                break;
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgControl::operator()");
}

void CCfgControl::Relay(int relayedId, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    {
        std::shared_lock<std::shared_mutex> g(g_masterLock);
        if (g_master) {
            // What the master's endpoint would hand it: every byte of the request, behind the id.
            const CIPCMsgBuffer relayed =
                CIPCMsgBuffer::FromBytes(request.GetBuffer(), request.BytesUsed());
            (*g_master)(relayedId, relayed, reply);
            return;
        }
    }
    CIPCMsgBuffer relayed(P::kBufferSize, false);
    P::BuildRelayRequest(request, relayedId, relayed);
    CRPCClientHelper client(CComponentID(P::kMasterComponent), nullptr);
    client.SendRequest(relayed, reply);
}
