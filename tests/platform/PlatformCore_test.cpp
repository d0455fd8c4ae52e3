// The platform pieces the library leans on: locks, semaphores, strings, hashes, formatting,
// options and logging.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/TestEnvironment.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TFormatString.h"
#include "velcoreplatform/TLog.h"
#include "velcoreplatform/TString.h"
#include "velsys/Exceptions.h"
#include "velsys/Hash.h"
#include "velsys/InitOnce.h"
#include "velsys/Locks.h"
#include "velsys/Semaphore.h"

using namespace std::chrono_literals;
using veltest::LockCanBeTakenElsewhere;

TEST(ReadWriteLock, TheWriterReentersReadersShareAndOthersWait) {
    TReadWriteLock lock(0);
    EXPECT_THROW(lock.Unlock(), LogicException);  // not the holder
    lock.Lock();
    lock.Lock();      // re-entered
    lock.LockRead();  // a shared hold by the exclusive holder nests too
    EXPECT_TRUE(lock.IsLockedByCurrentThread());
    EXPECT_FALSE(LockCanBeTakenElsewhere(lock, 50ms));
    lock.UnlockRead();
    lock.Unlock();
    EXPECT_FALSE(LockCanBeTakenElsewhere(lock, 50ms));  // still held once
    lock.Unlock();
    EXPECT_FALSE(lock.IsLockedByCurrentThread());
    EXPECT_TRUE(LockCanBeTakenElsewhere(lock, 5s));

    lock.LockRead();
    std::async(std::launch::async, [&] { lock.LockRead(), lock.UnlockRead(); }).get();  // shared
    EXPECT_FALSE(LockCanBeTakenElsewhere(lock, 50ms));
    lock.UnlockRead();
    EXPECT_TRUE(LockCanBeTakenElsewhere(lock, 5s));
}

TEST(Semaphore, AcquireTimesOutAndReleaseWakesAWaiter) {
    TSemaphore semaphore(1);
    EXPECT_TRUE(semaphore.Acquire(0ms));
    EXPECT_FALSE(semaphore.Acquire(20ms));
    EXPECT_FALSE(semaphore.Acquire(-5ms));  // negative counts as 0
    auto waiter = std::async(std::launch::async, [&] { return semaphore.Acquire(10s); });
    std::this_thread::sleep_for(20ms);
    semaphore.Release();
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(semaphore.GetAvailable(), 0);
}

TEST(SemaphoreScope, ReleasesWithTheLastReference) {
    TSemaphore semaphore(1);
    RefCntPtr<TSemaphoreScope> held(new TSemaphoreScope(semaphore, 0ms));
    EXPECT_TRUE(held->IsAcquired());
    RefCntPtr<TSemaphoreScope> copy = held;
    RefCntPtr<TSemaphoreScope> refused(new TSemaphoreScope(semaphore, 10ms));
    EXPECT_FALSE(refused->IsAcquired());
    refused.Reset();  // a refused scope gives nothing back
    EXPECT_EQ(semaphore.GetAvailable(), 0);
    held.Reset();
    EXPECT_EQ(semaphore.GetAvailable(), 0);  // the copy still holds the slot
    copy.Reset();
    EXPECT_EQ(semaphore.GetAvailable(), 1);
}

TEST(TStringNumbers, HexAndDecimalRoundTripAndMalformedTextIsRejected) {
    for (unsigned long long v : {0ULL, 1ULL, 255ULL, 0xDEADBEEFULL, ~0ULL}) {
        for (int base : {10, 16}) {
            bool ok = false;
            EXPECT_EQ(TString::number(v, base).toULongLong(&ok, base), v) << v << " base " << base;
            EXPECT_TRUE(ok);
        }
    }
    EXPECT_EQ(TString::number(255ULL, 16), TString("ff"));
    EXPECT_EQ(TString::number(-12LL, 10), TString("-12"));
    for (const char* text : {"", "12x", " 12", "-1", "+1", "g", "18446744073709551616"}) {
        for (int base : {10, 16}) {
            bool ok = true;
            EXPECT_EQ(TString(text).toULongLong(&ok, base), 0u) << text << " base " << base;
            EXPECT_FALSE(ok) << text << " base " << base;
        }
    }
}

TEST(TStringSplit, KeepsEmptyPieces) {
    EXPECT_EQ(TString("a||b|").split(TString("|")),
              (std::vector<TString>{TString("a"), TString(), TString("b"), TString()}));
    EXPECT_EQ(TString("").split(TString(",")).size(), 1u);
    EXPECT_EQ(TString("ns.1-2ns.").split(TString("ns.")).size(), 3u);
}

