// Query-job scopes and the aggregator: what is recorded, who is told when, with which locks, and
// the assertions that guard misuse. One exact log line stands for the aggregator's family.
#include "caching/CascadeInvalidator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "caching/CascadeInvalidatorHolder.h"
#include "support/TestEnvironment.h"
#include "velcore/ThreadContext.h"

using namespace velmora::caching;
using veltest::FailedExpression;
using Scope = CascadeInvalidatorAggregator::Scope;
using ScopePtr = std::shared_ptr<IInvalidatorAggregatorScope>;

namespace {

// Counts OnScopeDirty calls and runs an optional action inside each.
struct Handler : IScopeDirtyHandler {
    explicit Handler(std::function<void(const ScopePtr&)> onDirty = {})
        : action(std::move(onDirty)) {}
    void OnScopeDirty(const ScopePtr& scope) override {
        ++calls;
        if (action) action(scope);
    }
    std::function<void(const ScopePtr&)> action;
    std::atomic<int> calls{0};
};

// Implements an invalidator and a scope at once (one shared-from-this anchor); records the
// results it is told were used.
struct BothInterfaces : ICascadeInvalidator, IInvalidatorAggregatorScope {
    void OnEntryUsed(unsigned, const ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnDirty(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnResultUsed(const ScopePtr& scope) override { used.push_back(scope.get()); }
    void EndScope() override {}
    void OnResultUsed() override {}
    void AddHandler(const std::shared_ptr<IScopeDirtyHandler>&) override {}
    std::vector<const IInvalidatorAggregatorScope*> used;
};

// Runs `f` on a new, detached thread with its own context, so that a deadlock fails the test
// after a generous wait instead of hanging it.
bool FinishesOnAnotherThread(std::function<void()> f) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([f = std::move(f), done] {
        velmora::ScopedThreadContext context;
        f();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

class Cascade : public ::testing::Test {
protected:
    void SetUp() override {
        velmora::appoptions::Set(TString("SyncCaches"), true);
        m_aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
        m_aggregator->ResetForTest();
    }
    void TearDown() override {
        m_aggregator->ResetForTest();
        CascadeInvalidatorHolderFactory::GetInstance().ResetForTest();
    }

    // A new current scope that recorded `guids`, with `handler` when given.
    ScopePtr ScopeUsing(std::vector<unsigned> guids, std::shared_ptr<Handler> handler = nullptr) {
        ScopePtr scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
        for (unsigned guid : guids) m_aggregator->OnEntryUsed(guid, nullptr);
        if (handler) scope->AddHandler(handler);
        return scope;
    }
    static bool IsDirty(const ScopePtr& scope) {
        return std::dynamic_pointer_cast<Scope>(scope)->IsDirty();
    }
    veltest::HostScope m_host;
    velmora::ScopedThreadContext m_context;
    CascadeInvalidatorAggregator* m_aggregator = nullptr;
};

TEST(CascadeSingleton, FollowsSyncCachesOnEveryCall) {
    veltest::HostScope host;
    velmora::ScopedThreadContext context;
    EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton(), nullptr);
    EXPECT_EQ(CascadeInvalidatorAggregator_CreateQueryJobScope(), nullptr);
    EXPECT_EQ(context.Get().GetQueryCacheContext().m_invalidatorScope, nullptr);

    velmora::appoptions::Set(TString("SyncCaches"), true);
    EXPECT_NE(CascadeInvalidatorAggregator::TryGetSingleton(), nullptr);
    velmora::appoptions::Set(TString("SyncCaches"), false);
    EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton(), nullptr);
}

TEST_F(Cascade, ANewScopeReplacesTheCurrentOne) {
    std::weak_ptr<IInvalidatorAggregatorScope> first = ScopeUsing({});
    EXPECT_FALSE(first.expired());  // the thread context keeps it
    ScopePtr second = ScopeUsing({1});
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(m_context.Get().GetQueryCacheContext().m_invalidatorScope, second);
}

TEST_F(Cascade, LinesFollowTheLogLevel) {
    m_host.Log().Clear();
    ScopePtr scope = ScopeUsing({1});
    const auto used = m_host.Log().Records().back();
    EXPECT_EQ(used.message, TString("CascadeInvalidatorAggregator OnEntryUsed scope=") +
                                TString::pointer(scope.get()) + TString(" guid=1"));
    EXPECT_EQ(used.severity, TLog::Debug);

    velmora::appoptions::Set(TString("CacheSynchronizationLogging"), true);
    scope->EndScope();
    EXPECT_EQ(m_host.Log().Records().back().severity, TLog::Info);
}

TEST_F(Cascade, UseOutsideAJobIsIgnored) {
    m_aggregator->OnEntryUsed(5, nullptr);  // no current scope: nothing recorded or logged
    EXPECT_TRUE(m_host.Log().Records().empty());
}

TEST_F(Cascade, MisuseIsAnAssertion) {
    IThreadContext* bound = VelmoraTls::SetThreadContext(nullptr);
    EXPECT_EQ(FailedExpression([] { CascadeInvalidatorAggregator_CreateQueryJobScope(); }),
              "threadContext");
    EXPECT_EQ(FailedExpression([&] { m_aggregator->OnEntryUsed(1, nullptr); }), "threadContext");
    VelmoraTls::SetThreadContext(bound);

    m_context.Get().GetQueryCacheContext().m_invalidatorScope = std::make_shared<BothInterfaces>();
    EXPECT_EQ(FailedExpression([&] { m_aggregator->OnEntryUsed(1, nullptr); }), "scope");
    EXPECT_EQ(FailedExpression([&] { m_aggregator->OnDirty({}, nullptr); }), "!guids.empty()");
}

TEST_F(Cascade, OnlyEntriesUsedBeforeEndScopeAndNotEvictedMakeAScopeWithAHandlerDirty) {
    auto handler = std::make_shared<Handler>();
    ScopePtr scope = ScopeUsing({1, 2});
    m_aggregator->OnDirty({2}, nullptr);  // no handler yet: not tracked, and not replayed later
    EXPECT_FALSE(IsDirty(scope));
    scope->EndScope();
    EXPECT_EQ(FailedExpression([&] { scope->EndScope(); }), "!m_endedScope");
    m_aggregator->OnEntryUsed(4, nullptr);
    scope->AddHandler(handler);
    EXPECT_EQ(handler->calls, 0);
    EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);
    m_aggregator->OnEvicted({1, 5}, nullptr);

    m_aggregator->OnDirty({4}, nullptr);
    m_aggregator->OnDirty({1}, nullptr);
    EXPECT_EQ(handler->calls, 0);
    m_aggregator->OnDirty({2}, nullptr);  // still recorded
    EXPECT_EQ(handler->calls, 1);
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
}

// Thousands of entries, each used twice: more than the scope recognises at first without its lock.
TEST_F(Cascade, AnEntryEvictedFromALargeScopeIsRecordedWhenUsedAgain) {
    std::vector<unsigned> guids(3000);
    std::iota(guids.begin(), guids.end(), 1u);
    auto handler = std::make_shared<Handler>();
    ScopeUsing(guids, handler);
    for (unsigned guid : guids) m_aggregator->OnEntryUsed(guid, nullptr);
    EXPECT_EQ(m_aggregator->CheckIndexForTest().toStdString(), "");
    m_aggregator->OnEvicted(guids, nullptr);
    m_aggregator->OnEntryUsed(1500, nullptr);
    m_aggregator->OnDirty({1500}, nullptr);
    EXPECT_EQ(handler->calls, 1);
}

TEST_F(Cascade, ADroppedScopeLetsGoOfItsHandlersAndIsNotToldUnlessRegisteredAgain) {
    auto handler = std::make_shared<Handler>();
    ScopePtr scope = ScopeUsing({1, 2}, handler);
    ScopePtr other = ScopeUsing({2}, std::make_shared<Handler>());
    CascadeInvalidatorAggregator::DropScope(scope);
    CascadeInvalidatorAggregator::DropScope(scope);  // once is enough
    CascadeInvalidatorAggregator::DropScope(nullptr);
    EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);
    EXPECT_EQ(handler.use_count(), 1);
    EXPECT_EQ(m_aggregator->CheckIndexForTest().toStdString(), "");
    m_aggregator->OnDirty({1}, nullptr);
    EXPECT_EQ(handler->calls, 0);

