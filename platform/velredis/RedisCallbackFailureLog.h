// Internal to velredis: the rate-limited log of failing subscription callbacks.
//
// A callback that fails on every message of a busy channel would otherwise write a line per
// message. The first few failures of an interval are logged at Warn with the exception; the rest
// are only counted, and one line reports their number when the interval is closed (by the next
// failure or the next check after it has run its length). Channel names are shortened in these
// lines, since a host may use very long ones.
// Not thread-safe: use from one thread at a time (the subscriber's delivery thread).
#pragma once

#include <chrono>
#include <string>

namespace velmora::caching::detail {

// `text` itself when short enough for a log line, else its beginning and its length in bytes.
std::string ShortenedForLog(const std::string& text);

class CallbackFailureLog {
public:
    // Logs the exception being handled as a failure of the callback of `channel`, unless this
    // interval's allowance is spent (then the failure is only counted).
    // REQUIRES: called from an exception handler.
    void Record(const std::string& channel);
    // Closes the interval once it has run its length, logging how many failures went unlogged
    // in it (nothing when none did). Does nothing before that.
    void CloseIntervalIfDue(std::chrono::steady_clock::time_point now);

private:
    std::chrono::steady_clock::time_point m_intervalStart{};
    int m_logged = 0;
    long long m_suppressed = 0;
};

}  // namespace velmora::caching::detail
