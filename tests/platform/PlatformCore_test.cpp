// The platform pieces whose behaviour is our own rather than Qt's or the standard library's: the
// re-entrant lock, placeholder formatting, strict parsing, the stored hash, log sinks, one-time
// initialisation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "support/TestEnvironment.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TFormatString.h"
#include "velcoreplatform/TLog.h"
#include "velcoreplatform/TString.h"
#include "velsys/Hash.h"
#include "velsys/InitOnce.h"
#include "velsys/Locks.h"

using namespace std::chrono_literals;
using veltest::LockCanBeTakenElsewhere;

// Not checked by the lock analysis: re-entry and a release by a thread that does not hold the
// lock are what is under test.
void CheckReentryAndSharing() VEL_NO_THREAD_SAFETY_ANALYSIS {
    TReadWriteLock lock(0);
    EXPECT_THROW(lock.Unlock(), velmora::LogicException);  // not the holder
    lock.Lock();
    lock.Lock();      // re-entered
    lock.LockRead();  // a shared hold by the exclusive holder nests too
    lock.UnlockRead();
    lock.Unlock();
    EXPECT_TRUE(lock.IsLockedByCurrentThread());
    EXPECT_FALSE(LockCanBeTakenElsewhere(lock, 50ms));  // still held once
    lock.Unlock();
    EXPECT_TRUE(LockCanBeTakenElsewhere(lock, 5s));

    lock.LockRead();
    std::async(std::launch::async, [&] { lock.LockRead(), lock.UnlockRead(); }).get();  // shared
    EXPECT_FALSE(LockCanBeTakenElsewhere(lock, 50ms));
    lock.UnlockRead();
    EXPECT_TRUE(LockCanBeTakenElsewhere(lock, 5s));
}

TEST(ReadWriteLock, TheWriterReentersReadersShareAndOthersWait) {
    CheckReentryAndSharing();
}

// Not checked by the lock analysis: the upgrade is the mistake under test.
void TakeSharedThenExclusive(TReadWriteLock& lock) VEL_NO_THREAD_SAFETY_ANALYSIS {
    lock.LockRead();
    lock.Lock();
}

// An upgrade would wait for ever for the thread's own shared hold; a debug build stops instead.
TEST(ReadWriteLock, AnUpgradeStopsADebugBuild) {
#ifdef NDEBUG
    GTEST_SKIP() << "checked in debug builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TReadWriteLock lock(0);
    EXPECT_DEATH(TakeSharedThenExclusive(lock), "holds the lock shared");
#endif
}

// A thread whose own shared hold has ended is no upgrader: it waits for another thread's shared
// hold and then takes the lock (a false alarm would stop a debug build here).
TEST(ReadWriteLock, WaitingForAnotherThreadsSharedHoldIsNoUpgrade) {
    TReadWriteLock lock(0);
    lock.LockRead();
    lock.UnlockRead();
    std::promise<void> held;
    std::thread reader([&] {
        lock.LockRead();
        held.set_value();
        std::this_thread::sleep_for(50ms);  // the writer below is waiting by now, most likely
        lock.UnlockRead();
    });
    held.get_future().wait();
    lock.Lock();
    EXPECT_TRUE(lock.IsLockedByCurrentThread());
    lock.Unlock();
    reader.join();
}

// Network text placed in a log line is never read as a placeholder; "%10" is the tenth argument.
TEST(FormatString, FillsNumberedPlaceholdersOnce) {
    EXPECT_EQ(TFormatString("%2-%1-%2", "%2", "x").ToString(), TString("x-%2-x"));
    EXPECT_EQ(TFormatString("%10", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10).ToString(), TString("10"));
}

// Ids travel as hex text between processes: anything but bare digits of the base is refused.
TEST(TStringParsing, OnlyBareDigitsParse) {
    for (const char* text : {"", "12x", " 12", "12 ", "-1", "+1", "g", "18446744073709551616"}) {
        bool ok = true;
        EXPECT_EQ(TString(text).toULongLong(&ok, 16), 0u) << text;
        EXPECT_FALSE(ok) << text;
    }
    bool ok = false;
    EXPECT_EQ(TString::number(~0ULL, 16).toULongLong(&ok, 16), ~0ULL);
    EXPECT_TRUE(ok);
}