    scope->AddHandler(handler);  // registered again, its entries with it
    m_aggregator->OnDirty({2}, nullptr);
    EXPECT_EQ(handler->calls, 1);
    EXPECT_TRUE(IsDirty(other));
    CascadeInvalidatorAggregator::DropScope(scope);  // dirty: nothing to drop
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
}

TEST_F(Cascade, HandlersAreToldOnceWithNoLockHeld) {
    ScopePtr scope = ScopeUsing({1, 2});
    ScopeUsing({3}, std::make_shared<Handler>());

    // Each handler checks from another thread that the aggregator's lock and the scope's are
    // free (OnEvicted takes both), and that a handler added to the now dirty scope is told at
    // once, inside AddHandler.
    bool locksFree = true;
    auto probe = [&](const ScopePtr& dirty) {
        auto late = std::make_shared<Handler>();
        locksFree = locksFree && FinishesOnAnotherThread([aggregator = m_aggregator, dirty, late] {
                        aggregator->OnEvicted({99}, nullptr);
                        dirty->AddHandler(late);
                    });
        EXPECT_TRUE(!locksFree || late->calls == 1);
    };
    auto first = std::make_shared<Handler>(probe), second = std::make_shared<Handler>(probe);
    scope->AddHandler(first);
    scope->AddHandler(second);
    scope->AddHandler(first);  // the same handler stays once
    EXPECT_EQ(m_aggregator->GetScopeCount(), 2u);

    m_aggregator->OnDirty({9, 2}, nullptr);
    ASSERT_TRUE(locksFree) << "a handler ran while a lock was held";
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(second->calls, 1);
    EXPECT_TRUE(IsDirty(scope));
    EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);
    m_aggregator->OnDirty({2}, nullptr);
    EXPECT_EQ(first->calls + second->calls, 2);
}

