// CSubjectServerHelper: the change-notification publisher of one component. Observers connect
// to its own endpoint (<runtime folder>/<component>.notify), tell it their subjects, and get
// every notification published on them pushed by the publisher's thread.
// Thread rule: Notify may be called from any thread, several at a time; it never waits for an
// observer: each observer has a bounded queue, and one that falls further behind is dropped
// (it reconnects and is told it may have missed notifications). The last change of each subject
// is kept for observers that ask for it, within a total size (the oldest is forgotten first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CSubjectID.h"

class CSubjectServerHelper {
  public:
    // The bytes an observer's queue may hold before the observer is dropped.
    static constexpr size_t kDefaultQueueLimit = 8 * 1024 * 1024;
    // The bytes (subject characters and bodies) the kept last changes may hold together.
    static constexpr size_t kDefaultKeptLimit = 16 * 1024 * 1024;

    // Creates the endpoint (it exists when the constructor returns) and picks a new start id.
    // Throws CRPCException: ENDPOINT_IN_USE when a live publisher of the component exists,
    // ENDPOINT_FAILED when the socket cannot be bound.
    explicit CSubjectServerHelper(const CComponentID& component);
    // Closes every observer's connection and removes the socket file.
    ~CSubjectServerHelper();
    CSubjectServerHelper(const CSubjectServerHelper&) = delete;
    CSubjectServerHelper& operator=(const CSubjectServerHelper&) = delete;

    // Gives the notification the next sequence number, keeps it as the subject's last change
    // and queues it for every observer whose subjects hold `subject` (exact match). Throws
    // CRPCException(FRAME_TOO_LARGE) for a body above the frame size limit.
    void Notify(const CSubjectID& subject, const CIPCMsgBuffer& body, bool flag);

    // This run's identity (never 0) and the last sequence number given out (0: none yet).
    uint64_t GetStartId() const;
    uint64_t GetLastSequence() const;
    // Begins a new run as a restarted publisher would: a new start id, no kept changes, and every
    // observer's connection closed, so each reconnects and learns it may have missed changes.
    void Restart();
    // Observers connected now, and observers dropped so far for falling behind.
    size_t GetObserverCount() const;
    uint64_t GetDroppedObserverCount() const;
    // The bytes the kept last changes hold now, and a new limit for them (applied from the next
    // Notify on).
    size_t GetKeptBytes() const;
    void SetKeptLimit(size_t bytes);
    // Changes the per-observer queue limit (for observers queued to from now on).
    void SetQueueLimit(size_t bytes);

    struct Impl;  // the endpoint, its thread and the observers (CSubjectServerHelper.cpp)

  private:
    std::unique_ptr<Impl> m_impl;
};
