// CCfgProxy: the library's own caching proxy, which the factory hands out as a CCfgProxyBase
// (type id -1). Programs outside the library reach it only through the factory.
// Thread rule: a proxy may be used from any number of threads; its cache, its hook list and its
// subject list are each guarded; hooks run on the change-notification thread, without any of
// the proxy's locks held.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <vector>

#include "cfg_Client.h"
#include "outside/common/CCriticalSection.h"
#include "outside/notify/CObserverNoticeCallback.h"
#include "outside/notify/CObserverServerHelper.h"

// The working proxy.
//
// Staleness: a cached setting is served only when it was filled under the notification
// connection to "ID_ZOLT_MASTER" that is up now, after the publisher had acknowledged the
// subscription of its subject on it; deciding that never waits for a connection being made. A
// change notification drops the entry before the hooks run; a reconnection (the publisher
// restarted, or dropped this observer for falling behind, so that notifications may have been
// missed) drops the whole cache and calls the hooks once per dropped entry with change kind 3;
// so does a notification from a new publisher run. A read that overlaps a change, or whose
// subject's subscription is not acknowledged, is answered and stored but not served later.
class CCfgProxy : public CCfgProxyBase, public CObserverNoticeCallback {
  public:
    // `componentId`: the component that hosts the proxy (the observer's name to publishers).
    explicit CCfgProxy(const CComponentID& componentId);
    // Unsubscribes; waits for a notification being handled on another thread to finish.
    // REQUIRES: not called from one of this proxy's hooks.
    ~CCfgProxy() override;

    // Cache hit: true. Miss: observes the setting's subject, queries the local service and
    // caches the answer; false when the service does not give the setting (nothing cached).
    bool GetConfigurationSettings(const OS::x_wstring& server, const CSubjectID& subject,
                                  CCfgSettingCategoryBase& setting) override;
    // Adds the hook unless it is registered already.
    void Hook(CCfgProxyHook& hook) override;
    // Removes the hook; a hook not registered changes nothing. A notification that started
    // before may still call it: keep it alive until such a notification has finished.
    void Unhook(CCfgProxyHook& hook) override;
    void UpdateSubjectID(const CSubjectID& subject, bool requirePreviousChange) override;

    // The number of cached settings (diagnostics and tests).
    size_t GetCachedCount();

  protected:
    // ---- the change-notification side, called on the library's thread ----
    std::vector<CSubjectID> GetSubjectIDVector() const override;
    void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) override;
    void OnPublisherRestartOrGap(const CPublisherChange& change) override;

  private:
    // Drops every cached setting and calls the hooks with change kind 3 for each.
    // REQUIRES: on the notification thread.
    void DropAll();
    std::vector<CCfgProxyHook*> CopyHooks() const;
    // The connection that announces the subject's changes now (0: none); see the helper.
    uint64_t AnnouncingConnection(const CSubjectID& subject) const;

    CCfgSettingCache m_Cache;
    std::vector<CSubjectID> m_vecSubjectID;  // guarded by m_csHook
    mutable OS::CCriticalSection m_csHook;   // the hook list and the subject list
    std::vector<CCfgProxyHook*> m_vecHook;   // guarded by m_csHook
    CObserverServerHelper m_ObserverSrvHelper;

    // Fill protection: a read marks its stored answer as servable only when no change or drop
    // happened since it started (the generation did not move); m_csFill makes that check and
    // the store one step against the generation's increments.
    OS::CCriticalSection m_csFill;
    std::atomic<uint64_t> m_uGeneration{0};
    std::set<OS::x_wstring, OS::NoCaseLess> m_setServers;  // servers with entries; m_csFill
    std::atomic<uint64_t> m_uPublisherStartId{0};
};
