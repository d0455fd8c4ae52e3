// The per-thread context of the host: what a thread is working for, readable by the libraries
// that run on it.
//
// A host binds an IThreadContext to each thread that runs query jobs (VelmoraTls::
// SetThreadContext, or ScopedThreadContext for the length of a block) and clears it before the
// context goes away; the binding is a borrowed pointer, the host owns the context. The caching
// library keeps the current query job's invalidation scope in the context's QueryCacheContext:
// it writes the scope when it creates one and reads it, through a copy, when an entry is used.
// A thread with no bound context gets null from GetThreadContext; nothing is created lazily.
// Thread contract: a context belongs to the thread it is bound to; not thread-safe: use from one
// thread at a time. VelmoraTls itself is safe for concurrent use (each thread sees its own slot).
// ThreadContext and ScopedThreadContext are this platform's own and live in namespace velmora.
#pragma once

#include <memory>

#include "velsys/Export.h"

namespace velmora::caching {
class IInvalidatorAggregatorScope;
}

/// The caching state of the query job a thread works for.
struct VELPLATFORM_EXPORT QueryCacheContext {
    /// The scope that records the cache entries the current query job uses; empty outside a job.
    std::shared_ptr<velmora::caching::IInvalidatorAggregatorScope> m_invalidatorScope;
};

/// The per-thread context a host binds (query-job scope and the like).
class VELPLATFORM_EXPORT IThreadContext {
public:
    virtual ~IThreadContext();
    /// The thread's caching state, by reference: readers copy it, writers assign its members.
    virtual QueryCacheContext& GetQueryCacheContext() = 0;
};

namespace velmora {

/// The plain context a host binds when it has no richer one of its own.
class VELPLATFORM_EXPORT ThreadContext : public IThreadContext {
public:
    ThreadContext();
    ~ThreadContext() override;
    QueryCacheContext& GetQueryCacheContext() override { return m_queryCacheContext; }

private:
    QueryCacheContext m_queryCacheContext;
};

}  // namespace velmora

/// The calling thread's bound context.
class VELPLATFORM_EXPORT VelmoraTls {
public:
    /// The context bound to the calling thread, or null when none is bound.
    static IThreadContext* GetThreadContext();
    /// Binds `context` to the calling thread (null clears the binding) and returns the context
    /// bound before. REQUIRES: `context` outlives its binding; the caller keeps ownership.
    static IThreadContext* SetThreadContext(IThreadContext* context);
};

namespace velmora {

/// Binds a context to the calling thread for the length of a block and restores the previous
/// binding on exit. The default constructor binds a fresh ThreadContext owned by the guard, so
/// the current scope it holds is released when the block ends.
/// REQUIRES: destroyed on the thread that created it, in reverse order of creation.
class VELPLATFORM_EXPORT ScopedThreadContext {
public:
    ScopedThreadContext();
    /// Binds `context`, which the caller owns and which must outlive the guard.
    explicit ScopedThreadContext(IThreadContext& context);
    ~ScopedThreadContext();
    ScopedThreadContext(const ScopedThreadContext&) = delete;
    ScopedThreadContext& operator=(const ScopedThreadContext&) = delete;

    /// The bound context.
    IThreadContext& Get() { return *m_context; }

private:
    std::unique_ptr<ThreadContext> m_owned;
    IThreadContext* m_context;
    IThreadContext* m_previous;
};

}  // namespace velmora
