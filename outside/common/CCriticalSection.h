// OS::CCriticalSection and OS::CCriticalSectionSentry: recursive mutual exclusion within a
// process, and the guard that holds a section from its construction to its destruction.
// Thread rule: the section may be entered again by the thread that holds it.
#pragma once

#include <mutex>

#include "cfg_Export.h"

namespace OS {

class ZOLTCFG_API CCriticalSection {
  public:
    CCriticalSection() = default;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }

    // Lockable names, so std::scoped_lock and std::condition_variable_any work too.
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

  private:
    std::recursive_mutex m_mutex;
};

class ZOLTCFG_API CCriticalSectionSentry {
  public:
    explicit CCriticalSectionSentry(CCriticalSection& cs) : m_cs(cs) { m_cs.Lock(); }
    ~CCriticalSectionSentry() { m_cs.Unlock(); }
    CCriticalSectionSentry(const CCriticalSectionSentry&) = delete;
    CCriticalSectionSentry& operator=(const CCriticalSectionSentry&) = delete;

  private:
    CCriticalSection& m_cs;
};

}  // namespace OS
