// CObserverNoticeCallback: what an observer implements to receive change notifications, and
// the two records the library gives it: CNoticeInfo (the delivery in progress) and
// CPublisherChange (the observer may have missed notifications of a publisher).
// Thread rule: every operation is called on the observer helper's own thread, except
// GetSubjectIDVector, which Subscribe also calls on the caller's thread.
#pragma once

#include <cstdint>
#include <vector>

#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CSubjectID.h"

// The delivery in progress; CObserverServerHelper::CurrentNotice() gives it during operator().
struct CNoticeInfo {
    CComponentID publisher;
    uint64_t startId = 0;   // the publisher's run: a new value each time it starts
    uint64_t sequence = 0;  // the publisher's number of this notification (1, 2, ... per run,
                            // over all subjects; an observer sees only its subjects' numbers)
    bool flag = false;      // the flag given to Notify
    bool replay = false;    // a kept last change, asked for with RequirePreviousChange
};

// Why an observer may have missed notifications of `publisher`.
struct CPublisherChange {
    enum class Kind {
        kRestarted,    // reconnected to a new run of the publisher (start id changed)
        kReconnected,  // reconnected to the same run after the connection broke (the
                       // publisher drops an observer that does not keep up)
        kLateConnect,  // first connection, made after Subscribe found the publisher absent
    };
    Kind kind = Kind::kReconnected;
    CComponentID publisher;
    uint64_t previousStartId = 0;  // 0: none known
    uint64_t startId = 0;
    uint64_t lastSequence = 0;  // the last sequence delivered before the change (0: none)
};

class CObserverNoticeCallback {
  public:
    // The subjects to receive (exact match); sent to the publisher on every Subscribe and after
    // every reconnection.
    virtual std::vector<CSubjectID> GetSubjectIDVector() const = 0;
    // One notification published on one of the subjects.
    virtual void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) = 0;
    virtual ~CObserverNoticeCallback() = default;
    // Added behind the three operations above: called on the library's thread before any
    // notification of the new connection, whenever notifications of `change.publisher` may
    // have been missed. An observer that caches what it was told drops its cache here. Does
    // nothing unless overridden.
    virtual void OnPublisherRestartOrGap(const CPublisherChange& change) { (void)change; }
};
