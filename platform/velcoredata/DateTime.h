// DateTime: a point in time, and DateTimeSpan: a length of time.
//
// The raw representation (GetRepresentation / FromValue) is an unsigned 64-bit count of
// 100-nanosecond ticks since 0001-01-01 00:00:00 UTC, the earliest date the type can hold.
// TotalMillisecondsFromMinDateTimeUTC is that count in milliseconds. Arithmetic saturates at
// the ends of the range instead of wrapping. Timestamps handed to the library by the host are
// raw representations.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization (values are plain 64-bit numbers).
#pragma once

#include <cstdint>

#include "velsys/Export.h"

class VELPLATFORM_EXPORT DateTimeSpan {
public:
    constexpr DateTimeSpan() = default;
    static constexpr DateTimeSpan FromTicks(std::int64_t ticks) { return DateTimeSpan(ticks); }
    static constexpr DateTimeSpan FromMilliseconds(std::int64_t ms) {
        return DateTimeSpan(ms * kTicksPerMillisecond);
    }
    static constexpr DateTimeSpan FromSeconds(std::int64_t s) { return FromMilliseconds(s * 1000); }
    constexpr std::int64_t Ticks() const { return m_ticks; }
    constexpr std::int64_t TotalMilliseconds() const { return m_ticks / kTicksPerMillisecond; }

    static constexpr std::int64_t kTicksPerMillisecond = 10000;

private:
    constexpr explicit DateTimeSpan(std::int64_t ticks) : m_ticks(ticks) {}
    std::int64_t m_ticks = 0;
};

class VELPLATFORM_EXPORT DateTime {
public:
    constexpr DateTime() = default;  // the earliest date
    static constexpr DateTime FromValue(std::uint64_t ticks) { return DateTime(ticks); }
    static DateTime UtcNow();
    // Local wall time in the same representation (UTC shifted by the zone offset).
    static DateTime Now();
    // The same as Now, under the name the file helpers' callers use.
    static DateTime GetLocalTime() { return Now(); }

    constexpr std::uint64_t GetRepresentation() const { return m_ticks; }
    constexpr std::uint64_t TotalMillisecondsFromMinDateTimeUTC() const {
        return m_ticks / std::uint64_t(DateTimeSpan::kTicksPerMillisecond);
    }
    // Milliseconds since the epoch of the current UTC time; a clock source for caches.
    static std::uint64_t NowTotalMillisecondsFromMinDateTimeUTC() {
        return UtcNow().TotalMillisecondsFromMinDateTimeUTC();
    }

    DateTime operator-(const DateTimeSpan& span) const;
    DateTime operator+(const DateTimeSpan& span) const;
    DateTimeSpan operator-(const DateTime& other) const;

    friend constexpr bool operator==(DateTime a, DateTime b) { return a.m_ticks == b.m_ticks; }
    friend constexpr bool operator<(DateTime a, DateTime b) { return a.m_ticks < b.m_ticks; }

    // Ticks from 0001-01-01 to 1970-01-01.
    static constexpr std::uint64_t kUnixEpochTicks = 621355968000000000ULL;

private:
    constexpr explicit DateTime(std::uint64_t ticks) : m_ticks(ticks) {}
    std::uint64_t m_ticks = 0;
};
