#include "caching/CascadeInvalidator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "caching/CascadeInvalidatorHolder.h"
#include "caching/CascadeTestSupport.h"
#include "support/TestEnvironment.h"
#include "velcore/ThreadContext.h"

using namespace velmora::caching;
using veltest::LogicExpressionOf;
using veltest::RecordingHandler;
using Scope = CascadeInvalidatorAggregator::Scope;

namespace {

TString Ptr(const void* p) {
    return TString::pointer(p);
}

// Runs `f` on a new thread and waits a generous while for it. The thread is detached, so a
// deadlock fails the test instead of hanging it.
bool FinishesOnAnotherThread(std::function<void()> f) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([f = std::move(f), done] {
        ScopedThreadContext context;
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
        ASSERT_NE(m_aggregator, nullptr);
        m_aggregator->ResetForTest();
    }
    void TearDown() override {
        m_aggregator->ResetForTest();
        CascadeInvalidatorHolderFactory::GetInstance().ResetForTest();
    }

    // A new current scope that recorded `guids`.
    std::shared_ptr<IInvalidatorAggregatorScope> ScopeUsing(std::vector<unsigned> guids) {
        auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
        for (unsigned guid : guids) m_aggregator->OnEntryUsed(guid, nullptr);
        return scope;
    }
    static bool IsDirty(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) {
        auto aggregatorScope = std::dynamic_pointer_cast<Scope>(scope);
        return aggregatorScope && aggregatorScope->IsDirty();
    }
    size_t LinesContaining(const char* text) {
        size_t n = 0;
        for (const LogRecord& r : m_host.Log().Records())
            if (r.message.toStdString().find(text) != std::string::npos) ++n;
        return n;
    }

    veltest::HostScope m_host;
    ScopedThreadContext m_context;
    CascadeInvalidatorAggregator* m_aggregator = nullptr;
};

TEST(CascadeSingleton, FollowsSyncCachesOnEveryCall) {
    veltest::HostScope host;
    ScopedThreadContext context;
    EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton(), nullptr);
    EXPECT_EQ(CascadeInvalidatorAggregator_CreateQueryJobScope(), nullptr);
    EXPECT_EQ(context.Get().GetQueryCacheContext().m_invalidatorScope, nullptr);

    velmora::appoptions::Set(TString("SyncCaches"), true);
    CascadeInvalidatorAggregator* first = CascadeInvalidatorAggregator::TryGetSingleton();
    ASSERT_NE(first, nullptr);
    auto fromOtherThread = std::async(
        std::launch::async, [] { return CascadeInvalidatorAggregator::TryGetSingleton(); });
    EXPECT_EQ(fromOtherThread.get(), first);

    velmora::appoptions::Set(TString("SyncCaches"), false);
    EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton(), nullptr);
    velmora::appoptions::Set(TString("SyncCaches"), true);
    EXPECT_EQ(CascadeInvalidatorAggregator::TryGetSingleton(), first);
}

TEST_F(Cascade, CreateQueryJobScopeBecomesCurrentAndReleasesThePreviousOne) {
    std::weak_ptr<IInvalidatorAggregatorScope> first =
        CascadeInvalidatorAggregator_CreateQueryJobScope();
    EXPECT_FALSE(first.expired());  // the thread context keeps it
    auto second = CascadeInvalidatorAggregator_CreateQueryJobScope();
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(m_context.Get().GetQueryCacheContext().m_invalidatorScope, second);
    EXPECT_EQ(m_host.Log()
                  .Find(TString("CascadeInvalidatorAggregator CreateQueryJobScope Scope=") +
                        Ptr(second.get()))
                  .size(),
              1u);
}

TEST_F(Cascade, MissingThreadContextOrForeignScopeIsAnAssertion) {
    IThreadContext* bound = VelmoraTls::SetThreadContext(nullptr);
    EXPECT_EQ(LogicExpressionOf([] { CascadeInvalidatorAggregator_CreateQueryJobScope(); }),
              "threadContext");
    EXPECT_EQ(LogicExpressionOf([&] { m_aggregator->OnEntryUsed(1, nullptr); }), "threadContext");
    VelmoraTls::SetThreadContext(bound);

    struct ForeignScope : IInvalidatorAggregatorScope {
        void EndScope() override {}
        void OnResultUsed() override {}
        void AddHandler(const std::shared_ptr<IScopeDirtyHandler>&) override {}
    };
    m_context.Get().GetQueryCacheContext().m_invalidatorScope = std::make_shared<ForeignScope>();
    EXPECT_EQ(LogicExpressionOf([&] { m_aggregator->OnEntryUsed(1, nullptr); }), "scope");
}

