#include "caching/GuardedExecution.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <utility>

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

// The texts below are never freed: tasks abandoned by their caller may still run while the
// process ends, after the statics of this file would have been destroyed.
const TString& kKeyHash = *new TString("key-hash");
const TString& kCns = *new TString("cns");
const TString& kKeySize = *new TString("key-size-b");
const TString& kValueSize = *new TString("value-size-b");
const TString& kLoadTime = *new TString("load-time-ms");
const TString& kLowerBound = *new TString("lower-bound-ms");
const TString& kTtl = *new TString("ttl-sec");
const TString& kOutcome = *new TString("outcome");
const TString& kElapsed = *new TString("elapsed-ms");
const TString& kProblem = *new TString("problem");

// Made once: a text built per call costs a conversion each time.
const TString& kStoreName = *new TString("ec-store");
const TString& kLoadName = *new TString("ec-load");
const TString& kDropName = *new TString("ec-drop");
const TString& kDone = *new TString("done");
const TString& kFail = *new TString("fail");
const TString& kJam = *new TString("jam");
const TString& kHit = *new TString("hit");
const TString& kMiss = *new TString("miss");
const TString& kIgnoreFast = *new TString("ignore-fast");
const TString& kIgnoreLargeKey = *new TString("ignore-large-key");
const TString& kIgnoreLarge = *new TString("ignore-large");

TSemaphore& ConcurrencySemaphore() {
    // Read on every attempt, used only by the first, which creates the semaphore.
    const auto limit =
        static_cast<unsigned int>(velmora::appoptions::ExternalCacheConcurrencyLimit());
    // Never freed: holds may still be released by abandoned work while the process ends.
    static InitOnce* s_once = new InitOnce();
    return *s_once->GetShared<TSemaphore>([limit] { return new TSemaphore(long(limit)); });
}

// How long a guarded procedure waits for a unit of the semaphore (re-read on every attempt).
std::chrono::milliseconds ConcurrencyTimeout() {
    return std::chrono::milliseconds(
        static_cast<unsigned int>(velmora::appoptions::ExternalCacheConcurrencyTimeoutMs()));
}

// As printf's "%g": six significant digits, the shorter of fixed and exponent form, no trailing
// zeros (to_chars with the general format and a precision is defined to match it).
TString FormatElapsedMs(double ms) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text - 1, ms, std::chars_format::general, 6);
    *end.ptr = '\0';
    return TString(text);
}

// One run of a backend function on the calling thread: whether it completed without an
// exception, and how long it took.
struct RunResult {
    bool ok = true;
    double elapsedMs = 0;
};

template <class F>
RunResult RunHere(F& body) {
    TElapsedTimer timer;
    RunResult run;
    try {
        body();
    } catch (...) {
        run.ok = false;
    }
    run.elapsedMs = std::chrono::duration<double, std::milli>(timer.Elapsed()).count();
    return run;
}

// The entries Run writes for a run that was not abandoned.
void RecordRun(const RunResult& run, StringLookupTable& info) {
    info[kElapsed] = FormatElapsedMs(run.elapsedMs);
    if (!run.ok) info[kProblem] = TString("exception");
}

// A unit of the concurrency semaphore held by the procedure itself, on its stack: the same
// wait and the same unit as a hold from TryAcquireConcurrencySemaphore, without a reference
// count of its own.
class ConcurrencyHold {
public:
    ConcurrencyHold() : ConcurrencyHold(ConcurrencyTimeout()) {}
    // Waits at most `wait` (0: takes a free unit or none).
    explicit ConcurrencyHold(std::chrono::milliseconds wait)
        : m_semaphore(ConcurrencySemaphore()), m_acquired(m_semaphore.Acquire(wait)) {}
    ~ConcurrencyHold() { Release(); }
    ConcurrencyHold(const ConcurrencyHold&) = delete;
    ConcurrencyHold& operator=(const ConcurrencyHold&) = delete;