// Code units are text: a leading U+FEFF or U+FFFE is kept, not read as a byte-order mark
// (which would drop it, or swap every unit after it, and make distinct keys equal).
TEST(TStringWide, UnitsThatLookLikeAByteOrderMarkAreKept) {
    const char16_t bom[] = {0xFEFF, u'a', 0};
    const char16_t swapped[] = {0xFFFE, 0x6100, u'b', 0};
    for (const char16_t* units : {bom, swapped}) {
        const int count = int(std::char_traits<char16_t>::length(units));
        for (const TString& text : {TString::fromUtf16(units, count), TString(units)}) {
            ASSERT_EQ(text.length(), count);
            EXPECT_TRUE(std::equal(units, units + count, text.constData()));
            EXPECT_EQ(TString::fromStdString(text.toStdString()), text);
        }
    }
    EXPECT_NE(TString::fromUtf16(bom, 2), TString("a"));
}

// Stores written by one build must be found by the next: these values must never change. The
// hash of a TString covers its UTF-16 code units.
TEST(Hash32, KnownVectorsAreStable) {
    EXPECT_EQ(THash32("", 0, 0), 0x02CC5D05u);
    EXPECT_EQ(THash32("abc", 3, 0), 0x32D153FFu);
    const TString key("key");
    EXPECT_EQ(THash32(key.constData(), key.lengthInBytes(), 0xDEADBEEF), std::hash<TString>()(key));
    EXPECT_EQ(std::hash<TString>()(key), 0x3A8328DFu);
}

// A host's misspelt or mistyped option must fail loudly rather than leave the default in place.
TEST(AppOptions, UnknownNamesAndWrongTypesAreRefused) {
    using namespace velmora::appoptions;
    EXPECT_THROW(Set(TString("NoSuchOption"), 1), VelmoraException);
    EXPECT_THROW(Set(TString("SyncCaches"), 1), VelmoraException);
    const int limit = ExternalCacheConcurrencyLimit();
    EXPECT_THROW(Set(TString("ExternalCacheConcurrencyLimit"), true), VelmoraException);
    EXPECT_EQ(ExternalCacheConcurrencyLimit(), limit);
}

TEST(Logging, ASinkGetsOnlyWhatItsLevelAccepts) {
    auto errors = std::make_shared<velmora::CapturingLogSink>(TLog::Error);
    velmora::ScopedLogSink scope(errors);
    TLog::LogMessage(TLog::Info, TString("quiet"));
    EXPECT_FALSE(TLog::LoggerAcceptsSeverity(TLog::Info));
    EXPECT_TRUE(errors->Records().empty());
}

// Without a sink of the host's, a line goes to stderr with the time of day (UTC, ms) first.
TEST(Logging, StderrLinesBeginWithTheTimeOfDay) {
    const std::shared_ptr<velmora::ILogSink> before = TLog::SetSink(nullptr);
    TLog::SetStderrLevel(TLog::Warn);
    ::testing::internal::CaptureStderr();
    TLog::LogMessage(TLog::Warn, TString("outage over"));
    TLog::LogMessage(TLog::Info, TString("not shown"));
    const std::string written = ::testing::internal::GetCapturedStderr();
    TLog::SetSink(before);
    EXPECT_TRUE(std::regex_match(
        written, std::regex(R"(20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9])"
                            R"(\.[0-9]{3}Z \[velcache WARN\] outage over\n)")))
        << written;
}

TEST(Logging, ACaughtExceptionIsLoggedWithItsText) {
    auto errors = std::make_shared<velmora::CapturingLogSink>(TLog::Error);
    velmora::ScopedLogSink scope(errors);
    try {
        throw VelmoraException("boom");
    } catch (...) {
        TLog::LogCurrentException(TLog::Error, TString("failed"));
    }
    ASSERT_EQ(errors->Records().size(), 1u);
    EXPECT_EQ(errors->Records()[0].attributes.at(TString("exception")), TString("boom"));
}

TEST(InitOnceCreation, ConcurrentFirstCallsCreateOne) {
    InitOnce once;
    std::atomic<int> made{0};
    std::vector<std::shared_ptr<int>> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            seen[static_cast<size_t>(i)] = once.GetShared<int>([&] {
                ++made;
                std::this_thread::sleep_for(5ms);
                return new int(42);
            });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(made.load(), 1);
    for (auto& p : seen) EXPECT_EQ(p, seen[0]);
}
