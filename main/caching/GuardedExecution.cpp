#include "caching/GuardedExecution.h"

#include <cstdio>

#include "metrics2/Metrics.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TElapsedTimer.h"
#include "velsys/AsyncTask.h"
#include "velsys/Hash.h"
#include "velsys/InitOnce.h"

namespace velmora::caching {

namespace {

constexpr unsigned int kKeyHashSeed = 0xDEADBEEF;
constexpr std::uint64_t kGuardedScopeBits = 0x80000020001ULL;

const TString kKeyHash("key-hash");
const TString kCns("cns");
const TString kKeySize("key-size-b");
const TString kValueSize("value-size-b");
const TString kLoadTime("load-time-ms");
const TString kLowerBound("lower-bound-ms");
const TString kTtl("ttl-sec");
const TString kOutcome("outcome");
const TString kElapsed("elapsed-ms");
const TString kProblem("problem");

TSemaphore& ConcurrencySemaphore() {
    // Read on every attempt, used only by the first, which creates the semaphore.
    const auto limit =
        static_cast<unsigned int>(velmora::appoptions::ExternalCacheConcurrencyLimit());
    // Never freed: holds may still be released by abandoned work while the process ends.
    static InitOnce* s_once = new InitOnce();
    return *s_once->GetShared<TSemaphore>([limit] { return new TSemaphore(long(limit)); });
}

// "%g": six significant digits, the shorter of fixed and exponent form, no trailing zeros.
TString FormatElapsedMs(double ms) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", ms);
    return TString(text);
}

// What every guarded procedure starts with: the scope, its identifying tags and map entries.
// The scope is closed, and the line written, by Finish, on every path.
class GuardedCall {
public:
    GuardedCall(const char* name, const TString& key, const TString& cacheNamespace)
        : m_name(name),
          m_scope(TString(name), kGuardedScopeBits),
          m_keyHash(ExternalCacheKeyHash(key)) {
        const auto keySize = std::int32_t(key.lengthInBytes());
        m_scope.Tag(kKeyHash, m_keyHash);
        m_scope.Tag(kCns, cacheNamespace);
        m_scope.Tag(kKeySize, keySize);
        m_info[kKeyHash] = m_keyHash;
        m_info[kCns] = cacheNamespace;
        m_info[kKeySize] = TString::number(keySize);
    }

    Metrics::Scope& Scope() { return m_scope; }
    StringLookupTable& Info() { return m_info; }
    const TString& KeyHash() const { return m_keyHash; }

    // Writes the outcome, the one log line, gives the semaphore unit back and closes the scope.
    void Finish(const char* outcome, RefCntPtr<TSemaphoreScope>& hold) {
        m_scope.Tag(kOutcome, TString(outcome));
        m_info[kOutcome] = TString(outcome);
        TLog::LogMessage(TLog::Info, TString(m_name), m_info);
        hold = nullptr;
        m_scope.Close();
    }

private:
    const char* m_name;
    Metrics::Scope m_scope;
    const TString m_keyHash;
    StringLookupTable m_info;
};

RefCntPtr<TSemaphoreScope> AcquireChecked() {
    RefCntPtr<TSemaphoreScope> hold = TryAcquireConcurrencySemaphore();
    VEL_ASSERT_MSG(hold, "Null pointer dereferenced");
    return hold;
}

}  // namespace

bool ExternalCacheEnabled() {
    return AppConfig::GetInstance().GetExternalCacheEnabled() &&
           !velmora::appoptions::ExternalCacheDisable();
}

RefCntPtr<TSemaphoreScope> TryAcquireConcurrencySemaphore() {
    TSemaphore& semaphore = ConcurrencySemaphore();
    const auto timeoutMs =
        static_cast<unsigned int>(velmora::appoptions::ExternalCacheConcurrencyTimeoutMs());
    return MakeRefCnt<TSemaphoreScope>(semaphore, std::chrono::milliseconds(timeoutMs));
}

