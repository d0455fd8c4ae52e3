// Intrusive reference counting.
//
// RefCntObject carries an atomic reference count and destroys itself (through its virtual
// destructor) when the last reference is released. RefCntPtr<T, B> holds one reference to a T,
// counted through T's base B; the caches store payloads as RefCntPtr<RefCntObject, RefCntObject>.
// A new object starts with count 0: the first RefCntPtr that takes it owns it.
//
// Thread contract: AddRef and Release are safe for concurrent use. A single RefCntPtr is not
// thread-safe: use from one thread at a time (copies of it may be used on any thread).
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

#include "velsys/Export.h"

class VELPLATFORM_EXPORT RefCntObject {
public:
    RefCntObject() noexcept : m_refCount(0) {}
    // A copy is a new object: it does not inherit the references of its source.
    RefCntObject(const RefCntObject&) noexcept : m_refCount(0) {}
    RefCntObject& operator=(const RefCntObject&) noexcept { return *this; }

    void AddRef() const noexcept { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    // Destroys the object when this was the last reference.
    void Release() const noexcept {
        if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    // A momentary reading; only meaningful when no other thread changes the count.
    long GetRefCount() const noexcept { return m_refCount.load(std::memory_order_acquire); }

protected:
    virtual ~RefCntObject();

private:
    mutable std::atomic<long> m_refCount;
};

template <class T, class B = T>
class RefCntPtr {
public:
    RefCntPtr() noexcept = default;
    RefCntPtr(std::nullptr_t) noexcept {}
    // Takes a new reference to p (p may be null).
    explicit RefCntPtr(T* p) noexcept : m_p(p) { Acquire(); }
    RefCntPtr(const RefCntPtr& other) noexcept : m_p(other.m_p) { Acquire(); }
    RefCntPtr(RefCntPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    template <class U, class UB>
    RefCntPtr(const RefCntPtr<U, UB>& other) noexcept : m_p(other.Get()) {
        Acquire();
    }
    ~RefCntPtr() { ReleaseRef(); }

    RefCntPtr& operator=(const RefCntPtr& other) noexcept {
        RefCntPtr(other).Swap(*this);
        return *this;
    }
    RefCntPtr& operator=(RefCntPtr&& other) noexcept {
        RefCntPtr(std::move(other)).Swap(*this);
        return *this;
    }
    RefCntPtr& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }

    void Reset() noexcept {
        ReleaseRef();
        m_p = nullptr;
    }
    void Swap(RefCntPtr& other) noexcept { std::swap(m_p, other.m_p); }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    friend bool operator==(const RefCntPtr& a, const RefCntPtr& b) noexcept {
        return a.m_p == b.m_p;
    }
    friend bool operator==(const RefCntPtr& a, std::nullptr_t) noexcept { return !a.m_p; }

private:
    void Acquire() const noexcept {
        if (m_p) static_cast<const B*>(m_p)->AddRef();
    }
    void ReleaseRef() const noexcept {
        if (m_p) static_cast<const B*>(m_p)->Release();
    }

    T* m_p = nullptr;
};

namespace velmora {
// Makes a new T and returns the first reference to it.
template <class T, class... Args>
RefCntPtr<T> MakeRefCnt(Args&&... args) {
    return RefCntPtr<T>(new T(std::forward<Args>(args)...));
}
}  // namespace velmora
