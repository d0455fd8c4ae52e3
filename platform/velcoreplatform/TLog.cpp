#include "velcoreplatform/TLog.h"
#include "velsys/Locks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>

using velmora::CapturingLogSink;
using velmora::ILogSink;
using velmora::LogRecord;
using velmora::ScopedLogSink;
using velmora::StringLookupTable;
using velmora::TMutex;
using velmora::TMutexLock;

ILogSink::~ILogSink() = default;

namespace {

const char* SeverityName(int severity) {
    switch (severity) {
        case TLog::Debug:
            return "DEBUG";
        case TLog::Info:
            return "INFO";
        case TLog::Warn:
            return "WARN";
        case TLog::Error:
            return "ERROR";
        default:
            return "?";
    }
}

// Now, in UTC to the millisecond: "2026-12-09T18:10:00.123Z".
std::string TimeOfDay() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];  // room for any int the format can meet
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return text;
}

class StderrSink : public ILogSink {
public:
    bool Accepts(int severity, int) const override {
        return severity >= m_level.load(std::memory_order_relaxed);
    }
    void Write(const LogRecord& record) override {
        std::string line = TimeOfDay() + " [velcache " + SeverityName(record.severity) + "] " +
                           record.message.toStdString();
        std::vector<std::pair<std::string, std::string>> attributes;
        for (const auto& [key, value] : record.attributes)
            attributes.emplace_back(key.toStdString(), value.toStdString());
        std::sort(attributes.begin(), attributes.end());
        for (const auto& [key, value] : attributes) line += " " + key + "=" + value;
        if (record.error.IsError()) line += " error=" + std::to_string(record.error.GetCode());
        line += "\n";
        std::fputs(line.c_str(), stderr);
    }
    std::atomic<int> m_level{TLog::Warn};
};

struct LogState {
    TMutex mutex;
    std::shared_ptr<StderrSink> stderrSink = std::make_shared<StderrSink>();
    std::shared_ptr<ILogSink> sink VEL_GUARDED_BY(mutex) = stderrSink;
    // Bumped under mutex on every SetSink; threads compare it with the one of their cached sink.
    std::atomic<unsigned long long> generation{1};
};

[[gnu::always_inline]] inline LogState& State() {
    static LogState* state = new LogState();  // Never destroyed: lines may come at exit.
    return *state;
}

// Each thread keeps the sink it last used, with the generation it was read at, so that the
// severity test on every hot path reads one atomic instead of taking the mutex. A replaced sink
// is therefore released by the last thread that cached it, on that thread's next line or at
// its exit; it is never called after SetSink has returned.
struct CachedSink {
    // A line logged by another thread-local object's destructor after this one is gone reads
    // the sink afresh rather than through a released pointer.
    ~CachedSink() {
        generation = 0;
        sink.reset();
    }
    unsigned long long generation = 0;
    std::shared_ptr<ILogSink> sink;
};

[[gnu::noinline]] void RefreshCachedSink(LogState& state, CachedSink& cached) {
    TMutexLock lock(state.mutex);
    cached.sink = state.sink;
    cached.generation = state.generation.load(std::memory_order_relaxed);
}

// Small enough to inline into every severity test; the refresh stays out of line.
inline const std::shared_ptr<ILogSink>& CurrentSink() {
    // Initial-exec, as the thread context's slot: read without a call into the dynamic loader.
    [[gnu::tls_model("initial-exec")]] thread_local CachedSink cached;
    LogState& state = State();
    if (cached.generation != state.generation.load(std::memory_order_acquire))
        RefreshCachedSink(state, cached);
    return cached.sink;
}

}  // namespace

void TLog::LogMessage(int severity, const TString& message, const StringLookupTable& attributes,
                      const VelmoraError& error) {
    // A copy: a sink's Write may log again, or install another sink.
    std::shared_ptr<ILogSink> sink = CurrentSink();
    if (!sink->Accepts(severity, 0)) return;
    sink->Write(LogRecord{severity, message, attributes, error});
}

void TLog::LogCurrentException(int severity, const TString& message,
                               const StringLookupTable& attributes) {
    StringLookupTable all = attributes;
    try {
        throw;
    } catch (const std::exception& e) {
        all[TString("exception")] = TString::fromStdString(e.what());
    } catch (...) {
        all[TString("exception")] = TString("unknown exception");
    }
    LogMessage(severity, message, all);
}

bool TLog::LoggerAcceptsSeverity(int severity, int category) {
    return CurrentSink()->Accepts(severity, category);
}

std::shared_ptr<ILogSink> TLog::SetSink(std::shared_ptr<ILogSink> sink) {
    LogState& state = State();
    TMutexLock lock(state.mutex);
    std::shared_ptr<ILogSink> previous = state.sink;
    state.sink = sink ? std::move(sink) : state.stderrSink;
    state.generation.fetch_add(1, std::memory_order_release);
    return previous;
}

void TLog::SetStderrLevel(int severity) {
    State().stderrSink->m_level.store(severity, std::memory_order_relaxed);
}

CapturingLogSink::CapturingLogSink(int minimumSeverity) : m_minimumSeverity(minimumSeverity) {}

bool CapturingLogSink::Accepts(int severity, int) const {
    return severity >= m_minimumSeverity;
}

void CapturingLogSink::Write(const LogRecord& record) {
    TMutexLock lock(m_mutex);
    m_records.push_back(record);
}

std::vector<LogRecord> CapturingLogSink::Records() const {
    TMutexLock lock(m_mutex);
    return m_records;
}

std::vector<LogRecord> CapturingLogSink::Find(const TString& message) const {
    std::vector<LogRecord> found;
    TMutexLock lock(m_mutex);
    for (const LogRecord& record : m_records)
        if (record.message == message) found.push_back(record);
    return found;
}

void CapturingLogSink::Clear() {
    TMutexLock lock(m_mutex);
    m_records.clear();
}

ScopedLogSink::ScopedLogSink(std::shared_ptr<ILogSink> sink)
    : m_previous(TLog::SetSink(std::move(sink))) {}

ScopedLogSink::~ScopedLogSink() {
    TLog::SetSink(m_previous);
}