// A handler that starts a new query job inside OnScopeDirty and reports its entry dirty must
// neither deadlock on the aggregator nor be told twice about the scope it was told about.
TEST_F(Cascade, AReentrantHandlerIsNotToldTwice) {
    auto inner = std::make_shared<Handler>();
    auto outer = std::make_shared<Handler>([&](const ScopePtr&) {
        ScopeUsing({8}, inner);
        m_aggregator->OnDirty({8}, nullptr);
    });
    ScopeUsing({8}, outer);

    ASSERT_TRUE(FinishesOnAnotherThread([aggregator = m_aggregator] {
        aggregator->OnDirty({8}, nullptr);
    })) << "deadlock";
    EXPECT_EQ(outer->calls, 1);
    EXPECT_EQ(inner->calls, 1);
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
}

TEST_F(Cascade, AThrowingHandlerStopsTheCallAndLeavesLaterScopesDirty) {
    // Whichever handler the aggregator reaches first throws; the other must not be told.
    auto throwing = [](const ScopePtr&) { throw std::runtime_error("handler failed"); };
    auto a = std::make_shared<Handler>(throwing), b = std::make_shared<Handler>(throwing);
    ScopePtr scopeA = ScopeUsing({6}, a), scopeB = ScopeUsing({6}, b);

    EXPECT_THROW(m_aggregator->OnDirty({6}, nullptr), std::runtime_error);
    EXPECT_EQ(a->calls + b->calls, 1);
    EXPECT_TRUE(IsDirty(scopeA) && IsDirty(scopeB));
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
    m_aggregator->OnDirty({6}, nullptr);  // nothing is replayed
    EXPECT_EQ(a->calls + b->calls, 1);
}

TEST_F(Cascade, ScopeDestructorSwallowsALoggingFailure) {
    struct FailingOnDestructorSink : velmora::CapturingLogSink {
        void Write(const velmora::LogRecord& record) override {
            if (record.message.contains(TString("~Scope"))) throw std::runtime_error("sink");
            velmora::CapturingLogSink::Write(record);
        }
    };
    auto sink = std::make_shared<FailingOnDestructorSink>();
    velmora::ScopedLogSink installed(sink);
    std::make_shared<Scope>(m_aggregator).reset();
    auto warned = sink->Find(TString("Exception caught while logging in destructor."));
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0].severity, TLog::Warn);
}

TEST_F(Cascade, AResultUseReachesEveryInstalledInvalidatorInOrder) {
    BothInterfaces first, second;
    CascadeInvalidatorHolderFactory::GetInstance().Initialize(
        {m_aggregator, &first, nullptr, &second});
    ScopePtr scope = ScopeUsing({});
    scope->OnResultUsed();
    scope->OnResultUsed();
    EXPECT_EQ(first.used, (std::vector<const IInvalidatorAggregatorScope*>(2, scope.get())));
    EXPECT_EQ(second.used, first.used);
}

}  // namespace