TEST_F(Cascade, EntryUseOutsideAQueryJobChangesNothing) {
    m_aggregator->OnEntryUsed(5, nullptr);
    EXPECT_EQ(LinesContaining("OnEntryUsed"), 0u);
    // A scope created afterwards has not recorded that use.
    auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
    auto handler = std::make_shared<RecordingHandler>();
    scope->AddHandler(handler);
    m_aggregator->OnDirty({5}, nullptr);
    EXPECT_EQ(handler->Calls(), 0);
}

TEST_F(Cascade, EntriesUsedAfterEndScopeAreNotRecorded) {
    auto scope = ScopeUsing({1});
    scope->EndScope();
    m_aggregator->OnEntryUsed(2, nullptr);
    auto handler = std::make_shared<RecordingHandler>();
    scope->AddHandler(handler);

    m_aggregator->OnDirty({2}, nullptr);
    EXPECT_EQ(handler->Calls(), 0);
    m_aggregator->OnDirty({1}, nullptr);
    EXPECT_EQ(handler->Calls(), 1);
    EXPECT_EQ(handler->LastScope(), scope.get());
    EXPECT_EQ(LogicExpressionOf([&] { scope->EndScope(); }), "!m_endedScope");
}

TEST_F(Cascade, ScopeWithoutHandlerIsNotTrackedAndNotToldLater) {
    auto scope = ScopeUsing({7});
    m_aggregator->OnDirty({7}, nullptr);
    EXPECT_FALSE(IsDirty(scope));
    EXPECT_EQ(m_host.Log()
                  .Find(TString("CascadeInvalidatorAggregator OnDirty scopes erased=0 remaining=0"))
                  .size(),
              1u);

    auto handler = std::make_shared<RecordingHandler>();
    scope->AddHandler(handler);
    EXPECT_EQ(handler->Calls(), 0);  // the earlier change is not replayed
    EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);
}

TEST_F(Cascade, HandlersAreToldOnceWithNoLockHeld) {
    auto scope = ScopeUsing({1, 2});
    auto other = ScopeUsing({3});
    other->AddHandler(std::make_shared<RecordingHandler>());

    // Each handler checks, from another thread, that the aggregator's lock and the scope's are
    // free: both calls below block while either is held.
    bool locksFree = true;
    auto probe = [&](const std::shared_ptr<IInvalidatorAggregatorScope>& dirty) {
        auto late = std::make_shared<RecordingHandler>();
        locksFree = locksFree && FinishesOnAnotherThread([aggregator = m_aggregator, dirty, late] {
                        aggregator->OnEvicted({99}, nullptr);
                        dirty->AddHandler(late);
                    });
        if (locksFree) {
            EXPECT_EQ(late->Calls(), 1);
        }
    };
    auto first = std::make_shared<RecordingHandler>(probe);
    auto second = std::make_shared<RecordingHandler>(probe);
    scope->AddHandler(first);
    scope->AddHandler(second);
    scope->AddHandler(first);  // the same handler stays once
    EXPECT_EQ(m_aggregator->GetScopeCount(), 2u);

    m_aggregator->OnDirty({9, 2}, nullptr);
    ASSERT_TRUE(locksFree) << "a handler ran while a lock was held";
    EXPECT_EQ(first->Calls(), 1);
    EXPECT_EQ(second->Calls(), 1);
    EXPECT_TRUE(IsDirty(scope));
    EXPECT_FALSE(IsDirty(other));
    EXPECT_EQ(m_host.Log()
                  .Find(TString("CascadeInvalidatorAggregator OnDirty scopes erased=1 remaining=1"))
                  .size(),
              1u);
    EXPECT_EQ(
        m_host.Log()
            .Find(TFormatString(TString("CascadeInvalidatorAggregator::Scope this=%1 is now dirty"),
                                Ptr(scope.get()))
                      .ToString())
            .size(),
        1u);

    m_aggregator->OnDirty({2}, nullptr);
    EXPECT_EQ(first->Calls(), 1);
    EXPECT_EQ(second->Calls(), 1);
    EXPECT_EQ(m_host.Log()
                  .Find(TString("CascadeInvalidatorAggregator OnDirty scopes erased=0 remaining=1"))
                  .size(),
              1u);
}

