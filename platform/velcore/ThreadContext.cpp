#include "velcore/ThreadContext.h"

using velmora::ScopedThreadContext;
using velmora::ThreadContext;

namespace {

// A plain pointer: the slot has no destructor to run at thread exit, and the context it names
// is owned by the host. Initial-exec: read on every cache entry use, and a slot in the static
// TLS block is read without a call into the dynamic loader; this library is loaded with the
// host (eight bytes also fit the block's reserve if it is ever loaded later).
[[gnu::tls_model("initial-exec")]] thread_local IThreadContext* t_threadContext = nullptr;

}  // namespace

IThreadContext::~IThreadContext() = default;

ThreadContext::ThreadContext() = default;
ThreadContext::~ThreadContext() = default;

IThreadContext* VelmoraTls::GetThreadContext() {
    return t_threadContext;
}

IThreadContext* VelmoraTls::SetThreadContext(IThreadContext* context) {
    IThreadContext* previous = t_threadContext;
    t_threadContext = context;
    return previous;
}

ScopedThreadContext::ScopedThreadContext()
    : m_owned(std::make_unique<ThreadContext>()),
      m_context(m_owned.get()),
      m_previous(VelmoraTls::SetThreadContext(m_context)) {}

ScopedThreadContext::ScopedThreadContext(IThreadContext& context)
    : m_context(&context), m_previous(VelmoraTls::SetThreadContext(m_context)) {}

ScopedThreadContext::~ScopedThreadContext() {
    VelmoraTls::SetThreadContext(m_previous);
    // m_owned (and the scope its context still holds) is released after the binding is gone,
    // so a scope's destructor never finds itself current.
}