    bool IsAcquired() const { return m_acquired; }
    void Release() {
        if (std::exchange(m_acquired, false)) m_semaphore.Release();
    }

private:
    TSemaphore& m_semaphore;
    bool m_acquired;
};

// What every guarded procedure starts with: the scope and its identifying tags. The information
// map serves only the log line, so Finish fills it, and only when the line will be written: with
// Info lines off (the usual setting in production) a call formats none of its entries. Run's own
// entries ("elapsed-ms", "problem") are in the map by then; the line carries the same entries
// either way.
class GuardedCall {
public:
    GuardedCall(const TString& name, const TString& key, const TString& cacheNamespace)
        : m_name(name),
          m_scope(name, kGuardedScopeBits),
          m_keyHash(ExternalCacheKeyHash(key)),
          m_namespace(cacheNamespace),
          m_keySize(std::int32_t(key.lengthInBytes())) {
        m_scope.Tag(kKeyHash, m_keyHash);
        m_scope.Tag(kCns, cacheNamespace);
        m_scope.Tag(kKeySize, m_keySize);
    }

    Metrics::Scope& Scope() { return m_scope; }
    // The map Run writes into.
    StringLookupTable& Info() { return m_info; }
    const TString& KeyHash() const { return m_keyHash; }
    // A numeric entry of the map, kept as a number until Finish. `name` must outlive the call.
    void Note(const TString& name, long long value) {
        VEL_ASSERT(m_noted < m_numbers.size());
        m_numbers[m_noted++] = {&name, value};
    }
    void NoteTtl(long long ttlSec) { m_ttl = ttlSec; }

    // A run on this thread, kept as numbers until Finish writes it as Run would have.
    void NoteRun(const RunResult& run) { m_run = run; }

    // Writes the outcome, the one log line, gives the semaphore unit back and closes the scope.
    void Finish(const TString& outcome, ConcurrencyHold* hold = nullptr) {
        m_scope.Tag(kOutcome, outcome);
        if (TLog::LoggerAcceptsSeverity(TLog::Info)) {
            if (m_run) RecordRun(*m_run, m_info);
            m_info[kKeyHash] = m_keyHash;
            m_info[kCns] = m_namespace;
            m_info[kKeySize] = TString::number(m_keySize);
            for (std::size_t i = 0; i < m_noted; ++i)
                m_info[*m_numbers[i].first] = TString::number(m_numbers[i].second);
            if (m_ttl) m_info[kTtl] = *m_ttl == -1 ? TString("default") : TString::number(*m_ttl);
            m_info[kOutcome] = outcome;
            TLog::LogMessage(TLog::Info, m_name, m_info);
        }
        if (hold) hold->Release();
        m_scope.Close();
    }

private:
    const TString& m_name;
    Metrics::Scope m_scope;
    const TString m_keyHash;
    const TString& m_namespace;  // the procedure's argument, which outlives the call
    const std::int32_t m_keySize;
    std::array<std::pair<const TString*, long long>, 3> m_numbers{};
    std::size_t m_noted = 0;
    std::optional<long long> m_ttl;
    std::optional<RunResult> m_run;
    StringLookupTable m_info;
};

}  // namespace

bool ExternalCacheEnabled() {
    return AppConfig::GetInstance().GetExternalCacheEnabled() &&
           !velmora::appoptions::ExternalCacheDisable();
}

RefCntPtr<TSemaphoreScope> TryAcquireConcurrencySemaphore() {
    return MakeRefCnt<TSemaphoreScope>(ConcurrencySemaphore(), ConcurrencyTimeout());
}