TEST_F(Cascade, HandlerAddedToDirtyScopeIsToldInsideAddHandler) {
    auto scope = ScopeUsing({4});
    scope->AddHandler(std::make_shared<RecordingHandler>());
    m_aggregator->OnDirty({4}, nullptr);

    auto late = std::make_shared<RecordingHandler>();
    scope->AddHandler(late);
    EXPECT_EQ(late->Calls(), 1);
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);  // not tracked again
}

TEST_F(Cascade, EvictedEntryNoLongerMakesTheScopeDirty) {
    auto scope = ScopeUsing({1, 2});
    auto handler = std::make_shared<RecordingHandler>();
    scope->AddHandler(handler);

    m_host.Log().Clear();
    m_aggregator->OnEvicted({}, nullptr);
    EXPECT_TRUE(m_host.Log().Records().empty());

    m_aggregator->OnEvicted({1, 5}, nullptr);
    EXPECT_EQ(LinesContaining("CascadeInvalidatorAggregator OnEvicted guid="), 2u);
    m_aggregator->OnDirty({1}, nullptr);
    EXPECT_EQ(handler->Calls(), 0);
    m_aggregator->OnDirty({2}, nullptr);
    EXPECT_EQ(handler->Calls(), 1);
}

TEST_F(Cascade, EmptyDirtyListIsRejectedBeforeAnythingHappens) {
    auto scope = ScopeUsing({1});
    scope->AddHandler(std::make_shared<RecordingHandler>());
    m_host.Log().Clear();
    EXPECT_EQ(LogicExpressionOf([&] { m_aggregator->OnDirty({}, nullptr); }), "!guids.empty()");
    EXPECT_TRUE(m_host.Log().Records().empty());
    EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);
}

// A handler that starts a new query job inside OnScopeDirty and reports its entry dirty must
// neither deadlock on the aggregator nor be told twice about the scope it was told about.
TEST_F(Cascade, ReentrantHandlerIsNotToldTwice) {
    auto inner = std::make_shared<RecordingHandler>();
    std::shared_ptr<IInvalidatorAggregatorScope> innerScope;
    auto outer = std::make_shared<RecordingHandler>([&](const auto&) {
        innerScope = CascadeInvalidatorAggregator_CreateQueryJobScope();
        m_aggregator->OnEntryUsed(8, nullptr);
        innerScope->AddHandler(inner);
        m_aggregator->OnDirty({8}, nullptr);
    });
    auto scope = ScopeUsing({8});
    scope->AddHandler(outer);

    // The handler runs on that thread and creates its scope in that thread's context.
    ASSERT_TRUE(FinishesOnAnotherThread([aggregator = m_aggregator] {
        aggregator->OnDirty({8}, nullptr);
    })) << "deadlock";
    EXPECT_EQ(outer->Calls(), 1);
    EXPECT_EQ(inner->Calls(), 1);
    EXPECT_EQ(inner->LastScope(), innerScope.get());
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
}

TEST_F(Cascade, ThrowingHandlerStopsTheCallAndLeavesLaterScopesDirty) {
    // Whichever handler the aggregator reaches first throws; the other must not be told.
    std::atomic<int> told{0};
    auto throwing = [&](const auto&) {
        ++told;
        throw std::runtime_error("handler failed");
    };
    auto a = ScopeUsing({6});
    auto b = ScopeUsing({6});
    auto handlerA = std::make_shared<RecordingHandler>(throwing);
    auto handlerB = std::make_shared<RecordingHandler>(throwing);
    a->AddHandler(handlerA);
    b->AddHandler(handlerB);

    EXPECT_THROW(m_aggregator->OnDirty({6}, nullptr), std::runtime_error);
    EXPECT_EQ(told.load(), 1);
    EXPECT_TRUE(IsDirty(a));
    EXPECT_TRUE(IsDirty(b));
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
    EXPECT_EQ(LinesContaining("OnDirty scopes erased="), 0u);

    // Nothing is replayed: the untold handler's scope is gone from the aggregator.
    m_aggregator->OnDirty({6}, nullptr);
    EXPECT_EQ(told.load(), 1);
}

TEST_F(Cascade, LinesFollowTheSynchronizationLogLevel) {
    auto scope = ScopeUsing({1});
    TString used =
        TFormatString(TString("CascadeInvalidatorAggregator OnEntryUsed scope=%1 guid=1"),
                      Ptr(scope.get()))
            .ToString();
    ASSERT_EQ(m_host.Log().Find(used).size(), 1u);
    EXPECT_EQ(m_host.Log().Find(used)[0].severity, TLog::Debug);

    velmora::appoptions::Set(TString("CacheSynchronizationLogging"), true);
    scope->EndScope();
    auto ended = m_host.Log().Find(TString("CascadeInvalidatorAggregator::Scope EndScope this=") +
                                   Ptr(scope.get()));
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].severity, TLog::Info);
}

