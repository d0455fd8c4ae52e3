#include "velredis/RedisCallbackFailureLog.h"

#include "velcoreplatform/TLog.h"

namespace velmora::caching::detail {

namespace {

// Failing callbacks logged per interval before the rest are only counted.
constexpr int kFailuresLoggedPerInterval = 5;
constexpr auto kFailureInterval = std::chrono::seconds(10);
// Longest channel name written whole into a log line.
constexpr std::size_t kLoggedChannelChars = 120;

}  // namespace

std::string ShortenedForLog(const std::string& text) {
    if (text.size() <= kLoggedChannelChars) return text;
    return text.substr(0, kLoggedChannelChars) + "...(" + std::to_string(text.size()) + " bytes)";
}

void CallbackFailureLog::CloseIntervalIfDue(std::chrono::steady_clock::time_point now) {
    if (now - m_intervalStart < kFailureInterval) return;
    if (m_suppressed > 0) {
        TLog::LogMessage(
            TLog::Warn,
            TFormatString(
                "Redis subscription callback failed %1 more times in the "
                "last %2 s (not logged one by one).",
                m_suppressed,
                std::chrono::duration_cast<std::chrono::seconds>(now - m_intervalStart).count()));
    }
    m_intervalStart = now;
    m_logged = 0;
    m_suppressed = 0;
}

void CallbackFailureLog::Record(const std::string& channel) {
    CloseIntervalIfDue(std::chrono::steady_clock::now());
    if (m_logged >= kFailuresLoggedPerInterval) {
        ++m_suppressed;
        return;
    }
    ++m_logged;
    TLog::LogCurrentException(TLog::Warn,
                              TFormatString("Redis subscription callback failed on channel %1.",
                                            ShortenedForLog(channel)));
}

}  // namespace velmora::caching::detail