bool Run(std::function<void()> fn, StringLookupTable& info, std::chrono::milliseconds timeout) {
    // Runs `fn` and records its run time in `map`.
    const auto work = [](std::function<void()>& body, StringLookupTable& map) -> bool {
        const RunResult run = RunHere(body);  // an empty function throws when called
        RecordRun(run, map);
        return run.ok;
    };
    // On the calling thread nobody else can see the map, so the work writes it directly: the
    // caller ends with the same entries a private copy moved back would give it.
    if (timeout == kRunWithoutTimeout) return work(fn, info);

    // The work item writes only this copy: when it outlives a timed-out call, the caller's map
    // is long gone or reused.
    auto copy = std::make_shared<StringLookupTable>(info);
    auto future = AsyncTask::Async(
        AsyncTask::Launch::Async, AsyncTask::WhenCanceled::AfterWorkEnds,
        AsyncTask::PreStartCancellationBehavior::SkipWork,
        [work, fn = std::move(fn), copy]() mutable -> bool { return work(fn, *copy); });
    if (future.WaitFor(timeout) != AsyncTask::FutureStatus::Ready) {
        info[kProblem] = TString("timeout");
        info[kElapsed] = TString::number(static_cast<long long>(timeout.count()));
        return false;
    }
    const bool result = future.Get();
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
    GuardedCall call(kStoreName, key, cacheNamespace);
    const auto valueSize = std::int64_t(value ? value->size() : 0);
    call.Scope().Tag(kValueSize, valueSize);
    call.Note(kLoadTime, loadTimeMs);
    call.Note(kLowerBound, lowerBoundLatencyMs);
    call.Note(kValueSize, valueSize);

    if (std::int64_t(loadTimeMs) < lowerBoundLatencyMs) {
        call.Finish(kIgnoreFast);
        return true;
    }
    if (std::int32_t(key.lengthInBytes()) >
        std::int32_t(velmora::appoptions::ExternalCacheUpperBoundKeySizeB())) {
        call.Finish(kIgnoreLargeKey);
        return true;
    }
    if ((std::uint64_t(valueSize) >> 20) >= upperBoundSizeMb) {
        call.Finish(kIgnoreLarge);
        return true;
    }
    ConcurrencyHold hold;
    if (!hold.IsAcquired()) {
        call.Finish(kJam, &hold);
        return false;
    }
    call.NoteTtl(ttlSec);
    const TString keyHash = call.KeyHash();
    const bool ok =
        Run([storeFunc, key, keyHash, value, ttlSec]() { storeFunc(key, keyHash, value, ttlSec); },
            call.Info(), std::chrono::milliseconds(storeTimeoutMs));
    call.Finish(ok ? kDone : kFail, &hold);
    return ok;
}

ExternalBytesPtr GuardedLoad(const ExternalLoadFunc& loadFunc, const TString& key,
                             const TString& cacheNamespace, bool* failed) {
    if (failed) *failed = true;  // until the load function has returned
    GuardedCall call(kLoadName, key, cacheNamespace);
    ConcurrencyHold hold;
    if (!hold.IsAcquired()) {
        call.Finish(kJam, &hold);
        return nullptr;
    }
    ExternalBytesPtr result;
    // Runs here, on this thread, as Run does without a time-out; what Run would write into the
    // information map is written by Finish, and only when the line is logged.
    auto body = [&]() {
        if (!loadFunc) throw std::bad_function_call();
        result = loadFunc(key, call.KeyHash());
    };
    const RunResult run = RunHere(body);
    call.NoteRun(run);
    if (!run.ok) {
        call.Finish(kFail, &hold);
        return nullptr;
    }
    if (failed) *failed = false;
    if (result) {
        call.Note(kValueSize, static_cast<long long>(result->size()));
        call.Finish(kHit, &hold);
    } else {
        call.Finish(kMiss, &hold);
    }
    return result;
}

