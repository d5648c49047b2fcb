// CObserverServerHelper: subscribes observers (CObserverNoticeCallback) to publishers and
// delivers their notifications on the helper's own thread. Each (publisher, observer) pair has
// a connection of its own to the publisher's endpoint.
//
// When the publisher is absent or its connection breaks (it stopped, restarted, or dropped the
// observer for falling behind), the helper retries on its own thread (first after 50 ms, then
// doubling up to 2 s), and the next Subscribe or RequirePreviousChange also tries at once.
// On reconnecting it sends the observer's current subjects and calls its
// OnPublisherRestartOrGap before any notification of the new connection.
// Thread rule: Subscribe, Unsubscribe and RequirePreviousChange may be called from any thread,
// also from inside a delivery (then they do not wait for the publisher's acknowledgement).
// REQUIRES: the helper is not destroyed from inside one of its own deliveries.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CSubjectID.h"
#include "outside/notify/CObserverNoticeCallback.h"

class CObserverServerHelper {
  public:
    // `component`: the observing component, named to the publishers it connects to.
    explicit CObserverServerHelper(const CComponentID& component);
    ~CObserverServerHelper();
    CObserverServerHelper(const CObserverServerHelper&) = delete;
    CObserverServerHelper& operator=(const CObserverServerHelper&) = delete;

    // Sends `observer.GetSubjectIDVector()` to `publisher` (connecting first when needed) and,
    // unless called from a delivery, waits until the publisher has taken it over: a Notify
    // made after Subscribe returns reaches the observer. An absent publisher is not an error:
    // the subscription is kept and retried. Never throws for transport failures.
    void Subscribe(const CComponentID& publisher, CObserverNoticeCallback& observer);
    // When it returns, no delivery to `observer` from `publisher` starts or is running (other
    // than the one calling it).
    void Unsubscribe(const CComponentID& publisher, CObserverNoticeCallback& observer);
    // Delivers to `observer` the last change the publisher kept for each of `subjects` (with
    // CNoticeInfo::replay set) before it returns (unless called from a delivery). Subscribes
    // first when the observer is not subscribed to the publisher yet.
    void RequirePreviousChange(const CComponentID& publisher, CObserverNoticeCallback& observer,
                               const std::vector<CSubjectID>& subjects);

    // The delivery in progress on the calling thread, or null outside a delivery.
    static const CNoticeInfo* CurrentNotice();

    // True while the observer's connection to the publisher is up. Never waits for a
    // connection being made.
    bool IsConnected(const CComponentID& publisher, const CObserverNoticeCallback& observer) const;
    // The id (never 0) of the observer's current connection to the publisher when the
    // publisher has acknowledged, on that connection, a subscription holding `subject`, so that
    // every change of `subject` it publishes from then on reaches the observer while this id
    // stays the same; 0 otherwise. A new connection has a new id. Never waits for a connection
    // being made.
    uint64_t AnnouncingConnection(const CComponentID& publisher,
                                  const CObserverNoticeCallback& observer,
                                  const CSubjectID& subject) const;

    // The time allowed for connecting and for the publisher's acknowledgement (10 s).
    void SetTimeout(std::chrono::milliseconds timeout);

    struct Impl;  // the helper's thread and subscriptions (CObserverServerHelper.cpp)

  private:
    std::shared_ptr<Impl> m_impl;
};
