#include "velcoredata/DateTime.h"

#include <chrono>
#include <ctime>
#include <limits>

namespace {
std::uint64_t AddSaturating(std::uint64_t base, std::int64_t delta) {
    if (delta >= 0) {
        const std::uint64_t d = std::uint64_t(delta);
        return base > std::numeric_limits<std::uint64_t>::max() - d
                   ? std::numeric_limits<std::uint64_t>::max()
                   : base + d;
    }
    const std::uint64_t d = std::uint64_t(-(delta + 1)) + 1;
    return base < d ? 0 : base - d;
}
}  // namespace

DateTime DateTime::UtcNow() {
    const auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return DateTime(kUnixEpochTicks + std::uint64_t(sinceUnix.count() / 100));
}

DateTime DateTime::Now() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    return UtcNow() + DateTimeSpan::FromSeconds(local.tm_gmtoff);
}

DateTime DateTime::operator-(const DateTimeSpan& span) const {
    if (span.Ticks() == std::numeric_limits<std::int64_t>::min())
        return DateTime(
            AddSaturating(AddSaturating(m_ticks, std::numeric_limits<std::int64_t>::max()), 1));
    return DateTime(AddSaturating(m_ticks, -span.Ticks()));
}

DateTime DateTime::operator+(const DateTimeSpan& span) const {
    return DateTime(AddSaturating(m_ticks, span.Ticks()));
}

DateTimeSpan DateTime::operator-(const DateTime& other) const {
    return DateTimeSpan::FromTicks(std::int64_t(m_ticks - other.m_ticks));
}