// Stores written by one build must be found by the next: these values must never change. The
// hash of a TString covers its UTF-16 code units.
TEST(Hash32, KnownVectorsAreStable) {
    EXPECT_EQ(THash32("", 0, 0), 0x02CC5D05u);
    EXPECT_EQ(THash32("abc", 3, 0), 0x32D153FFu);
    const TString key("key");
    EXPECT_EQ(THash32(key.constData(), key.lengthInBytes(), 0xDEADBEEF), std::hash<TString>()(key));
    EXPECT_EQ(std::hash<TString>()(key), 0x3A8328DFu);
    const TString accented = TString::fromStdString("h\xC3\xA9");  // "hé"
    EXPECT_EQ(accented.length(), 2);
    EXPECT_EQ(accented.lengthInBytes(), 4u);
    EXPECT_EQ(accented.toStdString(), "h\xC3\xA9");
}

TEST(FormatString, FillsNumberedPlaceholdersOnce) {
    EXPECT_EQ(TFormatString("%2-%1-%2", 7, "x").ToString(), TString("x-7-x"));
    EXPECT_EQ(TFormatString("%1", "%2", "no").ToString(), TString("%2"));  // not rescanned
    EXPECT_EQ(TFormatString("%1 and %3", 1u).ToString(), TString("1 and %3"));
    EXPECT_EQ(TFormatString("%10", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10).ToString(), TString("10"));
    EXPECT_EQ(TFormatString("%10", 1).ToString(), TString("10"));
    EXPECT_EQ(TString::pointer(reinterpret_cast<const void*>(0x1f)), TString("0x1f"));
}

TEST(AppOptions, ScopedOverrideRestoresAndBadSetsChangeNothing) {
    using namespace velmora::appoptions;
    const bool before = SyncCaches();
    {
        ScopedOverride on(TString("SyncCaches"), true);
        EXPECT_TRUE(SyncCaches());
        {
            ScopedOverride off(TString("SyncCaches"), false);
            EXPECT_FALSE(SyncCaches());
        }
        EXPECT_TRUE(SyncCaches());
    }
    EXPECT_EQ(SyncCaches(), before);
    EXPECT_THROW(Set(TString("NoSuchOption"), 1), VelmoraException);
    EXPECT_THROW(Set(TString("SyncCaches"), 1), VelmoraException);
    const int limit = ExternalCacheConcurrencyLimit();
    EXPECT_THROW(Set(TString("ExternalCacheConcurrencyLimit"), true), VelmoraException);
    EXPECT_EQ(ExternalCacheConcurrencyLimit(), limit);
}

TEST(Logging, CapturingSinkSeesWhatItsLevelAccepts) {
    veltest::HostScope host;
    TLog::LogMessage(TLog::Warn, TFormatString("cache %1 full", 3),
                     StringLookupTable{{TString("k"), TString("v")}});
    try {
        throw VelmoraException("boom");
    } catch (...) {
        TLog::LogCurrentException(TLog::Error, TString("failed"));
    }
    auto records = host.Log().Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].severity, TLog::Warn);
    EXPECT_EQ(records[0].message, TString("cache 3 full"));
    EXPECT_EQ(records[0].attributes.at(TString("k")), TString("v"));
    EXPECT_EQ(records[1].attributes.at(TString("exception")), TString("boom"));
    EXPECT_TRUE(TLog::LoggerAcceptsSeverity(TLog::Debug));

    auto quiet = std::make_shared<CapturingLogSink>(TLog::Error);
    ScopedLogSink scope(quiet);
    EXPECT_FALSE(TLog::LoggerAcceptsSeverity(TLog::Info));
    TLog::LogMessage(TLog::Info, TString("quiet"));
    EXPECT_TRUE(quiet->Records().empty());
}

TEST(InitOnceCreation, ConcurrentFirstCallsCreateOne) {
    InitOnce once;
    std::atomic<int> made{0};
    std::vector<std::shared_ptr<int>> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            seen[i] = once.GetShared<int>([&] {
                ++made;
                std::this_thread::sleep_for(5ms);
                return new int(42);
            });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(made.load(), 1);
    for (auto& p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_THROW(once.GetShared<long>([] { return new long(1); }), boost::bad_any_cast);
}