namespace {

// One call of GuardedLoadMany over the keys of `calls` (beginning at keys[first]), each holding
// its unit of `holds`: runs the load function once and finishes every call with its answer.
void LoadBatch(const ExternalLoadManyFunc& loadManyFunc, const std::vector<TString>& keys,
               std::size_t first, std::vector<std::unique_ptr<GuardedCall>>& calls,
               std::vector<std::unique_ptr<ConcurrencyHold>>& holds,
               std::vector<ExternalBytesPtr>& values, std::vector<char>* failed) {
    std::vector<TString> callKeys(keys.begin() + static_cast<std::ptrdiff_t>(first),
                                  keys.begin() + static_cast<std::ptrdiff_t>(first + calls.size()));
    std::vector<TString> keyHashes;
    keyHashes.reserve(calls.size());
    for (const auto& call : calls) keyHashes.push_back(call->KeyHash());
    std::vector<std::optional<ExternalBytesPtr>> answers;
    auto body = [&]() {
        if (!loadManyFunc) throw std::bad_function_call();
        answers = loadManyFunc(callKeys, keyHashes);
        if (answers.size() != callKeys.size()) throw std::length_error("one answer a key");
    };
    const RunResult run = RunHere(body);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        GuardedCall& call = *calls[i];
        call.NoteRun(run);
        if (!run.ok || !answers[i]) {
            call.Finish(kFail, holds[i].get());
            continue;
        }
        if (failed) (*failed)[first + i] = 0;
        ExternalBytesPtr& value = values[first + i];
        value = std::move(*answers[i]);
        if (value) {
            call.Note(kValueSize, static_cast<long long>(value->size()));
            call.Finish(kHit, holds[i].get());
        } else {
            call.Finish(kMiss, holds[i].get());
        }
    }
}

}  // namespace

std::vector<ExternalBytesPtr> GuardedLoadMany(const ExternalLoadManyFunc& loadManyFunc,
                                              const std::vector<TString>& keys,
                                              const TString& cacheNamespace,
                                              std::size_t mostPerCall, std::vector<char>* failed) {
    std::vector<ExternalBytesPtr> values(keys.size());
    if (failed) failed->assign(keys.size(), 1);  // until the load function has answered
    // A call never takes more than half the semaphore's units, so that other loads of the
    // process still find one while a large batch goes out.
    const std::size_t most = std::clamp<std::size_t>(
        std::min<std::size_t>(mostPerCall,
                              static_cast<std::size_t>(std::max(
                                  1, velmora::appoptions::ExternalCacheConcurrencyLimit() / 2))),
        1, keys.size() ? keys.size() : 1);
    std::size_t next = 0;
    while (next < keys.size()) {
        // The first key of a call waits for its unit as a single load does; the others come
        // along only while units are free at once.
        std::vector<std::unique_ptr<GuardedCall>> calls;
        std::vector<std::unique_ptr<ConcurrencyHold>> holds;
        calls.push_back(std::make_unique<GuardedCall>(kLoadName, keys[next], cacheNamespace));
        holds.push_back(std::make_unique<ConcurrencyHold>());
        if (!holds.front()->IsAcquired()) {
            calls.front()->Finish(kJam, holds.front().get());
            ++next;
            continue;
        }
        while (calls.size() < most && next + calls.size() < keys.size()) {
            auto hold = std::make_unique<ConcurrencyHold>(std::chrono::milliseconds(0));
            if (!hold->IsAcquired()) break;
            calls.push_back(std::make_unique<GuardedCall>(kLoadName, keys[next + calls.size()],
                                                          cacheNamespace));
            holds.push_back(std::move(hold));
        }
        LoadBatch(loadManyFunc, keys, next, calls, holds, values, failed);
        next += calls.size();
    }
    return values;
}

bool GuardedDrop(const ExternalDropFunc& dropFunc, const TString& key, std::int64_t dropTimeoutMs,
                 const TString& cacheNamespace) {
    GuardedCall call(kDropName, key, cacheNamespace);
    ConcurrencyHold hold;
    if (!hold.IsAcquired()) {
        call.Finish(kJam, &hold);
        return false;
    }
    const TString keyHash = call.KeyHash();
    const bool ok = Run([dropFunc, key, keyHash]() { dropFunc(key, keyHash); }, call.Info(),
                        std::chrono::milliseconds(dropTimeoutMs));
    call.Finish(ok ? kDone : kFail, &hold);
    return ok;
}

}  // namespace velmora::caching
