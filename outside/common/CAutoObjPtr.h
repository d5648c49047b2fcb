// OS::CAutoObjPtr<T>: the owning pointer of the common library. Destroys its object (through
// its virtual destructor) when it goes or is given another; movable, not copyable, so it can
// live in std::vector.
// Thread rule: a value type.
#pragma once

#include <utility>

namespace OS {

template <class T>
class CAutoObjPtr {
  public:
    CAutoObjPtr() = default;
    explicit CAutoObjPtr(T* p) : m_p(p) {}
    CAutoObjPtr(CAutoObjPtr&& o) noexcept : m_p(o.Detach()) {}
    CAutoObjPtr& operator=(CAutoObjPtr&& o) noexcept {
        if (this != &o) Attach(o.Detach());
        return *this;
    }
    CAutoObjPtr& operator=(T* p) {
        Attach(p);
        return *this;
    }
    CAutoObjPtr(const CAutoObjPtr&) = delete;
    CAutoObjPtr& operator=(const CAutoObjPtr&) = delete;
    ~CAutoObjPtr() { delete m_p; }

    // Takes ownership of `p`, destroying the object held before.
    void Attach(T* p) {
        T* old = std::exchange(m_p, p);
        if (old != p) delete old;
    }
    // Gives up ownership without destroying.
    T* Detach() { return std::exchange(m_p, nullptr); }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool IsNull() const { return m_p == nullptr; }

  private:
    T* m_p = nullptr;
};

}  // namespace OS
