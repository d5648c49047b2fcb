// CCfgProxy: the cached reader of settings. Reads are answered from the proxy's cache when the
// entry was filled under the change-notification connection that announces its subject now;
// other reads go to "ID_ZOLT_MASTER" through an agent; change notifications drop cached
// settings and then reach the hooks.
// Thread rule: readers on any thread; operator(), GetSubjectIDVector and
// OnPublisherRestartOrGap on the change-notification thread. Lock order: m_csFill before the
// cache's own lock; m_csHook is taken alone and never while a hook runs or the cache is called.
// A cache hit takes the cache's lock and the observer helper's state lock, never one that is
// held while connecting.
#include "client/cfg_Proxy.h"

#include <atomic>
#include <cstring>

#include "cfg_Client.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"

static const wchar_t kLogSource[] = L"cfg_Proxy";

namespace {
namespace P = NS_CfgProtocol;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

const CComponentID& Master() {
    static const CComponentID master(P::kMasterComponent);
    return master;
}
constexpr wchar_t kCcrHookId[] = L"CCR_CONF_HOOK_ID";

// The process-wide counters of CCfgProxyBase::GetCounters().
struct CCounters {
    std::atomic<unsigned long long> hits{0}, misses{0}, drops{0}, reconnections{0};
};
CCounters& Counters() {
    static CCounters counters;
    return counters;
}
}  // namespace

CCfgProxyCounters CCfgProxyBase::GetCounters() {
    const CCounters& c = Counters();
    return {c.hits.load(), c.misses.load(), c.drops.load(), c.reconnections.load()};
}

OS::x_wstring CCfgProxyHook::GetHookID() {
    return OS::x_wstring();
}

CCfgProxyBase::~CCfgProxyBase() = default;

long CCfgProxyBase::EventNotifyCallBack(const OS::x_wstring&, const CSubjectID&,
                                        const CSubjectID&) {
    return 0;
}

CCfgProxy::CCfgProxy(const CComponentID& componentId) : m_ObserverSrvHelper(componentId) {}

CCfgProxy::~CCfgProxy() {
    m_ObserverSrvHelper.Unsubscribe(Master(), *this);
}

uint64_t CCfgProxy::AnnouncingConnection(const CSubjectID& subject) const {
    return m_ObserverSrvHelper.AnnouncingConnection(Master(), *this, subject);
}

bool CCfgProxy::GetConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                         CCfgSettingCategoryBase& setting) {
    const CSubjectID settingSubject = setting.GetSubjectID();
    const CCfgIndex key(server, {subject, settingSubject});
    bool result = false;
    // An entry filled under an earlier connection (or marked 0) may have been changed unseen.
    if (m_Cache.GetMarkedConfiguration(key, AnnouncingConnection(settingSubject), setting)) {
        CFG_LOG(DBG::LVL_INFO, L"CCfgProxy::GetConfigurationSettings() from cache, subject id=%ls",
                settingSubject.Str().c_str());
        Counters().hits.fetch_add(1, std::memory_order_relaxed);
        result = true;
    } else {
        Counters().misses.fetch_add(1, std::memory_order_relaxed);
        // Observe the subject before asking, so that a change made after the service's answer
        // is announced to this proxy.
        UpdateSubjectID(settingSubject, false);
        const uint64_t generation = m_uGeneration.load(std::memory_order_acquire);
        const uint64_t connection = AnnouncingConnection(settingSubject);
        CCfgAgent agent(P::kMasterComponent, true);
        if (agent.QueryConfigurationSettings(server, subject, setting, nullptr)) {
            bool stored;
            {
                // The answer is always stored, but served later only when every change of the
                // subject since before the query was announced on a connection that is still
                // the current one at that later read: the subscription was acknowledged before
                // the query (not pending, timed out or sent from inside a delivery) and no
                // change, drop or reconnection report came in meanwhile.
                OS::CCriticalSectionSentry fill(m_csFill);
                const bool fresh = generation == m_uGeneration.load(std::memory_order_acquire);
                stored = m_Cache.SetMarkedConfiguration(key, setting, fresh ? connection : 0);
                if (stored) m_setServers.insert(server);
            }
            if (stored) {
                CFG_LOG(DBG::LVL_INFO,
                        L"CCfgProxy::GetConfigurationSettings() from database, subject id=%ls",
                        settingSubject.Str().c_str());
                result = true;
            }
        }
    }
    UpdateSubjectID(settingSubject, false);
    return result;
}

void CCfgProxy::Hook(CCfgProxyHook& hook) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgProxy::Hook()");
    {
        OS::CCriticalSectionSentry guard(m_csHook);
        bool present = false;
        for (CCfgProxyHook* h : m_vecHook) present = present || h == &hook;
        if (!present) m_vecHook.push_back(&hook);
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgProxy::Hook()");
}

void CCfgProxy::Unhook(CCfgProxyHook& hook) {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgProxy::Unhook()");
    {
        OS::CCriticalSectionSentry guard(m_csHook);
        for (auto it = m_vecHook.begin(); it != m_vecHook.end(); ++it) {
            if (*it == &hook) {
                m_vecHook.erase(it);
                break;
            }
        }
    }
    CFG_LOG(DBG::LVL_EXIT, L"CCfgProxy::Unhook()");
}