// A sink that throws for the scope destructor's line and keeps everything else.
class ThrowingOnDestructorSink : public CapturingLogSink {
public:
    void Write(const LogRecord& record) override {
        if (record.message.toStdString().find("~Scope") != std::string::npos)
            throw std::runtime_error("sink failed");
        CapturingLogSink::Write(record);
    }
};

TEST_F(Cascade, ScopeDestructorSwallowsLoggingFailure) {
    auto sink = std::make_shared<ThrowingOnDestructorSink>();
    ScopedLogSink installed(sink);
    { auto scope = std::make_shared<Scope>(m_aggregator); }
    auto warned = sink->Find(TString("Exception caught while logging in destructor."));
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0].severity, TLog::Warn);
}

TEST_F(Cascade, ResetForTestNeedsTheUnitTestFlag) {
    auto scope = ScopeUsing({1});
    scope->AddHandler(std::make_shared<RecordingHandler>());
    AppConfig::GetInstance().SetUnitTestFlag(false);
    EXPECT_EQ(LogicExpressionOf([&] { m_aggregator->ResetForTest(); }),
              "AppConfig::GetInstance().GetUnitTestFlag()");
    AppConfig::GetInstance().SetUnitTestFlag(true);
    EXPECT_EQ(m_aggregator->GetScopeCount(), 1u);
    m_aggregator->ResetForTest();
    EXPECT_EQ(m_aggregator->GetScopeCount(), 0u);
}

// Records the scopes whose result was used.
class ResultRecorder : public ICascadeInvalidator {
public:
    void OnEntryUsed(unsigned, const ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnDirty(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnResultUsed(const std::shared_ptr<IInvalidatorAggregatorScope>& scope) override {
        used.push_back(scope.get());
    }
    std::vector<const IInvalidatorAggregatorScope*> used;
};

TEST_F(Cascade, ResultUseReachesEveryInstalledInvalidator) {
    ResultRecorder first, second;
    CascadeInvalidatorHolderFactory::GetInstance().Initialize(
        {m_aggregator, &first, nullptr, &second});
    auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
    scope->OnResultUsed();
    scope->OnResultUsed();
    EXPECT_EQ(first.used,
              (std::vector<const IInvalidatorAggregatorScope*>{scope.get(), scope.get()}));
    EXPECT_EQ(second.used, first.used);
}

// One object implementing both interfaces has one shared-from-this anchor.
class BothInterfaces : public ICascadeInvalidator, public IInvalidatorAggregatorScope {
public:
    void OnEntryUsed(unsigned, const ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnDirty(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void EndScope() override {}
    void OnResultUsed() override {}
    void AddHandler(const std::shared_ptr<IScopeDirtyHandler>&) override {}
};

TEST(CascadeSharedFromThis, OneAnchorForSeveralInterfaces) {
    auto both = std::make_shared<BothInterfaces>();
    ICascadeInvalidator& asInvalidator = *both;
    IInvalidatorAggregatorScope& asScope = *both;
    auto a = asInvalidator.SharedFromThisAs<BothInterfaces>();
    auto b = asScope.SharedFromThisAs<BothInterfaces>();
    EXPECT_EQ(a, both);
    EXPECT_EQ(b, both);
    EXPECT_EQ(both.use_count(), 3);
    EXPECT_EQ(asScope.SharedFromThisAs<CascadeInvalidatorAggregator>(), nullptr);

    BothInterfaces unowned;
    EXPECT_THROW(unowned.SharedFromThisAs<BothInterfaces>(), std::bad_weak_ptr);
}

TEST(ThreadContextBinding, ScopedBindingIsPerThreadAndRestored) {
    EXPECT_EQ(VelmoraTls::GetThreadContext(), nullptr);
    ThreadContext outer;
    {
        ScopedThreadContext bindOuter(outer);
        EXPECT_EQ(VelmoraTls::GetThreadContext(), &outer);
        {
            ScopedThreadContext fresh;
            EXPECT_EQ(VelmoraTls::GetThreadContext(), &fresh.Get());
            auto elsewhere =
                std::async(std::launch::async, [] { return VelmoraTls::GetThreadContext(); });
            EXPECT_EQ(elsewhere.get(), nullptr);
        }
        EXPECT_EQ(VelmoraTls::GetThreadContext(), &outer);
    }
    EXPECT_EQ(VelmoraTls::GetThreadContext(), nullptr);
}

}  // namespace