bool Run(std::function<void()> fn, StringLookupTable& info, std::chrono::milliseconds timeout) {
    // The work item writes only this copy: when it outlives a timed-out call, the caller's map
    // is long gone or reused.
    auto copy = std::make_shared<StringLookupTable>(info);
    auto work = [fn = std::move(fn), copy]() -> bool {
        TElapsedTimer timer;
        bool ok = true;
        try {
            if (!fn) throw std::bad_function_call();
            fn();
        } catch (...) {
            ok = false;
        }
        const double ms = std::chrono::duration<double, std::milli>(timer.Elapsed()).count();
        (*copy)[kElapsed] = FormatElapsedMs(ms);
        if (!ok) (*copy)[kProblem] = TString("exception");
        return ok;
    };

    bool result;
    if (timeout == kRunWithoutTimeout) {
        result = work();
    } else {
        auto future =
            AsyncTask::Async(AsyncTask::Launch::Async, AsyncTask::WhenCanceled::AfterWorkEnds,
                             AsyncTask::PreStartCancellationBehavior::SkipWork, std::move(work));
        if (future.WaitFor(timeout) != AsyncTask::FutureStatus::Ready) {
            info[kProblem] = TString("timeout");
            info[kElapsed] = TString::number(static_cast<long long>(timeout.count()));
            return false;
        }
        result = future.Get();
    }
    info = std::move(*copy);
    return result;
}

TString ExternalCacheKeyHash(const TString& key) {
    return TString::number(THash32(key.constData(), key.lengthInBytes(), kKeyHashSeed));
}

bool GuardedStore(const ExternalStoreFunc& storeFunc, const TString& key,
                  const ExternalBytesPtr& value, unsigned int loadTimeMs,
                  std::int64_t lowerBoundLatencyMs, unsigned int upperBoundSizeMb,
                  std::int64_t storeTimeoutMs, long long ttlSec, const TString& cacheNamespace) {
    GuardedCall call("ec-store", key, cacheNamespace);
    const auto valueSize = std::int64_t(value ? value->size() : 0);
    call.Scope().Tag(kValueSize, valueSize);
    StringLookupTable& info = call.Info();
    info[kLoadTime] = TString::number(loadTimeMs);
    info[kLowerBound] = TString::number(static_cast<long long>(lowerBoundLatencyMs));
    info[kValueSize] = TString::number(static_cast<long long>(valueSize));

    RefCntPtr<TSemaphoreScope> hold;
    if (std::int64_t(loadTimeMs) < lowerBoundLatencyMs) {
        call.Finish("ignore-fast", hold);
        return true;
    }
    if (std::int32_t(key.lengthInBytes()) >
        std::int32_t(velmora::appoptions::ExternalCacheUpperBoundKeySizeB())) {
        call.Finish("ignore-large-key", hold);
        return true;
    }
    if ((std::uint64_t(valueSize) >> 20) >= upperBoundSizeMb) {
        call.Finish("ignore-large", hold);
        return true;
    }
    hold = AcquireChecked();
    if (!hold->IsAcquired()) {
        call.Finish("jam", hold);
        return false;
    }
    info[kTtl] = ttlSec == -1 ? TString("default") : TString::number(ttlSec);
    const TString keyHash = call.KeyHash();
    const bool ok =
        Run([storeFunc, key, keyHash, value, ttlSec]() { storeFunc(key, keyHash, value, ttlSec); },
            info, std::chrono::milliseconds(storeTimeoutMs));
    call.Finish(ok ? "done" : "fail", hold);
    return ok;
}

ExternalBytesPtr GuardedLoad(const ExternalLoadFunc& loadFunc, const TString& key,
                             const TString& cacheNamespace) {
    GuardedCall call("ec-load", key, cacheNamespace);
    RefCntPtr<TSemaphoreScope> hold = AcquireChecked();
    if (!hold->IsAcquired()) {
        call.Finish("jam", hold);
        return nullptr;
    }
    ExternalBytesPtr result;
    const TString keyHash = call.KeyHash();
    // Runs here, on this thread, so capturing by reference is safe.
    const bool ok =
        Run([&]() { result = loadFunc(key, keyHash); }, call.Info(), kRunWithoutTimeout);
    if (!ok) {
        call.Finish("fail", hold);
        return nullptr;
    }
    if (result) {
        call.Info()[kValueSize] = TString::number(static_cast<unsigned long long>(result->size()));
        call.Finish("hit", hold);
    } else {
        call.Finish("miss", hold);
    }
    return result;
}

bool GuardedDrop(const ExternalDropFunc& dropFunc, const TString& key, std::int64_t dropTimeoutMs,
                 const TString& cacheNamespace) {
    GuardedCall call("ec-drop", key, cacheNamespace);
    RefCntPtr<TSemaphoreScope> hold = AcquireChecked();
    if (!hold->IsAcquired()) {
        call.Finish("jam", hold);
        return false;
    }
    const TString keyHash = call.KeyHash();
    const bool ok = Run([dropFunc, key, keyHash]() { dropFunc(key, keyHash); }, call.Info(),
                        std::chrono::milliseconds(dropTimeoutMs));
    call.Finish(ok ? "done" : "fail", hold);
    return ok;
}

}  // namespace velmora::caching