void CCfgProxy::UpdateSubjectID(const CSubjectID& subject, bool requirePreviousChange) {
    {
        OS::CCriticalSectionSentry guard(m_csHook);
        for (const CSubjectID& s : m_vecSubjectID)
            if (s.Match(subject)) return;
        m_vecSubjectID.push_back(subject);
    }
    m_ObserverSrvHelper.Subscribe(Master(), *this);
    if (requirePreviousChange)
        m_ObserverSrvHelper.RequirePreviousChange(Master(), *this, {subject});
}

size_t CCfgProxy::GetCachedCount() {
    return m_Cache.GetCount();
}

std::vector<CSubjectID> CCfgProxy::GetSubjectIDVector() const {
    CFG_LOG(DBG::LVL_ENTRY, L"CCfgProxy::GetSubjectIDVector()");
    OS::CCriticalSectionSentry guard(m_csHook);
    return m_vecSubjectID;
}

std::vector<CCfgProxyHook*> CCfgProxy::CopyHooks() const {
    OS::CCriticalSectionSentry guard(m_csHook);
    return m_vecHook;
}

void CCfgProxy::operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) {
    CFG_LOG(DBG::LVL_INFO, L"CCfgProxy::operator(), subject id=%ls)", subject.Str().c_str());
    // A notification of a new publisher run arriving without the reconnection report still
    // means that changes may have been missed.
    if (const CNoticeInfo* notice = CObserverServerHelper::CurrentNotice()) {
        const uint64_t previous = m_uPublisherStartId.exchange(notice->startId);
        if (previous != 0 && previous != notice->startId) {
            Counters().reconnections.fetch_add(1, std::memory_order_relaxed);
            DropAll();
        }
    }
    P::CNotification note;
    if (!P::ReadNotificationBody(body, note)) {
        // Not the configuration service's (no mark), or cut short: nothing to act on.
        unsigned int mark = 0;
        if (body.BytesUsed() >= sizeof mark) std::memcpy(&mark, body.GetBuffer(), sizeof mark);
        if (mark == P::kNotificationMark)
            CFG_LOG(DBG::LVL_WARNING,
                    L"CCfgProxy::operator(), incomplete notification ignored, subject id=%ls",
                    subject.Str().c_str());
        return;
    }
    const std::vector<CCfgProxyHook*> hooks = CopyHooks();
    const CCfgIndex key(note.server, {note.policy, subject});
    {
        // Reads in flight must not cache what they got before this change.
        OS::CCriticalSectionSentry fill(m_csFill);
        m_uGeneration.fetch_add(1, std::memory_order_acq_rel);
    }
    if (subject.Str() == P::kVServerEnvSubject) {
        std::vector<CCfgSettingDBBase::SubjectPair> pairs;
        m_Cache.GetPolicySubjectPairByVirtualServerName(note.server, pairs);
        for (const auto& pair : pairs) {
            const CCfgIndex other(note.server, pair);
            if (other == key) continue;
            m_Cache.RemoveConfiguration(other, OS::x_wstring(), nullptr);
            for (CCfgProxyHook* hook : hooks) {
                if (hook && hook->GetHookID() != kCcrHookId)
                    hook->NotifyCallBack(note.server, pair.first, pair.second, P::kChangeDeleted);
            }
        }
    }
    const size_t before = m_Cache.GetCount();
    m_Cache.RemoveConfiguration(key, OS::x_wstring(), nullptr);
    if (m_Cache.GetCount() < before) Counters().drops.fetch_add(1, std::memory_order_relaxed);
    for (CCfgProxyHook* hook : hooks)
        if (hook) hook->NotifyCallBack(note.server, note.policy, subject, note.changeKind);
}

void CCfgProxy::OnPublisherRestartOrGap(const CPublisherChange& change) {
    CFG_LOG(DBG::LVL_WARNING,
            L"CCfgProxy: notifications of %ls may have been missed (%ls); dropping the cache",
            change.publisher.GetID(),
            change.kind == CPublisherChange::Kind::kRestarted     ? L"publisher restarted"
            : change.kind == CPublisherChange::Kind::kReconnected ? L"connection lost"
                                                                  : L"late connection");
    if (change.startId != 0) m_uPublisherStartId.store(change.startId);
    Counters().reconnections.fetch_add(1, std::memory_order_relaxed);
    DropAll();
}

void CCfgProxy::DropAll() {
    std::set<OS::x_wstring, OS::NoCaseLess> servers;
    {
        OS::CCriticalSectionSentry fill(m_csFill);
        m_uGeneration.fetch_add(1, std::memory_order_acq_rel);
        servers.swap(m_setServers);
    }
    // Kept as server and pair rather than as keys: a key has virtual members and no virtual
    // destructor, so it is not held in containers.
    struct CDropped {
        OS::x_wstring server;
        CCfgSettingDBBase::SubjectPair pair;
    };
    std::vector<CDropped> dropped;
    for (const auto& server : servers) {
        std::vector<CCfgSettingDBBase::SubjectPair> pairs;
        m_Cache.GetPolicySubjectPairByVirtualServerName(server, pairs);
        for (const auto& pair : pairs) {
            m_Cache.RemoveConfiguration(CCfgIndex(server, pair), OS::x_wstring(), nullptr);
            dropped.push_back(CDropped{server, pair});
        }
    }
    Counters().drops.fetch_add(dropped.size(), std::memory_order_relaxed);
    if (dropped.empty()) return;
    const std::vector<CCfgProxyHook*> hooks = CopyHooks();
    for (const CDropped& d : dropped)
        for (CCfgProxyHook* hook : hooks)
            if (hook)
                hook->NotifyCallBack(d.server, d.pair.first, d.pair.second, P::kChangeWritten);
}
